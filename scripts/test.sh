#!/bin/sh
# Builds velkor as scripts/start.sh does (Release), then runs every test:
# first the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer; then in a build that takes the portable path
# beside every Linux-only call (-DVELKOR_PORTABLE=ON, what macOS and the
# BSDs build): its unit, end-to-end and soak tests, and portable_imports,
# which checks that its binary uses none of those calls; last in a plain
# build, which also cross-builds velkor.exe with mingw-w64 and runs the
# end-to-end tests against it under Wine (the wine.* tests).
set -e
cd "$(dirname "$0")/.."
# npm: Debian's, unless a Node.js that brings its own npm is there already
# (Debian's npm package conflicts with such a Node.js).
command -v npm >/dev/null 2>&1 || sh scripts/deps.sh nodejs npm
sh scripts/deps.sh g++ cmake ninja-build libgtest-dev python3 socat clang libclang-rt-14-dev \
    g++-mingw-w64-x86-64-win32 wine wine64 dpkg-dev file systemd groff-base man-db iproute2 \
    python3-websockets python3-serial python3-passlib chromium libssl-dev openssl

# The build scripts/start.sh makes, whose optimiser warns of more.
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKOR_TESTS=OFF >/dev/null
cmake --build build-release

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELKOR_SANITIZE=ON >/dev/null
cmake --build build-asan
ctest --test-dir build-asan --output-on-failure -j2

# The fuzz targets link no platform file (fuzz/fake_plat.cpp): not again here.
cmake -S . -B build-portable -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_PORTABLE=ON \
    -DVELKOR_WINDOWS=OFF >/dev/null
cmake --build build-portable -j2
ctest --test-dir build-portable --output-on-failure -j2 -E '^fuzz_'

cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_WINDOWS=ON >/dev/null
cmake --build build-test
ctest --test-dir build-test --output-on-failure -j2
