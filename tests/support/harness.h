// The tests' one way to start the real server, capture its logs, make
// pseudo-terminals and talk over loopback sockets, so that each end-to-end
// test reads as a short conversation.  The unit tests use the same pieces
// (unit_helpers.h adds what only in-process tests need).
//
// Everything that depends on the platform the server runs on (how it is
// started, how a serial port is provided, what the system queries answer)
// is asked of the Target (target.h); nothing here assumes a native build.
//
// Waiting is always on a condition with a deadline, never a fixed sleep.
#ifndef VELKOR_E2E_HARNESS_H
#define VELKOR_E2E_HARNESS_H

#include <gtest/gtest.h>

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// The deadline for anything the server should do "soon": generous, since
// the machine may be loaded and an idle loop turn lasts about 60 ms.
const double kWait = 10.0;

// The greeting every new client gets, and the identifier the server expects
// unless -w says otherwise.
extern const char kGreeting[];
extern const char kIdentifier[];
// The reply to "v".
extern const char kVersion[];

// Bytes as a readable C-like literal (\r, \n, \0, \xNN), cut after `limit`.
std::string escapeBytes(const std::string &bytes, size_t limit = 600);

// All 256 byte values, 0 to 255 in order.
std::string allByteValues();

// Deterministic bytes of every value, in an order that shows a lost, doubled
// or swapped block; another seed gives another stream.
std::string pattern(size_t n, unsigned seed = 12345);

// The offset of the first byte where `got` differs from `want` (want.size()
// when they are equal; got.size() when got is a short prefix).
size_t firstDifference(const std::string &got, const std::string &want);

// Calls `done` until it returns true or `seconds` have passed; true if it did.
bool waitUntil(const std::function<bool()> &done, double seconds = kWait);

// A TCP port that was free a moment ago (bound to port 0, read, closed).
int freePort();

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// One end of a byte stream the test owns: a connected socket or the master
// side of a pseudo-terminal.  Bytes read ahead of an expectation are kept
// for the next one.
class Stream {
public:
    Stream() = default;
    explicit Stream(int fd);
    ~Stream();
    Stream(Stream &&other) noexcept;
    Stream &operator=(Stream &&other) noexcept;
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    int fd() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    // Hands the descriptor over to its new owner (who closes it); the
    // stream is closed afterwards.
    int release();

    // Writes every byte (blocking).  False if the stream failed.
    bool send(const std::string &bytes);

    // Reads until exactly want.size() bytes arrived, then compares them.
    // Fails, showing both sides escaped, on any difference, on a close, or
    // when the deadline passes first.
    testing::AssertionResult expect(const std::string &want, double seconds = kWait);

    // Sends `line`, then expects exactly `reply`.
    testing::AssertionResult ask(const std::string &line, const std::string &reply,
                                 double seconds = kWait);

    // Reads until `text` has arrived and returns everything up to and
    // including it (empty, with a test failure, if it never comes).
    std::string readThrough(const std::string &text, double seconds = kWait);

    // Up to n bytes: fewer only if the stream closed or the deadline passed.
    std::string read(size_t n, double seconds = kWait);

    // The peer closes the stream without sending anything (more).
    testing::AssertionResult expectClosed(double seconds = kWait);

    void close();

private:
    // Reads what is waiting into pending_, waiting at most until `deadline`
    // (a steady-clock time in seconds).  False on end of stream or error.
    bool fill(double deadline);

    int fd_ = -1;
    bool ended_ = false;
    std::string pending_;
};

// A connected TCP client socket to 127.0.0.1:port (not open on failure),
// with a receive buffer of that size if one is given, and from the local
// address `from` if one is given (127.0.0.2 is a loopback address on Linux
// that is not 127.0.0.1).
Stream connectTo(int port, int receiveBuffer = 0, const char *from = nullptr);

// A connected TCP client socket to address:port, IPv4 or IPv6 written as
// numbers ("::1"), from the local address `from` if one is given (not open
// on failure).
Stream connectToAddress(const std::string &address, int port, const std::string &from = "");

