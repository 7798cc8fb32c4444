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
    if (!str) kva_out_of_memory("queued output");
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
      overlongLines(0), connecting(nullptr), writeFailCount(0), paused(false), serial(true)
{
}

OutFifo::OutFifo(int descriptor)
    : port(INVALID_HANDLE_VALUE), failCount(0), fd(descriptor), head(nullptr), tail(nullptr),
      buf(), lineEnd(nullptr), bufIndex(0), raw(false), echo(false), queued(0),
      discarding(false), overlongLines(0), connecting(nullptr), writeFailCount(0),
      paused(false), serial(false)
{
}

OutFifo::~OutFifo()
{
    while (!isEmpty()) pop();
    kva_connect_end(connecting);
    if (fd > 1) kva_close_socket(fd);
    else if (port != INVALID_HANDLE_VALUE) kva_close_com(port);
}

bool OutFifo::isOpen() const
{
    return fd != -1 || port != INVALID_HANDLE_VALUE || connecting != nullptr;
}

void OutFifo::releasePort()
{
    if (port == INVALID_HANDLE_VALUE) return;
    kva_close_com(port);
    port = INVALID_HANDLE_VALUE;
}

// ---- output chunk queue ------------------------------------------------------------

char *OutFifo::alloc(int n)
{
    Kvb *k = new (std::nothrow) Kvb(n);
    if (!k) kva_out_of_memory("queued output");
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
    if (!head) tail = nullptr;  // never left pointing at a freed chunk
    queued -= k->len - k->pos;
    delete k;
}

// ---- device dispatch -----------------------------------------------------------------

int OutFifo::write(const char *p, int n)
{
    if (fd > 1) return kva_send(fd, p, n);
    if (port != INVALID_HANDLE_VALUE) {
        int r = kva_write_com(port, p, n);
        if (r >= 0) {
            writeFailCount = 0;
            return r;
        }
        // A failed write keeps its bytes queued for another try; a port
        // whose writes keep failing is given up like one whose reads do.
        if (writeFailCount < 100) {
            writeFailCount++;
            return 0;
        }
        return giveUp(r);
    }
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
        return giveUp(r);
    }
    if (port != INVALID_HANDLE_VALUE) {
        // A serial port whose reads keep failing (a USB adapter pulled, the
        // other side of a pseudo-terminal gone) is given up as a socket is:
        // 100 failed reads in a row are absorbed, the 101st closes it.
        int r = kva_read_com(port, p, n);
        if (r >= 0) {
            failCount = 0;
            return r;
        }
        if (failCount < 100) {
            failCount++;
            return 0;
        }
        return giveUp(r);
    }
    if (n > 0 && kvp_kbhit()) {
        p[0] = (char)kvp_getch();
        return 1;
    }
    return 0;
}

// Closes the socket or serial port of an endpoint that failed for good.
int OutFifo::giveUp(int r)
{
    if (fd > 1) {
        kva_close_socket(fd);
        fd = -1;
    }
    releasePort();
    return r;
}

// Writes the queue out as far as the device takes it.  Small chunks are
// gathered into one write: replies and relayed data often come as many
// small chunks, and a system call for each would cost more than the bytes.
// Result: 0 when the queue is empty, 1 when the device took less than it
// was offered, or the device's negative failure result.
int OutFifo::drain()
{
    enum { gatherSize = 16384 };
    while (!isEmpty()) {
        int r;
        if (head->next && head->len - head->pos < gatherSize) {
            char staged[gatherSize];
            int n = 0;
            for (Kvb *k = head; k && n < gatherSize; k = k->next) {
                int part = k->len - k->pos;
                if (part > gatherSize - n) part = gatherSize - n;
                memcpy(staged + n, k->str + k->pos, (size_t)part);
                n += part;
            }
            r = write(staged, n);
            if (r < 0) return r;
            for (int left = r;;) {
                // Complete chunks go, empty ones included.
                while (head && head->pos == head->len) pop();
                if (left == 0 || !head) break;
                int part = head->len - head->pos;
                if (part > left) part = left;
                head->pos += part;
                queued -= part;
                left -= part;
            }
            if (r < n) return 1;
            continue;
        }
        r = head->write(this);
        if (r > 0) return 1;
        if (r < 0) return r;
        pop();
    }
    return 0;
}

