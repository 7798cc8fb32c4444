// The device and socket layer.  Everything here is platform independent:
// the system calls themselves go through the seam in plat.h, so the watched
// set, the wait and its pace, the name lookups, every result code and every
// log line are the same on every platform.
#include "kva.h"

#include "kva_assert.h"

#include <atomic>
#include <new>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

KvaSet watchedSet;
KvaSet readySet;

// ---- socket sets ----------------------------------------------------------

void kva_set_add(KvaSet *set, int s)
{
    if (set->count < KVA_SET_SIZE) {
        set->fds[set->count++] = s;
        return;
    }
    // A socket beyond the watched set is still served: its endpoint says
    // what it waits for before every wait (kva_watch_socket), and the wait
    // takes that from the interest table; its endpoint closes it.  Only a
    // socket no endpoint speaks for (a listener, made first) needs the set.
    static bool told = false;
    if (set == &watchedSet) kvp_table_full(&told, "the watched set", KVA_SET_SIZE);
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

namespace {

enum LayerState { stopped, started, failedToStart };
LayerState layerState = stopped;

}  // namespace

int kva_init()
{
    if (layerState == started) return 0;
    // A failed start is reported once; the server ends on it when it opens
    // its listener, and a connection fails.
    if (layerState == failedToStart) return -1;
    int granted = 0;
    int r = kvp_net_start(&granted);
    if (r != 0) {
        int e = kvp_last_error();
        printf("WSAStartup error code %d %d \n", r, e);
        layerState = failedToStart;
        return -1;
    }
    if ((granted & 0xff) != 2 || ((granted >> 8) & 0xff) != 0) {
        printf("WinSock DLL error (perhaps to old)\n");
        kvp_net_stop();
        layerState = failedToStart;
        return -1;
    }
    memset(&watchedSet, 0, sizeof watchedSet);
    layerState = started;
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
// What the last wait watched for input and whether it found some, so that a
// device it did not report is not read.  With work pending the wait looked
// at no device (lastWaitLooked false): then every device counts as reported.
struct Looked {
    int kind;
    intptr_t id;
    bool ready;
};
Looked looked[KVA_SET_SIZE + maxInterest];
int lookedCount = 0;
bool lastWaitLooked = false;
int interestCount = 0;
bool workPending = false;
int wakeWithinMs = -1;

// A device was left out of the interest table in this turn: the wait lasts
// at most kvpPaceMs, and the device counts as reported (it was not watched),
// so that it is read on every turn and never waits for an unrelated event.
bool interestLeftOut = false;

void addInterest(int kind, intptr_t id, int events)
{
    if (interestCount < maxInterest) {
        interest[interestCount++] = Interest{kind, id, events};
        return;
    }
    static bool told = false;
    kvp_table_full(&told, "the interest table", maxInterest);
    interestLeftOut = true;
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

int kva_input_reported(int kind, intptr_t id)
{
    if (!lastWaitLooked || !kvp_wait_tells_input(kind)) return 1;
    for (int i = 0; i < lookedCount; i++)
        if (looked[i].kind == kind && looked[i].id == id) return looked[i].ready;
    // Not watched for input (made since, or its buffer was full then).
    return 1;
}

namespace {
void stepClosingPorts();
}  // namespace

int kva_wait(int timeoutUs)
{
    stepClosingPorts();
    if (interestLeftOut) kva_wake_within(kvpPaceMs);
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
    lookedCount = 0;
    lastWaitLooked = r != -1 && !workPending;
    // A watch the platform left out was not waited on: it counts as input
    // reported, so that its device is read on this turn.
    for (int i = 0; i < n && lastWaitLooked; i++)
        if (watches[i].events & KVP_IN)
            looked[lookedCount++] = Looked{watches[i].kind, watches[i].id,
                                           (watches[i].ready & (KVP_IN | KVP_LEFT_OUT)) != 0};
    interestCount = 0;
    interestLeftOut = false;
    workPending = false;
    wakeWithinMs = -1;
    return r == -1 ? -1 : (int)readySet.count;
}

// ---- listener pairs -----------------------------------------------------------
//
// Where an IPv6 socket cannot take IPv4 peers too, a listener is two
// sockets on the same port; the loop knows the first, and the layer finds
// the second through it.

namespace {

struct ListenerPair {
    int first, second;  // -1 when the entry is free
    int lastTaken;      // the one accepted from last, so that neither starves
};
enum { maxListenerPairs = 4 };
ListenerPair listenerPairs[maxListenerPairs] = {
    {-1, -1, -1}, {-1, -1, -1}, {-1, -1, -1}, {-1, -1, -1}};

ListenerPair *pairOf(int first)
{
    for (ListenerPair &p : listenerPairs)
        if (p.first == first && first != -1) return &p;
    return nullptr;
}

void forgetPairWith(int s)
{
    for (ListenerPair &p : listenerPairs)
        if (p.first == s || p.second == s) p = ListenerPair{-1, -1, -1};
}

}  // namespace

int kva_close_socket(int s)
{
    kvp_close_socket(s);
    kva_set_remove(&watchedSet, s);
    forgetPairWith(s);
    return 0;
}

namespace {
void finishClosingPorts();
}  // namespace

int kva_close()
{
    finishClosingPorts();
    for (unsigned i = 0; i < watchedSet.count; i++) {
        printf("kva_close: %d \n", watchedSet.fds[i]);
        kvp_close_socket(watchedSet.fds[i]);
    }
    memset(&watchedSet, 0, sizeof watchedSet);
    lastWaitLooked = false;
    for (ListenerPair &p : listenerPairs) p = ListenerPair{-1, -1, -1};
    if (layerState == started) kvp_net_stop();
    layerState = stopped;
    return 0;
}

// ---- listener, accept filter, outgoing connections -------------------------

namespace {

// Keepalive on every accepted and every outgoing connection: the first probe
// after a minute of silence, then one every 10 s; six unanswered probes end
// the connection, so a peer that is gone is found within about two minutes.
const int keepaliveIdleSeconds = 60;
const int keepaliveIntervalSeconds = 10;
const int keepaliveProbes = 6;

void keepalive(int s)
{
    kvp_keepalive(s, keepaliveIdleSeconds, keepaliveIntervalSeconds, keepaliveProbes);
}

}  // namespace

namespace {

void listenOrEnd(int s)
{
    if (kvp_listen(s, 8) != 0) {
        int e = kvp_last_error();
        printf("listen error code %d %d \n", s, e);
        exit(1);
    }
    kva_set_add(&watchedSet, s);
}

// Binds s to the family's any-address on port, or ends the server (the
// failure reported); an IPv6 socket whose address cannot be had other than
// because the port is taken is closed instead (false): the host has no
// IPv6.
bool bindOrEnd(int s, int family, unsigned short port)
{
    if (kvp_bind_listener(s, family, port) == 0) return true;
    int e = kvp_last_error();
    if (family == KVP_IPV6 && !kvp_is_address_in_use(e)) {
        kvp_close_socket(s);
        return false;
    }
    printf("bind error code %d %d \n", s, e);
    exit(1);
}

// The IPv4 listener, or the end of the server (reported).
int openIpv4(unsigned short port)
{
    int s = kvp_socket(KVP_IPV4);
    if (s == -1) {
        int e = kvp_last_error();
        printf("socket error code %d %d \n", s, e);
        exit(1);
    }
    bindOrEnd(s, KVP_IPV4, port);
    listenOrEnd(s);
    return s;
}

}  // namespace

int kva_open_server(unsigned short port)
{
    if (kva_init() != 0) exit(1);
    // One IPv6 socket that takes IPv4 peers too, where the system allows.
    int s6 = kvp_socket(KVP_IPV6);
    const bool hasIpv6 = s6 != -1;
    if (hasIpv6 && kvp_set_v6only(s6, 0) == 0) {
        if (!bindOrEnd(s6, KVP_IPV6, port)) return openIpv4(port);
        listenOrEnd(s6);
        return s6;
    }
    // Else the IPv4 socket first, as a host without IPv6 has it, and beside
    // it an IPv6 socket for IPv6 peers alone, on the same port (for port 0,
    // the one the IPv4 socket was given).
    if (hasIpv6) kvp_close_socket(s6);
    int s4 = openIpv4(port);
    if (!hasIpv6) return s4;
    int bound = port == 0 ? kvp_bound_port(s4) : port;
    s6 = kvp_socket(KVP_IPV6);
    if (s6 == -1) return s4;
    if (kvp_set_v6only(s6, 1) != 0) {
        kvp_close_socket(s6);
        return s4;
    }
    if (!bindOrEnd(s6, KVP_IPV6, (unsigned short)bound)) return s4;
    listenOrEnd(s6);
    for (ListenerPair &p : listenerPairs) {
        if (p.first != -1) continue;
        p = ListenerPair{s4, s6, -1};
        break;
    }
    return s4;
}

namespace {

// An IPv4 peer of a socket that takes both families arrives as an
// IPv4-mapped IPv6 address (::ffff:a.b.c.d); it is the IPv4 address it
// stands for, to the admission rule and in the log.
void unmapIpv4(KvpAddr *a)
{
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (a->family != KVP_IPV6 || memcmp(a->ip, mapped, 12) != 0) return;
    a->family = KVP_IPV4;
    memmove(a->ip, a->ip + 12, 4);
    memset(a->ip + 4, 0, 12);
    a->scope = 0;
}

// The loopback addresses admitted by default: 127.0.0.1 and ::1.
bool isAdmittedLoopback(const KvpAddr *a)
{
    static const unsigned char loopback4[4] = {127, 0, 0, 1};
    static const unsigned char loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (a->family == KVP_IPV4) return memcmp(a->ip, loopback4, 4) == 0;
    return memcmp(a->ip, loopback6, 16) == 0;
}

// The listening socket of listenSocket's pair (or listenSocket itself)
// that has a connection waiting, taking turns when both have; -1 if none.
// Either way neither is looked at again before the next wait.
int readyListener(int listenSocket)
{
    ListenerPair *p = pairOf(listenSocket);
    int order[2] = {listenSocket, p ? p->second : -1};
    if (p && p->lastTaken == listenSocket) {
        order[0] = p->second;
        order[1] = listenSocket;
    }
    int ready = -1;
    for (int s : order)
        if (ready == -1 && s != -1 && kva_set_has(&readySet, s)) ready = s;
    for (int s : order) kva_set_remove(&readySet, s);
    if (p && ready != -1) p->lastTaken = ready;
    return ready;
}

}  // namespace

int kva_accept(int listenSocket, bool localOnly)
{
    // At most one connection per wait: a second call before the next wait
    // finds the listener gone from the ready set.
    int ready = readyListener(listenSocket);
    if (ready == -1) return -1;

    KvpAddr peer;
    memset(&peer, 0, sizeof peer);
    int s = kvp_accept(ready, &peer);
    if (s == -1) {
        int e = kvp_last_error();
        printf("accept error code %d %d\n", s, e);
        return -1;
    }
    unmapIpv4(&peer);
    if (localOnly && !isAdmittedLoopback(&peer)) {
        fprintf(stderr, "rejected connection %d\n", kvp_family_code(peer.family));
        if (peer.family == KVP_IPV4) {
            kva_print_hex(peer.ip, 4);
        } else {
            char text[KVA_ADDRESS_TEXT_SIZE];
            kva_address_text(&peer, text);
            printf("%s\n", text);
        }
        kvp_close_socket(s);
        return -1;
    }
    // A client that vanishes without closing (a pulled cable, a laptop gone
    // to sleep) would otherwise hold its slot and its port for ever.
    keepalive(s);
    kva_set_add(&watchedSet, s);
    return s;
}

void kva_address_text(const KvpAddr *a, char out[KVA_ADDRESS_TEXT_SIZE])
{
    const unsigned char *b = a->ip;
    if (a->family == KVP_IPV4) {
        snprintf(out, KVA_ADDRESS_TEXT_SIZE, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
        return;
    }
    unsigned words[8];
    for (int i = 0; i < 8; i++) words[i] = (unsigned)b[2 * i] << 8 | b[2 * i + 1];
    // The longest run of two or more zero words (the first of equal ones)
    // is written "::"; RFC 5952.
    int best = -1, bestLen = 0;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && words[j] == 0) j++;
        if (j - i > bestLen) {
            best = i;
            bestLen = j - i;
        }
        i = j > i ? j : i + 1;
    }
    if (bestLen < 2) best = -1;
    char *p = out;
    char *end = out + KVA_ADDRESS_TEXT_SIZE;
    for (int i = 0; i < 8; i++) {
        if (best != -1 && i >= best && i < best + bestLen) {
            if (i == best) *p++ = ':';
            continue;
        }
        if (i != 0) *p++ = ':';
        // An IPv4 address behind 96 zero bits, or behind the IPv4-mapped
        // prefix, is written in dotted form, as the system's inet_ntop does.
        if (i == 6 && best == 0 && (bestLen == 6 || (bestLen == 5 && words[5] == 0xffff))) {
            p += snprintf(p, (size_t)(end - p), "%u.%u.%u.%u", b[12], b[13], b[14], b[15]);
            return;
        }
        p += snprintf(p, (size_t)(end - p), "%x", words[i]);
    }
    if (best != -1 && best + bestLen == 8) *p++ = ':';
    *p = 0;
}

void kva_peer_text(int s, char out[KVA_PEER_TEXT_SIZE])
{
    KvpAddr peer;
    if (s == -1 || kvp_peer(s, &peer) != 0) {
        snprintf(out, KVA_PEER_TEXT_SIZE, "unknown");
        return;
    }
    unmapIpv4(&peer);
    char text[KVA_ADDRESS_TEXT_SIZE];
    kva_address_text(&peer, text);
    if (peer.family == KVP_IPV4) snprintf(out, KVA_PEER_TEXT_SIZE, "%s:%u", text, peer.port);
    else snprintf(out, KVA_PEER_TEXT_SIZE, "[%s]:%u", text, peer.port);
}

// ---- name lookups ---------------------------------------------------------------
//
// The system's resolver only blocks, so each lookup runs on a thread of its
// own that does nothing but the lookup; the loop asks for the outcome on
// later turns.  The thread and the loop share one record, freed by whichever
// lets go of it last: a loop that gives up (its time ran out, the client
// left) does not wait for the thread.

struct KvaLookup {
    std::atomic<int> owners;  // the loop and the thread
    std::atomic<int> found;   // -1 while under way, then how many addresses
    char host[256];
    KvpAddr addrs[KVA_MAX_ADDRESSES];
};

namespace {

void releaseLookup(KvaLookup *l)
{
    if (l->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) delete l;
}

void runLookup(void *arg)
{
    KvaLookup *l = (KvaLookup *)arg;
    int n = kvp_resolve(l->host, 0, l->addrs, KVA_MAX_ADDRESSES);
    // The addresses are written before the count that tells of them.
    l->found.store(n, std::memory_order_release);
    releaseLookup(l);
}

// Starts the lookup of c's host; false when it could not be started
// (reported).
bool startLookup(KvaConnect *c)
{
    KvaLookup *l = new (std::nothrow) KvaLookup;
    if (!l) kva_out_of_memory("a name lookup");
    l->owners.store(2);
    l->found.store(-1);
    memcpy(l->host, c->host, sizeof l->host);
    int e = kvp_thread_start(runLookup, l);
    if (e != 0) {
        printf("thread error code %d %d \n", -1, e);
        delete l;
        return false;
    }
    c->lookup = l;
    return true;
}

// -1 while the lookup is under way, then the number of addresses it found,
// copied into c.
int lookupResult(KvaConnect *c)
{
    int n = c->lookup->found.load(std::memory_order_acquire);
    if (n > 0) {
        memcpy(c->addrs, c->lookup->addrs, sizeof c->addrs[0] * (size_t)n);
        c->count = n;
    }
    return n;
}

void endLookup(KvaConnect *c)
{
    if (!c->lookup) return;
    releaseLookup(c->lookup);
    c->lookup = nullptr;
}

// ---- outgoing connections --------------------------------------------------------

int failConnect(KvaConnect *c, int e)
{
    printf("connect error code %d %d \n", -1, e);
    kvp_close_socket(c->s);
    c->s = -1;
    return -1;
}

// Starts connecting to the next address not tried yet, in the resolver's
// order, passing over each that fails at once (reported): 0 connected at
// once, 1 under way, -1 when none is left.
int startNext(KvaConnect *c)
{
    while (c->next < c->count) {
        KvpAddr to = c->addrs[c->next++];
        to.port = c->port;
        c->s = kvp_socket(to.family);
        if (c->s == -1) {
            int e = kvp_last_error();
            printf("socket error code %d %d \n", -1, e);
            continue;
        }
        int r = kvp_connect_start(c->s, &to);
        if (r >= 0) return r;
        failConnect(c, kvp_last_error());
    }
    return -1;
}

}  // namespace

KvaConnect *kva_connect_begin(const char *host, unsigned short port)
{
    if (kva_init() != 0) return nullptr;
    printf("port %d host %s\n", port, host);
    KvaConnect *c = new (std::nothrow) KvaConnect;
    if (!c) kva_out_of_memory("a connection");
    c->lookup = nullptr;
    snprintf(c->host, sizeof c->host, "%s", host);
    c->count = 0;
    c->next = 0;
    c->port = port;
    c->s = -1;
    c->deadline = kvp_now_ms() + kvaConnectTimeoutMs;
    bool started;
    if (strlen(host) >= sizeof c->host) {
        // Longer than any name or address: unknown without asking.
        fprintf(stderr, "Unknown host %s\n", host);
        started = false;
    } else if ((c->count = kvp_resolve(c->host, 1, c->addrs, KVA_MAX_ADDRESSES)) > 0) {
        // An address written as the system reads one needs no lookup.
        started = startNext(c) >= 0;
    } else {
        started = startLookup(c);
    }
    if (!started) {
        delete c;
        return nullptr;
    }
    return c;
}

int kva_connect_step(KvaConnect *c, int *s)
{
    if (c->lookup) {
        int n = lookupResult(c);
        if (n < 0 && kvp_now_ms() < c->deadline) return 1;
        endLookup(c);
        // A lookup still under way when the time is up fails as a connect
        // that ran out of time does.
        if (n < 0) {
            printf("connect error code %d %d \n", -1, kvp_timed_out_error());
            return -1;
        }
        if (n == 0) {
            fprintf(stderr, "Unknown host %s\n", c->host);
            return -1;
        }
        if (startNext(c) < 0) return -1;
    }
    // A name's addresses are tried one after the other, within the same
    // time, until one takes the connection.
    for (;;) {
        if (c->s == -1) return -1;
        int r = kvp_connect_result(c->s);
        if (r == 0) break;
        if (r == 1) {
            if (kvp_now_ms() < c->deadline) return 1;
            return failConnect(c, kvp_timed_out_error());
        }
        failConnect(c, kvp_last_error());
        if (kvp_now_ms() >= c->deadline || startNext(c) < 0) return -1;
    }
    keepalive(c->s);
    kva_set_add(&watchedSet, c->s);
    int r = kvp_set_nonblocking(c->s);
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
    endLookup(c);
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
//
// The layer keeps each port it opened: its name for the log lines, whether
// its reads are failing, and whether it is closing.  A port closed while its
// device still holds output stays open, closing, until that output has gone
// out at the settings it was written with or its time is up (then it is
// flushed, and that is logged); only then do its settings go back and is it
// really closed.  The loop never waits for it: each wait looks at every
// closing port first and, while one is left, wakes within closingLookMs.

namespace {

// How often a closing port's output is looked at: the device's queue has no
// event of its own.
const int closingLookMs = 5;

struct Port {
    bool used;
    bool closing;
    bool readFailing;  // its last failed read was logged, and no read has moved bytes since
    kva_handle h;
    char name[8];      // "COM" and up to three digits
    int drainLimitMs;  // while closing: how long its output is waited for
    long long drainByMs;
};
// As many as the platform can have open: a closing port still holds its
// entry there too, so this table fills no sooner than the platform's.
Port ports[KVP_MAX_PORTS];
int portsUsed = 0;  // entries [0, portsUsed) may be used
int portsClosing = 0;

Port *portOf(kva_handle h)
{
    for (int i = 0; i < portsUsed; i++)
        if (ports[i].used && !ports[i].closing && ports[i].h == h) return &ports[i];
    return nullptr;
}

Port *newPort()
{
    for (int i = 0; i < KVP_MAX_PORTS; i++) {
        if (ports[i].used) continue;
        if (i >= portsUsed) portsUsed = i + 1;
        return &ports[i];
    }
    return nullptr;
}

void forgetPort(Port *p)
{
    if (p->closing) portsClosing--;
    p->used = false;
    while (portsUsed > 0 && !ports[portsUsed - 1].used) portsUsed--;
}

// The end of a close: the saved settings go back and the port is released.
void closeNow(Port *p)
{
    kvp_com_close(p->h);
    forgetPort(p);
}

// One look at a closing port: closed once its output has gone out or its
// time is up (flushed then).  True when it was closed.
bool stepClosing(Port *p, long long now)
{
    long left = kvp_com_output_left(p->h);
    if (left > 0 && now < p->drainByMs) return false;
    if (left > 0) {
        kvp_com_flush_output(p->h);
        fprintf(stderr, "%s: output not drained within %d ms, flushed %ld bytes\n", p->name,
                p->drainLimitMs, left);
    }
    closeNow(p);
    return true;
}

void stepClosingPorts()
{
    if (portsClosing == 0) return;
    long long now = kvp_now_ms();
    for (int i = 0; i < portsUsed; i++)
        if (ports[i].used && ports[i].closing) stepClosing(&ports[i], now);
    if (portsClosing > 0) kva_wake_within(closingLookMs);
}

// At shutdown nothing else is served: every closing port is waited for
// here, each within its own time, as the loop would have.
void finishClosingPorts()
{
    while (portsClosing > 0) {
        stepClosingPorts();
        if (portsClosing > 0) kvp_sleep_ms(closingLookMs);
    }
}

// A port opened again by name while it is still closing: its close is
// finished first, with what is left of its output flushed.  Taking it back
// instead would start the new session behind the last one's bytes, at the
// speed and framing they were written with, and with the settings saved
// before the first open still to put back: a fresh open is what a client
// asking for the port expects.  Nothing here waits.
void finishClosingByName(const char *name)
{
    for (int i = 0; i < portsUsed && portsClosing > 0; i++) {
        Port *p = &ports[i];
        if (!p->used || !p->closing || strcmp(p->name, name) != 0) continue;
        long left = kvp_com_output_left(p->h);
        if (left > 0) {
            kvp_com_flush_output(p->h);
            fprintf(stderr, "%s: opened again before its output drained, flushed %ld bytes\n",
                    p->name, left);
        }
        closeNow(p);
    }
}

}  // namespace

kva_handle kva_open_com(const char *name, int baud)
{
    if (strncmp(name, "COM", 3) != 0 || strlen(name) > 6) {
        fprintf(stderr, "Not a COM port name %.32s\n", name);
        return INVALID_HANDLE_VALUE;
    }
    finishClosingByName(name);
    char path[1100];
    snprintf(path, sizeof path, "\\\\.\\%.1024s", name);
    kva_handle h = kvp_com_open(path);
    if (h == INVALID_HANDLE_VALUE) {
        int e = kvp_com_last_error();
        fprintf(stderr, "%s: not opened, %s (error %d)\n", name, kvp_com_error_text(e), e);
        return INVALID_HANDLE_VALUE;
    }
    // An entry with this handle was closed behind the layer's back (the
    // platform gave the handle out again): it is this port's now.
    Port *p = portOf(h);
    if (!p) p = newPort();
    if (!p) {
        // Not on a platform whose own table of ports is no larger.
        fprintf(stderr, "%s: more than %d ports open\n", name, (int)KVP_MAX_PORTS);
        kvp_com_close(h);
        return INVALID_HANDLE_VALUE;
    }
    memset(p, 0, sizeof *p);
    p->used = true;
    p->h = h;
    snprintf(p->name, sizeof p->name, "%s", name);
    // A device whose line cannot be made transparent (no serial line, or a
    // driver that refuses) would echo or translate the bridged bytes.
    if (!kvp_com_configure(h, baud)) {
        int e = kvp_com_last_error();
        fprintf(stderr, "SetCommState failed %d\n", e);
        fprintf(stderr, "%s: speed %d refused, or not a serial line: %s (error %d)\n", name, baud,
                kvp_com_error_text(e), e);
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

int kva_com_speed(kva_handle h, int baud) { return kvp_com_configure(h, baud); }

int kva_com_8n1(kva_handle h)
{
    if (kvp_com_frame_8n1(h)) return 1;
    fprintf(stderr, "SetCommState failed %d\n", kvp_com_last_error());
    return 0;
}

int kva_read_com(kva_handle h, char *buf, int room)
{
    if (!kvp_com_set_timeouts(h, 1))
        fprintf(stderr, "SetCommTimeouts failed %d\n", kvp_com_last_error());
    int got = 0;
    Port *p = portOf(h);
    int r = kvp_com_read(h, buf, room, &got);
    if (r == KVP_COM_UNDECIDED) return KVA_READ_UNDECIDED;
    if (!r) {
        // A line that is gone fails every read until it is given up: its
        // first failure is logged, with the port's name, and then nothing
        // until a read moves bytes again.
        if (!p) fprintf(stderr, "ReadFile error %d\n", kvp_com_last_error());
        else if (!p->readFailing)
            fprintf(stderr, "%s: ReadFile error %d\n", p->name, kvp_com_last_error());
        if (p) p->readFailing = true;
        return -1;
    }
    if (p && got > 0) p->readFailing = false;
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
    Port *p = portOf(h);
    long baud = 0;
    long left = kvp_com_close_begin(h, &baud);
    if (!p) {
        kvp_com_close(h);
        return 0;
    }
    if (left <= 0) {
        closeNow(p);
        return 0;
    }
    p->closing = true;
    portsClosing++;
    p->drainLimitMs = kvp_com_drain_ms(left, baud);
    p->drainByMs = kvp_now_ms() + p->drainLimitMs;
    return 0;
}
