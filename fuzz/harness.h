// The frame of every fuzz target: libFuzzer's two entry points around a
// harness class, which takes the input through a FuzzedDataProvider in its
// constructor and plays it in run().  Each input starts from a fresh fake
// seam (fake_plat.h) and leaves it fresh, with nothing it allocated held.
#ifndef VELKOR_FUZZ_HARNESS_H
#define VELKOR_FUZZ_HARNESS_H

#include "fake_plat.h"
#include "kvb/kvb.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <stddef.h>
#include <stdint.h>

#define VELKOR_FUZZ_TARGET(Harness)                                                       \
    extern "C" int LLVMFuzzerInitialize(int *, char ***)                                  \
    {                                                                                     \
        initIo();                                                                         \
        return 0;                                                                         \
    }                                                                                     \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)               \
    {                                                                                     \
        fuzz_buffer_discarded_stderr();                                                   \
        fake_reset();                                                                     \
        {                                                                                 \
            FuzzedDataProvider in(data, size);                                            \
            Harness harness(in);                                                          \
            harness.run();                                                                \
        }                                                                                 \
        fake_reset();                                                                     \
        return 0;                                                                         \
    }

#endif
