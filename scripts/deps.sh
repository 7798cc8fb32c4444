#!/bin/sh
# Installs what building and testing velkor needs on a Debian machine
# (run as root).  Only what is missing is installed.  apt's own output goes
# to a log that is shown only when the installation fails: its progress
# lines would bury the test results.
set -e
need=""
for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need="$need $p"
done
[ -n "$need" ] || exit 0
echo "installing:$need"
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp "${TMPDIR:-/tmp}/velkor-deps.XXXXXX")
# With the recommended packages: Wine's (fonts, graphics and sound
# libraries) are what its prefix set-up is known to work with.
if ! { apt-get -q update && apt-get -q install -y --install-recommends $need; } >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "deps.sh: installing$need failed (apt's output above)" >&2
    exit 1
fi
rm -f "$log"
