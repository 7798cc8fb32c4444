// The platform seam on POSIX systems: BSD sockets, the wait, name lookups,
// the process's set-up and its stop requests.  Serial ports are
// serial_posix.cpp, the console console_posix.cpp.  See plat.h for the contract of each function.
// Where a call is Linux's own, a HAVE_ from posix_config.h chooses between
// it and the portable path written beside it.
#include "plat.h"
#include "posix_config.h"
#include "posix_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <new>

// After the system's socket headers: it has none of its own.
#include "plat_shared.h"

void kvp_file_path(const char *dir, const char *name, char *out, int size)
{
    snprintf(out, (size_t)size, "%s/%s", dir, name);
}

int kvp_host_name(char *out, int size)
{
    if (size <= 0) return -1;
    if (gethostname(out, (size_t)size) != 0) {
        out[0] = 0;
        return -1;
    }
    out[size - 1] = 0;  // a name cut short is not terminated on every system
    return 0;
}

// ---- log files ---------------------------------------------------------------

namespace {
int fileError = 0;
}

kva_handle kvp_file_open_append(const char *path)
{
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) fileError = errno;
    return fd;
}

long long kvp_file_size(kva_handle f)
{
    struct stat st;
    if (fstat((int)f, &st) != 0) return -1;
    return (long long)st.st_size;
}

int kvp_file_write(kva_handle f, const char *buf, int len)
{
    ssize_t put;
    do put = write((int)f, buf, (size_t)len);
    while (put < 0 && errno == EINTR);
    if (put < 0) fileError = errno;
    return (int)put;
}

void kvp_file_close(kva_handle f) { close((int)f); }

void kvp_file_error(char *text, int size) { snprintf(text, (size_t)size, "%s", strerror(fileError)); }

// ---- socket library ----------------------------------------------------------

int kvp_net_start(int *granted)
{
    *granted = 2;  // BSD sockets need no start-up; report what the layer asks for
    return 0;
}

void kvp_net_stop() {}

int kvp_last_error() { return errno; }

int kvp_is_would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

long kvp_fionbio_code() { return (long)FIONBIO; }

long long kvp_now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// ---- stop requests ---------------------------------------------------------------

namespace {

volatile sig_atomic_t stopFlag = 0;
volatile sig_atomic_t reloadFlag = 0;
// A signal that arrives just before the wait blocks must still end it: the
// handler writes a byte into this pipe, which every wait watches.
int stopPipe[2] = {-1, -1};

void onStopSignal(int sig)
{
    int saved = errno;
    if (sig == SIGHUP) reloadFlag = 1;
    else stopFlag = 1;
    if (stopPipe[1] >= 0) {
        char b = 1;
        ssize_t w = write(stopPipe[1], &b, 1);
        (void)w;
    }
    errno = saved;
}

}  // namespace

