// The device and socket layer.  Everything here is platform independent:
// the system calls themselves go through the seam in plat.h, so the watched
// set, the wait with its adaptive idle sleep, every result code and every
// log line are the same on every platform.
#include "kva.h"

#include "kva_assert.h"

#include <new>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

KvaSet watchedSet;
KvaSet readySet;
int layerStarted = 0;

// ---- socket sets ----------------------------------------------------------

void kva_set_add(KvaSet *set, int s)
{
    // A full set silently leaves the socket unwatched; it is still used.
    if (set->count < KVA_SET_SIZE) set->fds[set->count++] = s;
}

void kva_set_remove(KvaSet *set, int s)
{
    for (unsigned i = 0; i < set->count; i++) {
        if (set->fds[i] != s) continue;
        for (unsigned j = i + 1; j < set->count; j++) set->fds[j - 1] = set->fds[j];
        set->count--;
        set->fds[set->count] = 0;
        return;
    }
}

int kva_set_has(const KvaSet *set, int s)
{
    for (unsigned i = 0; i < set->count; i++)
        if (set->fds[i] == s) return 1;
    return 0;
}

// ---- start-up, wait, shutdown (socket layer) ------------------------------

int kva_init()
{
    if (layerStarted) return 0;
    int granted = 0;
    int r = kvp_net_start(&granted);
    if (r != 0) {
        int e = kvp_last_error();
        printf("WSAStartup error code %d %d \n", r, e);
    } else if ((granted & 0xff) != 2 || ((granted >> 8) & 0xff) != 0) {
        printf("WinSock DLL error (perhaps to old)\n");
        kvp_net_stop();
    }
    memset(&watchedSet, 0, sizeof watchedSet);
    layerStarted = 1;
    return 0;
}

// ---- the wait -----------------------------------------------------------------
//
// The wait ends as soon as any device has something for the loop: input on
// a socket, a serial port or the console, room on a device whose output is
// held up, the end of a connect.  Its time-out is the nearest deadline
// anything asked for (kva_wake_within: a connect's time limit, a lookup
// under way, a device whose failed writes are tried again at a pace), and
// there is none when nothing is due: an idle server sleeps until something
// happens.  A device whose input cannot be taken now (its buffer is full)
// is left out, so that it cannot keep waking the loop.

namespace {

enum { maxInterest = 4 * KVA_SET_SIZE };

struct Interest {
    int kind;
    intptr_t id;
    int events;
};

Interest interest[maxInterest];
int interestCount = 0;
bool workPending = false;
int wakeWithinMs = -1;

void addInterest(int kind, intptr_t id, int events)
{
    // Beyond the table a device is not waited on; the loop's pace still
    // serves it.
    if (interestCount < maxInterest) interest[interestCount++] = Interest{kind, id, events};
}

// What an endpoint said a socket waits for, or -1 when none spoke for it.
int socketEvents(int s)
{
    for (int i = 0; i < interestCount; i++)
        if (interest[i].kind == KVP_SOCKET && interest[i].id == s) return interest[i].events;
    return -1;
}

}  // namespace

void kva_watch_socket(int s, int events) { addInterest(KVP_SOCKET, s, events); }

void kva_watch_com(kva_handle h, int events) { addInterest(KVP_COM, h, events); }

void kva_watch_console(int events) { addInterest(KVP_CONSOLE, 0, events); }

void kva_work_pending() { workPending = true; }

void kva_wake_within(int ms)
{
    if (ms < 0) ms = 0;
    if (wakeWithinMs < 0 || ms < wakeWithinMs) wakeWithinMs = ms;
}

int kva_wait(int timeoutUs)
{
    // With work pending the wait does not block and every endpoint is
    // stepped anyway, so only the sockets no endpoint speaks for (the
    // listener) need looking at: a busy turn stays cheap.
    KvpWatch watches[KVA_SET_SIZE + maxInterest];
    int n = 0;
    for (unsigned i = 0; i < watchedSet.count; i++) {
        int s = watchedSet.fds[i];
        int events = socketEvents(s);
        if (events < 0) events = KVP_IN;
        else if (workPending) events = 0;
        if (events) watches[n++] = KvpWatch{KVP_SOCKET, s, events, 0};
    }
    for (int i = 0; i < interestCount && !workPending; i++) {
        const Interest &w = interest[i];
        if (!w.events) continue;
        if (w.kind == KVP_SOCKET && kva_set_has(&watchedSet, (int)w.id)) continue;
        watches[n++] = KvpWatch{w.kind, w.id, w.events, 0};
    }
    // -1: no time-out.
    long long us = -1;
    if (workPending) us = 0;
    else if (wakeWithinMs >= 0) us = (long long)wakeWithinMs * 1000;
    if (timeoutUs >= 0 && (us < 0 || timeoutUs < us)) us = timeoutUs;
    if (us > 2000000000LL) us = 2000000000LL;

    int r = kvp_wait(watches, n, (int)us);
    memset(&readySet, 0, sizeof readySet);
    if (r == -1) {
        int e = kvp_last_error();
        printf("select error code %d %d \n", r, e);
    } else {
        for (int i = 0; i < n; i++)
            if (watches[i].kind == KVP_SOCKET && (watches[i].ready & KVP_IN) &&
                kva_set_has(&watchedSet, (int)watches[i].id))
                kva_set_add(&readySet, (int)watches[i].id);
    }
    interestCount = 0;
    workPending = false;
    wakeWithinMs = -1;
    return r == -1 ? -1 : (int)readySet.count;
}

