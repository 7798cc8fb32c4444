#include "kvb.h"

#include "../io/kva_assert.h"

#include <new>
#include <stdio.h>
#include <string.h>

// ---- construction ---------------------------------------------------------------

OutFifo::OutFifo(const DeviceOps &kind, intptr_t id)
    : device(&kind), deviceData(nullptr),
      port(&kind == &serialDevice ? (kva_handle)id : INVALID_HANDLE_VALUE),
      fd(&kind == &serialDevice ? -1 : (int)id), connecting(nullptr), echo(false),
      devicePace(false), paused(false), relay(nullptr), relayLimit(0), tap(nullptr),
      tapContext(nullptr), failCount(0), writeFailCount(0)
{
}

OutFifo::~OutFifo()
{
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

void OutFifo::closeDevice() { giveUp(); }

// ---- device transfers -----------------------------------------------------------
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

int OutFifo::writeTo(void *endpoint, const char *p, int n)
{
    return static_cast<OutFifo *>(endpoint)->write(p, n);
}

// A framing's own bytes: a transport that takes nothing now is tried again
// at the next step, and one that fails has failed for good (only kinds
// over a socket have such bytes, and a socket absorbs no failed send).
int OutFifo::sendWireTo(void *endpoint, const char *p, int n)
{
    OutFifo *e = static_cast<OutFifo *>(endpoint);
    return e->device->sendWire(e, p, n);
}

int OutFifo::read(char *p, int n)
{
    int r = device->read(this, p, n);
    if (r == KVA_READ_UNDECIDED) return 0;  // neither ends nor adds to a run of failures
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

// ---- one step ---------------------------------------------------------------------

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

    // A framing's own bytes go first, and its encoded output only once
    // they are all out: an answer never cuts into a frame.
    int r = wire.isEmpty() ? 0 : wire.drain(sendWireTo, this);
    if (r == 0) r = out.drain(writeTo, this);
    if (r < 0) {
        // A device that absorbs failed writes has logged each of them.
        if (device->writeFailuresAbsorbed == 0)
            fprintf(stderr, "OutFifo::process: Kvb::write n=%d, fd=%d\n", r, fd);
        giveUp();
        return -1;
    }
    // A client that does not read what it is sent is not read either,
    // once its own output is over the bound: the echo, replies and a
    // framing's answers cannot grow without end.
    if (paused || ownOutputFull()) return 0;
    if (relaying()) return readInto(relay);

    // A full buffer (raw data the other side has not taken yet) skips the
    // read: a device is never asked for 0 bytes, which a socket would report
    // as a closed peer.
    int room = in.room();
    if (room <= 0) return 0;
    char *fresh = in.space();
    r = read(fresh, room);
    if (r > 0) {
        if (tap) tap(tapContext, fresh, r);
        // The echo joins the output queue behind what is already there, so
        // that it never cuts into a reply and a short write loses none of it.
        if (echo) reply(fresh, r);
        in.received(r);
        return 0;
    }
    if (r < 0) return -1;
    return isOpen() ? 0 : -1;
}

// Raw input with nothing held goes straight to a bridge's open peer.
bool OutFifo::relaying() const
{
    // An LF still to be dropped behind a command line is read into the
    // input buffer, where it is dropped.
    return relay && relay->isOpen() && in.isRaw() && in.held() == 0 && !in.dropsNextLf();
}

// Whether the bridge's peer takes more now: not while its queue is over the
// bound, unless the device is read at its own pace.
bool OutFifo::peerHasRoom() const { return devicePace || relay->queued() <= relayLimit; }

// One large step of raw input into the peer's queue, unless that queue is
// over its bound: then the input waits in the device, and the sender is held
// back by TCP flow control or the tty.
int OutFifo::readInto(OutFifo *to)
{
    enum { step = 64 * 1024 };
    // One loop, one thread: a single buffer serves every endpoint.
    static char staged[step];
    if (!peerHasRoom()) return 0;
    int r = read(staged, step);
    if (r > 0) {
        // The tap may close the peer (a writer too far behind): its queue
        // still takes the bytes, and goes with it.
        if (tap) tap(tapContext, staged, r);
        if (echo) reply(staged, r);
        to->queue(staged, r);
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
    const bool wantsInput =
        !paused && !ownOutputFull() && (relaying() ? peerHasRoom() : in.room() > 0);
    int events = 0;
    if (wantsInput) events |= KVP_IN;
    // Output that a device did not take waits for room; after a failed
    // write the next try comes at the loop's pace instead, so that a device
    // that keeps failing cannot keep waking the loop.
    if (!wire.isEmpty() || (!out.isEmpty() && writeFailCount == 0)) events |= KVP_OUT;
    // A device whose last transfer failed is looked at again at a pace
    // until one does not fail: a failed write is tried again, and a line
    // that failed for a moment (its line discipline changed under it) may
    // never wake a wait that began before.
    if (failCount > 0 || (!out.isEmpty() && writeFailCount > 0)) kva_wake_within(kvpPaceMs);
    device->watch(this, events);
    if (wantsInput && device->holdsInput && device->holdsInput(this)) kva_work_pending();
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

long long clockMs() { return kvp_now_ms(); }

void wakeWithin(int ms) { kva_wake_within(ms); }

int runServer(int (*serverMain)(int argc, char **argv), int argc, char **argv)
{
    return kvp_run(serverMain, argc, argv);
}

void watchStopRequests() { kvp_stop_watch(); }

bool stopRequested() { return kvp_stop_requested() != 0; }

bool reloadRequested() { return kvp_reload_requested() != 0; }