void kvp_stop_watch()
{
    if (stopPipe[0] >= 0) return;
    if (pipe(stopPipe) != 0) {
        stopPipe[0] = stopPipe[1] = -1;
    } else {
        for (int fd : stopPipe) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
        }
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

int kvp_stop_requested() { return stopFlag; }

int kvp_reload_requested()
{
    if (!reloadFlag) return 0;
    reloadFlag = 0;
    return 1;
}

void kvp_process_start()
{
    // Log lines must reach a pipe or file at once (tests and service
    // managers read them that way), and a peer that goes away must never
    // kill the process with SIGPIPE.  Sends also pass MSG_NOSIGNAL, or the
    // socket carries SO_NOSIGPIPE, where the system has them; where it has
    // neither, this ignore alone keeps a send to a closed socket from killing
    // the process, as it does for writes to a closed standard output.
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    signal(SIGPIPE, SIG_IGN);
}

int kvp_run(int (*serverMain)(int argc, char **argv), int argc, char **argv)
{
    kvp_process_start();
    return serverMain(argc, argv);
}

void kvp_sleep_ms(int ms) { poll(nullptr, 0, ms); }

// ---- the wait -----------------------------------------------------------------------

namespace {

enum { maxPoll = 4 * KVA_SET_SIZE + 8 };

// Adds one entry to the poll table; false when the table is full (the stop
// pipe's entry is kept free: a stop must always end the wait).
bool addPoll(struct pollfd *fds, int *at, int &count, int fd, short events, int watch)
{
    if (count >= (watch < 0 ? maxPoll : maxPoll - 1)) return false;
    fds[count].fd = fd;
    fds[count].events = events;
    fds[count].revents = 0;
    at[count++] = watch;
    return true;
}

}  // namespace

namespace {

// One wait on the table: ppoll where the system has it, for its time-out in
// nanoseconds.  No signal mask is passed, so it does nothing poll cannot:
// a stop signal that comes just before the wait ends it through the stop
// pipe either way.
int pollTable(struct pollfd *fds, int count, int usec)
{
#if HAVE_PPOLL
    struct timespec ts;
    ts.tv_sec = usec / 1000000;
    ts.tv_nsec = (long)(usec % 1000000) * 1000;
    return ppoll(fds, (nfds_t)count, usec < 0 ? nullptr : &ts, nullptr);
#else
    // poll counts in milliseconds: a wait is rounded up to the next whole
    // millisecond, never down, so that a short non-zero wait still waits
    // (rounded down to 0 it would turn the loop into a busy one).  Such a
    // wait lasts up to 999 microseconds longer than asked.
    long long ms = usec < 0 ? -1 : ((long long)usec + 999) / 1000;
    return poll(fds, (nfds_t)count, (int)ms);
#endif
}

#if !HAVE_POLL_DEVICES
// The same wait by select, for systems whose poll cannot wait on terminals
// and other devices (macOS's poll answers POLLNVAL for them): it sets each
// entry's revents as poll would, to POLLIN and POLLOUT, and to POLLNVAL for
// a descriptor that is not open.  A hang-up shows as input, as a read finds
// it.  select takes no descriptor past FD_SETSIZE: a table holding one is
// waited on by poll, which then still waits on everything but devices.
int selectTable(struct pollfd *fds, int count, int usec)
{
    fd_set in, out;
    FD_ZERO(&in);
    FD_ZERO(&out);
    int top = -1;
    for (int k = 0; k < count; k++) {
        int fd = fds[k].fd;
        fds[k].revents = 0;
        if (fd < 0) continue;
        if (fd >= FD_SETSIZE) return pollTable(fds, count, usec);
        if (fds[k].events & POLLIN) FD_SET(fd, &in);
        if (fds[k].events & POLLOUT) FD_SET(fd, &out);
        if (fd > top) top = fd;
    }
    struct timeval tv;
    tv.tv_sec = usec / 1000000;
    tv.tv_usec = usec % 1000000;
    int r = select(top + 1, &in, &out, nullptr, usec < 0 ? nullptr : &tv);
    if (r < 0 && errno == EBADF) {
        // poll answers at once for a descriptor that is not open; so here.
        int bad = 0;
        for (int k = 0; k < count; k++) {
            if (fds[k].fd < 0 || fcntl(fds[k].fd, F_GETFD) != -1) continue;
            fds[k].revents = POLLNVAL;
            bad++;
        }
        if (bad) return bad;
        errno = EBADF;
    }
    if (r <= 0) return r;
    int ready = 0;
    for (int k = 0; k < count; k++) {
        int fd = fds[k].fd;
        if (fd < 0) continue;
        if ((fds[k].events & POLLIN) && FD_ISSET(fd, &in)) fds[k].revents |= POLLIN;
        if ((fds[k].events & POLLOUT) && FD_ISSET(fd, &out)) fds[k].revents |= POLLOUT;
        if (fds[k].revents) ready++;
    }
    return ready;
}
#endif

// The wait every readiness question of the POSIX files goes through.
int waitTable(struct pollfd *fds, int count, int usec)
{
#if HAVE_POLL_DEVICES
    return pollTable(fds, count, usec);
#else
    return selectTable(fds, count, usec);
#endif
}

}  // namespace

short posix_ready_now(int fd, short events)
{
    struct pollfd p;
    p.fd = fd;
    p.events = events;
    p.revents = 0;
    return waitTable(&p, 1, 0) > 0 ? p.revents : 0;
}

// poll reports input on every kind of device: sockets, ttys, the console.
int kvp_wait_tells_input(int) { return 1; }

int kvp_wait(KvpWatch *watches, int n, int usec)
{
    // poll(), not select(), where poll waits on devices: select cannot take
    // descriptors of 1024 and above.  Sockets and ttys are polled alike; the
    // console by its descriptors.
    struct pollfd fds[maxPoll];
    int at[maxPoll];  // the watch each entry stands for; -1 for the stop pipe
    int count = 0;
    int readyNow = 0;
    bool leftOut = false;
    for (int i = 0; i < n; i++) {
        KvpWatch &w = watches[i];
        w.ready = 0;
        bool added = true;
        if (w.kind != KVP_CONSOLE) {
            short events = 0;
            if (w.events & KVP_IN) events |= POLLIN;
            if (w.events & KVP_OUT) events |= POLLOUT;
            if (events) added = addPoll(fds, at, count, (int)w.id, events, i);
        } else {
            if (w.events & KVP_IN) {
                int now = 0;
                int in = posix_console_in_fd(&now);
                if (now) {
                    w.ready |= KVP_IN;
                    readyNow++;
                } else if (in >= 0) {
                    added = addPoll(fds, at, count, in, POLLIN, i);
                }
            }
            if (w.events & KVP_OUT)
                added = addPoll(fds, at, count, posix_console_out_fd(), POLLOUT, i) && added;
        }
        if (!added) {
            w.ready |= KVP_LEFT_OUT;
            leftOut = true;
        }
    }
    if (leftOut) {
        static bool told = false;
        kvp_table_full(&told, "the poll table", maxPoll - 1);
    }
    if (stopPipe[0] >= 0) addPoll(fds, at, count, stopPipe[0], POLLIN, -1);
    // A negative time waits without end (every device here can be waited
    // on); something ready already, or a stop, does not wait at all; a
    // device left out of the table is looked at within kvpPaceMs.
    if (readyNow || stopFlag) usec = 0;
    if (leftOut && (usec < 0 || usec > kvpPaceMs * 1000)) usec = kvpPaceMs * 1000;
    int r = waitTable(fds, count, usec);
    if (r < 0) {
        if (errno != EINTR) return -1;
        r = 0;  // a signal is no failure; a stop request shows in its flag
    }
    int ready = readyNow;
    for (int k = 0; k < count && r > 0; k++) {
        short re = fds[k].revents;
        if (!re) continue;
        if (at[k] < 0) {
            char drained[64];
            while (read(stopPipe[0], drained, sizeof drained) > 0) {
            }
            continue;
        }
        KvpWatch &w = watches[at[k]];
        int before = w.ready;
        // Like select: a closed or failed device counts as ready, so that
        // its next transfer finds out what became of it.
        if ((w.events & KVP_IN) && (re & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
            w.ready |= KVP_IN;
        if ((w.events & KVP_OUT) && (re & (POLLOUT | POLLHUP | POLLERR | POLLNVAL)))
            w.ready |= KVP_OUT;
        if (!before && w.ready) ready++;
    }
    return ready;
}

// ---- sockets -----------------------------------------------------------------------

namespace {

// Every socket velkor makes or accepts is closed on exec and raises no
// SIGPIPE where the system can do either per socket; `born` says what the
// call that made it already did (SOCK_CLOEXEC, accept4).  Without them the
// flag is set right after the socket is made: velkor starts no programs, so
// the moment between the two calls exposes nothing.
int readySocket(int s, bool born)
{
    if (s < 0) return s;
    if (!born) fcntl(s, F_SETFD, fcntl(s, F_GETFD) | FD_CLOEXEC);
#if !HAVE_MSG_NOSIGNAL && HAVE_SO_NOSIGPIPE
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    return s;
}

}  // namespace

int kvp_family_code(int family) { return family == KVP_IPV6 ? AF_INET6 : AF_INET; }

int kvp_socket(int family)
{
    int domain = family == KVP_IPV6 ? AF_INET6 : AF_INET;
#if HAVE_SOCK_CLOEXEC
    return readySocket(socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0), true);
#else
    return readySocket(socket(domain, SOCK_STREAM, 0), false);
#endif
}

int kvp_set_v6only(int s, int on)
{
#if !HAVE_DUAL_STACK
    // Taken as a system whose IPv6 sockets never take IPv4 peers, as
    // OpenBSD's (and as the forced-portable build takes Linux): the
    // listener is then two sockets.
    if (!on) {
        errno = ENOPROTOOPT;
        return -1;
    }
#endif
#ifdef IPV6_V6ONLY
    return setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
#else
    (void)s;
    return 0;  // without the option an IPv6 socket takes IPv6 peers alone
#endif
}

int kvp_is_address_in_use(int err) { return err == EADDRINUSE; }

int kvp_bind_listener(int s, int family, unsigned short port)
{
    // SO_REUSEADDR on POSIX only: it gives a restarted server the bind
    // behaviour Windows has by default (a port whose old connections sit in
    // TIME_WAIT can be bound again at once), while a port that another
    // program listens on still fails to bind.
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_storage a;
    socklen_t len = plat_any_address(family, port, &a);
    return bind(s, (struct sockaddr *)&a, len);
}

int kvp_bound_port(int s)
{
    struct sockaddr_storage a;
    socklen_t len = sizeof a;
    KvpAddr bound;
    if (getsockname(s, (struct sockaddr *)&a, &len) != 0 ||
        !plat_from_sockaddr((struct sockaddr *)&a, &bound))
        return -1;
    return bound.port;
}

int kvp_listen(int s, int backlog) { return listen(s, backlog); }

int kvp_accept(int s, KvpAddr *peer)
{
    struct sockaddr_storage a;
    memset(&a, 0, sizeof a);
    socklen_t len = sizeof a;
#if HAVE_ACCEPT4
    int c = readySocket(accept4(s, (struct sockaddr *)&a, &len, SOCK_CLOEXEC), true);
#else
    int c = readySocket(accept(s, (struct sockaddr *)&a, &len), false);
#endif
    if (c < 0) return -1;
    plat_from_sockaddr((struct sockaddr *)&a, peer);
    return c;
}

int kvp_peer(int s, KvpAddr *peer)
{
    struct sockaddr_storage a;
    memset(&a, 0, sizeof a);
    socklen_t len = sizeof a;
    if (getpeername(s, (struct sockaddr *)&a, &len) != 0) return -1;
    return plat_from_sockaddr((struct sockaddr *)&a, peer) ? 0 : -1;
}

int kvp_connect_start(int s, const KvpAddr *to)
{
    int one = 1;
    if (ioctl(s, FIONBIO, &one) != 0) return -1;
    struct sockaddr_storage a;
    socklen_t len = plat_to_sockaddr(to, &a);
    if (connect(s, (struct sockaddr *)&a, len) == 0) return 0;
    return errno == EINPROGRESS || errno == EINTR ? 1 : -1;
}

int kvp_connect_result(int s)
{
    if (!posix_ready_now(s, POLLOUT)) return 1;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
    if (err == 0) return 0;
    errno = err;
    return -1;
}

int kvp_timed_out_error() { return ETIMEDOUT; }

void kvp_keepalive(int s, int idleSeconds, int intervalSeconds, int probes)
{
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
#if HAVE_TCP_KEEPIDLE
    setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
#elif HAVE_TCP_KEEPALIVE
    setsockopt(s, IPPROTO_TCP, TCP_KEEPALIVE, &idleSeconds, sizeof idleSeconds);  // macOS's name
#endif
#if HAVE_TCP_KEEPINTVL
    setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
#endif
#if HAVE_TCP_KEEPCNT
    setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
#endif
    (void)idleSeconds;
    (void)intervalSeconds;
    (void)probes;
}

// ---- name lookups --------------------------------------------------------------------

int kvp_resolve(const char *host, int numericOnly, KvpAddr *out, int max)
{
    return plat_resolve(host, numericOnly, out, max);
}

namespace {

void *runThread(void *record)
{
    plat_thread_run(record);
    return nullptr;
}

}  // namespace

int kvp_thread_start(void (*fn)(void *arg), void *arg)
{
    PlatThreadStart *start = plat_thread_record(fn, arg);
    if (!start) return ENOMEM;
    // The thread must not take the signals that stop the server: it starts
    // with every signal blocked.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int r = pthread_create(&t, &attr, runThread, start);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (r != 0) delete start;
    return r;
}

int kvp_set_nonblocking(int s)
{
    int one = 1;
    return ioctl(s, FIONBIO, &one);
}

int kvp_recv(int s, char *buf, int len) { return (int)recv(s, buf, (size_t)len, 0); }

int kvp_send(int s, const char *buf, int len)
{
#if HAVE_MSG_NOSIGNAL
    return (int)send(s, buf, (size_t)len, MSG_NOSIGNAL);
#else
    // SO_NOSIGPIPE on the socket, or the ignored SIGPIPE (kvp_process_start).
    return (int)send(s, buf, (size_t)len, 0);
#endif
}

void kvp_close_socket(int s) { close(s); }