int OutFifo::process()
{
    if (connecting) {
        int s = -1;
        int r = kva_connect_step(connecting, &s);
        if (r == 1) return 0;
        kva_connect_end(connecting);
        connecting = nullptr;
        if (r < 0) return -1;
        fd = s;
    }
    if (!isOpen()) return -1;

    int r = drain();
    if (r < 0) {
        // A serial port gives itself up after its failed writes, each of
        // which the layer logged; a socket or the console fails here at once.
        if (!serial) fprintf(stderr, "OutFifo::process: Kvb::write n=%d, fd=%d\n", r, fd);
        if (fd > 1) kva_close_socket(fd);
        fd = -1;
        releasePort();
        return -1;
    }
    if (paused) return 0;

    // A full buffer (raw data the other side has not taken yet) skips the
    // read: a device is never asked for 0 bytes, which a socket would report
    // as a closed peer.
    int room = 1023 - bufIndex;
    if (room <= 0) return 0;
    r = read(buf + bufIndex, room);
    if (r > 0) {
        // The echo joins the output queue behind what is already there, so
        // that it never cuts into a reply and a short write loses none of it.
        if (echo) {
            char *storage = alloc(r);
            memcpy(storage, buf + bufIndex, (size_t)r);
            commit(storage, r);
        }
        bufIndex += r;
        assemble();
        return 0;
    }
    if (r < 0) return -1;
    return isOpen() ? 0 : -1;
}

void OutFifo::watch()
{
    if (connecting) {
        kva_connect_watch(connecting);
        return;
    }
    int events = 0;
    if (bufIndex < 1023 && !paused) events |= KVP_IN;
    // Output that a device did not take waits for room; after a failed
    // write the next try comes at the loop's pace instead, so that a device
    // that keeps failing cannot keep waking the loop.
    if (!isEmpty() && writeFailCount == 0) events |= KVP_OUT;
    if (fd > 1) kva_watch_socket(fd, events);
    else if (port != INVALID_HANDLE_VALUE) kva_watch_com(port, events);
    else if (fd == 1) kva_watch_console(events);
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
    // What followed the line was received already: a further line, or the
    // first raw bytes behind a command that switched to raw mode, is ready
    // now, not only after some later byte arrives.
    if (bufIndex > 0) assemble();
}

void OutFifo::resumeLines()
{
    raw = false;
    lineEnd = nullptr;
    if (bufIndex > 0) assemble();
}

int OutFifo::takeOverlongLines()
{
    int n = overlongLines;
    overlongLines = 0;
    return n;
}

// ---- factories -----------------------------------------------------------------------

namespace {

OutFifo *newEndpoint(kva_handle port, int fd)
{
    OutFifo *f = port != INVALID_HANDLE_VALUE ? new (std::nothrow) OutFifo(port)
                                              : new (std::nothrow) OutFifo(fd);
    if (!f) kva_out_of_memory("an endpoint");
    return f;
}

}  // namespace

OutFifo *openComFifo(const char *name, int baud)
{
    kva_handle h = kva_open_com(name, baud);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    // Made for a bridge: raw from the start, so that nothing the device
    // sends before the bridge begins is taken as a line.
    OutFifo *f = newEndpoint(h, -1);
    f->setRaw();
    return f;
}

OutFifo *openStdinFifo()
{
    int fd = kva_open_stdin();
    if (fd < 0) return nullptr;
    return newEndpoint(INVALID_HANDLE_VALUE, fd);
}

// The endpoint comes back at once, still connecting; it becomes a socket
// endpoint when the connect succeeds, and process() returns -1 when it fails.
OutFifo *connectFifo(const char *host, unsigned short port)
{
    KvaConnect *c = kva_connect_begin(host, port);
    if (!c) return nullptr;
    OutFifo *f = newEndpoint(INVALID_HANDLE_VALUE, -1);
    f->connecting = c;
    // A host that talks first (a banner, a prompt, telnet negotiation) may
    // send before, during or right after the connect completes: raw from
    // the start, every byte is held as it came until the bridge takes it.
    f->setRaw();
    return f;
}

OutFifo *acceptFifo(int listenSocket, bool localOnly)
{
    int fd = kva_accept(listenSocket, localOnly);
    if (fd == -1) return nullptr;
    return newEndpoint(INVALID_HANDLE_VALUE, fd);
}

// ---- pass-through functions ---------------------------------------------------------

void initIo() { kva_init(); }

int openServer(unsigned short port) { return kva_open_server(port); }

int waitIo(int timeoutUs) { return kva_wait(timeoutUs); }

void closeIo() { kva_close(); }

void workPending() { kva_work_pending(); }

int runServer(int (*serverMain)(int argc, char **argv), int argc, char **argv)
{
    return kvp_run(serverMain, argc, argv);
}

void watchStopRequests() { kvp_stop_watch(); }

bool stopRequested() { return kvp_stop_requested() != 0; }
