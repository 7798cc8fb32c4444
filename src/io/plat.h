// The platform seam: every operating-system call the device and socket layer
// makes goes through one of these functions.  The layer above (kva.cpp, the
// endpoints, the protocol) is written once and never includes a system
// header; each platform supplies this seam in its own file:
//   plat_posix.cpp   sockets, termios ttys, the console on a POSIX system
//   plat_win.cpp     Winsock, Win32 serial ports and the console on Windows
// and likewise reg_posix.cpp / reg_win.cpp for the registry reads.
//
// Conventions: sockets are ints (-1 none); a serial port is a kva_handle
// (-1 none); functions return what the underlying call returns, and
// kvp_last_error() gives the code of the last failed socket call.
#ifndef VELKOR_PLAT_H
#define VELKOR_PLAT_H

#include <stdint.h>

typedef intptr_t kva_handle;

// Sets of sockets as the layer keeps them: an ordered list of 64 entries.
enum { KVA_SET_SIZE = 64 };
struct KvaSet {
    unsigned count;
    int fds[KVA_SET_SIZE];
};

// ---- socket library ----------------------------------------------------
// Starts the socket library; 0 on success.  *granted receives the version
// word granted (major in the low byte).  Systems without a socket library
// start-up report 0 and version 2.0.
int kvp_net_start(int *granted);
void kvp_net_stop();
int kvp_last_error();            // last socket error code
int kvp_is_would_block(int err); // the error means "the call would wait"
long kvp_fionbio_code();         // the request code printed in ioctl lines

// Waits up to usec microseconds for input on the members of *set and leaves
// only the members with input in it.  Result: members with input, 0 on
// time-out, -1 on failure (the caller empties the set then).
int kvp_wait(KvaSet *set, int usec);
void kvp_sleep_ms(int ms);

int kvp_socket();                                     // IPv4 stream socket or -1
int kvp_bind_listener(int s, unsigned short port);    // 0.0.0.0:port; 0 on success
int kvp_listen(int s, int backlog);                   // 0 on success
int kvp_accept(int s, unsigned char peer[16]);        // new socket or -1; peer as 16 bytes
int kvp_lookup(const char *host, unsigned char addr[4]); // 0 on success, IPv4 bytes
int kvp_connect(int s, const unsigned char addr[4], unsigned short port); // 0 on success
int kvp_set_nonblocking(int s);                       // 0 on success
int kvp_recv(int s, char *buf, int len);              // recv() result
int kvp_send(int s, const char *buf, int len);        // send() result, never a signal
void kvp_close_socket(int s);

// ---- serial ports ------------------------------------------------------
// path is the device path as the layer forms it ("\\.\COM5").
kva_handle kvp_com_open(const char *path);            // -1 when it cannot be opened
void kvp_com_set_baud(kva_handle h, int baud);        // a rate the device refuses is ignored
int kvp_com_set_timeouts(kva_handle h, int forRead);  // non-zero on success
int kvp_com_read(kva_handle h, char *buf, int len, int *got);        // non-zero on success
int kvp_com_write(kva_handle h, const char *buf, int len, int *put); // non-zero on success
void kvp_com_close(kva_handle h);
int kvp_com_last_error();

// ---- console -----------------------------------------------------------
void kvp_console_open();                  // prepares keyboard input (no echo, no line wait)
int kvp_kbhit();                          // a key is waiting
int kvp_getch();                          // one waiting key
int kvp_write_stdout(const char *p, int n); // raw bytes to standard output

// ---- registry (HKEY_LOCAL_MACHINE, read only) ----------------------------
typedef intptr_t kvp_key;
enum { KVP_ERROR_MORE_DATA = 234, KVP_ERROR_NO_MORE_ITEMS = 259 };
long kvp_reg_open(const char *path, kvp_key *key);   // 0 on success
long kvp_reg_enum(kvp_key key, unsigned long index, char *name, unsigned long *nameLen,
                  unsigned char *data, unsigned long *dataLen);
long kvp_reg_query(kvp_key key, const char *value, unsigned char *data,
                   unsigned long *dataLen);
void kvp_reg_close(kvp_key key);

#endif
