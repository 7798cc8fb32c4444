#!/bin/sh
# Installs what building and testing velkor needs on a Debian machine
# (run as root).  Only what is missing is installed.
set -e
need=""
for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need="$need $p"
done
if [ -n "$need" ]; then
    echo "installing:$need"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # With the recommended packages: Wine's (fonts, graphics and sound
    # libraries) are what its prefix set-up is known to work with.
    apt-get install -y -qq $need
fi
