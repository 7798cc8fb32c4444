// The platform seam on Windows: Windows Sockets 2.0, name lookups, the
// process's set-up and the console functions of the C runtime.  Serial ports
// are serial_win.cpp, the wait wait_win.cpp, the process and its stop
// requests service_win.cpp.  See
// plat.h for the contract of each function.  Sockets travel through the
// layer as ints: Windows socket handles fit in 32 bits, and INVALID_SOCKET
// becomes -1 on the way.
#include "win_internal.h"

#include <mstcpip.h>
#include <ws2tcpip.h>

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

#include <new>

// After the system's socket headers: it has none of its own.
#include "plat_shared.h"

#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif

static_assert(FD_SETSIZE == KVA_SET_SIZE, "the watched set is a Winsock fd_set");

namespace {

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

// The computer's DNS host name: what a browser on the network names it by
// (Winsock's gethostname would need the socket library started first).
int kvp_host_name(char *out, int size)
{
    if (size <= 0) return -1;
    DWORD n = (DWORD)size;
    if (!GetComputerNameExA(ComputerNameDnsHostname, out, &n)) {
        out[0] = 0;
        return -1;
    }
    return 0;
}

void kvp_file_path(const char *dir, const char *name, char *out, int size)
{
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(dir, sizeof full, full, NULL);
    if (n == 0 || n >= sizeof full) snprintf(full, sizeof full, "%s", dir);
    for (char *p = full; *p; p++)
        if (*p == '/') *p = '\\';
    size_t len = strlen(full);
    const char *sep = len > 0 && full[len - 1] == '\\' ? "" : "\\";
    snprintf(out, (size_t)size, "\\\\?\\%s%s%s", full, sep, name);
}

// ---- log files ---------------------------------------------------------------

namespace {
DWORD fileError = 0;
}

kva_handle kvp_file_open_append(const char *path)
{
    // FILE_APPEND_DATA writes at the end whatever the position; sharing
    // delete lets other programs rename or remove the file while the log
    // has it open, as on POSIX.
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        fileError = GetLastError();
        return -1;
    }
    return (kva_handle)h;
}

long long kvp_file_size(kva_handle f)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx((HANDLE)f, &size)) return -1;
    return (long long)size.QuadPart;
}

int kvp_file_write(kva_handle f, const char *buf, int len)
{
    DWORD put = 0;
    if (!WriteFile((HANDLE)f, buf, (DWORD)len, &put, NULL)) {
        fileError = GetLastError();
        // Bytes taken before the failure are in the file all the same.
        return put > 0 ? (int)put : -1;
    }
    return (int)put;
}

void kvp_file_close(kva_handle f) { CloseHandle((HANDLE)f); }

void kvp_file_error(char *text, int size)
{
    int n = snprintf(text, (size_t)size, "error %lu: ", (unsigned long)fileError);
    if (n < 0 || n >= size) return;
    DWORD got = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                               fileError, 0, text + n, (DWORD)(size - n), NULL);
    if (got == 0) {
        text[n - 2] = 0;  // only the number, then
        return;
    }
    // The system's text ends with a full stop and CR LF; a log line has its own end.
    size_t len = (size_t)n + got;
    while (len > (size_t)n && strchr(" .\r\n", text[len - 1])) len--;
    text[len] = 0;
}

// ---- process set-up ------------------------------------------------------------------

