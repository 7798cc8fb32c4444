// A test seam preloaded into the server (LD_PRELOAD) for what a
// pseudo-terminal cannot show: it records the line-control calls the server
// makes on a terminal, one line each, in the file $VELKOR_SHIM_LOG, and
// makes the terminal behave as a serial port where a pseudo-terminal does
// not (it keeps no data size or parity, has no modem lines, counts no
// breaks or errors).  The modem inputs it reports are read from the file
// $VELKOR_SHIM_MODEM (a decimal set of TIOCM_ bits), the counts of breaks,
// framing, parity and overrun errors from $VELKOR_SHIM_COUNTS (four
// numbers), so a test can change them.  A rate set as a number (termios2)
// is recorded, and refused (EINVAL) when it is one of the rates listed in
// $VELKOR_SHIM_REFUSED_RATES, as a device refuses a rate it cannot make.
// Test use only.
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

// The kernel's termios with the rate as a number, which TCSETS2 names;
// <asm/termbits.h> cannot be included beside <termios.h>.
struct termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};

namespace {

// What a serial port keeps that a pseudo-terminal clears.
const tcflag_t kept = CSIZE | PARENB | PARODD | CMSPAR;

int modemOut = TIOCM_DTR | TIOCM_RTS;
tcflag_t cflagKept[1024];
bool cflagSet[1024];

template <typename F> F real(const char *name) { return (F)dlsym(RTLD_NEXT, name); }

void record(const char *format, ...)
{
    const char *path = getenv("VELKOR_SHIM_LOG");
    if (!path) return;
    FILE *f = fopen(path, "a");
    if (!f) return;
    va_list ap;
    va_start(ap, format);
    vfprintf(f, format, ap);
    va_end(ap);
    fputc('\n', f);
    fclose(f);
}

int modemIn()
{
    const char *path = getenv("VELKOR_SHIM_MODEM");
    FILE *f = path ? fopen(path, "r") : nullptr;
    int bits = 0;
    if (f) {
        if (fscanf(f, "%d", &bits) != 1) bits = 0;
        fclose(f);
    }
    return bits & (TIOCM_CTS | TIOCM_DSR | TIOCM_RI | TIOCM_CD);
}

void lineCounts(struct serial_icounter_struct *c)
{
    memset(c, 0, sizeof *c);
    const char *path = getenv("VELKOR_SHIM_COUNTS");
    FILE *f = path ? fopen(path, "r") : nullptr;
    if (!f) return;
    if (fscanf(f, "%d %d %d %d", &c->brk, &c->frame, &c->parity, &c->overrun) != 4)
        memset(c, 0, sizeof *c);
    fclose(f);
}

bool shimmed(int fd) { return fd >= 0 && fd < 1024 && isatty(fd); }

// Whether the device refuses this rate: it is among the test's list.
bool refusedRate(unsigned rate)
{
    const char *list = getenv("VELKOR_SHIM_REFUSED_RATES");
    if (!list) return false;
    char word[16];
    snprintf(word, sizeof word, "%u", rate);
    size_t n = strlen(word);
    for (const char *p = strstr(list, word); p; p = strstr(p + 1, word))
        if ((p == list || p[-1] == ' ') && (p[n] == 0 || p[n] == ' ')) return true;
    return false;
}


}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (shimmed(fd)) {
        switch (request) {
        case TIOCMBIS:
            modemOut |= *(int *)arg;
            record("modem set %d", *(int *)arg);
            return 0;
        case TIOCMBIC:
            modemOut &= ~*(int *)arg;
            record("modem clear %d", *(int *)arg);
            return 0;
        case TIOCMSET:
            modemOut = *(int *)arg;
            record("modem all %d", *(int *)arg);
            return 0;
        case TIOCMGET:
            *(int *)arg = modemOut | modemIn();
            return 0;
        case TIOCGICOUNT:
            lineCounts((struct serial_icounter_struct *)arg);
            return 0;
        case TIOCSBRK:
            record("break on");
            return 0;
        case TIOCCBRK:
            record("break off");
            return 0;
#ifdef TCSETS2
        case TCSETS2: {
            unsigned rate = ((const struct termios2 *)arg)->c_ospeed;
            if (refusedRate(rate)) {
                record("rate %u refused", rate);
                errno = EINVAL;
                return -1;
            }
            record("rate %u", rate);
            break;
        }
#endif
        default:
            break;
        }
    }
    return real<int (*)(int, unsigned long, void *)>("ioctl")(fd, request, arg);
}

extern "C" int tcsetattr(int fd, int when, const struct termios *t) noexcept
{
    if (shimmed(fd)) {
        record("tcsetattr cflag %o iflag %o", (unsigned)t->c_cflag, (unsigned)t->c_iflag);
        cflagKept[fd] = t->c_cflag & kept;
        cflagSet[fd] = true;
    }
    return real<int (*)(int, int, const struct termios *)>("tcsetattr")(fd, when, t);
}

extern "C" int tcgetattr(int fd, struct termios *t) noexcept
{
    int r = real<int (*)(int, struct termios *)>("tcgetattr")(fd, t);
    if (r == 0 && shimmed(fd) && cflagSet[fd])
        t->c_cflag = (t->c_cflag & ~kept) | cflagKept[fd];
    return r;
}

extern "C" int tcflush(int fd, int which) noexcept
{
    if (shimmed(fd)) record("flush %d", which);
    return real<int (*)(int, int)>("tcflush")(fd, which);
}

extern "C" int tcsendbreak(int fd, int duration) noexcept
{
    if (shimmed(fd)) record("sendbreak %d", duration);
    return real<int (*)(int, int)>("tcsendbreak")(fd, duration);
}