// Runs `body` on a thread of its own in a network namespace of its own,
// which ends with the last socket or process in it: only its loopback
// interface, up, with `addresses` (IPv6, as "fd00::2/128") added to it, and
// no way out of the machine.  A server started and sockets made by `body`
// are in that network.  Returns why the namespace could not be made (body
// did not run; the test should skip), or "" once body has run.
std::string inOwnNetwork(const std::vector<std::string> &addresses,
                         const std::function<void()> &body);

// Why a native server could not be given a hosts file of its own
// (ServerOptions::hostsFile), or "" when it can.
std::string ownHostsFileUnavailable();

// Sends `bytes` on `from` and expects exactly them on `to`.
testing::AssertionResult relayed(Stream &from, Stream &to, const std::string &bytes);

// Writes as much of `data` into `stream` as goes, until nothing more has
// been taken for `quietSeconds`; the number of bytes written.  The test's
// own send buffer is kept small, so that a stall shows the server holding
// back rather than the kernel's buffering.  The stream is non-blocking
// afterwards.
size_t pushUntilStalled(Stream &stream, const std::string &data, double quietSeconds);

// Bridges a client that has sent the identifier: sends the connect or open
// command ended by LF alone and checks its ".\r\n".
testing::AssertionResult bridge(Stream &client, const std::string &command);

// A pseudo-terminal.  The test holds both sides: it talks on the master,
// and keeping the slave open means reads of the master never fail just
// because the server has not opened (or has closed) the device.  Raw, as a
// serial line; or, with `lineEditing`, as a new terminal starts (line
// editing, echo, CR read as NL, Ctrl-C an interrupt) except that output
// passes as written, so that the test reads the bytes a program wrote.
class Pty {
public:
    explicit Pty(bool lineEditing = false);
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    const std::string &slavePath() const { return slavePath_; }
    int slaveFd() const { return slave_; }
    Stream &master() { return master_; }

private:
    Stream master_;
    int slave_ = -1;
    std::string slavePath_;
};

// A TCP server of the test's own on 127.0.0.1, for the server to connect to,
// taking up to `backlog` connections before they are accepted; or on another
// local address, IPv4 or IPv6, written as numbers ("127.0.0.8", "::1"), on a
// free port or the given one.
class Listener {
public:
    explicit Listener(int backlog = 8);
    explicit Listener(const std::string &address, int port = 0, int backlog = 8);
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;
    int port() const { return port_; }
    // The next connection, or a closed stream (and a failure) by the deadline.
    Stream accept(double seconds = kWait);
    // Whether a connection is waiting to be accepted, right now.
    bool hasPending() const;

private:
    int fd_ = -1;
    int port_ = 0;
};

// Bridges `client` through the server to `host` with "c" and returns the
// host's end of the connection.
Stream bridgeToHost(Stream &client, Listener &host);

// What the target needs to give a server its serial ports.  Made fresh for
// every server; the target decides how it is filled (see Target).
struct PortList {
    TempDir dir;           // natively the directory VELKOR_PORTS names
    bool missing = false;  // the server finds no port list at all
    bool claimed = false;  // the target has cleared what an earlier list left
    bool broken = false;   // the ports could not be set up (a failure says why)
    // Under Wine: the registry's values so far, a device then its port name.
    std::vector<std::string> values;
};

struct ServerOptions {
    // Further switches after -p<port> (and -b unless `console`).
    std::vector<std::string> switches;
    // Without -b: the server's standard input and output are a
    // pseudo-terminal that the test types on and reads (console()), set as
    // a new terminal starts (Pty with line editing) and the server's
    // controlling terminal, as in a terminal window.
    bool console = false;
    // Without -b, but with standard input at its end (/dev/null) and
    // standard output captured as the log: a console that never types.
    bool consoleAtEnd = false;
    // Environment entries ("NAME=value") replacing inherited ones.
    std::vector<std::string> environment;
    // The program's name as it sees it (argv[0]); the program's path if empty.
    // Native only.
    std::string programName;
    // The test measures the server's memory: under AddressSanitizer freed
    // memory waits in a quarantine before it is reused, kept small then so
    // that memory shows what the server holds.
    bool measuresMemory = false;
    // A file the server sees as /etc/hosts, in a mount namespace of its own
    // (as root; see ownHostsFileUnavailable): names the test controls.
    std::string hostsFile;
};

