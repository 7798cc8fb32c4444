# Cross-builds the Windows program with Debian's mingw-w64 toolchain:
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#   cmake --build build-win
# The runtime is linked statically, so the one velkor.exe needs nothing but
# the DLLs every Windows system has.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELKOR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELKOR_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${VELKOR_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${VELKOR_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELKOR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
