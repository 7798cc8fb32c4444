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
#include <stdio.h>

typedef intptr_t kva_handle;

// A printf-style function's format is checked where the compiler can
// (GCC, clang, mingw-w64); Visual C++ has no such attribute.
#if defined(__GNUC__)
#define KVP_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define KVP_PRINTF(fmt, first)
#endif

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

// Monotonic milliseconds, for time limits (not the time of day).
long long kvp_now_ms();
// The path of the file `name` in the directory `dir`, as the C library's
// fopen, rename and remove take it.  On Windows it is the full path with the
// \\?\ prefix, so that a name such as COM5.log is a file and not the
// serial device the system reserves the name for.
void kvp_file_path(const char *dir, const char *name, char *out, int size);
// n random bytes from the system's generator (a password's salt); 0, or -1.
int kvp_random(void *out, int n);
// One line from standard input, without its line end, into out: a
// password, read without echo (and after the prompt) on a terminal.  Its
// length, or -1 at the end of input.
int kvp_read_secret(const char *prompt, char *out, int size);
// The machine's own host name, NUL-terminated in out; 0, or -1 when the
// system cannot tell (out is then empty).
int kvp_host_name(char *out, int size);

// ---- log files -----------------------------------------------------------
// Written with the system's own calls, not the C library's buffered
// streams, so that a write reports exactly what the file took: a buffered
// stream counts bytes as written when they reach its buffer and loses them
// if the flush later fails (a full disk).
//
// A file opened for writing at its end, created when missing, that other
// programs may read, rename and remove meanwhile; -1 when it cannot be
// opened (kvp_file_error says why).
kva_handle kvp_file_open_append(const char *path);
// Its size in bytes, or -1.
long long kvp_file_size(kva_handle f);
// Writes up to len bytes at its end: the number written (only those are in
// the file; fewer than len when the disk filled), or -1 when the file took
// nothing (kvp_file_error says why).
int kvp_file_write(kva_handle f, const char *buf, int len);
void kvp_file_close(kva_handle f);
// Why the last log file call that failed did, as the system words it.
void kvp_file_error(char *text, int size);

// ---- the wait ------------------------------------------------------------
// What one device waits for in the next kvp_wait, and what of it is ready.
// KVP_LEFT_OUT is only ever set in ready (see kvp_wait).
enum { KVP_IN = 1, KVP_OUT = 2, KVP_LEFT_OUT = 4 };
enum { KVP_SOCKET = 0, KVP_COM = 1, KVP_CONSOLE = 2 };
struct KvpWatch {
    int kind;     // KVP_SOCKET, KVP_COM or KVP_CONSOLE
    intptr_t id;  // the socket or the serial handle; unused for the console
    int events;   // KVP_IN: input (a pending connection on a listener; a
                  // closed or failed device counts as input), KVP_OUT: room
                  // for output (a connect under way has finished)
    int ready;    // set by kvp_wait: the events that are ready
};
// Waits until one of the n watches is ready, a stop is requested
// (kvp_stop_requested) or usec microseconds pass (usec < 0: no time-out),
// and sets each watch's ready.  Result: the number of watches with
// something ready, 0 on time-out or stop, -1 on failure (nothing is ready
// then).  A kind the platform cannot wait on is ready when it has something
// now and is otherwise looked at again within kvpPaceMs.  A watch the
// platform's fixed tables have no room for is not waited on: its ready has
// KVP_LEFT_OUT (it does not count in the result), the wait lasts at most
// kvpPaceMs, and the caller looks at that device whatever the wait said.
enum { kvpPaceMs = 50 };
int kvp_wait(KvpWatch *watches, int n, int usec);
// Says once per table, on standard error, that a fixed table of the wait is
// full: which table and its size.  A full table is no failure (what is left
// out is still served, at a pace), but it means the table is too small for
// this server's load, which the log must show without a line per turn.
inline void kvp_table_full(bool *told, const char *table, int size)
{
    if (*told) return;
    *told = true;
    fprintf(stderr, "wait: %s is full at %d entries\n", table, size);
}
// Whether kvp_wait tells when a device of this kind (KVP_SOCKET, KVP_COM,
// KVP_CONSOLE) has input.  Where it cannot (a device it only looks at at a
// pace), the loop reads that device whatever the wait said.
int kvp_wait_tells_input(int kind);

