// What a password hash needs from the system: random bytes for its salt
// (the system's own generator), and a password typed without echo.
#include "plat.h"

#include <windows.h>
// RtlGenRandom: advapi32's SystemFunction036.
#include <ntsecapi.h>
#include <stdio.h>
#include <string.h>

int kvp_random(void *out, int n)
{
    return RtlGenRandom(out, (ULONG)n) ? 0 : -1;
}

int kvp_read_secret(const char *prompt, char *out, int size)
{
    if (size <= 0) return -1;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    bool console = GetConsoleMode(in, &mode) != 0;
    if (console) {
        fprintf(stderr, "%s", prompt);
        SetConsoleMode(in, mode & ~(DWORD)ENABLE_ECHO_INPUT);
    }
    char *r = fgets(out, size, stdin);
    if (console) {
        SetConsoleMode(in, mode);
        fprintf(stderr, "\n");
    }
    if (!r) return -1;
    size_t n = strlen(out);
    while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == '\r')) out[--n] = 0;
    return (int)n;
}
