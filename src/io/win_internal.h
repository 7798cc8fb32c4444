// What the Windows platform files share among themselves, below the seam:
// the system headers with the same settings everywhere, and the few hooks by
// which the wait (wait_win.cpp) reaches the sockets (plat_win.cpp), the
// serial ports (serial_win.cpp) and the stop requests (service_win.cpp).
#ifndef VELKOR_WIN_INTERNAL_H
#define VELKOR_WIN_INTERNAL_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// The standard C calls (strcpy, freopen) are used as on every platform;
// MSVC flags them in favour of its own _s variants.
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS
#endif

#include "plat.h"

#include <winsock2.h>
#include <windows.h>

// The event every socket the wait has seen is tied to (WSAEventSelect): set
// by any network event on any of them.
HANDLE win_socket_event();
// Ties a socket to that event, once; it is non-blocking from then on.
void win_socket_select(SOCKET s);
void win_socket_rearm();
// True when the socket's last send took everything it was given: Winsock
// will not tell when room comes, so the wait must look for itself.
bool win_socket_room_untold(SOCKET s);

// Gets a serial port ready for the wait: finishes what has completed and
// starts the read or write that tells of the next change.  Returns the
// events of `events` (KVP_IN, KVP_OUT) that are ready now; otherwise *wake
// is the event to wait on, or NULL when only the wait's time-out paces the
// port.
int win_com_prepare(HANDLE h, int events, HANDLE *wake);

// The line errors a serial port has reported since it was opened, counted:
// breaks, framing errors, parity errors, overruns.  0 for no such port.
int win_com_line_errors(HANDLE h, unsigned long counts[4]);
// Drops the bytes a serial port has read ahead and not handed out yet (a
// purge of its input).
void win_com_drop_input(HANDLE h);
// Bytes in the driver's output queue, not yet sent on the line.
unsigned long win_com_output_held(HANDLE h);

// Set, for good, once a stop is requested (a console interrupt, a service
// stop): every wait ends at once from then on.
HANDLE win_stop_event();
// A reload was asked for and not yet taken: the wait ends for it.
int win_reload_pending();

#endif
