// Serial ports on POSIX systems: a COM name stands for a tty through the
// port map (portmap_posix.h); the handle is the tty's descriptor.
#include "plat.h"
#include "portmap_posix.h"
#include "posix_config.h"
#include "posix_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int comError = 0;  // errno of the last failed serial call

struct SpeedEntry {
    int baud;
    speed_t speed;
};

// The rates Linux, macOS and the BSDs all name, then each of those only some
// name (Linux has them all; the BSDs and macOS some, or none).
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
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

// Each open port: the settings it had before it was opened, put back when it is closed, so that the next program to open
// the port finds it as it was.
struct OpenPort {
    int fd;  // -1: a free entry
    bool saved;
    struct termios settings;
};
OpenPort ports[KVP_MAX_PORTS];
bool portsReady = false;

OpenPort *portFor(int fd)
{
    if (!portsReady) {
        for (OpenPort &p : ports) p.fd = -1;
        portsReady = true;
    }
    for (OpenPort &p : ports)
        if (p.fd == fd) return &p;
    return nullptr;
}

// The rate a termios speed stands for; 0 when it is none of the table's.
long baudOf(speed_t speed)
{
    for (const SpeedEntry &e : speeds)
        if (e.speed == speed) return e.baud;
    return 0;
}

}  // namespace

bool posix_speed_for(long baud, speed_t *speed)
{
    for (const SpeedEntry &e : speeds) {
        if (e.baud != baud) continue;
        *speed = e.speed;
        return true;
    }
    return false;
}

long posix_baud_of(speed_t speed) { return baudOf(speed); }

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
#ifdef TIOCEXCL
    ioctl(fd, TIOCEXCL);
#endif
    // Every open port has its entry, so that its settings go back at the
    // close: with the table full, the port is not opened.
    OpenPort *p = portFor(-1);
    if (!p) {
        comError = EMFILE;
        close(fd);
        return -1;
    }
    p->fd = fd;
    p->saved = false;
    return fd;
}

int kvp_com_configure(kva_handle h, int baud)
{
    int fd = (int)h;
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        comError = errno;
        return 0;
    }
    // Only the first call saves: a later one changes the speed of a port
    // already open, and the close must still put back what it had before.
    OpenPort *p = portFor(fd);
    if (p && !p->saved) {
        p->settings = t;
        p->saved = true;
    }
    // A transparent line: no echo, no line editing, no translation, no
    // signals, no software flow control.  Character size, parity, stop bits
    // and hardware flow control stay as the device had them.
    t.c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                             IXON | IXOFF | IXANY);
    t.c_oflag &= ~(tcflag_t)OPOST;
    t.c_lflag &= ~(tcflag_t)(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;
    // Reads return at once (the descriptor is non-blocking) with what has
    // arrived, EAGAIN when nothing has, and 0 only for a line that is gone:
    // one call tells all three apart.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        comError = errno;
        return 0;
    }
    // Speed 0 would hang the line up: it is refused, as is a rate without a
    // Bxxx speed where the system has no other way to set one, or one the
    // driver rejects.  The previous speed stays in force and the caller is
    // told, so that no client is answered as if it had the rate it asked.
    if (baud <= 0) {
        comError = EINVAL;
        return 0;
    }
    if (!posix_write_rate(fd, baud)) {
        comError = errno ? errno : EINVAL;
        return 0;
    }
    return 1;
}

int kvp_com_frame_8n1(kva_handle h)
{
    struct termios t;
    if (tcgetattr((int)h, &t) != 0) {
        comError = errno;
        return 0;
    }
    t.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB);
    t.c_cflag |= CS8;
    if (tcsetattr((int)h, TCSANOW, &t) != 0) {
        comError = errno;
        return 0;
    }
    return 1;
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
        // With VMIN 1 on a non-blocking descriptor a quiet line reads as
        // EAGAIN, so an empty read is a line that is gone (a hung-up tty: the
        // other side of a pty closed, a USB adapter removed): a failed read,
        // as ReadFile reports it.
        comError = EIO;
        return 0;
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

// Output the device has taken still goes out at the speed and framing it
// was written with: the layer looks at it at a pace before the close puts
// the settings back.  (A Linux pseudo-terminal hands its output on at once:
// TIOCOUTQ reads 0 there.)
long kvp_com_close_begin(kva_handle h, long *baud)
{
    *baud = 0;
    struct termios t;
    if (tcgetattr((int)h, &t) == 0) *baud = baudOf(cfgetospeed(&t));
    return kvp_com_output_left(h);
}

long kvp_com_output_left(kva_handle h)
{
#ifdef TIOCOUTQ
    int left = 0;
    if (ioctl((int)h, TIOCOUTQ, &left) != 0 || left < 0) return 0;
    return left;
#else
    (void)h;
    return 0;
#endif
}

void kvp_com_flush_output(kva_handle h) { tcflush((int)h, TCOFLUSH); }

void kvp_com_close(kva_handle h)
{
    int fd = (int)h;
    OpenPort *p = portFor(fd);
    if (p) {
        if (p->saved) tcsetattr(fd, TCSANOW, &p->settings);
        p->fd = -1;
    }
    // The exclusive flag belongs to this open: a pseudo-terminal keeps its
    // tty (and the flag) for as long as its master is open, and a flag left
    // set would bar every later open of the port by a program without root.
#ifdef TIOCNXCL
    ioctl(fd, TIOCNXCL);
#endif
    close(fd);
}

int kvp_com_last_error() { return comError; }

const char *kvp_com_error_text(int code)
{
    switch (code) {
    case ENOENT: return "does not exist";
    case EWOULDBLOCK: return "in use by another program";  // the flock
    case EBUSY: return "in use by another program";
    case ENOTTY: return "not a serial line";
    case EINVAL: return "setting refused";
    case EACCES: return "not allowed";
    default: return strerror(code);
    }
}
