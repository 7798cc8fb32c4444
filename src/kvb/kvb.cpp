#include "kvb.h"

#include "../io/kva_assert.h"

#include <new>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool isGraphic(unsigned char c) { return c >= 0x21 && c <= 0x7e; }
bool isPrintable(unsigned char c) { return c >= 0x20 && c <= 0x7e; }

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

OutFifo::OutFifo(const DeviceOps &kind, intptr_t id)
    : device(&kind), deviceData(nullptr), port(&kind == &serialDevice ? (kva_handle)id : INVALID_HANDLE_VALUE),
      failCount(0), fd(&kind == &serialDevice ? -1 : (int)id), head(nullptr), tail(nullptr),
      buf(), lineEnd(nullptr), bufIndex(0), raw(false), echo(false), queued(0),
      discarding(false), overlongLines(0), connecting(nullptr), writeFailCount(0), paused(false)
{
}

OutFifo::~OutFifo()
{
    while (!isEmpty()) pop();
    kva_connect_end(connecting);
    if (fd != -1 || port != INVALID_HANDLE_VALUE) device->close(this);
}

bool OutFifo::isOpen() const
{
    return fd != -1 || port != INVALID_HANDLE_VALUE || connecting != nullptr;
}

void OutFifo::releasePort()
{
    if (port != INVALID_HANDLE_VALUE) device->close(this);
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

// ---- device transfers -----------------------------------------------------------------
//
// One failure policy for every kind: the device says how many failed
// transfers in a row it absorbs (each seen as "nothing now"); the next one
// is the endpoint's failure.  Any transfer that does not fail resets the
// count, including one that moved nothing.

namespace {

// Counts a failed transfer; true while it is one of those absorbed.
bool absorbed(int &inARow, int absorbedAtMost)
{
    if (inARow >= absorbedAtMost) return false;
    inARow++;
    return true;
}

}  // namespace

int OutFifo::write(const char *p, int n)
{
    int r = device->write(this, p, n);
    if (r >= 0) writeFailCount = 0;
    // A failed write keeps its bytes queued for another try.
    else if (absorbed(writeFailCount, device->writeFailuresAbsorbed)) r = 0;
    return r;
}

int OutFifo::read(char *p, int n)
{
    int r = device->read(this, p, n);
    if (r >= 0) {
        failCount = 0;
    } else if (absorbed(failCount, device->readFailuresAbsorbed)) {
        r = 0;
    } else {
        if (device->readGivenUp) device->readGivenUp(this, r);
        giveUp();
    }
    return r;
}

// Closes the device of an endpoint that failed for good.
void OutFifo::giveUp()
{
    if (fd != -1 || port != INVALID_HANDLE_VALUE) device->close(this);
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
        // A device that absorbs failed writes has logged each of them.
        if (device->writeFailuresAbsorbed == 0)
            fprintf(stderr, "OutFifo::process: Kvb::write n=%d, fd=%d\n", r, fd);
        giveUp();
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
    if (fd == -1 && port == INVALID_HANDLE_VALUE) return;
    int events = 0;
    if (bufIndex < 1023 && !paused) events |= KVP_IN;
    // Output that a device did not take waits for room; after a failed
    // write the next try comes at the loop's pace instead, so that a device
    // that keeps failing cannot keep waking the loop.
    if (!isEmpty() && writeFailCount == 0) events |= KVP_OUT;
    device->watch(this, events);
    if (device->holdsInput && bufIndex < 1023 && !paused && device->holdsInput(this))
        kva_work_pending();
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
        memmove(buf, buf + k + 1, (size_t)(bufIndex - k - 1));
        bufIndex -= k + 1;
    }

    int k = 0;
    while (k < bufIndex && !isGraphic((unsigned char)buf[k])) k++;
    if (k == bufIndex) {
        bufIndex = 0;
        return;
    }
    if (k > 0) {
        memmove(buf, buf + k, (size_t)(bufIndex - k));
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
        memmove(buf, buf + used + 1, (size_t)(rest));
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

OutFifo *newEndpoint(const DeviceOps &kind, intptr_t id)
{
    OutFifo *f = new (std::nothrow) OutFifo(kind, id);
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
    OutFifo *f = newEndpoint(serialDevice, h);
    f->setRaw();
    return f;
}

OutFifo *openStdinFifo()
{
    int fd = kva_open_stdin();
    if (fd < 0) return nullptr;
    return newEndpoint(consoleDevice, fd);
}

// The endpoint comes back at once, still connecting; it becomes a socket
// endpoint when the connect succeeds, and process() returns -1 when it fails.
OutFifo *connectFifo(const char *host, unsigned short port)
{
    KvaConnect *c = kva_connect_begin(host, port);
    if (!c) return nullptr;
    OutFifo *f = newEndpoint(socketDevice, -1);
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
    return newEndpoint(socketDevice, fd);
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
