// Line control of a POSIX tty: termios for the rate, framing and flow
// control (termios2 on Linux for rates the Bxxx table does not name), the
// modem-line ioctls for DTR, RTS, the inputs and the break.
#include "posix_config.h"
#include "posix_internal.h"
#include "serial_control.h"

#include <errno.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#if HAVE_TIOCGICOUNT
#include <linux/serial.h>
#endif
#if HAVE_TERMIOS2
#include <asm/ioctls.h>
// The kernel's own termios with the rate as a number; <asm/termbits.h>
// cannot be included beside the C library's <termios.h>.
struct termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
#ifndef BOTHER
#define BOTHER 0010000
#endif
#endif

namespace {

int controlError = 0;

int fail()
{
    controlError = errno;
    return 0;
}

// Sets or clears the modem-control bits of `bits`.
int modemBits(kva_handle h, int bits, int on)
{
    if (ioctl((int)h, on ? TIOCMBIS : TIOCMBIC, &bits) != 0) return fail();
    return 1;
}

// A rate with a Bxxx speed is set through it, so that every program that
// reads the line back with the standard calls sees it.
int writeNamedRate(int fd, speed_t speed)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return fail();
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (tcsetattr(fd, TCSANOW, &t) != 0) return fail();
    return 1;
}

#if HAVE_TERMIOS2
long readRate(int fd, const struct termios &t)
{
    struct termios2 t2;
    if (ioctl(fd, TCGETS2, &t2) != 0) return posix_baud_of(cfgetospeed(&t));
    return (long)t2.c_ospeed;
}

// Any other rate as a number.
int writeRate(int fd, long baud)
{
    speed_t speed;
    if (posix_speed_for(baud, &speed)) return writeNamedRate(fd, speed);
    struct termios2 t2;
    if (ioctl(fd, TCGETS2, &t2) != 0) return fail();
    t2.c_cflag &= ~(tcflag_t)CBAUD;
    t2.c_cflag |= BOTHER;
    t2.c_ispeed = t2.c_ospeed = (speed_t)baud;
    if (ioctl(fd, TCSETS2, &t2) != 0) return fail();
    return 1;
}
#else
long readRate(int, const struct termios &t) { return posix_baud_of(cfgetospeed(&t)); }

int writeRate(int fd, long baud)
{
    speed_t speed;
    if (!posix_speed_for(baud, &speed)) {
        controlError = EINVAL;
        return 0;
    }
    return writeNamedRate(fd, speed);
}
#endif

}  // namespace

int posix_write_rate(int fd, long baud)
{
    if (writeRate(fd, baud)) return 1;
    errno = controlError;
    return 0;
}

int kvs_get_line(kva_handle h, KvsLine *line)
{
    struct termios t;
    if (tcgetattr((int)h, &t) != 0) return fail();
    line->baud = readRate((int)h, t);
    switch (t.c_cflag & CSIZE) {
    case CS5: line->dataBits = 5; break;
    case CS6: line->dataBits = 6; break;
    case CS7: line->dataBits = 7; break;
    default: line->dataBits = 8; break;
    }
    line->parity = KvsParityNone;
    if (t.c_cflag & PARENB) {
        line->parity = (t.c_cflag & PARODD) ? KvsParityOdd : KvsParityEven;
#ifdef CMSPAR
        if (t.c_cflag & CMSPAR)
            line->parity = (t.c_cflag & PARODD) ? KvsParityMark : KvsParitySpace;
#endif
    }
    line->stopBits = (t.c_cflag & CSTOPB) ? KvsStopTwo : KvsStopOne;
    line->flow = KvsFlowNone;
    if (t.c_iflag & (IXON | IXOFF)) line->flow = KvsFlowXonXoff;
#ifdef CRTSCTS
    if (t.c_cflag & CRTSCTS) line->flow = KvsFlowRtsCts;
#endif
    return 1;
}

