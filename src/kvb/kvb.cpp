#include "kvb.h"

#include "../io/kva_assert.h"

#include <new>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool isGraphic(unsigned char c) { return c >= 0x21 && c <= 0x7e; }
bool isPrintable(unsigned char c) { return c >= 0x20 && c <= 0x7e; }

// Moves n bytes from src down to dst, lowest address first (ranges overlap).
void moveDown(char *dst, const char *src, int n)
{
    for (int i = 0; i < n; i++) dst[i] = src[i];
}

}  // namespace

// ---- Kvb -----------------------------------------------------------------------

Kvb::Kvb(int n) : str((char *)malloc(n > 0 ? (size_t)n : 1)), pos(0), len(n), next(nullptr)
{
    if (!str) {
        fprintf(stderr, "out of memory for %d bytes of output\n", n);
        abort();
    }
}

Kvb::~Kvb()
{
    free(str);
    str = nullptr;
}

int Kvb::write(OutFifo *endpoint)
{
    int r = endpoint->write(str + pos, len - pos);
    if (r < 0) return r;
    pos += r;
    endpoint->queued -= r;
    return len - pos;
}

// ---- OutFifo: construction ------------------------------------------------------

OutFifo::OutFifo(kva_handle serialPort)
    : port(serialPort), failCount(0), fd(-1), head(nullptr), tail(nullptr), buf(),
      lineEnd(nullptr), bufIndex(0), raw(false), echo(false), queued(0), discarding(false),
      overlongLines(0)
{
}

OutFifo::OutFifo(int descriptor)
    : port(INVALID_HANDLE_VALUE), failCount(0), fd(descriptor), head(nullptr), tail(nullptr),
      buf(), lineEnd(nullptr), bufIndex(0), raw(false), echo(false), queued(0),
      discarding(false), overlongLines(0)
{
}

OutFifo::~OutFifo()
{
    while (!isEmpty()) pop();
    if (fd > 1) kva_close_socket(fd);
    else if (port != INVALID_HANDLE_VALUE) kva_close_com(port);
}

bool OutFifo::isOpen() const { return fd != -1 || port != INVALID_HANDLE_VALUE; }

// ---- output chunk queue ------------------------------------------------------------

char *OutFifo::alloc(int n)
{
    Kvb *k = new Kvb(n);
    if (head == nullptr) head = k;
    else tail->next = k;
    tail = k;
    return k->str;
}

void OutFifo::commit(char *p, int n)
{
    char *str = p;
    int len = n;
    KVA_ASSERT(str==tail->str);
    KVA_ASSERT(len<=tail->len);
    tail->len = n;
    queued += n;
}

void OutFifo::pop()
{
    Kvb *k = head;
    head = k->next;
    queued -= k->len - k->pos;
    delete k;
}

// ---- device dispatch -----------------------------------------------------------------

int OutFifo::write(const char *p, int n)
{
    if (fd > 1) return kva_send(fd, p, n);
    if (port != INVALID_HANDLE_VALUE) return kva_write_com(port, p, n);
    return kvp_write_stdout(p, n);
}

int OutFifo::read(char *p, int n)
{
    if (fd > 1) {
        int r = kva_read_socket(fd, p, n);
        if (r >= 0) {
            failCount = 0;
            return r;
        }
        if (failCount < 100) {
            failCount++;
            return 0;
        }
        if (r == -1) printf("client disconnected %d\n", fd);
        kva_close_socket(fd);
        fd = -1;
        return r;
    }
    if (port != INVALID_HANDLE_VALUE) return kva_read_com(port, p, n);
    if (n > 0 && kvp_kbhit()) {
        p[0] = (char)kvp_getch();
        return 1;
    }
    return 0;
}