// ---- addresses -----------------------------------------------------------
// An IPv4 or IPv6 address with its port, as the layer keeps it, whatever
// the platform's own socket address looks like.
enum { KVP_IPV4 = 4, KVP_IPV6 = 6 };
struct KvpAddr {
    int family;            // KVP_IPV4 or KVP_IPV6
    unsigned char ip[16];  // in network byte order; IPv4 uses the first 4
    unsigned short port;
    unsigned scope;        // the zone (interface index) of an IPv6 link-local address, else 0
};
// The platform's own number for a family (AF_INET, AF_INET6), as log lines
// show it.
int kvp_family_code(int family);

// ---- sockets -------------------------------------------------------------
int kvp_socket(int family);                           // stream socket of the family, or -1
// For an IPv6 socket, before it is bound: on 0 it takes IPv4 peers too
// (they show as IPv4-mapped addresses, ::ffff:a.b.c.d), on 1 IPv6 peers
// alone.  0 on success, -1 where the system does not let it be so.
int kvp_set_v6only(int s, int on);
// Binds the family's any-address (0.0.0.0, ::) on port; 0 on success.
int kvp_bind_listener(int s, int family, unsigned short port);
int kvp_is_address_in_use(int err);  // the error means another socket has that port
int kvp_bound_port(int s);           // the port a bound socket has, or -1
int kvp_listen(int s, int backlog);                   // 0 on success
int kvp_accept(int s, KvpAddr *peer);                 // new socket or -1; the peer as the system gives it
int kvp_peer(int s, KvpAddr *peer);                   // 0 and the connected socket's peer, or -1
// Connects without waiting: 0 connected at once, 1 under way (the socket
// shows KVP_OUT when it has finished), -1 failed (kvp_last_error says why).
int kvp_connect_start(int s, const KvpAddr *to);
// The outcome of a connect under way: 0 connected, 1 still under way, -1
// failed (kvp_last_error says why).
int kvp_connect_result(int s);
int kvp_timed_out_error();  // the error code of a connect that ran out of time
// TCP keepalive, so that a peer that vanished without closing is found: the
// first probe after idleSeconds of silence, then one every intervalSeconds,
// and the connection ends after `probes` unanswered ones.  A system that
// does not let a figure be set keeps its own for it.
void kvp_keepalive(int s, int idleSeconds, int intervalSeconds, int probes);

// ---- name lookups --------------------------------------------------------
// The addresses of host for a stream connection, up to max of them, in the
// order the system's resolver gives them; the number found, 0 when none
// (an unknown name, or no answer).  Blocks while a name is looked up; with
// numericOnly it only reads an address written as the system's resolver
// reads one, looks up nothing and never blocks.
int kvp_resolve(const char *host, int numericOnly, KvpAddr *out, int max);
// Runs fn(arg) on a thread of its own, which ends by itself and takes none
// of the signals that stop the server.  0, or the error code of a thread
// that could not be started.
int kvp_thread_start(void (*fn)(void *arg), void *arg);

int kvp_set_nonblocking(int s);                       // 0 on success
int kvp_recv(int s, char *buf, int len);              // recv() result
int kvp_send(int s, const char *buf, int len);        // send() result, never a signal
void kvp_close_socket(int s);

