// The port map of POSIX builds: which tty device a COM name stands for.
//   VELKOR_PORTS set:   COM<n> is the entry $VELKOR_PORTS/COM<n> (a link to a
//                       tty, or a device node), on every system.
//   VELKOR_PORTS unset: the built-in map of the system's family, each the
//                       devices that open without waiting for a carrier:
//     Linux    COM1..COM99    /dev/ttyS0..ttyS98
//              COM100..COM199 /dev/ttyUSB0..ttyUSB99
//              COM200..COM299 /dev/ttyACM0..ttyACM99
//     FreeBSD  COM1..COM99    /dev/cuau0..cuau98     (uart)
//              COM100..COM199 /dev/cuaU0..cuaU99     (USB)
//     OpenBSD  COM1..COM99    /dev/cua00..cua98      (com)
//              COM100..COM199 /dev/cuaU0..cuaU99     (USB)
//     NetBSD   COM1..COM99    /dev/dty00..dty98      (com)
//              COM100..COM199 /dev/dtyU0..dtyU99     (USB)
//     macOS    COM1, COM2, ... the call-out devices /dev/cu.* in name
//              order, without the Bluetooth and debug ones (see
//              portmap_callout_each); macOS numbers none of them.
//     other    none: VELKOR_PORTS only.
// Only "COM" followed by a decimal number without leading zeros is mapped.
#ifndef VELKOR_PORTMAP_POSIX_H
#define VELKOR_PORTMAP_POSIX_H

#include <stddef.h>

// The number of a COM name ("COM5" gives 5), or -1 when the name has no
// place in the map.
int portmap_number(const char *name);

// The device path for a COM name; false when the name is not mapped.
bool portmap_device_path(const char *name, char *out, size_t outLen);

// What a listing of the map is handed: one port number and its device.
typedef void (*PortmapAdd)(void *ctx, int number, const char *device);

// Every name of the built-in map with its device, in number order.  The
// numbered families hand every device of their ranges, there or not; macOS
// hands what is in /dev.
void portmap_builtin_each(PortmapAdd add, void *ctx);

// The macOS rule, over the directory dir: its entries named "cu." and more,
// leaving out those whose names hold "Bluetooth", "BLTH" or "debug" (the
// built-in Bluetooth ports and debug consoles, which are no serial lines),
// in byte order of their names, as dir/<entry> with numbers 1, 2, ... (at
// most 999).
void portmap_callout_each(const char *dir, PortmapAdd add, void *ctx);

#endif