// The server under test, one process.  Its logs are captured as they come.
// When the object goes, a server still running is asked to stop as a user
// would (SIGTERM, or SIGINT where that is what the target stops on), so that
// its exit, and the sanitizers' leak check at exit, are seen; it must then
// end with status 0 in good time, or it fails the test and is killed.  A
// server that ended on its own without the test asking (exitStatus), or
// that reported a sanitizer finding or a leak, fails the test.
class Server {
public:
    Server();
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Serial ports, set up before or after start: COM<number> stands for
    // `device`.  Returns the line "r" lists for the port.
    std::string addPort(int number, const std::string &device);
    std::string addPort(int number, const Pty &pty);
    // The server finds no port list at all.
    void removePorts();

    // Starts the server on a fresh free port and waits for its start-up
    // line.  False (with a test failure) if it does not come up.
    bool start(const ServerOptions &options = ServerOptions());

    // Starts the server with exactly these switches (neither -p nor -b of
    // the harness's own) and returns without waiting for it to come up: for
    // a command line it is to refuse or a port it is to fail on.  False
    // (with a test failure) if it could not be started.
    bool run(const std::vector<std::string> &switches,
             const ServerOptions &options = ServerOptions());

    int port() const { return port_; }
    pid_t pid() const { return pid_; }

    // A new connection that has been greeted ...
    Stream connect(int receiveBuffer = 0);
    // ... and has sent the identifier.
    Stream login(int receiveBuffer = 0);

    // The console client's terminal (a server started with `console`): the
    // test types and reads on its master side, and reads its settings on
    // its slave side.
    Stream &console() { return console_->master(); }
    int consoleTerminal() const { return console_->slaveFd(); }

    // The logs so far.
    std::string out();
    std::string err();
    // Waits until the standard output (or error) log contains `text`.
    testing::AssertionResult waitOut(const std::string &text, double seconds = kWait);
    testing::AssertionResult waitErr(const std::string &text, double seconds = kWait);
    // Waits until `done` holds for the two logs (stdout, stderr).
    bool waitLogs(const std::function<bool(const std::string &, const std::string &)> &done,
                  double seconds = kWait);

    // Waits for the process to end; its wait status, or -1 at the deadline.
    int exitStatus(double seconds = kWait);
    // The process ends, with this exit status.
    testing::AssertionResult exitsWith(int code, double seconds = kWait);

    // Resident memory of the server process in KiB (-1 if unknown).
    long memoryKb();

    // The CPU time (user and system, all threads) the server process has
    // used so far, in seconds; -1 if unknown.
    double cpuSeconds();

    // Sends the server process a signal.
    void signal(int sig);

    // Returns once every client in a lower slot than a new connection has
    // had at least one more full step of the main loop: a new client logs
    // in and makes one round trip (slots are stepped in order each turn).
    void passTurn();

private:
    bool launch(const std::vector<std::string> &switches, const ServerOptions &options);
    void readLogs(int outFd, int errFd);
    void stop();

    PortList ports_;
    pid_t pid_ = -1;
    int port_ = 0;
    bool reaped_ = false;
    bool exitExpected_ = false;
    int status_ = 0;
    std::unique_ptr<Pty> console_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    bool logsEnded_ = false;  // the process closed its output
};

// A started server with one client that has sent the identifier, and a TCP
// host of the test's own for the client to connect to.
class LoggedInClient : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(s.start());
        client = s.login();
    }

    Listener hostSide;
    Server s;
    Stream client;
};

// A started server on which COM5 stands for a pseudo-terminal the test holds.
class ServerWithPort : public testing::Test {
protected:
    void SetUp() override
    {
        portLine = s.addPort(5, pty);
        ASSERT_TRUE(s.start());
    }

    Pty pty;
    Server s;
    std::string portLine;  // what "r" lists for COM5
};

// How the server's log names the client on this connection: its own
// address and port as the server sees them ("127.0.0.1:40312",
// "[::1]:40312"); empty if unknown.
std::string peerText(const Stream &client);

// Counts the occurrences of `needle` in `text`.
size_t countOf(const std::string &text, const std::string &needle);

// Counts the lines of `text` that read `before`, a decimal number, `after`
// (`after` ends with the line's "\n").
size_t countNumberedLines(const std::string &text, const std::string &before,
                          const std::string &after);

}  // namespace e2e

#endif
