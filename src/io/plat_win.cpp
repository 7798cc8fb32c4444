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

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

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

int kvp_wait(KvaSet *set, int usec)
{
    // select with only empty sets fails (WSAEINVAL) instead of waiting, so
    // a wait over no sockets is a plain sleep for the same time.
    if (set->count == 0) {
        if (usec > 0) Sleep((DWORD)((usec + 999) / 1000));
        return 0;
    }
    fd_set readable;
    readable.fd_count = set->count;
    for (unsigned i = 0; i < set->count; i++) readable.fd_array[i] = toSocket(set->fds[i]);
    struct timeval tv;
    tv.tv_sec = usec / 1000000;
    tv.tv_usec = usec % 1000000;
    int r = select(0, &readable, NULL, NULL, &tv);
    if (r == SOCKET_ERROR) return -1;
    // select leaves the members with input in the set, in their order.
    unsigned kept = readable.fd_count;
    for (unsigned i = 0; i < kept; i++) set->fds[i] = fromSocket(readable.fd_array[i]);
    for (unsigned i = kept; i < KVA_SET_SIZE; i++) set->fds[i] = 0;
    set->count = kept;
    return (int)kept;
}

void kvp_sleep_ms(int ms)
{
    if (ms > 0) Sleep((DWORD)ms);
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

int kvp_lookup(const char *host, unsigned char addr[4])
{
    struct hostent *h = gethostbyname(host);
    if (h == NULL || h->h_addrtype != AF_INET || h->h_length != 4 || h->h_addr_list[0] == NULL)
        return -1;
    memcpy(addr, h->h_addr_list[0], 4);
    return 0;
}

int kvp_connect(int s, const unsigned char addr[4], unsigned short port)
{
    struct sockaddr_in a = ipv4Address(addr, port);
    return connect(toSocket(s), (struct sockaddr *)&a, (int)sizeof a) == 0 ? 0 : -1;
}

int kvp_set_nonblocking(int s)
{
    u_long one = 1;
    return ioctlsocket(toSocket(s), FIONBIO, &one);
}

int kvp_recv(int s, char *buf, int len) { return recv(toSocket(s), buf, len, 0); }

int kvp_send(int s, const char *buf, int len) { return send(toSocket(s), buf, len, 0); }

void kvp_close_socket(int s) { closesocket(toSocket(s)); }

// ---- serial ports ------------------------------------------------------------------

kva_handle kvp_com_open(const char *path)
{
    // Exclusive (share mode 0) and synchronous.
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        comError = GetLastError();
        return -1;
    }
    return (kva_handle)h;
}

void kvp_com_set_baud(kva_handle h, int baud)
{
    // Only the rate changes; everything else is written back as the device
    // has it.  When the settings cannot be read there is nothing sound to
    // write back, so the line is left as it is.
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState((HANDLE)h, &dcb)) return;
    dcb.BaudRate = (DWORD)baud;
    SetCommState((HANDLE)h, &dcb);
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

void kvp_com_close(kva_handle h) { CloseHandle((HANDLE)h); }

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
