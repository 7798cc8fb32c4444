// The device and socket layer.  Everything here is platform independent:
// the system calls themselves go through the seam in plat.h, so the watched
// set, the wait with its adaptive idle sleep, every result code and every
// log line are the same on every platform.
#include "kva.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

KvaSet watchedSet;
KvaSet readySet;
int idleSleepMs = 50;
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

int kva_wait(int timeoutUs)
{
    kvp_sleep_ms(idleSleepMs);
    readySet = watchedSet;
    int r = kvp_wait(&readySet, timeoutUs);
    if (r == -1) {
        int e = kvp_last_error();
        printf("select error code %d %d \n", r, e);
        // Never let a failed wait claim a pending connection: accept blocks.
        memset(&readySet, 0, sizeof readySet);
    }
    idleSleepMs = 50;
    return r;
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
    kva_set_add(&watchedSet, s);
    return s;
}

int kva_connect(const char *host, unsigned short port)
{
    kva_init();
    printf("port %d host %s\n", port, host);
    unsigned char addr[4];
    if (kvp_lookup(host, addr) != 0) {
        fprintf(stderr, "Unknown host %s\n", host);
        return -1;
    }
    int s = kvp_socket();
    if (s == -1) {
        int e = kvp_last_error();
        printf("socket error code %d %d \n", s, e);
        return -1;
    }
    int r = kvp_connect(s, addr, port);
    if (r != 0) {
        int e = kvp_last_error();
        printf("connect error code %d %d \n", r, e);
        kvp_close_socket(s);
        return -1;
    }
    kva_set_add(&watchedSet, s);
    r = kvp_set_nonblocking(s);
    if (r != 0) {
        int e = kvp_last_error();
        fprintf(stderr, "ioctlsocket %d %ld %ld %d %d\n", s, kvp_fionbio_code(), 1L, r, e);
    }
    return s;
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
    if (n > 0) {
        idleSleepMs = 0;
        return n;
    }
    if (n == 0) return -1;
    return kvp_is_would_block(kvp_last_error()) ? 0 : -2;
}

int kva_send(int fd, const char *bytes, int len)
{
    int n = kvp_send(fd, bytes, len);
    if (n > 0) {
        idleSleepMs = 0;
        return n;
    }
    if (n == 0) return 0;
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
    kvp_com_set_baud(h, baud);
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
        return 0;
    }
    if (got > 0) idleSleepMs = 0;
    return got;
}

int kva_write_com(kva_handle h, const char *bytes, int len)
{
    int put = 0;
    if (!kvp_com_write(h, bytes, len, &put)) {
        fprintf(stderr, "WriteFile error %p %d\n", (void *)h, kvp_com_last_error());
        return 0;
    }
    if (put > 0) idleSleepMs = 0;
    return put;
}

int kva_close_com(kva_handle h)
{
    kvp_com_close(h);
    return 0;
}
