// The platform seam on Windows: Windows Sockets 2.0, Win32 serial ports and
// the console functions of the C runtime.  See plat.h for the contract of
// each function.  Sockets travel through the layer as ints: Windows socket
// handles fit in 32 bits, and INVALID_SOCKET becomes -1 on the way.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// gethostbyname is the lookup this server makes; newer SDKs flag it.
#ifndef _WINSOCK_DEPRECATED_NO_WARNINGS
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#endif

#include "plat.h"

#include <winsock2.h>
#include <windows.h>
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

DWORD comError = 0;  // GetLastError() of the last failed serial call

// Bound on one serial write.  A write with no time limit would keep the
// single thread waiting for as long as the device holds its output back
// (hardware flow control, a peer that stops reading), freezing every client.
// When the time runs out the write reports what the device took so far, and
// the endpoint keeps the rest queued for the next turn.
const DWORD comWriteTimeoutMs = 50;

// The serial input queue asked of the driver.
const DWORD comQueueBytes = 65536;

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

// ---- stop requests ---------------------------------------------------------------

namespace {

volatile LONG stopFlag = 0;

BOOL WINAPI onConsoleControl(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        InterlockedExchange(&stopFlag, 1);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

void kvp_stop_watch() { SetConsoleCtrlHandler(onConsoleControl, TRUE); }

int kvp_stop_requested() { return InterlockedCompareExchange(&stopFlag, 0, 0) != 0; }

int kvp_run(int (*serverMain)(int argc, char **argv), int argc, char **argv)
{
    return serverMain(argc, argv);
}

// ---- the wait -----------------------------------------------------------------------

namespace {

// Bytes waiting in a serial port's input queue.
DWORD comQueued(HANDLE h)
{
    DWORD errors = 0;
    COMSTAT st;
    memset(&st, 0, sizeof st);
    if (!ClearCommError(h, &errors, &st)) return 0;
    return st.cbInQue;
}

// Sockets ready now, by select without waiting; the number of watches made
// ready.
int readySockets(KvpWatch *watches, int n, long usec)
{
    fd_set rd, wr, ex;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    int any = 0;
    for (int i = 0; i < n; i++) {
        KvpWatch &w = watches[i];
        if (w.kind != KVP_SOCKET) continue;
        SOCKET s = toSocket((int)w.id);
        if ((w.events & KVP_IN) && rd.fd_count < FD_SETSIZE) FD_SET(s, &rd);
        // A connect under way ends writable (connected) or with an
        // exception (failed).
        if ((w.events & KVP_OUT) && wr.fd_count < FD_SETSIZE && ex.fd_count < FD_SETSIZE) {
            FD_SET(s, &wr);
            FD_SET(s, &ex);
        }
        any = 1;
    }
    if (!any) {
        if (usec > 0) Sleep((DWORD)((usec + 999) / 1000));
        return 0;
    }
    struct timeval tv;
    tv.tv_sec = usec / 1000000;
    tv.tv_usec = usec % 1000000;
    int r = select(0, rd.fd_count ? &rd : NULL, wr.fd_count ? &wr : NULL,
                   ex.fd_count ? &ex : NULL, &tv);
    if (r == SOCKET_ERROR) return -1;
    int ready = 0;
    for (int i = 0; i < n && r > 0; i++) {
        KvpWatch &w = watches[i];
        if (w.kind != KVP_SOCKET) continue;
        SOCKET s = toSocket((int)w.id);
        int before = w.ready;
        if ((w.events & KVP_IN) && FD_ISSET(s, &rd)) w.ready |= KVP_IN;
        if ((w.events & KVP_OUT) && (FD_ISSET(s, &wr) || FD_ISSET(s, &ex))) w.ready |= KVP_OUT;
        if (!before && w.ready) ready++;
    }
    return ready;
}

}  // namespace

int kvp_wait(KvpWatch *watches, int n, int usec)
{
    // Serial ports and the console cannot be waited on together with the
    // sockets here: they are ready when they hold input now, and otherwise
    // the wait's time-out paces them.
    int ready = 0;
    for (int i = 0; i < n; i++) {
        KvpWatch &w = watches[i];
        w.ready = 0;
        if (w.kind == KVP_COM && (w.events & KVP_IN) && comQueued((HANDLE)w.id) > 0)
            w.ready |= KVP_IN;
        if (w.kind == KVP_CONSOLE && (w.events & KVP_IN) && _kbhit()) w.ready |= KVP_IN;
        if (w.ready) ready++;
    }
    if (ready || kvp_stop_requested()) usec = 0;
    int r = readySockets(watches, n, usec);
    if (r < 0) return -1;
    return ready + r;
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
    u_long one = 1;
    return ioctlsocket(toSocket(s), FIONBIO, &one);
}

int kvp_recv(int s, char *buf, int len) { return recv(toSocket(s), buf, len, 0); }

int kvp_send(int s, const char *buf, int len) { return send(toSocket(s), buf, len, 0); }

void kvp_close_socket(int s) { closesocket(toSocket(s)); }

// ---- serial ports ------------------------------------------------------------------

namespace {

// The settings each open port had before it was opened, put back when it is
// closed, so that the next program to open the port finds it as it was.
struct SavedLine {
    HANDLE h;  // NULL: a free entry
    DCB dcb;
    COMMTIMEOUTS timeouts;
    bool timeoutsSaved;
};
enum { maxSaved = 256 };
SavedLine saved[maxSaved];

SavedLine *savedFor(HANDLE h)
{
    for (SavedLine &s : saved)
        if (s.h == h) return &s;
    return NULL;
}

}  // namespace

kva_handle kvp_com_open(const char *path)
{
    // Exclusive (share mode 0) and synchronous.
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        comError = GetLastError();
        return -1;
    }
    // An input queue that holds a burst at a high rate while the loop is
    // busy elsewhere (the driver's default is a few KiB).
    SetupComm(h, comQueueBytes, comQueueBytes);
    return (kva_handle)h;
}

int kvp_com_configure(kva_handle h, int baud)
{
    // Only the rate changes; everything else is written back as the device
    // has it.  A device whose settings cannot be read is no serial line.
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState((HANDLE)h, &dcb)) {
        comError = GetLastError();
        return 0;
    }
    SavedLine *s = savedFor(NULL);
    if (s) {
        s->h = (HANDLE)h;
        s->dcb = dcb;
        s->timeoutsSaved = GetCommTimeouts((HANDLE)h, &s->timeouts) != 0;
    }
    // A rate the device refuses leaves the previous one in force.
    dcb.BaudRate = (DWORD)baud;
    SetCommState((HANDLE)h, &dcb);
    return 1;
}

