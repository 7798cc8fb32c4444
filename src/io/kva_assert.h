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

#endif