int kva_close_socket(int s)
{
    kvp_close_socket(s);
    kva_set_remove(&watchedSet, s);
    return 0;
}

int kva_close()
{
    for (unsigned i = 0; i < watchedSet.count; i++) {
        printf("kva_close: %d \n", watchedSet.fds[i]);
        kvp_close_socket(watchedSet.fds[i]);
    }
    memset(&watchedSet, 0, sizeof watchedSet);
    kvp_net_stop();
    layerStarted = 0;
    return 0;
}

// ---- listener, accept filter, outgoing connections -------------------------

int kva_open_server(unsigned short port)
{
    kva_init();
    int s = kvp_socket();
    if (s == -1) {
        int e = kvp_last_error();
        printf("socket error code %d %d \n", s, e);
        exit(1);
    }
    if (kvp_bind_listener(s, port) != 0) {
        int e = kvp_last_error();
        printf("bind error code %d %d \n", s, e);
        exit(1);
    }
    if (kvp_listen(s, 8) != 0) {
        int e = kvp_last_error();
        printf("listen error code %d %d \n", s, e);
        exit(1);
    }
    kva_set_add(&watchedSet, s);
    return s;
}

int kva_accept(int listenSocket, bool localOnly)
{
    if (!kva_set_has(&readySet, listenSocket)) return -1;
    // At most one connection per wait: a second call before the next wait
    // finds the listener gone from the ready set.
    kva_set_remove(&readySet, listenSocket);

    unsigned char peer[16];
    memset(peer, 0, sizeof peer);
    int s = kvp_accept(listenSocket, peer);
    if (s == -1) {
        int e = kvp_last_error();
        printf("accept error code %d %d\n", s, e);
        return -1;
    }
    static const unsigned char loopback[4] = {127, 0, 0, 1};
    if (localOnly && memcmp(peer + 4, loopback, 4) != 0) {
        unsigned short family;
        memcpy(&family, peer, sizeof family);
        fprintf(stderr, "rejected connection %d\n", family);
        kva_print_hex(peer + 4, 4);
        kvp_close_socket(s);
        return -1;
    }
    // A client that vanishes without closing (a pulled cable, a laptop gone
    // to sleep) would otherwise hold its slot and its port for ever.
    kvp_keepalive(s);
    kva_set_add(&watchedSet, s);
    return s;
}

namespace {

// A dotted IPv4 address needs no lookup: four decimal numbers up to 255.
bool parseDotted(const char *host, unsigned char addr[4])
{
    const char *p = host;
    for (int i = 0; i < 4; i++) {
        if (*p < '0' || *p > '9') return false;
        int v = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9' && digits < 4) {
            v = v * 10 + (*p - '0');
            p++;
            digits++;
        }
        if (digits > 3 || v > 255) return false;
        addr[i] = (unsigned char)v;
        if (i < 3 && *p++ != '.') return false;
    }
    return *p == 0;
}

int failConnect(KvaConnect *c, int e)
{
    printf("connect error code %d %d \n", -1, e);
    kvp_close_socket(c->s);
    c->s = -1;
    return -1;
}

// The lookup has given the address: create the socket and start connecting.
int startConnect(KvaConnect *c)
{
    c->s = kvp_socket();
    if (c->s == -1) {
        int e = kvp_last_error();
        printf("socket error code %d %d \n", -1, e);
        return -1;
    }
    int r = kvp_connect_start(c->s, c->addr, c->port);
    if (r < 0) return failConnect(c, kvp_last_error());
    return r;
}

}  // namespace

KvaConnect *kva_connect_begin(const char *host, unsigned short port)
{
    kva_init();
    printf("port %d host %s\n", port, host);
    KvaConnect *c = new (std::nothrow) KvaConnect;
    if (!c) kva_out_of_memory("a connection");
    c->lookup = nullptr;
    snprintf(c->host, sizeof c->host, "%s", host);
    c->port = port;
    c->s = -1;
    c->deadline = kvp_now_ms() + kvaConnectTimeoutMs;
    if (!parseDotted(host, c->addr)) {
        c->lookup = kvp_lookup_start(host);
        if (!c->lookup) {
            fprintf(stderr, "Unknown host %s\n", host);
            delete c;
            return nullptr;
        }
        return c;
    }
    if (startConnect(c) < 0) {
        delete c;
        return nullptr;
    }
    return c;
}

