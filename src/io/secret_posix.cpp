// What a password hash needs from the system: random bytes for its salt,
// and a password typed without echo.
#include "plat.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

int kvp_random(void *out, int n)
{
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    int got = 0;
    while (got < n) {
        ssize_t r = read(fd, (char *)out + got, (size_t)(n - got));
        if (r <= 0) break;
        got += (int)r;
    }
    close(fd);
    return got == n ? 0 : -1;
}

int kvp_read_secret(const char *prompt, char *out, int size)
{
    if (size <= 0) return -1;
    // On a terminal the prompt goes to it and the typing is not echoed; a
    // pipe is read as it is (a script that hands the password on).
    struct termios saved;
    bool tty = isatty(0) && tcgetattr(0, &saved) == 0;
    if (tty) {
        fprintf(stderr, "%s", prompt);
        struct termios quiet = saved;
        quiet.c_lflag &= ~(tcflag_t)ECHO;
        tcsetattr(0, TCSAFLUSH, &quiet);
    }
    char *r = fgets(out, size, stdin);
    if (tty) {
        tcsetattr(0, TCSAFLUSH, &saved);
        fprintf(stderr, "\n");
    }
    if (!r) return -1;
    size_t n = strlen(out);
    while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == '\r')) out[--n] = 0;
    return (int)n;
}
