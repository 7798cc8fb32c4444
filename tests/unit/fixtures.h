// Shared helpers of the unit tests: output capture around in-process calls,
// real loopback TCP pairs, pseudo-terminals behind VELKOR_PORTS, standard
// streams swapped for pipes, and the real server binary spawned with pipes.
#ifndef VELKOR_TESTS_FIXTURES_H
#define VELKOR_TESTS_FIXTURES_H

#include "io/kva.h"
#include "kvb/kvb.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace fx {

inline long long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

inline std::string readFile(int fd)
{
    std::string s;
    lseek(fd, 0, SEEK_SET);
    char b[4096];
    ssize_t n;
    while ((n = ::read(fd, b, sizeof b)) > 0) s.append(b, (size_t)n);
    return s;
}

// Redirects descriptors 1 and 2 into temporary files for the life of the
// object (or until stop); out and err then hold what was written.  Standard
// output and error are unbuffered in this program, so nothing lingers in a
// stdio buffer across the switch.
class Capture {
public:
    std::string out, err;

    Capture()
    {
        fflush(stdout);
        fflush(stderr);
        outFile = tmpFile();
        errFile = tmpFile();
        savedOut = dup(1);
        savedErr = dup(2);
        dup2(outFile, 1);
        dup2(errFile, 2);
        active = true;
    }
    ~Capture() { stop(); }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    void stop()
    {
        if (!active) return;
        active = false;
        fflush(stdout);
        fflush(stderr);
        dup2(savedOut, 1);
        dup2(savedErr, 2);
        close(savedOut);
        close(savedErr);
        out = readFile(outFile);
        err = readFile(errFile);
        close(outFile);
        close(errFile);
    }

private:
    static int tmpFile()
    {
        char name[] = "/tmp/velkor-capture-XXXXXX";
        int fd = mkstemp(name);
        unlink(name);
        return fd;
    }
    int outFile = -1, errFile = -1, savedOut = -1, savedErr = -1;
    bool active = false;
};

// The layer's globals back to a fresh start: nothing watched, the idle sleep
// at its initial 50.  Whatever kva_close prints is swallowed.
inline void resetLayer()
{
    {
        Capture c;
        kva_close();
    }
    kva_init();
    memset(&readySet, 0, sizeof readySet);
    idleSleepMs = 50;
}

inline unsigned short localPort(int s)
{
    struct sockaddr_in a;
    socklen_t len = sizeof a;
    getsockname(s, (struct sockaddr *)&a, &len);
    return ntohs(a.sin_port);
}

// A listening IPv4 socket on 127.0.0.1 (port 0: the system's choice).
inline int listenLoopback(unsigned short port = 0)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, (struct sockaddr *)&a, sizeof a) != 0 || listen(s, 16) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// A blocking client socket connected to 127.0.0.1:port, optionally bound to
// the local address `from` first (127.0.0.2 is a loopback address on Linux
// that is not 127.0.0.1).
inline int connectLoopback(unsigned short port, const char *from = nullptr)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    if (from) {
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        inet_pton(AF_INET, from, &a.sin_addr);
        if (bind(s, (struct sockaddr *)&a, sizeof a) != 0) {
            close(s);
            return -1;
        }
    }
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, (struct sockaddr *)&a, sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// A connected loopback TCP pair: `mine` is the accepted side (what the layer
// would admit, still blocking), `peer` the far end the test plays.
struct TcpPair {
    int mine = -1;
    int peer = -1;
    TcpPair()
    {
        int l = listenLoopback();
        peer = connectLoopback(localPort(l));
        mine = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
        close(l);
    }
    ~TcpPair()
    {
        if (mine >= 0) close(mine);
        if (peer >= 0) close(peer);
    }
    // The endpoint took `mine` over and closes it itself.
    int release()
    {
        int fd = mine;
        mine = -1;
        return fd;
    }
    TcpPair(const TcpPair &) = delete;
    TcpPair &operator=(const TcpPair &) = delete;
};

inline void setBuffers(int s, int snd, int rcv)
{
    if (snd > 0) setsockopt(s, SOL_SOCKET, SO_SNDBUF, &snd, sizeof snd);
    if (rcv > 0) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
}

// Sends the peer's close as a reset instead of an orderly FIN.
inline void closeWithReset(int s)
{
    struct linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(s);
}

inline int pendingBytes(int fd)
{
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0) return -1;
    return n;
}

// Waits until at least n bytes can be read from fd without blocking.
inline bool waitPending(int fd, int n, int timeoutMs = 3000)
{
    long long end = nowMs() + timeoutMs;
    while (pendingBytes(fd) < n) {
        if (nowMs() > end) return false;
        struct pollfd p = {fd, POLLIN, 0};
        poll(&p, 1, 10);
    }
    return true;
}

inline void sendAll(int fd, const std::string &s)
{
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += (size_t)n;
    }
}

// Reads whatever arrives within the time-out, until `want` bytes are there
// (or, with want < 0, until nothing more arrives for quietMs).
inline std::string readSome(int fd, int want, int timeoutMs = 3000, int quietMs = 100)
{
    std::string s;
    long long end = nowMs() + timeoutMs;
    while (want < 0 || (int)s.size() < want) {
        long long left = end - nowMs();
        if (left <= 0) break;
        int wait = want < 0 ? quietMs : (int)left;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, wait) <= 0) break;
        char b[65536];
        size_t room = sizeof b;
        if (want >= 0 && (size_t)(want - (int)s.size()) < room) room = (size_t)(want - (int)s.size());
        ssize_t n = ::read(fd, b, room);
        if (n <= 0) break;
        s.append(b, (size_t)n);
    }
    return s;
}

