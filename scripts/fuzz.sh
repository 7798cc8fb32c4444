#!/bin/sh
# Builds the fuzz targets (clang with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer), replays every committed case of each target
# once (fuzz/corpus/<target>/: the seeds and the regression cases), then
# fuzzes each target for the given number of seconds.  Fails on the first
# crash, with the crashing input left in the build directory; copy it to
# fuzz/corpus/<target>/regress-<what> once the fault is fixed.
#
#   sh scripts/fuzz.sh <seconds> [target...]     targets: lines commands telnet web endpoints
#
# <seconds> 0 builds and replays only.  Environment:
#   VELKOR_FUZZ_DIR       build directory (default build-fuzz)
#   VELKOR_FUZZ_NO_BUILD  set: use the build directory as it is
#   VELKOR_FUZZ_SEED      libFuzzer seed (default 1; 0 picks a new one)
# New inputs the fuzzer finds go to <build directory>/corpus-<target>, never
# into the repository; a later run starts from them too.
set -e
cd "$(dirname "$0")/.."

if [ $# -lt 1 ]; then
    echo "usage: $0 <seconds> [target...]" >&2
    exit 2
fi
seconds=$1
shift
targets=${*:-lines commands telnet web endpoints}
dir=${VELKOR_FUZZ_DIR:-build-fuzz}

if [ -z "$VELKOR_FUZZ_NO_BUILD" ]; then
    cmake -S fuzz -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
    cmake --build "$dir" -j2
fi

# Reports read better with symbols; the symbolizer of the clang in use.
if [ -z "$ASAN_SYMBOLIZER_PATH" ]; then
    for s in llvm-symbolizer llvm-symbolizer-14 /usr/lib/llvm-14/bin/llvm-symbolizer; do
        if command -v "$s" >/dev/null 2>&1; then
            ASAN_SYMBOLIZER_PATH=$(command -v "$s")
            export ASAN_SYMBOLIZER_PATH
            break
        fi
    done
fi

for t in $targets; do
    exe="$dir/fuzz_$t"
    cases="fuzz/corpus/$t"
    if [ ! -x "$exe" ] || [ ! -d "$cases" ]; then
        echo "fuzz: no target '$t'" >&2
        exit 2
    fi

    log="$dir/replay-$t.log"
    # A case that runs for a minute is a fault too (work that grows faster
    # than its input), not something to wait out.
    if ! "$exe" -timeout=60 "$cases"/* >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz: $t failed on a committed case (see $log)" >&2
        exit 1
    fi
    echo "fuzz: $t: $(ls "$cases" | wc -l) committed cases pass"

    [ "$seconds" -gt 0 ] || continue
    work="$dir/corpus-$t"
    mkdir -p "$work"
    rm -f "$dir/$t"-crash-* "$dir/$t"-leak-* "$dir/$t"-timeout-* "$dir/$t"-oom-*
    # Output of the code under test goes nowhere (-close_fd_mask); libFuzzer
    # and the sanitizers still report.  A crashing input is replayed below
    # with its output, which names the failed check.  The process may grow
    # with AddressSanitizer's quarantine; one allocation may not.  The seed
    # is fixed unless VELKOR_FUZZ_SEED says otherwise (0: a new one each
    # run), so that a run in the tests goes the same way every time.
    # web: long enough for a request that outgrows its 8 KiB bound.
    maxlen=8192
    [ "$t" != web ] || maxlen=16384
    if "$exe" -seed="${VELKOR_FUZZ_SEED:-1}" -max_total_time="$seconds" -max_len="$maxlen" \
        -timeout=30 -close_fd_mask=3 \
        -rss_limit_mb=4096 -malloc_limit_mb=256 \
        -print_final_stats=1 -artifact_prefix="$dir/$t-" "$work" "$cases" \
        >"$dir/fuzz-$t.log" 2>&1; then
        echo "fuzz: $t: $(grep -E '^stat::number_of_executed_units' "$dir/fuzz-$t.log" |
            awk '{print $2}') runs in ${seconds} s, no crash"
    else
        tail -n 40 "$dir/fuzz-$t.log"
        for found in "$dir/$t"-crash-* "$dir/$t"-leak-* "$dir/$t"-timeout-* "$dir/$t"-oom-*; do
            [ -f "$found" ] || continue
            echo "fuzz: $t: replaying $found" >&2
            FUZZ_TRACE=1 "$exe" "$found" 2>&1 | tail -n 60
        done
        echo "fuzz: $t crashed (log: $dir/fuzz-$t.log)" >&2
        exit 1
    fi
done
