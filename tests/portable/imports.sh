#!/bin/sh
# Checks a velkor built with -DVELKOR_PORTABLE=ON: it imports none of the
# Linux-only calls its portable paths stand in for, and names none of
# Linux's own files, so what the tests ran is what macOS and the BSDs get.
# Usage: sh imports.sh <velkor binary>
set -u
bin=$1
fail=0

# The dynamic symbols the binary takes from the C library, without their
# version suffix (accept@GLIBC_2.2.5 -> accept).
imports=$(nm -D --undefined-only "$bin" | awk '{ sub(/@.*/, "", $NF); print $NF }')

# The portable calls must be there: they show that the listing is real (a
# static binary would list nothing) and that the portable paths are built.
for call in poll select accept socket fcntl; do
    if ! printf '%s\n' "$imports" | grep -qx "$call"; then
        echo "FAIL: $bin does not import $call"
        fail=1
    fi
done

linux_only=$(printf '%s\n' "$imports" |
    grep -E -x '(__)?(ppoll|accept4|pipe2|dup3|epoll_[a-z0-9_]+|eventfd|signalfd[0-9]*|inotify_[a-z0-9_]+|timerfd_[a-z_]+)(_chk)?')
if [ -n "$linux_only" ]; then
    echo "FAIL: $bin imports Linux-only calls:" $linux_only
    fail=1
fi

for path in /proc/self /sys/class; do
    if LC_ALL=C grep -q -a -F "$path" "$bin"; then
        echo "FAIL: $bin names $path"
        fail=1
    fi
done

if [ "$fail" = 0 ]; then
    echo "ok: $bin imports" $(printf '%s\n' "$imports" | grep -E -x 'poll|select|accept|socket|fcntl') \
         "and none of the Linux-only calls or files"
fi
exit "$fail"
