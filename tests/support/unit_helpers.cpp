#include "unit_helpers.h"

#include "target.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace unit {

namespace {

// The process-wide set-up the server makes at its start (unbuffered log
// streams, no SIGPIPE), made here before any test.
[[maybe_unused]] const bool processStarted = (kvp_process_start(), true);

int tmpFile()
{
    char name[] = "/tmp/velkor-capture-XXXXXX";
    int fd = mkstemp(name);
    unlink(name);
    return fd;
}

// Waits until the socket's peer has ended its side of the stream or reset
// the connection, whatever input is still waiting before that.
bool waitPeerGone(int fd, double seconds)
{
    struct pollfd p = {fd, POLLRDHUP, 0};
    return poll(&p, 1, (int)(seconds * 1000)) == 1;
}

std::string readFrom(int fd)
{
    std::string s;
    char b[4096];
    ssize_t n;
    for (off_t at = 0; (n = pread(fd, b, sizeof b, at)) > 0; at += n) s.append(b, (size_t)n);
    return s;
}

}  // namespace

std::string hex(const unsigned char *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

long long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// ---- Capture --------------------------------------------------------------------

Capture::Capture()
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

void Capture::stop()
{
    if (!active) return;
    active = false;
    fflush(stdout);
    fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    out = readFrom(outFile);
    err = readFrom(errFile);
    close(outFile);
    close(errFile);
}

std::string Capture::outSoFar() const { return active ? readFrom(outFile) : out; }

void resetLayer()
{
    {
        Capture c;
        kva_close();
    }
    kva_init();
    memset(&readySet, 0, sizeof readySet);
}

unsigned short localPort(int s)
{
    struct sockaddr_storage a;
    socklen_t len = sizeof a;
    memset(&a, 0, sizeof a);
    getsockname(s, (struct sockaddr *)&a, &len);
    return ntohs(a.ss_family == AF_INET6 ? ((struct sockaddr_in6 *)&a)->sin6_port
                                         : ((struct sockaddr_in *)&a)->sin_port);
}

// ---- TcpPair --------------------------------------------------------------------

TcpPair::TcpPair()
{
    e2e::Listener l;
    peer = e2e::connectTo(l.port());
    mine = l.accept().release();
    accepted = mine;
}

TcpPair::~TcpPair()
{
    if (mine >= 0) close(mine);
}

int TcpPair::release()
{
    int fd = mine;
    mine = -1;
    return fd;
}

void TcpPair::peerEnds()
{
    shutdown(peer.fd(), SHUT_WR);
    EXPECT_TRUE(waitPeerGone(accepted, e2e::kWait)) << "the end of the stream never arrived";
}

void TcpPair::peerResets()
{
    struct linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(peer.fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    peer.close();
    EXPECT_TRUE(waitPeerGone(accepted, e2e::kWait)) << "the reset never arrived";
}

void setBuffers(int s, int snd, int rcv)
{
    if (snd > 0) setsockopt(s, SOL_SOCKET, SO_SNDBUF, &snd, sizeof snd);
    if (rcv > 0) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
}

int pendingBytes(int fd)
{
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0) return -1;
    return n;
}

bool waitPending(int fd, int n, double seconds)
{
    return e2e::waitUntil([&] { return pendingBytes(fd) >= n; }, seconds);
}

bool waitReadable(int fd, double seconds)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, (int)(seconds * 1000)) == 1;
}

// ---- StdSwap --------------------------------------------------------------------

StdSwap::StdSwap(int fd, int target) : which(target), saved(dup(target)) { dup2(fd, target); }

StdSwap::~StdSwap()
{
    dup2(saved, which);
    close(saved);
}

// ---- Ports ----------------------------------------------------------------------

Ports::Ports()
{
    for (const std::string &entry : e2e::Target::get().environment(list_)) {
        size_t eq = entry.find('=');
        setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
}

Ports::~Ports() { unsetenv("VELKOR_PORTS"); }

void Ports::add(int number, const std::string &device)
{
    e2e::Target::get().addPort(list_, number, device);
}

// ---- inChild --------------------------------------------------------------------

int inChild(const std::function<int()> &fn)
{
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace unit
