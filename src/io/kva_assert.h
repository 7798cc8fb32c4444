// Invariant checks that stay in every build: a broken invariant is a bug we
// want reported with its expression and file, never undefined behaviour.
#ifndef VELKOR_KVA_ASSERT_H
#define VELKOR_KVA_ASSERT_H

#include <stdio.h>
#include <stdlib.h>

#define KVA_ASSERT(expr)                                                          \
    do {                                                                          \
        if (!(expr)) {                                                            \
            fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", #expr,    \
                    __FILE__, __LINE__);                                          \
            abort();                                                              \
        }                                                                         \
    } while (0)

// Running out of memory ends the process, everywhere, with a line that says
// what could not be had: a server that cannot queue a reply or hold a
// client has no sound way on, and ending at once is better than a client
// left with lost data.
[[noreturn]] inline void kva_out_of_memory(const char *what)
{
    fprintf(stderr, "out of memory for %s\n", what);
    abort();
}

#endif
