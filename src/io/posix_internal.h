// What the POSIX platform files share among themselves (never included
// above the seam): the wait in plat_posix.cpp needs to know which
// descriptors the console stands for, and every question whether a
// descriptor is ready goes through the wait's own way of asking.
#ifndef VELKOR_POSIX_INTERNAL_H
#define VELKOR_POSIX_INTERNAL_H

#include <termios.h>

// The descriptor to wait on for console keys, or -1 when none can come any
// more (end of input); *now is set when a key is already waiting.
int posix_console_in_fd(int *now);
// The descriptor the console client's output is written to.
int posix_console_out_fd();

// What descriptor fd shows now of `events` (POLLIN, POLLOUT), as poll's
// revents: POLLHUP and POLLERR too where poll reports them, POLLNVAL for a
// descriptor that is not open.  0 when nothing.  Where poll cannot wait on
// devices (posix_config.h, HAVE_POLL_DEVICES) select answers, and a
// hang-up shows as input.
short posix_ready_now(int fd, short events);

// The serial rates with a Bxxx speed on this system: the speed for a rate
// (false when it has none), and the rate a speed stands for (0: none).
bool posix_speed_for(long baud, speed_t *speed);
long posix_baud_of(speed_t speed);
// Sets a tty's rate, any the device takes (serial_control_posix.cpp): a
// Bxxx speed where there is one, else termios2 where the system has it.
// Zero, with errno set, when the device or the system refuses it.
int posix_write_rate(int fd, long baud);

#endif