int kva_connect_step(KvaConnect *c, int *s)
{
    if (c->lookup) {
        int r = kvp_lookup_result(c->lookup, c->addr);
        if (r == 1 && kvp_now_ms() < c->deadline) return 1;
        kvp_lookup_end(c->lookup);
        c->lookup = nullptr;
        if (r != 0) {
            fprintf(stderr, "Unknown host %s\n", c->host);
            return -1;
        }
        if (startConnect(c) < 0) return -1;
    }
    if (c->s == -1) return -1;
    int r = kvp_connect_result(c->s);
    if (r == 1) {
        if (kvp_now_ms() < c->deadline) return 1;
        return failConnect(c, kvp_timed_out_error());
    }
    if (r < 0) return failConnect(c, kvp_last_error());
    kvp_keepalive(c->s);
    kva_set_add(&watchedSet, c->s);
    r = kvp_set_nonblocking(c->s);
    if (r != 0) {
        int e = kvp_last_error();
        fprintf(stderr, "ioctlsocket %d %ld %ld %d %d\n", c->s, kvp_fionbio_code(), 1L, r, e);
    }
    *s = c->s;
    c->s = -1;
    return 0;
}

void kva_connect_watch(KvaConnect *c)
{
    long long left = c->deadline - kvp_now_ms();
    kva_wake_within(left > 0 ? (int)(left < 1000000 ? left : 1000000) : 0);
    // A lookup tells of its end only when asked: ask again soon.
    if (c->lookup) kva_wake_within(5);
    else if (c->s != -1) kva_watch_socket(c->s, KVP_OUT);
}

void kva_connect_end(KvaConnect *c)
{
    if (!c) return;
    if (c->lookup) kvp_lookup_end(c->lookup);
    if (c->s != -1) kvp_close_socket(c->s);
    delete c;
}

void kva_print_hex(const unsigned char *bytes, int count)
{
    if (count > 30) count = 30;
    for (int i = 0; i < count; i++) printf("%02x", bytes[i]);
    printf("\n");
}

// ---- socket transfer --------------------------------------------------------

int kva_open_stdin()
{
    kvp_console_open();
    return 1;
}

int kva_read_socket(int fd, char *buf, int len)
{
    int r = kvp_set_nonblocking(fd);
    if (r != 0) {
        int e = kvp_last_error();
        fprintf(stderr, "ioctlsocket %d %ld %ld %d %d\n", fd, kvp_fionbio_code(), 1L, r, e);
    }
    int n = kvp_recv(fd, buf, len);
    if (n > 0) return n;
    if (n == 0) return -1;
    return kvp_is_would_block(kvp_last_error()) ? 0 : -2;
}

int kva_send(int fd, const char *bytes, int len)
{
    int n = kvp_send(fd, bytes, len);
    if (n >= 0) return n;
    int e = kvp_last_error();
    if (kvp_is_would_block(e)) return 0;
    fprintf(stderr, "send error %d %d %d\n", len, n, e);
    return -1;
}

// ---- serial ports -----------------------------------------------------------

kva_handle kva_open_com(const char *name, int baud)
{
    if (strncmp(name, "COM", 3) != 0 || strlen(name) > 6) {
        fprintf(stderr, "Not a COM port name %.32s\n", name);
        return INVALID_HANDLE_VALUE;
    }
    char path[1100];
    snprintf(path, sizeof path, "\\\\.\\%.1024s", name);
    kva_handle h = kvp_com_open(path);
    if (h == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    // A device whose line cannot be made transparent (no serial line, or a
    // driver that refuses) would echo or translate the bridged bytes.
    if (!kvp_com_configure(h, baud)) {
        fprintf(stderr, "SetCommState failed %d\n", kvp_com_last_error());
        kva_close_com(h);
        return INVALID_HANDLE_VALUE;
    }
    if (!kvp_com_set_timeouts(h, 0)) {
        fprintf(stderr, "SetCommTimeouts failed %d\n", kvp_com_last_error());
        kva_close_com(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

int kva_read_com(kva_handle h, char *buf, int room)
{
    if (!kvp_com_set_timeouts(h, 1))
        fprintf(stderr, "SetCommTimeouts failed %d\n", kvp_com_last_error());
    int got = 0;
    if (!kvp_com_read(h, buf, room, &got)) {
        fprintf(stderr, "ReadFile error %d\n", kvp_com_last_error());
        return -1;
    }
    return got;
}

int kva_write_com(kva_handle h, const char *bytes, int len)
{
    int put = 0;
    if (!kvp_com_write(h, bytes, len, &put)) {
        fprintf(stderr, "WriteFile error %p %d\n", (void *)h, kvp_com_last_error());
        return -1;
    }
    return put;
}

int kva_close_com(kva_handle h)
{
    kvp_com_close(h);
    return 0;
}