int kvs_set_line(kva_handle h, const KvsLine *line)
{
    int fd = (int)h;
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return fail();
    int ok = 1;
    tcflag_t size = CS8;
    switch (line->dataBits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: ok = 0; size = t.c_cflag & CSIZE; break;
    }
    t.c_cflag = (t.c_cflag & ~(tcflag_t)CSIZE) | size;
    tcflag_t parity = 0;
    switch (line->parity) {
    case KvsParityNone: break;
    case KvsParityOdd: parity = PARENB | PARODD; break;
    case KvsParityEven: parity = PARENB; break;
#ifdef CMSPAR
    case KvsParityMark: parity = PARENB | PARODD | CMSPAR; break;
    case KvsParitySpace: parity = PARENB | CMSPAR; break;
#endif
    default: ok = 0; parity = t.c_cflag & (PARENB | PARODD); break;
    }
#ifdef CMSPAR
    if (ok || line->parity == KvsParityNone) t.c_cflag &= ~(tcflag_t)CMSPAR;
#endif
    t.c_cflag = (t.c_cflag & ~(tcflag_t)(PARENB | PARODD)) | parity;
    // Parity is checked on input but not marked: a marked error would put
    // bytes into the data the client never sent.
    if (parity) t.c_iflag |= INPCK; else t.c_iflag &= ~(tcflag_t)INPCK;
    // A tty has one and two stop bits; one and a half is refused.
    if (line->stopBits == KvsStopOne) t.c_cflag &= ~(tcflag_t)CSTOPB;
    else if (line->stopBits == KvsStopTwo) t.c_cflag |= CSTOPB;
    else ok = 0;
    t.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY);
#ifdef CRTSCTS
    t.c_cflag &= ~(tcflag_t)CRTSCTS;
#endif
    if (line->flow == KvsFlowXonXoff) {
        t.c_iflag |= IXON | IXOFF;
    } else if (line->flow == KvsFlowRtsCts) {
#ifdef CRTSCTS
        t.c_cflag |= CRTSCTS;
#else
        ok = 0;
#endif
    } else if (line->flow != KvsFlowNone) {
        ok = 0;
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0) return fail();
    if (!writeRate(fd, line->baud)) return 0;
    if (!ok) controlError = EINVAL;
    return ok;
}

int kvs_set_dtr(kva_handle h, int on) { return modemBits(h, TIOCM_DTR, on); }

int kvs_set_rts(kva_handle h, int on) { return modemBits(h, TIOCM_RTS, on); }

int kvs_set_break(kva_handle h, int on)
{
    if (ioctl((int)h, on ? TIOCSBRK : TIOCCBRK) != 0) return fail();
    return 1;
}

int kvs_modem_lines(kva_handle h, int *lines)
{
    int bits = 0;
    *lines = 0;
    if (ioctl((int)h, TIOCMGET, &bits) != 0) return fail();
    if (bits & TIOCM_CTS) *lines |= KvsCts;
    if (bits & TIOCM_DSR) *lines |= KvsDsr;
    if (bits & TIOCM_RI) *lines |= KvsRing;
    if (bits & TIOCM_CD) *lines |= KvsCd;
    return 1;
}

int kvs_line_counts(kva_handle h, KvsLineCounts *counts)
{
    *counts = KvsLineCounts{0, 0, 0, 0};
#if HAVE_TIOCGICOUNT
    struct serial_icounter_struct c;
    if (ioctl((int)h, TIOCGICOUNT, &c) != 0) return fail();
    counts->breaks = (unsigned long)c.brk;
    counts->framing = (unsigned long)c.frame;
    counts->parity = (unsigned long)c.parity;
    counts->overrun = (unsigned long)c.overrun + (unsigned long)c.buf_overrun;
    return 1;
#else
    (void)h;
    controlError = ENOTSUP;
    return 0;
#endif
}

int kvs_purge(kva_handle h, int input, int output)
{
    if (!input && !output) return 1;
    int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    if (tcflush((int)h, which) != 0) return fail();
    return 1;
}

long kvs_output_held(kva_handle h)
{
    int held = 0;
#ifdef TIOCOUTQ
    if (ioctl((int)h, TIOCOUTQ, &held) != 0) held = 0;
#else
    (void)h;
#endif
    return held > 0 ? held : 0;
}

int kvs_last_error() { return controlError; }
