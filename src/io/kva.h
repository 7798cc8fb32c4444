// The device and socket layer: free kva_ functions over a few globals.
// Sockets are ints (-1 none); a serial port is a kva_handle
// (INVALID_HANDLE_VALUE none).  Results: a byte count, 0 for "nothing now",
// negative for a closed or failed device (see each function).
#ifndef VELKOR_KVA_H
#define VELKOR_KVA_H

#include "plat.h"

const kva_handle INVALID_HANDLE_VALUE = -1;

extern KvaSet watchedSet;  // every socket opened or admitted and not yet closed
extern KvaSet readySet;    // members of watchedSet with input after the last wait

// Watched-set rules, shared by the wait, accept and close.
void kva_set_add(KvaSet *set, int s);
void kva_set_remove(KvaSet *set, int s);
int kva_set_has(const KvaSet *set, int s);

// Starts the layer (the socket library); 0 once it is started, -1 when it
// could not be (reported; asked again, it tries again only after kva_close).
// Every function that needs the layer starts it.
int kva_init();
// Waits until a watched device is ready, something asked for is due
// (kva_wake_within), or timeoutUs microseconds pass (-1: no limit of the
// caller's); the number of ready watched sockets.
int kva_wait(int timeoutUs);
// What the next wait waits for, said anew before every wait.  A watched
// socket nobody speaks for waits for input (the listener).  events is
// KVP_IN, KVP_OUT, both, or 0 for nothing at all.
void kva_watch_socket(int s, int events);
void kva_watch_com(kva_handle h, int events);
void kva_watch_console(int events);
// Something can go on without any device: the next wait does not block.
void kva_work_pending();
// Whether the last wait found input on this device (KVP_SOCKET, KVP_COM or
// KVP_CONSOLE, and its socket, handle or 0), or cannot have said otherwise:
// it did not watch the device for input, looked at no device (work was
// pending), or the platform's wait cannot tell for this kind.  A device it
// did not report has nothing to read, so the loop does not ask it.
int kva_input_reported(int kind, intptr_t id);
// Something must be looked at again within ms milliseconds.
void kva_wake_within(int ms);
int kva_close_socket(int s);
// Closes every watched socket and finishes the close of every closing port,
// each within its own time.
int kva_close();

// The listener on port, for IPv6 and IPv4 clients alike: one socket that
// takes both where the platform allows, else an IPv6 and an IPv4 socket
// (both watched; the first is returned and stands for both), and IPv4 alone
// on a host without IPv6.  A failure ends the server with status 1.
int kva_open_server(unsigned short port);
// One waiting connection of the listener (either socket of it), admitted or
// refused: with localOnly only 127.0.0.1 and ::1 (also as the IPv4-mapped
// ::ffff:127.0.0.1) are admitted, and a refused peer is logged with its
// family, then its address (IPv4 in hex, IPv6 in its text form).  The new
// socket, or -1.
int kva_accept(int listenSocket, bool localOnly);
// An address in its standard text form: dotted IPv4, or IPv6 as RFC 5952
// writes it (as inet_ntop does: 2001:db8::1, ::ffff:192.0.2.1), without a
// zone.
enum { KVA_ADDRESS_TEXT_SIZE = 46 };
void kva_address_text(const KvpAddr *a, char out[KVA_ADDRESS_TEXT_SIZE]);
// The peer of a connected socket for a log line: "127.0.0.1:40312" or
// "[::1]:40312"; "unknown" when the system cannot tell.
enum { KVA_PEER_TEXT_SIZE = KVA_ADDRESS_TEXT_SIZE + 8 };
void kva_peer_text(int s, char out[KVA_PEER_TEXT_SIZE]);
// An outgoing connection under way: the name lookup, then the connect,
// neither of which holds the loop.
struct KvaLookup;
enum { KVA_MAX_ADDRESSES = 16 };
struct KvaConnect {
    KvaLookup *lookup;  // the name lookup still under way, or null
    char host[256];     // for the log lines
    KvpAddr addrs[KVA_MAX_ADDRESSES];  // where to connect, once known
    int count;          // how many of addrs there are
    int next;           // the next of them to try
    unsigned short port;
    int s;              // the socket of the connect under way, or -1
    long long deadline; // kvp_now_ms() by which it must have succeeded
};
// How long a connect may take, lookup included, before it counts as failed.
const int kvaConnectTimeoutMs = 10000;
// Starts a connection; null when it failed at once (reported).
KvaConnect *kva_connect_begin(const char *host, unsigned short port);
// 1: still under way; 0: connected, *s is the socket (watched and
// non-blocking; ownership passes to the caller); -1: failed (reported).
int kva_connect_step(KvaConnect *c, int *s);
// What the connection waits for in the next wait.
void kva_connect_watch(KvaConnect *c);
// Ends it; a socket not handed out is closed.
void kva_connect_end(KvaConnect *c);
void kva_print_hex(const unsigned char *bytes, int count);

int kva_open_stdin();
int kva_read_socket(int fd, char *buf, int len);
int kva_send(int fd, const char *bytes, int len);

// A port still closing under the same name (its output draining) is closed
// first, what is left of that output flushed (logged).
kva_handle kva_open_com(const char *name, int baud);
// Bytes read or written, 0 for nothing now, -1 for a failed transfer
// (reported with its line; of failed reads in a row, only the first, with
// the port's name, until a read moves bytes again).  A read may also be
// KVA_READ_UNDECIDED: nothing read, and whether the line failed again is not
// known yet (neither ends nor adds to a run of failures).
enum { KVA_READ_UNDECIDED = -3 };
int kva_read_com(kva_handle h, char *buf, int room);
int kva_write_com(kva_handle h, const char *bytes, int len);
// Never waits.  A port whose device still holds output stays open, closing,
// until that output has gone or its time (kvp_com_drain_ms) is up, when it is
// flushed with a line on standard error; the waits look at it at a pace, and
// kva_close finishes every closing port.  The handle is not the caller's any
// more either way.
int kva_close_com(kva_handle h);
// Sets another speed on a port already open (the settings it had before it
// was opened still go back when it closes); 0 when the device refuses.
int kva_com_speed(kva_handle h, int baud);
// 8 data bits, no parity, 1 stop bit on a port already open (as kva_com_speed,
// its settings still go back at the close); 0 when the device refuses.
int kva_com_8n1(kva_handle h);

#endif
