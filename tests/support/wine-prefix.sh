#!/bin/sh
# A throw-away Wine prefix for running the end-to-end tests against
# velkor.exe (VELKOR_E2E_TARGET=wine, see target.h):
#   wine-prefix.sh up DIR TOOL   makes DIR a fresh prefix with a persistent
#                                wine server of its own (its pid in
#                                DIR/server.pid), boots it, and holds its one
#                                Wine session open with `TOOL hold` (TOOL is
#                                winetool.exe, support/wine/) running in the
#                                background, its pid in DIR/holder.pid; then
#                                checks that the port map can be made and
#                                read
#   wine-prefix.sh down DIR      ends that holder by its pid, stops the wine
#                                server and everything in the prefix, and
#                                removes DIR
#
# Why one held session: HKLM\HARDWARE lives in the wine server's memory
# and Wine's device manager rebuilds the port map whenever a session boots.
# A session must therefore boot once, before the tests, and never again
# while they run.  The first Wine program boots it: Wine's loader runs
# `wineboot --init` for it and waits until the session's services are up.
# (`wineboot -i` run by hand on top would start a second set of services
# and a second device manager, which rebuild the port map late.)  The
# holder keeps that session open until `down`, whatever else ends.
#
# Wine programs run with their output in files, never a pipe: the system
# processes they start live on and would hold a pipe open.  The server is
# started here, not by the first wine program, so that it never writes into
# a test's output.
set -e
usage() { echo "usage: $0 up DIR TOOL | down DIR" >&2; exit 2; }
[ $# -ge 2 ] || usage
export WINEPREFIX="$2" WINEDEBUG=-all
# No installers for Mono or Gecko: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
holder="$WINEPREFIX/holder.pid"

# The pids of the running programs named PATTERN (wine* for all of Wine's,
# the server included) that run in this prefix.
prefix_pids() {
    for dir in /proc/[0-9]*; do
        exe=$(readlink "$dir/exe" 2>/dev/null) || continue
        case "${exe##*/}" in
        $1) ;;
        *) continue ;;
        esac
        tr '\0' '\n' <"$dir/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
            echo "${dir#/proc/}"
    done
    return 0
}

down() {
    if [ -d "$WINEPREFIX" ]; then
        if [ -f "$holder" ]; then
            kill "$(cat "$holder")" 2>/dev/null || true
        fi
        wineserver -k </dev/null >/dev/null 2>&1 || true
        wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
    # A Wine process can miss the stopping server's kill and then waits
    # forever for a server that is gone.
    left=$(prefix_pids 'wine*')
    if [ -n "$left" ]; then
        echo "wine-prefix.sh: ending Wine processes that outlived their server:" $left >&2
        kill -KILL $left 2>/dev/null || true
    fi
    rm -rf "$WINEPREFIX"
}

# Says why `up` failed, shows the log file named (if any), leaves nothing
# running, and exits.
fail() {
    echo "wine-prefix.sh: $1" >&2
    [ -z "$2" ] || cat "$2" >&2
    down
    exit 1
}

# Runs `wine TOOL ARGS...`, its output in DIR/tool.log; fails if it fails.
tool() {
    wine "$tool" "$@" </dev/null >"$WINEPREFIX/tool.log" 2>&1 ||
        fail "winetool $1 failed:" "$WINEPREFIX/tool.log"
}

# Fails unless the session holder still runs.
check_holder() {
    kill -0 "$(cat "$holder")" 2>/dev/null ||
        fail "the Wine session holder (pid $(cat "$holder")) ended:" "$WINEPREFIX/holder.log"
}

case "$1" in
up)
    [ $# -eq 3 ] || usage
    tool="$3"
    [ -f "$tool" ] || { echo "wine-prefix.sh: no $tool (built with velkor.exe)" >&2; exit 1; }
    down
    start=$(date +%s)
    mkdir -p "$WINEPREFIX"
    # Where a wine server is found by the folder's inode, one still ending
    # for a removed folder that had the same inode would take this prefix's
    # place.
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    wineserver -p </dev/null >/dev/null 2>&1
    prefix_pids 'wineserver*' >"$WINEPREFIX/server.pid"
    [ "$(wc -l <"$WINEPREFIX/server.pid")" -eq 1 ] ||
        fail "not one wine server for the prefix: $(cat "$WINEPREFIX/server.pid")"
    # The first program: the prefix is made and its session booted before
    # it runs; it then empties the port map the device manager filled with
    # the machine's own ports.
    tool ports
    wine "$tool" hold </dev/null >"$WINEPREFIX/holder.log" 2>&1 &
    echo $! >"$holder"
    # The holder says so once it runs; the session is booted, so that is a
    # wine start, a second or so.  If it ends instead, the run cannot work.
    deadline=$(( $(date +%s) + 60 ))
    until grep -q '^holding' "$WINEPREFIX/holder.log" 2>/dev/null; do
        check_holder
        [ "$(date +%s)" -lt "$deadline" ] ||
            fail "the Wine session holder did not start in 60 s:" "$WINEPREFIX/holder.log"
        sleep 0.1
    done
    # The port map can be made, and read back by another program.
    tool ports velkor-check COM1
    tool list
    tr -d '\r' <"$WINEPREFIX/tool.log" | grep -qx 'velkor-check COM1' ||
        fail "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM did not keep its value:" \
             "$WINEPREFIX/tool.log"
    tool ports
    check_holder
    echo "Wine prefix $WINEPREFIX ready in $(( $(date +%s) - start )) s," \
         "its session held by pid $(cat "$holder")"
    ;;
down)
    [ $# -eq 2 ] || usage
    down
    ;;
*)
    usage
    ;;
esac
