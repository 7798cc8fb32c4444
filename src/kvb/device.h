// The kinds of device an endpoint can stand on, each one small table of
// operations in a file of its own (device_socket.cpp, device_serial.cpp,
// device_console.cpp).  An endpoint is given its table when it is made and
// never asks what kind it holds; a new kind of connection is a new file
// that fills in a table, and the factory that creates endpoints over it.
// A kind that keeps state of its own (a framing layer's parser) keeps it
// behind the endpoint's deviceData, which its close operation frees.
#ifndef VELKOR_DEVICE_H
#define VELKOR_DEVICE_H

class OutFifo;

struct DeviceOps {
    const char *name;
    // Bytes moved now (0: nothing now), or negative for a failed transfer,
    // which the device layer has logged.
    int (*read)(OutFifo *e, char *p, int n);
    int (*write)(OutFifo *e, const char *p, int n);
    // What the next wait waits for on this device (KVP_IN, KVP_OUT).
    void (*watch)(OutFifo *e, int events);
    // Lets the device go; the endpoint is closed afterwards.
    void (*close)(OutFifo *e);
    // Failed transfers in a row that are absorbed (seen as "nothing now")
    // before the next one gives the device up.  A device whose failures are
    // absorbed also logs each one itself; the others are logged when the
    // endpoint gives up on them.
    int readFailuresAbsorbed;
    int writeFailuresAbsorbed;
    // Called when reads have given the device up with result r, before it
    // is closed (a socket logs a peer that closed), or null.
    void (*readGivenUp)(OutFifo *e, int r);
    // Whether the device holds input where the wait cannot see it (bytes a
    // framing layer has decoded but not yet handed out): the next wait must
    // not sleep then.  Null: never.
    bool (*holdsInput)(const OutFifo *e);
    // A framing's transport: its own bytes (OutFifo::queueWire) go out
    // through this as they are (the count taken, 0 for none now, negative
    // for a failed send).  Null for a kind that queues none.
    int (*sendWire)(OutFifo *e, const char *p, int n);
};

extern const DeviceOps socketDevice;
extern const DeviceOps serialDevice;
extern const DeviceOps consoleDevice;

// The console bridged to a board: every key is a byte for it, Ctrl-C too,
// and the way out is the escape key Ctrl-] followed by q (Ctrl-] twice
// sends one Ctrl-]; Ctrl-] and any other key send both).  Off: the keys are
// as at the command prompt.
enum { consoleEscapeKey = 0x1d };
void consoleSetBridged(bool on);
// The console's user typed the way out since the bridge began.
bool consoleLeaveAsked();

// The socket's readGivenUp, for every kind over a TCP connection: a peer
// that closed (-1) is logged as a client that disconnected; a receive
// error prints nothing.
void socketReadGivenUp(OutFifo *e, int r);

#endif