void kvp_process_start()
{
    // The C runtime buffers a piped standard output fully, even when asked
    // for line buffering, so both streams go unbuffered: every diagnostic
    // line reaches a pipe or file at once.  Binary mode keeps the bytes
    // written to standard output unchanged (a text-mode stream turns every
    // LF into CR LF, and the console endpoint's replies already end in CR
    // LF); standard error gets the same, so both streams carry the same line
    // ends as on every other system.  Winsock raises no signal on a send to
    // a peer that has gone.
    setvbuf(stdout, NULL, _IONBF, 0);
    setvbuf(stderr, NULL, _IONBF, 0);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

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
// Room is told of (FD_WRITE) once when a socket connects and then only
// after a send failed for want of it.  A send that took all it was given
// leaves the next room untold: true for such a socket until a send fails
// for want of room again.
bool roomUntold[maxSelected];
int selectedCount = 0;

int selectedIndex(SOCKET s)
{
    for (int i = 0; i < selectedCount; i++)
        if (selected[i] == s) return i;
    return -1;
}

bool isSelected(SOCKET s) { return selectedIndex(s) != -1; }

void forgetSocket(SOCKET s)
{
    int i = selectedIndex(s);
    if (i == -1) return;
    selectedCount--;
    selected[i] = selected[selectedCount];
    roomUntold[i] = roomUntold[selectedCount];
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
    if (WSAEventSelect(s, socketEvent, all) != 0) return;
    roomUntold[selectedCount] = false;
    selected[selectedCount++] = s;
}

bool win_socket_room_untold(SOCKET s)
{
    int i = selectedIndex(s);
    return i != -1 && roomUntold[i];
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

int kvp_family_code(int family) { return family == KVP_IPV6 ? AF_INET6 : AF_INET; }

int kvp_socket(int family)
{
    return fromSocket(socket(family == KVP_IPV6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
}

int kvp_set_v6only(int s, int on)
{
    DWORD v = (DWORD)on;
    return setsockopt(toSocket(s), IPPROTO_IPV6, IPV6_V6ONLY, (const char *)&v, (int)sizeof v) == 0
               ? 0
               : -1;
}

int kvp_is_address_in_use(int err) { return err == WSAEADDRINUSE; }

int kvp_bind_listener(int s, int family, unsigned short port)
{
    struct sockaddr_storage a;
    socklen_t len = plat_any_address(family, port, &a);
    return bind(toSocket(s), (struct sockaddr *)&a, len);
}

int kvp_bound_port(int s)
{
    struct sockaddr_storage a;
    int len = sizeof a;
    KvpAddr bound;
    if (getsockname(toSocket(s), (struct sockaddr *)&a, &len) != 0 ||
        !plat_from_sockaddr((struct sockaddr *)&a, &bound))
        return -1;
    return bound.port;
}

int kvp_listen(int s, int backlog) { return listen(toSocket(s), backlog); }

int kvp_accept(int s, KvpAddr *peer)
{
    struct sockaddr_storage a;
    memset(&a, 0, sizeof a);
    int len = (int)sizeof a;
    SOCKET c = accept(toSocket(s), (struct sockaddr *)&a, &len);
    if (c == INVALID_SOCKET) return -1;
    plat_from_sockaddr((struct sockaddr *)&a, peer);
    return fromSocket(c);
}

int kvp_peer(int s, KvpAddr *peer)
{
    struct sockaddr_storage a;
    memset(&a, 0, sizeof a);
    int len = sizeof a;
    if (getpeername(toSocket(s), (struct sockaddr *)&a, &len) != 0) return -1;
    return plat_from_sockaddr((struct sockaddr *)&a, peer) ? 0 : -1;
}

int kvp_connect_start(int s, const KvpAddr *to)
{
    u_long one = 1;
    if (ioctlsocket(toSocket(s), FIONBIO, &one) != 0) return -1;
    // Tied to the wait's event before the connect, so that its end is told.
    win_socket_select(toSocket(s));
    struct sockaddr_storage a;
    socklen_t len = plat_to_sockaddr(to, &a);
    if (connect(toSocket(s), (struct sockaddr *)&a, len) == 0) return 0;
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

void kvp_keepalive(int s, int idleSeconds, int intervalSeconds, int probes)
{
    // Windows gives up after 10 unanswered probes: the count is its own.
    (void)probes;
    struct tcp_keepalive ka;
    ka.onoff = 1;
    ka.keepalivetime = (ULONG)idleSeconds * 1000;
    ka.keepaliveinterval = (ULONG)intervalSeconds * 1000;
    DWORD got = 0;
    WSAIoctl(toSocket(s), SIO_KEEPALIVE_VALS, &ka, sizeof ka, NULL, 0, &got, NULL, NULL);
}

// ---- name lookups --------------------------------------------------------------------

int kvp_resolve(const char *host, int numericOnly, KvpAddr *out, int max)
{
    return plat_resolve(host, numericOnly, out, max);
}

namespace {

DWORD WINAPI runThread(LPVOID record)
{
    plat_thread_run(record);
    return 0;
}

}  // namespace

int kvp_thread_start(void (*fn)(void *arg), void *arg)
{
    // Console control events and service stops reach a thread of their own
    // that the system makes, never this one.
    PlatThreadStart *start = plat_thread_record(fn, arg);
    if (!start) return ERROR_NOT_ENOUGH_MEMORY;
    HANDLE t = CreateThread(NULL, 0, runThread, start, 0, NULL);
    if (!t) {
        int e = (int)GetLastError();
        delete start;
        return e;
    }
    CloseHandle(t);
    return 0;
}

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
    // Whether Winsock will tell of room again: only a send that failed for
    // want of it arms that.  The wait looks for itself at a socket whose
    // next room would go untold (wait_win.cpp).
    int i = selectedIndex(toSocket(s));
    if (i != -1 && sent == len) roomUntold[i] = true;
    else if (i != -1 && WSAGetLastError() == WSAEWOULDBLOCK) roomUntold[i] = false;
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

void kvp_console_keys_raw(int on)
{
    // Without processed input Ctrl-C reaches _getch as a byte instead of
    // the console's stop request.
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) return;
    if (on) mode &= ~(DWORD)ENABLE_PROCESSED_INPUT;
    else mode |= ENABLE_PROCESSED_INPUT;
    SetConsoleMode(in, mode);
}

int kvp_kbhit() { return _kbhit(); }

int kvp_getch() { return _getch(); }

int kvp_write_stdout(const char *p, int n)
{
    return _write(1, p, (unsigned)(n > 0 ? n : 0));
}
