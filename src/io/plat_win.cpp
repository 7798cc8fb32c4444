// The platform seam on Windows: Windows Sockets 2.0 and the console
// functions of the C runtime.  Serial ports are serial_win.cpp, the wait
// wait_win.cpp, the process and its stop requests service_win.cpp.  See
// plat.h for the contract of each function.  Sockets travel through the
// layer as ints: Windows socket handles fit in 32 bits, and INVALID_SOCKET
// becomes -1 on the way.
#include "win_internal.h"

#include <mstcpip.h>

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

#include <new>

#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif

static_assert(FD_SETSIZE == KVA_SET_SIZE, "the watched set is a Winsock fd_set");

namespace {

// Process-wide set-up before the first line is printed.  The C runtime
// buffers a piped standard output fully, even when asked for line
// buffering, so both streams go unbuffered: every diagnostic line reaches a
// pipe or file at once.  Binary mode keeps the bytes written to standard
// output unchanged (a text-mode stream turns every LF into CR LF, and the
// console endpoint's replies already end in CR LF); standard error gets the
// same, so both streams carry the same line ends as on every other system.
struct ProcessSetup {
    ProcessSetup()
    {
        setvbuf(stdout, NULL, _IONBF, 0);
        setvbuf(stderr, NULL, _IONBF, 0);
        _setmode(_fileno(stdout), _O_BINARY);
        _setmode(_fileno(stderr), _O_BINARY);
    }
};
ProcessSetup processSetup;

SOCKET toSocket(int s) { return (SOCKET)s; }

int fromSocket(SOCKET s) { return s == INVALID_SOCKET ? -1 : (int)s; }

}  // namespace

// ---- socket library ----------------------------------------------------------

int kvp_net_start(int *granted)
{
    WSADATA data;
    memset(&data, 0, sizeof data);
    int r = WSAStartup(MAKEWORD(2, 0), &data);
    *granted = r == 0 ? (int)data.wVersion : 0;
    return r;
}

void kvp_net_stop() { WSACleanup(); }

int kvp_last_error() { return WSAGetLastError(); }

int kvp_is_would_block(int err) { return err == WSAEWOULDBLOCK; }

long kvp_fionbio_code() { return (long)FIONBIO; }

long long kvp_now_ms() { return (long long)GetTickCount64(); }

// ---- sockets and the wait ------------------------------------------------------------
//
// Every socket the wait sees is tied once to one shared event for all its
// network events.  The event only ends the wait; which sockets are ready is
// then asked of select (wait_win.cpp).  Winsock signals each kind of event
// once and again only after the call that consumes it (recv, accept, a send
// that would block), so a socket whose input the loop does not take cannot
// keep setting the event.

namespace {

HANDLE socketEvent = NULL;
enum { maxSelected = 4 * KVA_SET_SIZE };
SOCKET selected[maxSelected];
int selectedCount = 0;

bool isSelected(SOCKET s)
{
    for (int i = 0; i < selectedCount; i++)
        if (selected[i] == s) return true;
    return false;
}

void forgetSocket(SOCKET s)
{
    for (int i = 0; i < selectedCount; i++) {
        if (selected[i] != s) continue;
        selected[i] = selected[--selectedCount];
        return;
    }
}

}  // namespace

HANDLE win_socket_event()
{
    if (!socketEvent) socketEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    return socketEvent;
}

void win_socket_select(SOCKET s)
{
    // Beyond the table a socket is not tied to the event; select still sees
    // it, and the wait's time-out paces it.
    if (isSelected(s) || selectedCount == maxSelected || !win_socket_event()) return;
    const long all = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
    if (WSAEventSelect(s, socketEvent, all) == 0) selected[selectedCount++] = s;
}

void win_socket_rearm()
{
    if (!socketEvent || WaitForSingleObject(socketEvent, 0) != WAIT_OBJECT_0) return;
    for (int i = 0; i < selectedCount; i++) {
        WSANETWORKEVENTS ne;
        WSAEnumNetworkEvents(selected[i], socketEvent, &ne);
    }
    ResetEvent(socketEvent);
}

int kvp_socket() { return fromSocket(socket(AF_INET, SOCK_STREAM, 0)); }

namespace {

// An IPv4 socket address: the four address bytes and the port, both as
// written, in network byte order.
struct sockaddr_in ipv4Address(const unsigned char addr[4], unsigned short port)
{
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    memcpy(&a.sin_addr, addr, 4);
    return a;
}

}  // namespace

int kvp_bind_listener(int s, unsigned short port)
{
    static const unsigned char any[4] = {0, 0, 0, 0};
    struct sockaddr_in a = ipv4Address(any, port);
    return bind(toSocket(s), (struct sockaddr *)&a, (int)sizeof a);
}

int kvp_listen(int s, int backlog) { return listen(toSocket(s), backlog); }

int kvp_accept(int s, unsigned char peer[16])
{
    // The Winsock IPv4 address is exactly the 16-byte layout the layer
    // reads: family, port, address, eight bytes of padding.
    static_assert(sizeof(struct sockaddr_in) == 16, "16-byte socket address");
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    int len = (int)sizeof a;
    SOCKET c = accept(toSocket(s), (struct sockaddr *)&a, &len);
    if (c == INVALID_SOCKET) return -1;
    memcpy(peer, &a, sizeof a);
    return fromSocket(c);
}

