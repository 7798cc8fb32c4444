// The wait on Windows: one WaitForMultipleObjects on the stop event, the
// event every socket is tied to (plat_win.cpp) and the event of each serial
// port with a transfer under way (serial_win.cpp).  Before it blocks, the
// wait resets the socket event and then asks select, without waiting, which
// sockets are ready, so a network event that comes after the look sets the
// event again and none is missed.  When something woke it but nothing
// watched is ready (an event for a socket or port the loop does not wait
// on now), it looks again and waits out the rest of its time.
//
// Room to send is told as an event only after a send failed for want of
// it, and select may find too little room to call a socket writable: a
// socket whose last send took everything it was given is called ready to
// send, so that the loop's next send either moves bytes or arms the event.
//
// The console is ready when _kbhit says a key is waiting; no event tells of
// a key, so while the console waits for one the wait lasts at most
// kvpPaceMs, and so does a port that has no event to wait on.  See plat.h
// for the contract.
#include "win_internal.h"

#include <conio.h>
#include <string.h>

namespace {

SOCKET toSocket(intptr_t s) { return (SOCKET)s; }

// Sockets ready now, by select without waiting; the number of watches made
// ready, or -1 when select failed.  A socket the sets have no room for is
// marked KVP_LEFT_OUT and *leftOut set: select cannot tell of it, so the
// wait is paced while it is there.
int readySockets(KvpWatch *watches, int n, bool *leftOut)
{
    fd_set rd, wr, ex;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    bool any = false;
    for (int i = 0; i < n; i++) {
        KvpWatch &w = watches[i];
        if (w.kind != KVP_SOCKET) continue;
        SOCKET s = toSocket(w.id);
        win_socket_select(s);
        bool fits = true;
        if (w.events & KVP_IN) {
            if (rd.fd_count < FD_SETSIZE) FD_SET(s, &rd);
            else fits = false;
        }
        // A connect under way ends writable (connected) or with an
        // exception (failed).
        if (w.events & KVP_OUT) {
            if (wr.fd_count < FD_SETSIZE && ex.fd_count < FD_SETSIZE) {
                FD_SET(s, &wr);
                FD_SET(s, &ex);
            } else {
                fits = false;
            }
        }
        if (!fits) {
            static bool told = false;
            kvp_table_full(&told, "the socket sets of select", FD_SETSIZE);
            w.ready |= KVP_LEFT_OUT;
            *leftOut = true;
        }
        any = true;
    }
    if (!any) return 0;
    struct timeval tv = {0, 0};
    int r = select(0, rd.fd_count ? &rd : NULL, wr.fd_count ? &wr : NULL,
                   ex.fd_count ? &ex : NULL, &tv);
    if (r == SOCKET_ERROR) return -1;
    if (r == 0) {  // nothing ready: the sets need not say so
        FD_ZERO(&rd);
        FD_ZERO(&wr);
        FD_ZERO(&ex);
    }
    int ready = 0;
    for (int i = 0; i < n; i++) {
        KvpWatch &w = watches[i];
        if (w.kind != KVP_SOCKET) continue;
        SOCKET s = toSocket(w.id);
        const int told = KVP_IN | KVP_OUT;
        int before = w.ready & told;
        if ((w.events & KVP_IN) && FD_ISSET(s, &rd)) w.ready |= KVP_IN;
        if ((w.events & KVP_OUT) && (FD_ISSET(s, &wr) || FD_ISSET(s, &ex))) w.ready |= KVP_OUT;
        // select may find too little room to call the socket writable
        // while no network event will come when more room does: the send
        // before took all it was given.  Another send either takes some
        // or fails for want of room, and that failure arms the event.
        if ((w.events & KVP_OUT) && win_socket_room_untold(s)) w.ready |= KVP_OUT;
        if (!before && (w.ready & told)) ready++;
    }
    return ready;
}

// Adds a handle to the wait's array; false when the array is full (the
// system's limit): that port is not waited on, and the wait is paced.
bool addHandle(HANDLE *handles, DWORD &count, HANDLE h)
{
    // The array may not hold a handle twice.
    for (DWORD i = 0; i < count; i++)
        if (handles[i] == h) return true;
    if (count == MAXIMUM_WAIT_OBJECTS) {
        static bool told = false;
        kvp_table_full(&told, "the handle array of WaitForMultipleObjects",
                       MAXIMUM_WAIT_OBJECTS);
        return false;
    }
    handles[count++] = h;
    return true;
}

}  // namespace

// Every device is read whatever the wait said.  A port's event cannot
// always be trusted (under Wine a pty-backed port's wait ends with nothing),
// the console's keys are only looked at, and a socket's network event is
// armed again only by a read: a socket left unread because the last look
// found nothing could wait for an event that does not come.
int kvp_wait_tells_input(int) { return 0; }

void kvp_sleep_ms(int ms) { Sleep((DWORD)ms); }

int kvp_wait(KvpWatch *watches, int n, int usec)
{
    const ULONGLONG start = GetTickCount64();
    const bool forever = usec < 0;
    const ULONGLONG total = usec > 0 ? ((ULONGLONG)usec + 999) / 1000 : 0;
    HANDLE stop = win_stop_event();
    HANDLE sockets = win_socket_event();
    for (;;) {
        ULONGLONG spent = GetTickCount64() - start;
        DWORD left = forever ? INFINITE : spent >= total ? 0 : (DWORD)(total - spent);
        if (kvp_stop_requested() || win_reload_pending()) left = 0;
        // Reset before looking: whatever happens after the look sets it.
        if (left > 0 && sockets) win_socket_rearm();

        for (int i = 0; i < n; i++) watches[i].ready = 0;
        // What no event tells of (a key press, a port whose events cannot
        // be trusted, a device the system's tables have no room for) is
        // looked at again at a pace.
        bool paced = false;
        int ready = readySockets(watches, n, &paced);
        if (ready < 0) return -1;
        HANDLE handles[MAXIMUM_WAIT_OBJECTS];
        DWORD count = 0;
        if (stop) handles[count++] = stop;
        if (sockets) handles[count++] = sockets;
        for (int i = 0; i < n; i++) {
            KvpWatch &w = watches[i];
            if (w.kind == KVP_COM) {
                HANDLE wake = NULL;
                w.ready = win_com_prepare((HANDLE)w.id, w.events, &wake);
                if (wake && !addHandle(handles, count, wake)) {
                    w.ready |= KVP_LEFT_OUT;
                    paced = true;
                } else if (!wake && w.events && !w.ready) {
                    paced = true;
                }
            } else if (w.kind == KVP_CONSOLE && (w.events & KVP_IN)) {
                if (_kbhit()) w.ready = KVP_IN;
                else paced = true;
            }
            if (w.kind != KVP_SOCKET && (w.ready & (KVP_IN | KVP_OUT))) ready++;
        }
        if (ready > 0 || left == 0) return ready;
        if (paced && left > (DWORD)kvpPaceMs) left = kvpPaceMs;
        if (count == 0) {  // no event could be made: the time-out alone
            Sleep(left == INFINITE ? (DWORD)kvpPaceMs : left);
            return 0;
        }

        DWORD r = WaitForMultipleObjects(count, handles, FALSE, left);
        if (r == WAIT_TIMEOUT) return 0;
        if (r == WAIT_FAILED) {
            WSASetLastError((int)GetLastError());
            return -1;
        }
        if (stop && r == WAIT_OBJECT_0) return 0;
    }
}