inline std::string allBytes()
{
    std::string s;
    for (int i = 0; i < 256; i++) s += (char)i;
    return s;
}

// A pseudo-terminal: the test holds the master, the layer opens the slave
// through the port map.
struct Pty {
    int master = -1;
    std::string slave;
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        grantpt(master);
        unlockpt(master);
        slave = ptsname(master);
        struct termios t;
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
    }
    ~Pty()
    {
        if (master >= 0) close(master);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
};

// A temporary VELKOR_PORTS directory whose COM<n> entries link to devices.
struct PortDir {
    std::string dir;
    std::vector<std::string> links;
    PortDir()
    {
        char name[] = "/tmp/velkor-ports-XXXXXX";
        dir = mkdtemp(name);
        setenv("VELKOR_PORTS", dir.c_str(), 1);
    }
    void link(const char *com, const std::string &target)
    {
        std::string p = dir + "/" + com;
        if (symlink(target.c_str(), p.c_str()) == 0) links.push_back(p);
    }
    ~PortDir()
    {
        for (const std::string &l : links) unlink(l.c_str());
        rmdir(dir.c_str());
        unsetenv("VELKOR_PORTS");
    }
};

// Puts `fd` in place of standard descriptor `which` (0 or 1) until
// destroyed; the original is restored then.
struct StdSwap {
    int which;
    int saved;
    StdSwap(int fd, int target) : which(target), saved(dup(target)) { dup2(fd, target); }
    ~StdSwap()
    {
        dup2(saved, which);
        close(saved);
    }
    StdSwap(const StdSwap &) = delete;
    StdSwap &operator=(const StdSwap &) = delete;
};

// The real server binary, run with the given arguments: standard output and
// standard error are pipes read separately, standard input is `stdinFd`
// (/dev/null when -1).  Only descriptors 0, 1 and 2 are inherited.  With
// ctty the process leads a session of its own whose controlling terminal is
// its standard input (a pseudo-terminal), as in a terminal window.
class Server {
public:
    pid_t pid = -1;
    int outFd = -1, errFd = -1;
    std::string out, err;
    int status = -1;

    explicit Server(const std::vector<std::string> &args, int stdinFd = -1,
                    const char *argv0 = VELKOR_BINARY, bool ctty = false)
    {
        int o[2], e[2];
        if (pipe2(o, O_CLOEXEC) != 0 || pipe2(e, O_CLOEXEC) != 0) return;
        pid = fork();
        if (pid == 0) {
            int in = stdinFd >= 0 ? stdinFd : open("/dev/null", O_RDONLY);
            dup2(in, 0);
            dup2(o[1], 1);
            dup2(e[1], 2);
            if (ctty) {
                setsid();
                ioctl(0, TIOCSCTTY, 0);
            }
            for (int fd = 3; fd < 1024; fd++) close(fd);
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(argv0));
            for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(VELKOR_BINARY, argv.data());
            _exit(127);
        }
        close(o[1]);
        close(e[1]);
        outFd = o[0];
        errFd = e[0];
    }
    ~Server()
    {
        if (pid > 0 && status == -1) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (outFd >= 0) close(outFd);
        if (errFd >= 0) close(errFd);
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Reads standard output until it holds `text`; false on time-out.
    bool waitOut(const std::string &text, int timeoutMs = 5000)
    {
        return waitFor(outFd, out, text, timeoutMs);
    }
    bool waitErr(const std::string &text, int timeoutMs = 5000)
    {
        return waitFor(errFd, err, text, timeoutMs);
    }

    // Waits for the process to end, collecting both streams; false when it
    // did not end in time.
    bool finish(int timeoutMs = 5000)
    {
        long long end = nowMs() + timeoutMs;
        for (;;) {
            pump(outFd, out, 0);
            pump(errFd, err, 0);
            int st;
            pid_t r = waitpid(pid, &st, WNOHANG);
            if (r == pid) {
                status = st;
                pump(outFd, out, 200);
                pump(errFd, err, 200);
                return true;
            }
            if (nowMs() > end) return false;
            struct pollfd p[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
            poll(p, 2, 10);
        }
    }

    bool stop(int sig)
    {
        kill(pid, sig);
        return finish();
    }

    int exitCode() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
    int termSignal() const { return WIFSIGNALED(status) ? WTERMSIG(status) : 0; }

private:
    // Appends what can be read now (waiting up to waitMs for the first byte).
    static void pump(int fd, std::string &into, int waitMs)
    {
        for (;;) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, waitMs) <= 0) return;
            char b[4096];
            ssize_t n = ::read(fd, b, sizeof b);
            if (n <= 0) return;
            into.append(b, (size_t)n);
            waitMs = 0;
        }
    }
    static bool waitFor(int fd, std::string &into, const std::string &text, int timeoutMs)
    {
        long long end = nowMs() + timeoutMs;
        while (into.find(text) == std::string::npos) {
            long long left = end - nowMs();
            if (left <= 0) return false;
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, (int)left) <= 0) return false;
            char b[4096];
            ssize_t n = ::read(fd, b, sizeof b);
            if (n <= 0) return into.find(text) != std::string::npos;
            into.append(b, (size_t)n);
        }
        return true;
    }
};

}  // namespace fx

#endif