int kvp_com_set_timeouts(kva_handle h, int forRead)
{
    // Reads return at once with what has arrived (the open's set lets a
    // read wait 1 ms); writes stop after comWriteTimeoutMs.
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = forRead ? 0 : 1;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = comWriteTimeoutMs;
    if (SetCommTimeouts((HANDLE)h, &t)) return 1;
    comError = GetLastError();
    return 0;
}

int kvp_com_read(kva_handle h, char *buf, int len, int *got)
{
    DWORD n = 0;
    BOOL ok = ReadFile((HANDLE)h, buf, (DWORD)(len > 0 ? len : 0), &n, NULL);
    *got = (int)n;
    if (ok) return 1;
    comError = GetLastError();
    *got = 0;
    return 0;
}

int kvp_com_write(kva_handle h, const char *buf, int len, int *put)
{
    DWORD n = 0;
    BOOL ok = WriteFile((HANDLE)h, buf, (DWORD)(len > 0 ? len : 0), &n, NULL);
    *put = (int)n;
    if (ok) return 1;
    comError = GetLastError();
    // A write that ran out of its time is no failure: some drivers report
    // the time-out as an error, with the count taken before it.
    if (comError == (DWORD)ERROR_TIMEOUT || comError == (DWORD)ERROR_SEM_TIMEOUT) return 1;
    *put = 0;
    return 0;
}

void kvp_com_close(kva_handle h)
{
    SavedLine *s = savedFor((HANDLE)h);
    if (s) {
        SetCommState((HANDLE)h, &s->dcb);
        if (s->timeoutsSaved) SetCommTimeouts((HANDLE)h, &s->timeouts);
        s->h = NULL;
    }
    CloseHandle((HANDLE)h);
}

int kvp_com_last_error() { return (int)comError; }

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
