// A platform seam without an operating system, for the fuzz targets: every
// socket, serial port and the console is a FakeDevice in memory whose reads
// hand out queued chunks and whose writes take as much as the harness
// allows; the factories' system calls fail or succeed as FakeOutcomes says;
// the registry is a list of entries in memory.
//
// The fake also polices how the layer above uses the seam: a read or write
// on a descriptor that is closed or was never opened, a double close, or a
// read asked for 0 bytes ends the process with a message, like a sanitizer
// finding.
#ifndef VELKOR_FUZZ_FAKE_PLAT_H
#define VELKOR_FUZZ_FAKE_PLAT_H

#include "io/plat.h"

#include <stdio.h>
#include <stdlib.h>

#include <deque>
#include <string>
#include <vector>

#define FUZZ_CHECK(expr)                                                                  \
    do {                                                                                  \
        if (!(expr)) {                                                                    \
            fprintf(stderr, "check failed: %s, file %s, line %d\n", #expr, __FILE__,      \
                    __LINE__);                                                            \
            abort();                                                                      \
        }                                                                                 \
    } while (0)

// FUZZ_TRACE set in the environment makes the harnesses print each step
// they take, for reading a crashing input.
bool fuzz_tracing();
#define FUZZ_TRACE(...)                                                                   \
    do {                                                                                  \
        if (fuzz_tracing()) fprintf(stderr, __VA_ARGS__);                                 \
    } while (0)

// Gives stderr a buffer when it goes to /dev/null, as while fuzzing
// (libFuzzer's -close_fd_mask): the code under test prints a line for each
// failed read or write, hundreds in one input, and unbuffered each line is
// a system call, which made most of the time of a serial port's input.
// Output that is seen (a replay, a trace) stays unbuffered, so that nothing
// is lost when a check or a sanitizer ends the process.
void fuzz_buffer_discarded_stderr();

// Bytes as a C string literal would write them, for traces.
std::string fuzz_escaped(const std::string &bytes);

class FakeDevice {
public:
    bool open = false;
    bool isCom = false;
    int family = 0;                  // a socket's KVP_IPV4 or KVP_IPV6 (0: not said)
    std::deque<std::string> chunks;  // each read takes from the front chunk only
    size_t frontTaken = 0;           // bytes of the front chunk already read
    bool eof = false;                // with no chunk left, the peer has closed
    bool readError = false;          // every read fails
    std::string taken;               // every byte reads handed out since the harness cleared it
    std::string out;                 // every byte writes took since the harness cleared it
    int writeCap = -1;               // most bytes one write takes; -1: all
    bool writeError = false;         // every write fails
    // A serial port's output it has taken and not sent on the line, which a
    // close waits for, the line's speed, and what flushes dropped.
    long outputHeld = 0;
    long baud = 0;
    long flushed = 0;

    bool hasInput() const { return !chunks.empty(); }
    // Bytes queued for reads and not yet read.
    size_t pending() const;
    void push(const std::string &bytes)
    {
        if (!bytes.empty()) chunks.push_back(bytes);
    }
    // Takes up to len bytes of the front chunk.
    int take(char *buf, int len);
    // How many of len bytes a write takes now.
    int accept(const char *buf, int len);
};

class FakeOutcomes {
public:
    bool netStartOk = true;      // the socket library starts
    bool dualStack = true;       // an IPv6 socket can take IPv4 peers too
    bool ipv6 = true;            // IPv6 sockets can be made
    int ipv6BindError = 0;       // binding an IPv6 listener fails with this error
    bool lookupOk = true;        // a name has addresses
    // How many addresses a name has (IPv4 and IPv6 by turns), and how many
    // of them, the first ones, refuse a connect; -1: by the name, so that a
    // fuzzed line chooses: 1 + its length % 3 addresses, and all but the
    // last refuse when its length is odd.
    int addressCount = -1;
    int refusingAddresses = -1;
    bool lookupHangs = false;    // a lookup's thread ends only in fake_finish_threads
    int threadError = 0;         // a lookup's thread cannot start, with this error
    bool socketOk = true;
    bool connectOk = true;
    int connectSteps = 0;        // looks a connect takes before it succeeds
    // What a host that talks first sends: queued for reading on the socket
    // the moment its connect is made.
    std::string hostGreeting;
    bool comOpenOk = true;
    bool comTimeoutsOk = true;
    bool serialCommOk = true;    // the port map key opens
    bool productOk = true;       // the product options key opens
    bool productTypeOk = true;   // its ProductType value reads
    std::string productType = std::string("Linux", 6);  // with its NUL
    // Port map entries: value name (the device) and data (the port name,
    // as stored, usually with a NUL).
    std::vector<std::pair<std::string, std::string>> ports;
};

extern FakeOutcomes fakeOutcomes;

// Forgets every device and restores the default outcomes.
void fake_reset();
// A new open socket or serial handle, and the device behind an id.
int fake_open_socket();
kva_handle fake_open_com();
FakeDevice *fake_device(intptr_t id);
FakeDevice &fake_console();
// Devices still open (the console is not counted).
int fake_open_count();
// Moves the fake clock (kvp_now_ms) on.
void fake_advance_ms(long long ms);
// Runs the threads a hanging lookup left waiting to their end.
void fake_finish_threads();
// The time-out the last kvp_wait was given, in microseconds (-1: none yet).
int fake_last_wait_usec();
// The listening socket the last kvp_accept took a connection from.
int fake_last_accepted_from();
// The device path of the last serial open.
const std::string &fake_last_com_path();

#endif