int kvp_connect_start(int s, const unsigned char addr[4], unsigned short port)
{
    u_long one = 1;
    if (ioctlsocket(toSocket(s), FIONBIO, &one) != 0) return -1;
    // Tied to the wait's event before the connect, so that its end is told.
    win_socket_select(toSocket(s));
    struct sockaddr_in a = ipv4Address(addr, port);
    if (connect(toSocket(s), (struct sockaddr *)&a, (int)sizeof a) == 0) return 0;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 1 : -1;
}

int kvp_connect_result(int s)
{
    fd_set wr, ex;
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    FD_SET(toSocket(s), &wr);
    FD_SET(toSocket(s), &ex);
    struct timeval tv = {0, 0};
    int r = select(0, NULL, &wr, &ex, &tv);
    if (r == SOCKET_ERROR) return -1;
    if (FD_ISSET(toSocket(s), &wr)) return 0;
    if (!FD_ISSET(toSocket(s), &ex)) return 1;
    int err = 0;
    int len = (int)sizeof err;
    getsockopt(toSocket(s), SOL_SOCKET, SO_ERROR, (char *)&err, &len);
    WSASetLastError(err ? err : WSAECONNREFUSED);
    return -1;
}

int kvp_timed_out_error() { return WSAETIMEDOUT; }

void kvp_keepalive(int s)
{
    // The first probe after a minute of silence, then one every 10 s
    // (Windows gives up after 10 unanswered probes): a peer that is gone is
    // found within about two minutes.
    struct tcp_keepalive ka;
    ka.onoff = 1;
    ka.keepalivetime = 60000;
    ka.keepaliveinterval = 10000;
    DWORD got = 0;
    WSAIoctl(toSocket(s), SIO_KEEPALIVE_VALS, &ka, sizeof ka, NULL, 0, &got, NULL, NULL);
}

// ---- name lookups --------------------------------------------------------------------
//
// gethostbyname only blocks, so each lookup runs on a thread of its own that
// does nothing but the lookup; the loop asks for the outcome on later turns.
// The thread and the loop share one record, freed by whichever lets go of it
// last.

struct KvpLookup {
    volatile LONG owners;  // the loop and the thread
    volatile LONG state;   // 1 under way, 0 found, -1 failed
    unsigned char addr[4];
    char host[256];
};

namespace {

void releaseLookup(KvpLookup *l)
{
    if (InterlockedDecrement(&l->owners) == 0) delete l;
}

DWORD WINAPI runLookup(LPVOID arg)
{
    KvpLookup *l = (KvpLookup *)arg;
    // Each thread has its own hostent (Windows Sockets keeps it per thread).
    struct hostent *h = gethostbyname(l->host);
    LONG state = -1;
    if (h && h->h_addrtype == AF_INET && h->h_length == 4 && h->h_addr_list[0]) {
        memcpy(l->addr, h->h_addr_list[0], 4);
        state = 0;
    }
    InterlockedExchange(&l->state, state);
    releaseLookup(l);
    return 0;
}

}  // namespace

KvpLookup *kvp_lookup_start(const char *host)
{
    KvpLookup *l = new (std::nothrow) KvpLookup;
    if (!l) return NULL;
    if (strlen(host) >= sizeof l->host) {
        delete l;
        return NULL;
    }
    l->owners = 2;
    l->state = 1;
    memset(l->addr, 0, sizeof l->addr);
    strcpy(l->host, host);
    HANDLE t = CreateThread(NULL, 0, runLookup, l, 0, NULL);
    if (!t) {
        delete l;
        return NULL;
    }
    CloseHandle(t);
    return l;
}

int kvp_lookup_result(KvpLookup *l, unsigned char addr[4])
{
    LONG state = InterlockedCompareExchange(&l->state, 0, 0);
    if (state == 0) memcpy(addr, l->addr, 4);
    return (int)state;
}

void kvp_lookup_end(KvpLookup *l) { releaseLookup(l); }

int kvp_set_nonblocking(int s)
{
    // A socket tied to the wait's event is non-blocking already: spare the
    // call (under Wine each is a round trip to its server).
    if (isSelected(toSocket(s))) return 0;
    u_long one = 1;
    return ioctlsocket(toSocket(s), FIONBIO, &one);
}

int kvp_recv(int s, char *buf, int len) { return recv(toSocket(s), buf, len, 0); }

int kvp_send(int s, const char *buf, int len)
{
    int sent = send(toSocket(s), buf, len, 0);
    // After a partial send Winsock tells of room again only once a send has
    // failed for want of it: offer the rest until it is taken or refused.
    while (sent > 0 && sent < len) {
        int more = send(toSocket(s), buf + sent, len - sent, 0);
        if (more <= 0) break;
        sent += more;
    }
    return sent;
}

void kvp_close_socket(int s)
{
    forgetSocket(toSocket(s));
    closesocket(toSocket(s));
}

// ---- console -------------------------------------------------------------------------

void kvp_console_open()
{
    // The console needs no preparation: _getch reads single key presses
    // without echo and without waiting for a line end.
}

int kvp_kbhit() { return _kbhit(); }

int kvp_getch() { return _getch(); }

int kvp_write_stdout(const char *p, int n)
{
    return _write(1, p, (unsigned)(n > 0 ? n : 0));
}
