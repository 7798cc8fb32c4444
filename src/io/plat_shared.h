// What the POSIX and the Windows platform files share below the seam: the
// layer's address (KvpAddr) to and from the system's socket address, the
// name lookup by getaddrinfo, and what a new thread is handed.  BSD sockets
// and Winsock name these types, fields and calls alike, so they are written
// once here.  This header includes no system header itself: each platform
// file includes its own socket headers (with getaddrinfo and sockaddr_in6)
// before it.
#ifndef VELKOR_PLAT_SHARED_H
#define VELKOR_PLAT_SHARED_H

#include "plat.h"

#include <string.h>

#include <new>

// The system's socket address for a; its length.
inline socklen_t plat_to_sockaddr(const KvpAddr *a, struct sockaddr_storage *out)
{
    memset(out, 0, sizeof *out);
    if (a->family == KVP_IPV6) {
        struct sockaddr_in6 *s6 = (struct sockaddr_in6 *)out;
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(a->port);
        memcpy(&s6->sin6_addr, a->ip, 16);
        s6->sin6_scope_id = a->scope;
        return (socklen_t)sizeof *s6;
    }
    struct sockaddr_in *s4 = (struct sockaddr_in *)out;
    s4->sin_family = AF_INET;
    s4->sin_port = htons(a->port);
    memcpy(&s4->sin_addr, a->ip, 4);
    return (socklen_t)sizeof *s4;
}

// The system's socket address for the family's any-address (0.0.0.0, ::)
// and port; its length.
inline socklen_t plat_any_address(int family, unsigned short port, struct sockaddr_storage *out)
{
    KvpAddr any;
    memset(&any, 0, sizeof any);
    any.family = family;
    any.port = port;
    return plat_to_sockaddr(&any, out);
}

// The layer's address for a system socket address; false for a family that
// is neither IPv4 nor IPv6.
inline bool plat_from_sockaddr(const struct sockaddr *sa, KvpAddr *out)
{
    memset(out, 0, sizeof *out);
    if (sa->sa_family == AF_INET6) {
        const struct sockaddr_in6 *s6 = (const struct sockaddr_in6 *)sa;
        out->family = KVP_IPV6;
        out->port = ntohs(s6->sin6_port);
        memcpy(out->ip, &s6->sin6_addr, 16);
        out->scope = (unsigned)s6->sin6_scope_id;
        return true;
    }
    if (sa->sa_family == AF_INET) {
        const struct sockaddr_in *s4 = (const struct sockaddr_in *)sa;
        out->family = KVP_IPV4;
        out->port = ntohs(s4->sin_port);
        memcpy(out->ip, &s4->sin_addr, 4);
        return true;
    }
    return false;
}

// kvp_resolve (plat.h) by getaddrinfo, for a stream socket of either
// family, in the resolver's order.  No AI_ADDRCONFIG: it would leave out
// IPv6 addresses, ::1 among them, on a host whose only IPv6 address is its
// loopback; an address the host cannot reach fails at once and the next is
// tried.
inline int plat_resolve(const char *host, int numericOnly, KvpAddr *out, int max)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (numericOnly) hints.ai_flags = AI_NUMERICHOST;
    struct addrinfo *list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0) return 0;
    int n = 0;
    for (struct addrinfo *a = list; a && n < max; a = a->ai_next)
        if (a->ai_addr && plat_from_sockaddr(a->ai_addr, &out[n])) n++;
    freeaddrinfo(list);
    return n;
}

// What kvp_thread_start hands the platform's thread entry: the function to
// run and its argument, on the heap until the thread has taken them.
struct PlatThreadStart {
    void (*fn)(void *arg);
    void *arg;
};

// The record for a thread that is to run fn(arg), or null without memory.
inline PlatThreadStart *plat_thread_record(void (*fn)(void *arg), void *arg)
{
    return new (std::nothrow) PlatThreadStart{fn, arg};
}

// The body of the platform's thread entry: takes the record and runs it.
inline void plat_thread_run(void *record)
{
    PlatThreadStart start = *(PlatThreadStart *)record;
    delete (PlatThreadStart *)record;
    start.fn(start.arg);
}

#endif
