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
extern int idleSleepMs;    // sleep before the next wait; 0 after bytes moved
extern int layerStarted;   // 1 between kva_init and kva_close

// Watched-set rules, shared by the wait, accept and close.
void kva_set_add(KvaSet *set, int s);
void kva_set_remove(KvaSet *set, int s);
int kva_set_has(const KvaSet *set, int s);

int kva_init();
int kva_wait(int timeoutUs);
int kva_close_socket(int s);
int kva_close();

int kva_open_server(unsigned short port);
int kva_accept(int listenSocket, bool localOnly);
int kva_connect(const char *host, unsigned short port);
void kva_print_hex(const unsigned char *bytes, int count);

int kva_open_stdin();
int kva_read_socket(int fd, char *buf, int len);
int kva_send(int fd, const char *bytes, int len);

kva_handle kva_open_com(const char *name, int baud);
int kva_read_com(kva_handle h, char *buf, int room);
int kva_write_com(kva_handle h, const char *bytes, int len);
int kva_close_com(kva_handle h);

#endif
