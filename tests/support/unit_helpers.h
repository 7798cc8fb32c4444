// What the unit tests need beside the shared harness (harness.h), which
// gives them their pseudo-terminals, loopback connections and the real
// server: the layer's globals back to a fresh start, standard output and
// error captured around an in-process call, standard descriptors swapped,
// loopback TCP pairs whose one side the layer takes over, and serial ports
// for the layer in this process.
#ifndef VELKOR_TESTS_UNIT_HELPERS_H
#define VELKOR_TESTS_UNIT_HELPERS_H

#include "harness.h"
#include "io/kva.h"
#include "kvb/kvb.h"

#include <functional>
#include <string>

namespace unit {

// Monotonic milliseconds.
long long nowMs();

// Bytes as lower-case hex digits, as digests are published.
std::string hex(const unsigned char *p, size_t n);

// Redirects descriptors 1 and 2 into temporary files for the life of the
// object (or until stop); out and err then hold what was written.  Standard
// output and error are unbuffered in this program, so nothing lingers in a
// stdio buffer across the switch.
class Capture {
public:
    std::string out, err;

    Capture();
    ~Capture() { stop(); }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    void stop();
    // What has been written to standard output so far, without stopping.
    std::string outSoFar() const;

private:
    int outFile = -1, errFile = -1, savedOut = -1, savedErr = -1;
    bool active = false;
};

// The layer back to a fresh start: stopped and started again, nothing
// watched or ready.  Whatever kva_close prints is swallowed.
void resetLayer();

// The local port a socket is bound to.
unsigned short localPort(int s);

// A connected loopback TCP pair: `mine` is the accepted side (what the layer
// would admit, still blocking), `peer` the far end the test plays.
class TcpPair {
public:
    int mine = -1;
    e2e::Stream peer;

    TcpPair();
    ~TcpPair();
    TcpPair(const TcpPair &) = delete;
    TcpPair &operator=(const TcpPair &) = delete;

    // The endpoint takes `mine` over and closes it itself.
    int release();
    // The peer sends its end (FIN), or closes with a reset; both return once
    // `mine` has seen it, so that the next transfer on `mine` meets it.
    void peerEnds();
    void peerResets();

private:
    int accepted = -1;  // mine's number, also once it is released
};

// Sets a socket's send and receive buffer sizes (0 leaves one as it is).
void setBuffers(int s, int snd, int rcv);

// Bytes that can be read from fd without blocking (-1 on failure).
int pendingBytes(int fd);

// Waits until at least n bytes can be read from fd without blocking.
bool waitPending(int fd, int n, double seconds = e2e::kWait);

// Waits until fd shows input, its end or a failure.
bool waitReadable(int fd, double seconds = e2e::kWait);

// Puts `fd` in place of standard descriptor `target` (0 or 1) until
// destroyed; the original is restored then.
class StdSwap {
public:
    StdSwap(int fd, int target);
    ~StdSwap();
    StdSwap(const StdSwap &) = delete;
    StdSwap &operator=(const StdSwap &) = delete;

private:
    int which;
    int saved;
};

// The serial port map of this process while the object lives: COM<number>
// stands for a device, made the way the server's own map is (the Target's
// VELKOR_PORTS directory).
class Ports {
public:
    Ports();
    ~Ports();
    Ports(const Ports &) = delete;
    Ports &operator=(const Ports &) = delete;
    void add(int number, const std::string &device);
    const std::string &dir() const { return list_.dir.path(); }

private:
    e2e::PortList list_;
};

// Runs fn in a child process and returns its exit status (128 + the signal
// when a signal ended it): for what changes state of the whole process (the
// console's end of input) or must be another process (a second open).
int inChild(const std::function<int()> &fn);

}  // namespace unit

#endif