// ---- serial ports ------------------------------------------------------
// How many serial ports can be open at once, counting those still closing:
// the size of every table of ports, below the seam and above it.
enum { KVP_MAX_PORTS = 256 };
// path is the device path as the layer forms it ("\\.\COM5").
kva_handle kvp_com_open(const char *path);            // -1 when it cannot be opened
// Makes the line transparent and sets its speed, after saving the settings
// it had, which kvp_com_close puts back.  Zero when the line settings cannot
// be read or written (the device is no serial line), or when the device
// refuses the rate (0 or below too), which leaves the previous rate in force.
int kvp_com_configure(kva_handle h, int baud);
// 8 data bits, no parity, 1 stop bit on a configured port (its saved
// settings still go back at the close); zero when the device refuses.
int kvp_com_frame_8n1(kva_handle h);
int kvp_com_set_timeouts(kva_handle h, int forRead);  // non-zero on success
// 1 on success (*got bytes, maybe none), 0 on failure, KVP_COM_UNDECIDED
// while the platform is still finding out whether a line that failed has
// failed again (no bytes, and neither a success nor a failure).
enum { KVP_COM_UNDECIDED = 2 };
int kvp_com_read(kva_handle h, char *buf, int len, int *got);
// Non-zero on success; *put is the number of bytes the device has taken, and
// only those count as written.  The caller keeps the others queued and
// offers them again, first, on its next write (a platform may be sending a
// copy of them already and reports them once the device has taken them).
int kvp_com_write(kva_handle h, const char *buf, int len, int *put);
// A close in three parts, none of which waits, so that output the device
// still holds goes out at the settings it was written with while the loop
// goes on (the layer looks at it at a pace, kva.cpp):
// kvp_com_close_begin: input is no longer wanted (a read under way ends);
//   the bytes of output the device still holds (0: none, or the system
//   cannot tell), and *baud the line's speed (0: not known).
// kvp_com_output_left: those bytes now (moving a write of them along).
// kvp_com_flush_output: drops them.
// kvp_com_close: the saved settings go back, the exclusive hold is released
//   and the handle closed; what the device still holds is not waited for.
long kvp_com_close_begin(kva_handle h, long *baud);
long kvp_com_output_left(kva_handle h);
void kvp_com_flush_output(kva_handle h);
void kvp_com_close(kva_handle h);
int kvp_com_last_error();
// What an error code of the serial calls means, in a few words for the log
// ("does not exist", "in use", "not a serial line", "setting refused").
const char *kvp_com_error_text(int code);

// How long a closed port's output is waited for: the time `bytes` take on
// the line at `baud` (12 bits a byte, the longest frame: a start bit, 8 data
// bits, parity, 2 stop bits), plus a margin for the driver, and at most two
// seconds, so that a line held by flow control gives its port up soon.  A
// speed that is not known (0) counts as 9600.
enum { KVP_DRAIN_MARGIN_MS = 100, KVP_DRAIN_MOST_MS = 2000 };
inline int kvp_com_drain_ms(long bytes, long baud)
{
    if (baud <= 0) baud = 9600;
    long long ms = (long long)bytes * 12 * 1000 / baud + KVP_DRAIN_MARGIN_MS;
    return ms < KVP_DRAIN_MOST_MS ? (int)ms : (int)KVP_DRAIN_MOST_MS;
}
// Sleeps ms milliseconds: only at shutdown, where nothing else is served.
void kvp_sleep_ms(int ms);

// ---- console -----------------------------------------------------------
void kvp_console_open();                  // prepares keyboard input (no echo, no line wait)
int kvp_kbhit();                          // a key is waiting
int kvp_getch();                          // one waiting key
// While on, the keys that would signal the server (Ctrl-C, Ctrl-\, Ctrl-Z)
// and pause its output (Ctrl-S, Ctrl-Q) are plain bytes, for a board the
// console is bridged to; off puts them back as they were.
void kvp_console_keys_raw(int on);
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

// ---- process ---------------------------------------------------------------
// Process-wide set-up, made once before the first line is printed: log lines
// reach a pipe or file at once (the standard streams unbuffered), bytes
// written to standard output stay as they are (no line-end translation), and
// a send to a peer that has gone fails instead of ending the process.
// kvp_run makes it; a program that uses the layer without kvp_run calls it
// first itself.
void kvp_process_start();
// Runs serverMain as the process's body, after kvp_process_start: under a
// service manager where the platform has one that started the program,
// otherwise directly.  Returns
// serverMain's result as the exit status.
int kvp_run(int (*serverMain)(int argc, char **argv), int argc, char **argv);
// Makes the platform's stop requests (SIGTERM and SIGINT, a console
// interrupt, a service stop) end the next wait and be reported by
// kvp_stop_requested instead of ending the process.
void kvp_stop_watch();
int kvp_stop_requested();
// Whether a reload was asked for (SIGHUP; a service's "paramchange"
// control) since the last call, which takes the request: 1 once per
// request.  A request ends the wait as a stop does.
int kvp_reload_requested();

#endif
