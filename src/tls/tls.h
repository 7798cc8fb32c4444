// TLS for the main port and the browser console (-T): the server's
// certificate and key, and the transport (kvb/transport.h) it puts over
// each accepted socket.  One implementation per build, chosen by CMake:
// tls_openssl.cpp (OpenSSL 3, POSIX) or tls_none.cpp (a build without TLS).
#ifndef VELKOR_TLS_H
#define VELKOR_TLS_H

#include "kvb/transport.h"

// How long a client may take over its handshake before it is given up.
const int tlsHandshakeTimeoutMs = 10000;

// Reads the PEM file (the certificate, its chain and the private key) for
// the connections to come.  0, or -1 with the reason on standard error
// (a file that cannot be read, no certificate or key in it, a key that does
// not match the certificate, a build without TLS).
int tlsServerStart(const char *pemPath);
// Reads the same file again for new connections; those connected keep
// what they had.  On a failure (reason on standard error) the certificate
// in use stays.  0 or -1.
int tlsServerReload();
// Whether tlsServerStart succeeded: accepted sockets are then wrapped.
bool tlsServerActive();
// The transport of one accepted socket (a TransportWrap), or null (logged).
Transport *tlsServerWrap(int fd);
// Frees the certificate; connections still open keep their own.
void tlsServerStop();

#endif
