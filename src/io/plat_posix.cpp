// The platform seam on POSIX systems: BSD sockets, termios ttys standing in
// for COM ports (through the port map), and the console on file descriptors
// 0 and 1.  See plat.h for the contract of each function.
#include "plat.h"
#include "portmap_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

// Process-wide set-up that every POSIX build needs before the first line is
// printed: log lines must reach a pipe or file at once (tests and service
// managers read them that way), and a peer that goes away must never kill
// the process with SIGPIPE (sends also pass MSG_NOSIGNAL where it exists;
// writes to a closed standard output need the ignore).
struct ProcessSetup {
    ProcessSetup()
    {
        setvbuf(stdout, nullptr, _IONBF, 0);
        setvbuf(stderr, nullptr, _IONBF, 0);
        signal(SIGPIPE, SIG_IGN);
    }
};
ProcessSetup processSetup;

int comError = 0;  // errno of the last failed serial call

}  // namespace

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

int kvp_wait(KvaSet *set, int usec)
{
    // poll(), not select(): select cannot take descriptors of 1024 and above.
    struct pollfd fds[KVA_SET_SIZE];
    unsigned n = set->count;
    for (unsigned i = 0; i < n; i++) {
        fds[i].fd = set->fds[i];
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    struct timespec ts;
    ts.tv_sec = usec / 1000000;
    ts.tv_nsec = (long)(usec % 1000000) * 1000;
    int r = ppoll(fds, n, &ts, nullptr);
    if (r < 0) {
        if (errno == EINTR) r = 0;  // a signal is no failure; nothing is ready
        else return -1;
    }
    // Like select: a closed or failed peer counts as readable.
    unsigned kept = 0;
    for (unsigned i = 0; i < n; i++)
        if (r > 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            set->fds[kept++] = set->fds[i];
    for (unsigned i = kept; i < KVA_SET_SIZE; i++) set->fds[i] = 0;
    set->count = kept;
    return (int)kept;
}

void kvp_sleep_ms(int ms)
{
    if (ms <= 0) return;
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int kvp_socket() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

namespace {

// An IPv4 socket address: the four address bytes and the port, both as
// written, in network byte order.
struct sockaddr_in ipv4Address(const unsigned char addr[4], unsigned short port)
{
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    memcpy(&a.sin_addr, addr, 4);
    return a;
}

}  // namespace

int kvp_bind_listener(int s, unsigned short port)
{
    // SO_REUSEADDR on POSIX only: it gives a restarted server the bind
    // behaviour Windows has by default (a port whose old connections sit in
    // TIME_WAIT can be bound again at once), while a port that another
    // program listens on still fails to bind.
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    static const unsigned char any[4] = {0, 0, 0, 0};
    struct sockaddr_in a = ipv4Address(any, port);
    return bind(s, (struct sockaddr *)&a, sizeof a);
}

int kvp_listen(int s, int backlog) { return listen(s, backlog); }

int kvp_accept(int s, unsigned char peer[16])
{
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    socklen_t len = sizeof a;
    int c = accept4(s, (struct sockaddr *)&a, &len, SOCK_CLOEXEC);
    if (c < 0) return -1;
    // The 16-byte layout the layer reads: family, port, IPv4 address.
    unsigned short family = a.sin_family;
    memcpy(peer, &family, 2);
    memcpy(peer + 2, &a.sin_port, 2);
    memcpy(peer + 4, &a.sin_addr, 4);
    return c;
}

int kvp_lookup(const char *host, unsigned char addr[4])
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return -1;
    memcpy(addr, &((struct sockaddr_in *)res->ai_addr)->sin_addr, 4);
    freeaddrinfo(res);
    return 0;
}

int kvp_connect(int s, const unsigned char addr[4], unsigned short port)
{
    struct sockaddr_in a = ipv4Address(addr, port);
    int r;
    do r = connect(s, (struct sockaddr *)&a, sizeof a);
    while (r != 0 && errno == EINTR);
    return r == 0 ? 0 : -1;
}

int kvp_set_nonblocking(int s)
{
    int one = 1;
    return ioctl(s, FIONBIO, &one);
}

int kvp_recv(int s, char *buf, int len) { return (int)recv(s, buf, (size_t)len, 0); }

int kvp_send(int s, const char *buf, int len)
{
    return (int)send(s, buf, (size_t)len, MSG_NOSIGNAL);
}

void kvp_close_socket(int s) { close(s); }

// ---- serial ports: ttys behind COM names -----------------------------------------

namespace {

struct SpeedEntry {
    int baud;
    speed_t speed;
};

const SpeedEntry speeds[] = {
    {50, B50},         {75, B75},           {110, B110},         {134, B134},
    {150, B150},       {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},     {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},     {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000}, {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

}  // namespace

kva_handle kvp_com_open(const char *path)
{
    // The layer hands the Windows device path "\\.\COMn"; the port map turns
    // the name after the prefix into a tty path.
    const char *name = path;
    if (strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    char dev[4096];
    if (!portmap_device_path(name, dev, sizeof dev)) {
        comError = ENOENT;
        return -1;
    }
    int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        comError = errno;
        return -1;
    }
    // Exclusive, as share mode 0 is on Windows.  TIOCEXCL alone does not stop
    // a second open by root, so an advisory lock on the device decides.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        comError = errno;
        close(fd);
        return -1;
    }
    ioctl(fd, TIOCEXCL);

    // A transparent line: no echo, no line editing, no translation, no
    // signals, no software flow control.  Character size, parity, stop bits
    // and hardware flow control stay as the device had them.
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        t.c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                 IXON | IXOFF | IXANY);
        t.c_oflag &= ~(tcflag_t)OPOST;
        t.c_lflag &= ~(tcflag_t)(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
        t.c_cflag |= CREAD | CLOCAL;
        t.c_cc[VMIN] = 0;  // reads return at once with what has arrived
        t.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

void kvp_com_set_baud(kva_handle h, int baud)
{
    // Speed 0 would hang the line up: it counts as a rate the device refuses,
    // like any rate without a speed here.  The previous speed stays in force.
    for (const SpeedEntry &e : speeds) {
        if (e.baud != baud) continue;
        struct termios t;
        if (tcgetattr((int)h, &t) != 0) return;
        cfsetispeed(&t, e.speed);
        cfsetospeed(&t, e.speed);
        tcsetattr((int)h, TCSANOW, &t);
        return;
    }
}

int kvp_com_set_timeouts(kva_handle, int)
{
    // VMIN and VTIME of the open, with a non-blocking descriptor, already make
    // every read return at once; nothing changes per read.
    return 1;
}

int kvp_com_read(kva_handle h, char *buf, int len, int *got)
{
    *got = 0;
    if (len <= 0) return 1;
    ssize_t n = read((int)h, buf, (size_t)len);
    if (n == 0) {
        // With VMIN and VTIME 0 an empty read also returns 0, so only the
        // device's state tells a line that is gone (a hung-up tty: the other
        // side of a pty closed, a USB adapter removed) from one that is quiet.
        // A line that is gone is a failed read, as ReadFile reports it.
        struct pollfd p;
        p.fd = (int)h;
        p.events = POLLIN;
        p.revents = 0;
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            comError = EIO;
            return 0;
        }
    }
    if (n >= 0) {
        *got = (int)n;
        return 1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 1;
    comError = errno;
    return 0;
}

int kvp_com_write(kva_handle h, const char *buf, int len, int *put)
{
    // Non-blocking: the device takes what it can now, the caller keeps the
    // rest queued, and a line held back by flow control never stalls the loop.
    *put = 0;
    if (len <= 0) return 1;
    ssize_t n = write((int)h, buf, (size_t)len);
    if (n >= 0) {
        *put = (int)n;
        return 1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 1;
    comError = errno;
    return 0;
}

void kvp_com_close(kva_handle h)
{
    // The exclusive flag belongs to this open: a pseudo-terminal keeps its
    // tty (and the flag) for as long as its master is open, and a flag left
    // set would bar every later open of the port by a program without root.
    ioctl((int)h, TIOCNXCL);
    close((int)h);
}

int kvp_com_last_error() { return comError; }

// ---- console --------------------------------------------------------------------

namespace {

bool consoleOpened = false;
bool ttySaved = false;
struct termios savedTty;
bool stdinEnded = false;  // end of input: no more keys, ever
bool keyPending = false;
unsigned char pendingKey = 0;

void restoreTty()
{
    if (ttySaved) tcsetattr(0, TCSANOW, &savedTty);
}

void restoreTtyAndReraise(int sig)
{
    // Only put the terminal back, then let the signal take its course.
    restoreTty();
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

void kvp_console_open()
{
    if (consoleOpened) return;
    consoleOpened = true;
    if (!isatty(0) || tcgetattr(0, &savedTty) != 0) return;
    struct termios t = savedTty;
    // Single key presses without echo and without waiting for a line end;
    // Enter arrives as CR, as a Windows console delivers it.
    t.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ECHONL);
    t.c_iflag &= ~(tcflag_t)ICRNL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ttySaved = true;
    atexit(restoreTty);
    const int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT};
    for (int sig : sigs) signal(sig, restoreTtyAndReraise);
    tcsetattr(0, TCSANOW, &t);
}

int kvp_kbhit()
{
    if (keyPending) return 1;
    if (stdinEnded) return 0;
    struct pollfd p;
    p.fd = 0;
    p.events = POLLIN;
    p.revents = 0;
    if (poll(&p, 1, 0) <= 0) return 0;
    if (p.revents & POLLNVAL) {
        stdinEnded = true;
        return 0;
    }
    // Take the byte now: only a read tells a waiting key from end of input.
    ssize_t n = read(0, &pendingKey, 1);
    if (n == 1) {
        keyPending = true;
        return 1;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        stdinEnded = true;
    return 0;
}

int kvp_getch()
{
    if (!keyPending && !kvp_kbhit()) return 0;
    keyPending = false;
    return pendingKey;
}

namespace {

int consoleOut = -1;  // where the console client's bytes are written
bool consoleOutIsSocket = false;
dev_t consoleOutDev = 0;
ino_t consoleOutIno = 0;

// The console client's output must not hold the loop when whoever reads
// standard output stops (a terminal paused with Ctrl-S, a pipe nobody
// drains): it is written through a second, non-blocking open of the same
// terminal or pipe, so descriptor 1, which carries the log lines, stays as
// it is.  A socket takes a non-blocking send; a file never holds a write.
// Standard output is looked at on every write, and opened again when it
// has been replaced.
void openConsoleOut()
{
    struct stat st;
    if (fstat(1, &st) != 0) {
        consoleOut = 1;
        return;
    }
    if (consoleOut >= 0 && st.st_dev == consoleOutDev && st.st_ino == consoleOutIno) return;
    if (consoleOut > 1) close(consoleOut);
    consoleOut = 1;
    consoleOutIsSocket = S_ISSOCK(st.st_mode);
    consoleOutDev = st.st_dev;
    consoleOutIno = st.st_ino;
    if (S_ISREG(st.st_mode) || consoleOutIsSocket) return;
    int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) consoleOut = fd;
}

}  // namespace

int kvp_write_stdout(const char *p, int n)
{
    openConsoleOut();
    ssize_t w = consoleOutIsSocket ? send(1, p, (size_t)n, MSG_DONTWAIT | MSG_NOSIGNAL)
                                   : write(consoleOut, p, (size_t)n);
    if (w >= 0) return (int)w;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return -1;
}
