#!/bin/sh
# Cross-builds velkor.exe with mingw-w64 and runs the Wine smoke check on it
# (scripts/wine-smoke.py): a throw-away Wine prefix, the server started in
# it and spoken to over loopback, a COM port backed by a pseudo-terminal.
# Extra arguments go to the check (--keep keeps the prefix).
set -e
cd "$(dirname "$0")/.."
sh scripts/deps.sh cmake ninja-build g++-mingw-w64-x86-64-win32 wine wine64 python3
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
cmake --build build-win -j2
exec python3 scripts/wine-smoke.py "$@" build-win/velkor.exe
