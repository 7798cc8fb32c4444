// The console on POSIX systems: key presses from standard input without
// echo and without waiting for a line end, and the console client's output
// written to standard output without ever holding the loop.
#include "plat.h"
#include "posix_internal.h"

#include <errno.h>
#include <fcntl.h>
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

int posix_console_in_fd(int *now)
{
    *now = keyPending;
    return stdinEnded ? -1 : 0;
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

int posix_console_out_fd()
{
    openConsoleOut();
    return consoleOut;
}

int kvp_write_stdout(const char *p, int n)
{
    openConsoleOut();
    ssize_t w = consoleOutIsSocket ? send(1, p, (size_t)n, MSG_DONTWAIT | MSG_NOSIGNAL)
                                   : write(consoleOut, p, (size_t)n);
    if (w >= 0) return (int)w;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return -1;
}
