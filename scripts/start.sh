#!/bin/sh
# Builds velkor (npm fetches the browser console's pinned xterm.js, web/)
# and starts it with its defaults (port 9999, loopback
# clients only, the console as the first client).
set -e
cd "$(dirname "$0")/.."
# npm: Debian's, unless a Node.js that brings its own npm is there already
# (Debian's npm package conflicts with such a Node.js).
command -v npm >/dev/null 2>&1 || sh scripts/deps.sh nodejs npm
sh scripts/deps.sh g++ cmake ninja-build libssl-dev
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKOR_TESTS=OFF >/dev/null
cmake --build build
exec ./build/velkor "$@"
