# The POSIX build's view of the system: which Linux-only (or BSD-only)
# calls and facilities it has, each found by a check, written into
# posix_config.h in the build directory for the POSIX platform files.
# VELKOR_PORTABLE=ON sets every one to 0, so that the portable path beside
# each is what gets built: on Linux that tests the paths macOS and the BSDs
# take, and `nm` of that binary shows none of the Linux-only calls
# (tests/portable/imports.sh).
include(CheckCXXSymbolExists)

# velkor_have(<HAVE_name> <symbol> <headers>): HAVE_name is 1 when the
# headers declare the symbol (a function or a macro) and the build is not
# forced portable.
function(velkor_have name symbol headers)
  check_cxx_symbol_exists(${symbol} "${headers}" VELKOR_SYS_${name})
  if(VELKOR_SYS_${name} AND NOT VELKOR_PORTABLE)
    set(${name} 1 PARENT_SCOPE)
  else()
    set(${name} 0 PARENT_SCOPE)
  endif()
endfunction()

set(VELKOR_NET_HEADERS "sys/types.h;sys/socket.h;netinet/in.h;netinet/tcp.h")
velkor_have(HAVE_PPOLL ppoll "poll.h")
velkor_have(HAVE_ACCEPT4 accept4 "sys/types.h;sys/socket.h")
velkor_have(HAVE_SOCK_CLOEXEC SOCK_CLOEXEC "sys/types.h;sys/socket.h")
velkor_have(HAVE_MSG_NOSIGNAL MSG_NOSIGNAL "sys/types.h;sys/socket.h")
velkor_have(HAVE_SO_NOSIGPIPE SO_NOSIGPIPE "sys/types.h;sys/socket.h")
velkor_have(HAVE_MSG_DONTWAIT MSG_DONTWAIT "sys/types.h;sys/socket.h")
velkor_have(HAVE_TCP_KEEPIDLE TCP_KEEPIDLE "${VELKOR_NET_HEADERS}")
velkor_have(HAVE_TCP_KEEPALIVE TCP_KEEPALIVE "${VELKOR_NET_HEADERS}")
velkor_have(HAVE_TCP_KEEPINTVL TCP_KEEPINTVL "${VELKOR_NET_HEADERS}")
velkor_have(HAVE_TCP_KEEPCNT TCP_KEEPCNT "${VELKOR_NET_HEADERS}")
velkor_have(HAVE_DUAL_STACK IPV6_V6ONLY "${VELKOR_NET_HEADERS}")
# Any rate on a tty, not only those with a Bxxx name: Linux's termios2 call.
velkor_have(HAVE_TERMIOS2 TCSETS2 "asm/ioctls.h")
# A serial line's counts of breaks and receive errors: Linux's TIOCGICOUNT.
velkor_have(HAVE_TIOCGICOUNT TIOCGICOUNT "sys/ioctl.h;linux/serial.h")

# procfs and sysfs as the platform files use them are Linux's own: other
# systems have no /proc or a /proc without these semantics, and no sysfs.
set(VELKOR_LINUX_KERNEL 0)
if(CMAKE_SYSTEM_NAME MATCHES "^(Linux|Android)$")
  set(VELKOR_LINUX_KERNEL 1)
endif()
if(VELKOR_LINUX_KERNEL AND NOT VELKOR_PORTABLE)
  set(HAVE_PROC_SELF_FD 1)
  set(HAVE_SYSFS_TTY 1)
else()
  set(HAVE_PROC_SELF_FD 0)
  set(HAVE_SYSFS_TTY 0)
endif()

# macOS's poll(2) "does not support devices" (its manual's own words): it
# answers POLLNVAL for ttys, so there the wait uses select.
if(CMAKE_SYSTEM_NAME STREQUAL "Darwin" OR VELKOR_PORTABLE)
  set(HAVE_POLL_DEVICES 0)
else()
  set(HAVE_POLL_DEVICES 1)
endif()

# The built-in port map follows the family of device names the system
# gives its serial ports.  A forced-portable build on Linux keeps Linux's
# names: they are what its kernel makes, and no call depends on them.
foreach(family LINUX MACOS FREEBSD OPENBSD NETBSD NONE)
  set(VELKOR_PORTS_${family} 0)
endforeach()
if(VELKOR_LINUX_KERNEL)
  set(VELKOR_PORTS_LINUX 1)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Darwin")
  set(VELKOR_PORTS_MACOS 1)
elseif(CMAKE_SYSTEM_NAME STREQUAL "FreeBSD")
  set(VELKOR_PORTS_FREEBSD 1)
elseif(CMAKE_SYSTEM_NAME STREQUAL "OpenBSD")
  set(VELKOR_PORTS_OPENBSD 1)
elseif(CMAKE_SYSTEM_NAME STREQUAL "NetBSD")
  set(VELKOR_PORTS_NETBSD 1)
else()
  set(VELKOR_PORTS_NONE 1)
endif()

set(VELKOR_POSIX_CONFIG_DIR ${CMAKE_BINARY_DIR}/posix)
configure_file(${PROJECT_SOURCE_DIR}/src/io/posix_config.h.in
               ${VELKOR_POSIX_CONFIG_DIR}/posix_config.h)

set(VELKOR_POSIX_SUMMARY "")
foreach(name HAVE_PPOLL HAVE_POLL_DEVICES HAVE_ACCEPT4 HAVE_SOCK_CLOEXEC HAVE_MSG_NOSIGNAL HAVE_SO_NOSIGPIPE
             HAVE_MSG_DONTWAIT HAVE_TCP_KEEPIDLE HAVE_TCP_KEEPALIVE HAVE_TCP_KEEPINTVL
             HAVE_TCP_KEEPCNT HAVE_DUAL_STACK HAVE_PROC_SELF_FD HAVE_SYSFS_TTY HAVE_TERMIOS2
             HAVE_TIOCGICOUNT)
  string(APPEND VELKOR_POSIX_SUMMARY " ${name}=${${name}}")
endforeach()
message(STATUS "POSIX platform (VELKOR_PORTABLE=${VELKOR_PORTABLE}):${VELKOR_POSIX_SUMMARY}")
