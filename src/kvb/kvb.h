// Buffered endpoints: one device (a socket, a serial port or the console,
// device.h) with an input buffer (line assembly or raw pass-through) and a
// queue of output chunks.
#ifndef VELKOR_KVB_H
#define VELKOR_KVB_H

#include "../io/kva.h"
#include "device.h"

class OutFifo;

// One chunk of queued output; str[pos .. len) is still to be written.
class Kvb {
public:
    char *str;
    int pos;
    int len;
    Kvb *next;

    explicit Kvb(int n);
    ~Kvb();
    Kvb(const Kvb &) = delete;
    Kvb &operator=(const Kvb &) = delete;

    // Writes the unwritten rest through the endpoint; the bytes still
    // unwritten afterwards, or the endpoint's negative failure result.
    int write(OutFifo *endpoint);
};

class OutFifo {
public:
    // The kind of device, fixed when the endpoint is made.
    const DeviceOps *const device;
    // The kind's own state, if it keeps any (see device.h).
    void *deviceData;
    kva_handle port;
    int failCount;
    int fd;
    Kvb *head;
    Kvb *tail;
    char buf[1024];
    char *lineEnd;
    int bufIndex;
    bool raw;
    bool echo;
    // Bytes queued and not yet written: lets a bridge hold back when the
    // endpoint falls behind, instead of growing its queue without end.
    long queued;
    // A line mode line that did not fit the buffer is being discarded up to
    // its terminator; overlongLines counts such lines for the protocol layer.
    bool discarding;
    int overlongLines;
    // An outgoing connection still under way (lookup or connect); the
    // endpoint becomes a socket endpoint when it succeeds.
    KvaConnect *connecting;
    // Consecutive failed writes to a serial port; like failed reads, the
    // 101st gives the port up.
    int writeFailCount;
    // Input is not read for now (a connect command waits for its outcome):
    // what arrives meanwhile waits in the device, and nothing read after a
    // command can overtake its reply.
    bool paused;

    // Over an open device of the given kind: a serial handle, or a socket
    // (the console takes the descriptor 1).
    OutFifo(const DeviceOps &kind, intptr_t id);
    ~OutFifo();
    OutFifo(const OutFifo &) = delete;
    OutFifo &operator=(const OutFifo &) = delete;

    int process();
    // Tells the layer what this endpoint waits for in the next wait: input
    // while its buffer has room, room for output while output is queued.
    void watch();
    // Closes the serial port now (the endpoint is closed afterwards).
    void releasePort();
    int write(const char *p, int n);
    int read(char *p, int n);
    bool isOpen() const;
    // Bytes read and not yet taken: an endpoint whose device has closed
    // still hands these on before it goes.
    int heldBytes() const { return bufIndex; }
    void pauseInput() { paused = true; }
    void resumeInput() { paused = false; }
    void echoOn() { echo = true; }
    void echoOff() { echo = false; }

    // Output chunk queue.
    char *alloc(int n);
    void commit(char *p, int n);
    bool isEmpty() const { return head == nullptr; }
    void pop();

    // Input line assembly.
    bool hasLine() const { return lineEnd != nullptr; }
    char *line() { return buf; }
    int lineLength() const { return bufIndex; }
    void consumeLine(char *p);
    void setLine() { raw = false; }
    void setRaw() { raw = true; }
    // Back to line mode with the held bytes assembled as lines now.
    void resumeLines();
    // Reports (and forgets) how many overlong lines were discarded.
    int takeOverlongLines();

private:
    void assemble();
    int drain();
    void giveUp();
};

OutFifo *openComFifo(const char *name, int baud);
OutFifo *openStdinFifo();
OutFifo *connectFifo(const char *host, unsigned short port);
OutFifo *acceptFifo(int listenSocket, bool localOnly);

// The pass-through functions by which the server core reaches the layer.
void initIo();
int openServer(unsigned short port);
int waitIo(int timeoutUs);
void closeIo();
// Something can go on without any device: the next wait does not block.
void workPending();
// The process body under the platform's process or service model, and
// whether a stop was requested (a signal, a service stop).
int runServer(int (*serverMain)(int argc, char **argv), int argc, char **argv);
void watchStopRequests();
bool stopRequested();

#endif
