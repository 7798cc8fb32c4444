#!/bin/sh
# A throw-away Wine prefix for running the end-to-end tests against
# velkor.exe (VELKOR_E2E_TARGET=wine, see target.h):
#   wine-prefix.sh up DIR     makes DIR a fresh prefix, initialised, with a
#                             persistent wine server of its own running
#   wine-prefix.sh down DIR   stops that server and everything in the
#                             prefix, and removes DIR
# Wine programs run with their output on /dev/null, never a pipe: the
# system processes they start live on and would hold a pipe open.  The
# server is started here, not by the first wine program, so that it never
# writes into a test's output.
set -e
[ $# -eq 2 ] || { echo "usage: $0 up|down DIR" >&2; exit 2; }
export WINEPREFIX="$2" WINEDEBUG=-all
# No installers for Mono or Gecko: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="

down() {
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k </dev/null >/dev/null 2>&1 || true
        wineserver -w </dev/null >/dev/null 2>&1 || true
        rm -rf "$WINEPREFIX"
    fi
}

case "$1" in
up)
    down
    start=$(date +%s)
    mkdir -p "$WINEPREFIX"
    # A wine server is found by the folder's inode: one still ending for a
    # removed folder that had the same inode would take this prefix's place.
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    wineserver -p </dev/null >/dev/null 2>&1
    wine wineboot -i </dev/null >/dev/null 2>&1
    # The first start-up in a new prefix can leave two service managers
    # running, each with a service database of its own; a start of the made
    # prefix runs one.
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    wineserver -p </dev/null >/dev/null 2>&1
    wine wineboot </dev/null >/dev/null 2>&1
    echo "Wine prefix $WINEPREFIX ready in $(( $(date +%s) - start )) s"
    ;;
down)
    down
    ;;
*)
    echo "usage: $0 up|down DIR" >&2
    exit 2
    ;;
esac
