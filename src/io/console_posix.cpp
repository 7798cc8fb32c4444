// The console on POSIX systems: key presses from standard input without
// echo and without waiting for a line end, and the console client's output
// written to standard output without ever holding the loop.
#include "plat.h"
#include "posix_config.h"
#include "posix_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

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
    // A normal end (also after SIGTERM or SIGINT, which stop the server
    // cleanly) puts the terminal back through atexit; the signals that end
    // the process at once do it in their handler.
    atexit(restoreTty);
    const int sigs[] = {SIGHUP, SIGQUIT, SIGABRT};
    for (int sig : sigs) signal(sig, restoreTtyAndReraise);
    tcsetattr(0, TCSANOW, &t);
}

void kvp_console_keys_raw(int on)
{
    if (!ttySaved) return;
    struct termios t;
    if (tcgetattr(0, &t) != 0) return;
    if (on) {
        t.c_lflag &= ~(tcflag_t)ISIG;
        t.c_iflag &= ~(tcflag_t)(IXON | IXOFF);
    } else {
        t.c_lflag = (t.c_lflag & ~(tcflag_t)ISIG) | (savedTty.c_lflag & ISIG);
        t.c_iflag = (t.c_iflag & ~(tcflag_t)(IXON | IXOFF)) | (savedTty.c_iflag & (IXON | IXOFF));
    }
    tcsetattr(0, TCSANOW, &t);
}

int kvp_kbhit()
{
    if (keyPending) return 1;
    if (stdinEnded) return 0;
    short ready = posix_ready_now(0, POLLIN);
    if (!ready) return 0;
    if (ready & POLLNVAL) {
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

int posix_console_in_fd(int *now)
{
    *now = keyPending;
    return stdinEnded ? -1 : 0;
}

namespace {

// How the console client's bytes reach standard output.
enum OutWay {
    outPlain,     // write(): a regular file, which never holds a write
    outReopened,  // write() to a second, non-blocking open of the same file
    outSocket,    // a send that never waits (MSG_DONTWAIT)
    outPolled,    // poll for room first, then at most PIPE_BUF bytes a write
};

int consoleOut = -1;  // where the console client's bytes are written
OutWay outWay = outPlain;
dev_t consoleOutDev = 0;
ino_t consoleOutIno = 0;

// A second open of what descriptor 1 is, non-blocking, or -1 where the
// system has no way to reach it.  Linux's /proc opens the very terminal,
// pipe or device anew.  Elsewhere a terminal is opened again by its name;
// a pipe has none.
int openAgain(bool terminal)
{
    const int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
#if HAVE_PROC_SELF_FD
    (void)terminal;
    return open("/proc/self/fd/1", flags);
#else
    const char *name = terminal ? ttyname(1) : nullptr;
    return name ? open(name, flags) : -1;
#endif
}

// The console client's output must not hold the loop when whoever reads
// standard output stops (a terminal paused with Ctrl-S, a pipe nobody
// drains).  Descriptor 1 itself must stay blocking: it carries the log
// lines, and its non-blocking flag would belong to the whole open file,
// shared with whoever else writes to it (the shell, a parent).  So the
// bytes go out by one of these ways, chosen again whenever standard output
// has been replaced:
//   a regular file       a plain write, which never holds;
//   a socket             a send that never waits, where the system has one;
//   a terminal or pipe   a second, non-blocking open of the same one
//                        (openAgain);
//   anything else        (a pipe where /proc cannot open it again, a socket
//                        without MSG_DONTWAIT, a terminal whose name cannot
//                        be opened) descriptor 1 is polled for room first
//                        and given at most PIPE_BUF bytes a write, see
//                        writePolled.
void openConsoleOut()
{
    struct stat st;
    if (fstat(1, &st) != 0) {
        consoleOut = 1;
        outWay = outPlain;  // the write reports what became of descriptor 1
        return;
    }
    if (consoleOut >= 0 && st.st_dev == consoleOutDev && st.st_ino == consoleOutIno) return;
    if (consoleOut > 1) close(consoleOut);
    consoleOut = 1;
    consoleOutDev = st.st_dev;
    consoleOutIno = st.st_ino;
    if (S_ISREG(st.st_mode)) {
        outWay = outPlain;
        return;
    }
    if (S_ISSOCK(st.st_mode)) {
#if HAVE_MSG_DONTWAIT
        outWay = outSocket;
#else
        outWay = outPolled;
#endif
        return;
    }
    int fd = openAgain(isatty(1) != 0);
    if (fd >= 0) {
        consoleOut = fd;
        outWay = outReopened;
    } else {
        outWay = outPolled;
    }
}

// Writes to descriptor 1 only what it takes without waiting, as far as
// poll can tell: room for PIPE_BUF bytes is what poll's POLLOUT promises on
// a pipe (on Linux, the BSDs and macOS), and a write of at most PIPE_BUF
// bytes into a pipe goes in whole or waits, so it never waits then.  A
// descriptor some other owner made non-blocking is written plainly.  What
// this loses next to a second open: a socket or a terminal that reports
// room for fewer bytes than a write brings can hold that write until the
// reader takes them, and output goes out PIPE_BUF bytes a write.
int writePolled(const char *p, int n)
{
    int flags = fcntl(1, F_GETFL);
    bool nonBlocking = flags >= 0 && (flags & O_NONBLOCK);
    int done = 0;
    while (done < n) {
        size_t chunk = (size_t)(n - done);
        if (!nonBlocking) {
            // Not ready: the rest waits for a later turn.  A reader that is
            // gone, or a descriptor that is closed, also shows here; the
            // write then says what it is.
            if (!posix_ready_now(1, POLLOUT)) break;
            if (chunk > PIPE_BUF) chunk = PIPE_BUF;
        }
        ssize_t w = write(1, p + done, chunk);
        if (w < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
            return done ? done : -1;  // the next call reports the failure
        }
        done += (int)w;
        if ((size_t)w < chunk) break;
    }
    return done;
}

}  // namespace

int posix_console_out_fd()
{
    openConsoleOut();
    return consoleOut;
}

int kvp_write_stdout(const char *p, int n)
{
    openConsoleOut();
    if (outWay == outPolled) return writePolled(p, n);
    ssize_t w;
#if HAVE_MSG_DONTWAIT
    if (outWay == outSocket) {
#if HAVE_MSG_NOSIGNAL
        w = send(1, p, (size_t)n, MSG_DONTWAIT | MSG_NOSIGNAL);
#else
        w = send(1, p, (size_t)n, MSG_DONTWAIT);  // SIGPIPE is ignored (plat_posix.cpp)
#endif
    } else
#endif
    {
        w = write(consoleOut, p, (size_t)n);
    }
    if (w >= 0) return (int)w;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return -1;
}