int OutFifo::process()
{
    if (!isOpen()) return -1;

    while (!isEmpty()) {
        int r = head->write(this);
        if (r > 0) break;
        if (r == 0) {
            pop();
            continue;
        }
        fprintf(stderr, "OutFifo::process: Kvb::write n=%d, fd=%d\n", r, fd);
        if (fd > 1) kva_close_socket(fd);
        fd = -1;
        return -1;
    }

    // A full buffer (raw data the other side has not taken yet) skips the
    // read: a device is never asked for 0 bytes, which a socket would report
    // as a closed peer.
    int room = 1023 - bufIndex;
    if (room <= 0) return 0;
    int r = read(buf + bufIndex, room);
    if (r > 0) {
        if (echo) write(buf + bufIndex, r);
        bufIndex += r;
        assemble();
        return 0;
    }
    if (r < 0) return -1;
    return 0;
}

// ---- input line assembly ----------------------------------------------------------

void OutFifo::assemble()
{
    if (raw) {
        lineEnd = buf + bufIndex;
        return;
    }
    KVA_ASSERT(bufIndex>=0);
    KVA_ASSERT(bufIndex<(int)sizeof(buf));
    // Line mode finds the ready line afresh in the held bytes every time (a
    // line not yet consumed is found again at its NUL), so nothing stays
    // ready from before: raw data still ready when the endpoint went back
    // to line mode must not outlive bytes that this assembly drops.
    lineEnd = nullptr;

    if (discarding) {
        // The rest of a line that did not fit: drop it through its terminator.
        int k = 0;
        while (k < bufIndex && isPrintable((unsigned char)buf[k])) k++;
        if (k == bufIndex) {
            bufIndex = 0;
            return;
        }
        discarding = false;
        moveDown(buf, buf + k + 1, bufIndex - k - 1);
        bufIndex -= k + 1;
    }

    int k = 0;
    while (k < bufIndex && !isGraphic((unsigned char)buf[k])) k++;
    if (k == bufIndex) {
        bufIndex = 0;
        return;
    }
    if (k > 0) {
        moveDown(buf, buf + k, bufIndex - k);
        bufIndex -= k;
    }

    for (int i = 0; i < bufIndex; i++) {
        if (!isPrintable((unsigned char)buf[i])) {
            lineEnd = buf + i;
            buf[i] = 0;
            return;
        }
    }
    lineEnd = nullptr;
    if (bufIndex == 1023) {
        // Longer than any line the buffer can hold: it can never complete.
        // Discard it whole, up to and including its terminator, so that
        // neither this endpoint stalls nor the line's tail reads as a line.
        bufIndex = 0;
        discarding = true;
        overlongLines++;
    }
}

void OutFifo::consumeLine(char *p)
{
    char *str = p;
    KVA_ASSERT(str==buf);
    KVA_ASSERT(lineEnd != nullptr);
    int used = (int)(lineEnd - buf);
    int rest = bufIndex - used - 1;
    if (rest > 0) {
        moveDown(buf, buf + used + 1, rest);
        bufIndex = rest;
    } else {
        bufIndex = 0;
    }
    lineEnd = nullptr;
}

int OutFifo::takeOverlongLines()
{
    int n = overlongLines;
    overlongLines = 0;
    return n;
}

// ---- factories -----------------------------------------------------------------------

OutFifo *openComFifo(const char *name, int baud)
{
    kva_handle h = kva_open_com(name, baud);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    OutFifo *f = new (std::nothrow) OutFifo(h);
    if (!f) kva_close_com(h);
    return f;
}

OutFifo *openStdinFifo()
{
    int fd = kva_open_stdin();
    if (fd < 0) return nullptr;
    return new (std::nothrow) OutFifo(fd);
}

OutFifo *connectFifo(const char *host, unsigned short port)
{
    int fd = kva_connect(host, port);
    if (fd < 0) return nullptr;
    OutFifo *f = new (std::nothrow) OutFifo(fd);
    if (!f) kva_close_socket(fd);
    return f;
}

OutFifo *acceptFifo(int listenSocket, bool localOnly)
{
    int fd = kva_accept(listenSocket, localOnly);
    if (fd == -1) return nullptr;
    OutFifo *f = new (std::nothrow) OutFifo(fd);
    if (!f) kva_close_socket(fd);
    return f;
}

// ---- pass-through functions ---------------------------------------------------------

void initIo() { kva_init(); }

int openServer(unsigned short port) { return kva_open_server(port); }

int waitIo(int timeoutUs) { return kva_wait(timeoutUs); }

void closeIo() { kva_close(); }
