// The port map of POSIX builds: which tty device a COM name stands for.
//   VELKOR_PORTS set:   COM<n> is the entry $VELKOR_PORTS/COM<n> (a link to a
//                       tty, or a device node).
//   VELKOR_PORTS unset: COM1..COM99    are /dev/ttyS0..ttyS98,
//                       COM100..COM199 are /dev/ttyUSB0..ttyUSB99,
//                       COM200..COM299 are /dev/ttyACM0..ttyACM99.
// Only "COM" followed by a decimal number without leading zeros is mapped.
#ifndef VELKOR_PORTMAP_POSIX_H
#define VELKOR_PORTMAP_POSIX_H

#include <stddef.h>

// The number of a COM name ("COM5" gives 5), or -1 when the name has no
// place in the map.
int portmap_number(const char *name);

// The device path for a COM name; false when the name is not mapped.
bool portmap_device_path(const char *name, char *out, size_t outLen);

#endif
