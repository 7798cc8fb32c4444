// Buffered endpoints: one device (a socket, a serial port or the console:
// device.h) with its input (line assembly or raw pass-through: lineinput.h)
// and its queue of output chunks (outqueue.h).
#ifndef VELKOR_KVB_H
#define VELKOR_KVB_H

#include "../io/kva.h"
#include "device.h"
#include "lineinput.h"
#include "outqueue.h"

// The bound of every endpoint's queue.  A bridge copies into an endpoint
// only while at most this much output waits there; and an endpoint whose
// own output (replies, echo, a framing's answers: see reply() and
// queueWire()) holds more than this is not read until it drains, so that a
// client that sends and never reads is held back by TCP flow control
// instead of growing the server's memory.
const long queueLimit = 64 * 1024;

class OutFifo {
public:
    // The kind of device, fixed when the endpoint is made.
    const DeviceOps *const device;
    // The kind's own state, if it keeps any (see device.h).
    void *deviceData;
    // The device: a serial handle, or a socket (the console has the
    // descriptor 1); INVALID_HANDLE_VALUE and -1 when there is none, or
    // once it was closed.
    kva_handle port;
    int fd;
    // An outgoing connection still under way (lookup or connect); the
    // endpoint's socket when it succeeds.
    KvaConnect *connecting;

    // Over an open device of the given kind: a serial handle, or a socket
    // (the console takes the descriptor 1).
    OutFifo(const DeviceOps &kind, intptr_t id);
    ~OutFifo();
    OutFifo(const OutFifo &) = delete;
    OutFifo &operator=(const OutFifo &) = delete;

    // One input and output step: the queue is written out as far as the
    // device takes it, then what is waiting is read.  0 while the endpoint
    // is open, -1 once its device has closed or failed for good.
    int process();
    // Tells the layer what this endpoint waits for in the next wait: input
    // while its buffer has room, room for output while output is queued.
    void watch();
    bool isOpen() const;
    // Closes a serial port now (at shutdown); the endpoint is closed then.
    void releasePort();
    // Closes the device now, whatever its kind; the endpoint stays, closed,
    // until its owner deletes it (its next process() returns -1).
    void closeDevice();

    // Output.
    char *alloc(int n) { return out.alloc(n); }
    void commit(char *p, int n) { out.commit(p, n); }
    // A copy of n bytes relayed from elsewhere (a bridge, a shared port).
    void queue(const char *p, int n) { out.append(p, n); }
    // A copy of n bytes of the endpoint's own output: a reply to what its
    // client sent.  It counts toward the bound on the endpoint's own output.
    void reply(const char *p, int n) { out.append(p, n, true); }
    bool isEmpty() const { return out.isEmpty() && wire.isEmpty(); }
    long queued() const { return out.queued() + wire.queued(); }
    // Bytes a framing sends as they are, ahead of any output: its answers,
    // a response head, a pong, the rest of an encoded write the transport
    // cut short.  They go out through the device's sendWire, and count
    // toward the bound on the endpoint's own output.
    void queueWire(const void *p, int n) { wire.append((const char *)p, n, true); }
    bool wirePending() const { return !wire.isEmpty(); }
    // The endpoint's own output is over queueLimit: it is not read.
    bool ownOutputFull() const { return wire.ownQueued() + out.ownQueued() > queueLimit; }
    // Every byte read is queued back to the device, behind the output
    // already queued.
    void echoOn() { echo = true; }
    void echoOff() { echo = false; }
    bool echoing() const { return echo; }

    // Input.
    bool hasLine() const { return in.hasLine(); }
    char *line() { return in.line(); }
    int lineLength() const { return in.lineLength(); }
    void consumeLine(char *p) { in.consumeLine(p); }
    void setLine() { in.setLine(); }
    void setRaw() { in.setRaw(); }
    bool isRaw() const { return in.isRaw(); }
    void resumeLines() { in.resumeLines(); }
    // Bytes read and not yet taken: an endpoint whose device has closed
    // still hands these on before it goes.
    int heldBytes() const { return in.held(); }
    int overlongLines() const { return in.overlongLines(); }
    bool takeOverlongLine() { return in.takeOverlongLine(); }
    int takeOverlongLines() { return in.takeOverlongLines(); }
    const LineInput &input() const { return in; }
    // Input is not read for now (a connect command waits for its outcome):
    // what arrives meanwhile waits in the device, and nothing read after a
    // command can overtake its reply.
    void pauseInput() { paused = true; }
    void resumeInput() { paused = false; }
    // A bridge: raw input goes straight into the peer's output queue, a
    // large step per read, while that queue holds at most `limit` bytes;
    // null: input is held here, as in line mode.  Whoever deletes the peer
    // first sets this back to null.
    void relayTo(OutFifo *peer, long limit)
    {
        relay = peer;
        relayLimit = limit;
    }
    // The bridge's other endpoint, or null.
    OutFifo *relayPeer() const { return relay; }
    // The device is read as it sends, whatever its bridge's peer takes:
    // others see its bytes as they come (a shared port's log and watchers),
    // and a peer that falls behind is dealt with by whoever set this.
    void readAtDevicePace(bool on) { devicePace = on; }
    // Every byte read from the device is handed to `fn` as well, as it is
    // read and before it goes anywhere else: a shared port's watchers,
    // replay buffer and log see exactly what its writer sees.  Null: none.
    typedef void (*Tap)(void *context, const char *p, int n);
    void tapWith(Tap fn, void *context)
    {
        tap = fn;
        tapContext = context;
    }
    // A serial endpoint's rate set by a client over its bridge (RFC 2217) is
    // told to `fn` with the tap's context, for the port's log.  Null: none.
    typedef void (*RateTap)(void *context, long baud);
    void tapRatesWith(RateTap fn) { rateTap = fn; }
    void rateSet(long baud)
    {
        if (rateTap) rateTap(tapContext, baud);
    }

private:
    LineInput in;
    OutQueue out;
    OutQueue wire;
    bool echo;
    bool devicePace;
    bool paused;
    OutFifo *relay;
    long relayLimit;
    Tap tap;
    RateTap rateTap = nullptr;
    void *tapContext;
    // Failed reads and writes in a row (see device.h).
    int failCount;
    int writeFailCount;

    int write(const char *p, int n);
    int read(char *p, int n);
    bool relaying() const;
    int readInto(OutFifo *to);
    static int writeTo(void *endpoint, const char *p, int n);
    static int sendWireTo(void *endpoint, const char *p, int n);
    bool peerHasRoom() const;
    void giveUp();
};

OutFifo *openComFifo(const char *name, int baud);
OutFifo *openStdinFifo();
OutFifo *connectFifo(const char *host, unsigned short port);
OutFifo *acceptFifo(int listenSocket, bool localOnly);

// The pass-through functions by which the server core reaches the layer.
void initIo();
int openServer(unsigned short port);
// Waits until something is ready or due, or timeoutUs pass (-1: no limit).
int waitIo(int timeoutUs);
void closeIo();
// Something can go on without any device: the next wait does not block.
void workPending();
// Monotonic milliseconds, and a wait that ends within ms milliseconds.
long long clockMs();
void wakeWithin(int ms);
// The process body under the platform's process or service model, and
// whether a stop was requested (a signal, a service stop).
int runServer(int (*serverMain)(int argc, char **argv), int argc, char **argv);
void watchStopRequests();
bool stopRequested();
// Whether a reload of the files the server reads (SIGHUP, a service's
// "paramchange") was asked for since the last call.
bool reloadRequested();

#endif
