// Serial ports on Windows.  A port is opened for overlapped I/O, so that
// neither a read nor a write ever holds the single thread: the wait
// (wait_win.cpp) waits for the port's event together with the sockets.
//
// Input: while the loop wants input and nothing is queued, a read of one
// byte is kept under way.  With no read time-outs it finishes when a byte
// arrives (or the line fails), which ends the wait; what is queued then is
// taken by a read of exactly the queued count, which finishes at once.
// Output: the bytes of a write are copied into the port's own buffer and
// written by an overlapped write with no time-out; while it is under way
// the port takes no more, and its end (room on the device) ends the wait.
// They count as written only when the device has taken them: until then the
// caller keeps them queued and offers them again, so a write that fails
// loses nothing, and a port closed with output still held keeps its write
// going while the layer looks at it at a pace (bounded, kva.cpp).
//
// Devices that do not behave so are paced instead of trusted: a one-byte
// read that finishes with nothing marks the port, and from then on the
// wait's time-out paces its input; a write that takes nothing is tried again
// at that pace.  See plat.h for the contract of each function.
#include "win_internal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

DWORD comError = 0;  // GetLastError() of the last failed serial call

// The serial input queue asked of the driver: a burst at a high rate while
// the loop is busy elsewhere (the driver's default is a few KiB).
const DWORD comQueueBytes = 65536;

// The port's own buffers: input taken from the driver ahead of the loop,
// and the copy of the output a write under way sends.
enum { inCap = 16384, outCap = 16384 };

// How long a read of bytes already queued may take before it is left under
// way (it finishes at once on Windows, a moment later under Wine).
const DWORD queuedReadMs = 50;

struct ComPort {
    HANDLE h;          // NULL: a free entry
    bool lost;         // closed with a transfer the driver had not ended (see freeEntry)
    char name[16];     // for the log
    HANDLE event;      // manual reset; set when the read or the write ends
    bool eventMaybeSet;  // a transfer ended since the event was last reset
    // The settings the port had, put back when it is closed.
    DCB dcb;
    bool dcbSaved;
    COMMTIMEOUTS timeouts;
    bool timeoutsSaved;
    bool timeoutsSet;
    // Input.
    OVERLAPPED readOv;
    bool reading;      // a read is under way
    bool readQueued;   // ... of bytes that were queued already
    char *in;          // bytes read and not yet taken: in[inStart, inEnd)
    DWORD inStart;
    DWORD inEnd;
    DWORD readError;   // a read failed: the next kvp_com_read reports it
    bool readPaced;    // the one-byte read cannot be trusted on this port
    // The read after a reported failure is under way, started at this tick
    // (0: none): until it ends or its moment passes, reads are undecided.
    ULONGLONG retrySince;
    // Output.
    OVERLAPPED writeOv;
    bool writing;      // a write is under way
    // A copy of the first bytes the caller offered and still holds, not yet
    // taken by the device: out[outStart, outEnd).
    char *out;
    DWORD outStart;
    DWORD outEnd;
    DWORD outTaken;    // bytes the device took that the caller was not told of yet
    DWORD writeError;  // a failed write, reported by the next kvp_com_write
    // Line errors ClearCommError reported, counted: breaks, framing and
    // parity errors, overruns.
    unsigned long lineErrors[4];
};
ComPort ports[KVP_MAX_PORTS];

ComPort *portFor(HANDLE h)
{
    for (ComPort &p : ports)
        if (p.h == h && !p.lost) return &p;
    return NULL;
}

// Whether the driver still has a transfer of the port's under way: it may
// write into the buffers and the OVERLAPPED records until it has ended it.
bool transfersUnderWay(const ComPort *p)
{
    return (p->reading && !HasOverlappedIoCompleted(&p->readOv)) ||
           (p->writing && !HasOverlappedIoCompleted(&p->writeOv));
}

// The driver's queues.  ClearCommError also clears a line error, after
// which a driver that stops on errors takes reads and writes again.
COMSTAT commStatus(ComPort *p)
{
    DWORD errors = 0;
    COMSTAT st;
    memset(&st, 0, sizeof st);
    if (!ClearCommError(p->h, &errors, &st)) memset(&st, 0, sizeof st);
    if (errors & CE_BREAK) p->lineErrors[0]++;
    if (errors & CE_FRAME) p->lineErrors[1]++;
    if (errors & CE_RXPARITY) p->lineErrors[2]++;
    if (errors & (CE_OVERRUN | CE_RXOVER)) p->lineErrors[3]++;
    return st;
}

// Bytes waiting in the driver's input queue.
DWORD bytesQueued(ComPort *p) { return commStatus(p).cbInQue; }

void readEnded(ComPort *p, BOOL ok, DWORD n, DWORD err)
{
    p->reading = false;
    p->eventMaybeSet = true;
    // Bytes that came before a failure are kept: they are taken first.
    p->inStart = 0;
    p->inEnd = n;
    if (!ok) {
        p->readError = err ? err : (DWORD)ERROR_READ_FAULT;
        bytesQueued(p);
        return;
    }
    p->readError = 0;
    // Without read time-outs a one-byte read ends only with its byte: one
    // that ends with nothing would end every wait at once.
    if (n == 0 && !p->readQueued) p->readPaced = true;
}

void collectRead(ComPort *p)
{
    if (!p->reading || !HasOverlappedIoCompleted(&p->readOv)) return;
    DWORD n = 0;
    BOOL ok = GetOverlappedResult(p->h, &p->readOv, &n, FALSE);
    readEnded(p, ok, n, ok ? 0 : GetLastError());
}

// Starts a read into the empty input buffer: of `queued` bytes, or of one
// byte when nothing is queued.
void startRead(ComPort *p, DWORD queued)
{
    memset(&p->readOv, 0, sizeof p->readOv);
    p->readOv.hEvent = p->event;
    p->readQueued = queued > 0;
    DWORD want = queued == 0 ? 1 : queued < (DWORD)inCap ? queued : (DWORD)inCap;
    DWORD n = 0;
    p->inStart = p->inEnd = 0;
    if (ReadFile(p->h, p->in, want, &n, &p->readOv)) {
        readEnded(p, TRUE, n, 0);
        return;
    }
    DWORD e = GetLastError();
    if (e == ERROR_IO_PENDING) p->reading = true;
    else readEnded(p, FALSE, 0, e);
}

// Waits a short, bounded time for the read under way to end.
void awaitRead(ComPort *p, DWORD ms)
{
    ULONGLONG end = GetTickCount64() + ms;
    while (p->reading) {
        if (HasOverlappedIoCompleted(&p->readOv)) {
            collectRead(p);
            return;
        }
        ULONGLONG now = GetTickCount64();
        if (now >= end) return;  // left under way; the wait waits for it
        // The event is shared with the write: reset it, then look again,
        // so that waiting on it cannot return at once for an old end.
        ResetEvent(p->event);
        p->eventMaybeSet = false;
        if (HasOverlappedIoCompleted(&p->readOv)) continue;
        WaitForSingleObject(p->event, (DWORD)(end - now));
    }
}

// The device took n bytes of the write: the next kvp_com_write reports them.
void tookOutput(ComPort *p, DWORD n)
{
    DWORD held = p->outEnd - p->outStart;
    if (n > held) n = held;
    p->outStart += n;
    p->outTaken += n;
    if (p->outStart == p->outEnd) p->outStart = p->outEnd = 0;
}

// The rest of a failed write is still the caller's (it was never reported
// written): the copy goes, and the caller offers the bytes again.
void writeFailed(ComPort *p, DWORD err)
{
    p->writeError = err ? err : (DWORD)ERROR_WRITE_FAULT;
    p->outStart = p->outEnd = 0;
    bytesQueued(p);
}

void collectWrite(ComPort *p)
{
    if (!p->writing || !HasOverlappedIoCompleted(&p->writeOv)) return;
    DWORD n = 0;
    BOOL ok = GetOverlappedResult(p->h, &p->writeOv, &n, FALSE);
    DWORD err = ok ? 0 : GetLastError();
    p->writing = false;
    p->eventMaybeSet = true;
    // A write that failed or was cancelled may still have sent some bytes.
    tookOutput(p, n);
    if (!ok) writeFailed(p, err);
}

// Writes what the port holds, when no write is under way.
void startWrite(ComPort *p)
{
    if (p->writing || p->outStart == p->outEnd) return;
    memset(&p->writeOv, 0, sizeof p->writeOv);
    p->writeOv.hEvent = p->event;
    DWORD n = 0;
    if (WriteFile(p->h, p->out + p->outStart, p->outEnd - p->outStart, &n, &p->writeOv)) {
        p->eventMaybeSet = true;
        tookOutput(p, n);
        return;
    }
    DWORD e = GetLastError();
    if (e == ERROR_IO_PENDING) {
        p->writing = true;
        return;
    }
    p->eventMaybeSet = true;
    writeFailed(p, e);
}

// Whether a transfer under way has ended since it was last looked at.
bool transferEnded(ComPort *p)
{
    return (p->reading && HasOverlappedIoCompleted(&p->readOv)) ||
           (p->writing && HasOverlappedIoCompleted(&p->writeOv));
}

// Waits, bounded by `end`, until the port's event is set.  The event is
// shared by the read and the write: it is reset first and looked at again,
// so that a wait cannot return at once for an end already seen.
void awaitEvent(ComPort *p, ULONGLONG end, DWORD mostMs)
{
    ULONGLONG now = GetTickCount64();
    if (now >= end) return;
    ResetEvent(p->event);
    p->eventMaybeSet = false;
    if (transferEnded(p)) return;
    DWORD ms = end - now < mostMs ? (DWORD)(end - now) : mostMs;
    WaitForSingleObject(p->event, ms);
}

// Ends the transfers under way, for the close.  The driver may still write
// into the buffers and the OVERLAPPED records until it has ended them.
bool cancelTransfers(ComPort *p)
{
    if (!p->reading && !p->writing) return true;
    CancelIoEx(p->h, NULL);
    ULONGLONG end = GetTickCount64() + 2000;
    for (;;) {
        collectRead(p);
        collectWrite(p);
        if (!p->reading && !p->writing) return true;
        if (GetTickCount64() >= end) return false;
        awaitEvent(p, end, INFINITE);
    }
}

// Output the device holds: the rest of the write under way (or held for
// the next one) and the driver's output queue.
DWORD outputLeft(ComPort *p) { return p->outEnd - p->outStart + commStatus(p).cbOutQue; }

void freePort(ComPort *p)
{
    if (p->event) CloseHandle(p->event);
    free(p->in);
    free(p->out);
    memset(p, 0, sizeof *p);
}

// An entry for a new port.  One whose close left a transfer the driver had
// not ended is taken again once the driver has ended it: until then its
// buffers are still the driver's, but never for good.
ComPort *freeEntry()
{
    for (ComPort &p : ports) {
        if (p.lost && !transfersUnderWay(&p)) freePort(&p);
        if (!p.h && !p.lost) return &p;
    }
    return NULL;
}

// How long the read that follows a failed one is given to fail in turn: on
// a line that is gone a read fails only a moment after it was started
// (under Wine), on a quiet line it stays under way.
const ULONGLONG retryReadMs = kvpPaceMs;

// Starts the read that follows a reported failure, and does not wait for
// it: a line that is gone fails it at once (Windows) or a moment later
// (Wine), and its end sets the port's event, which ends the wait.  Until it
// has ended, or its moment has passed (a quiet line), reads are undecided:
// neither a success, which would restart the count of failures in a row,
// nor a failure of their own.
void retryRead(ComPort *p)
{
    if (!p->reading) startRead(p, 0);
    p->retrySince = p->reading ? GetTickCount64() : 0;
}

bool retryUndecided(ComPort *p)
{
    if (p->retrySince == 0) return false;
    if (p->reading && GetTickCount64() - p->retrySince < retryReadMs) return true;
    p->retrySince = 0;
    return false;
}

}  // namespace

// ---- the wait's side --------------------------------------------------------------

int win_com_prepare(HANDLE h, int events, HANDLE *wake)
{
    *wake = NULL;
    ComPort *p = portFor(h);
    if (!p) return events;  // not open here: its next transfer reports the failure
    for (;;) {
        collectRead(p);
        collectWrite(p);
        startWrite(p);  // the rest of output the device took only in part
        int ready = 0;
        if (events & KVP_IN) {
            if (p->inStart == p->inEnd && !p->readError && !p->reading) {
                if (bytesQueued(p) > 0) ready |= KVP_IN;
                else if (!p->readPaced) startRead(p, 0);
            }
            if (p->inStart < p->inEnd || p->readError) ready |= KVP_IN;
        }
        // Room: no write under way and nothing held.  Bytes the device took
        // and a write that failed are ready too, for the next write to report.
        if ((events & KVP_OUT) && (p->writeError || p->outTaken > 0 ||
                                   (!p->writing && p->outStart == p->outEnd)))
            ready |= KVP_OUT;
        if (ready) return ready;
        if (!p->eventMaybeSet) break;
        // The event may tell of an end already collected: reset it, and look
        // again only if a transfer ended in between.
        ResetEvent(p->event);
        p->eventMaybeSet = false;
        if (!transferEnded(p)) break;
    }
    // A read is waited on only while its input can be taken; a write always,
    // as its end may leave a rest to write.
    if ((p->reading && (events & KVP_IN)) || p->writing) *wake = p->event;
    return 0;
}

// ---- the seam ------------------------------------------------------------------------

const char *kvp_com_error_text(int code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND: return "does not exist";
    case ERROR_PATH_NOT_FOUND: return "does not exist";
    case ERROR_ACCESS_DENIED: return "in use by another program, or not allowed";
    case ERROR_SHARING_VIOLATION: return "in use by another program";
    case ERROR_INVALID_PARAMETER: return "setting refused";
    case ERROR_INVALID_FUNCTION: return "not a serial line";
    case ERROR_NOT_SUPPORTED: return "not a serial line";
    default: return "error";
    }
}

kva_handle kvp_com_open(const char *path)
{
    // Exclusive (share mode 0), and overlapped: no transfer holds the loop.
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        comError = GetLastError();
        return -1;
    }
    ComPort *p = freeEntry();
    if (!p) {
        CloseHandle(h);
        comError = ERROR_TOO_MANY_OPEN_FILES;
        return -1;
    }
    memset(p, 0, sizeof *p);
    p->event = CreateEventA(NULL, TRUE, FALSE, NULL);
    p->in = (char *)malloc(inCap);
    p->out = (char *)malloc(outCap);
    if (!p->event || !p->in || !p->out) {
        comError = p->event ? (DWORD)ERROR_NOT_ENOUGH_MEMORY : GetLastError();
        freePort(p);
        CloseHandle(h);
        return -1;
    }
    p->h = h;
    const char *name = strncmp(path, "\\\\.\\", 4) == 0 ? path + 4 : path;
    snprintf(p->name, sizeof p->name, "%s", name);
    SetupComm(h, comQueueBytes, comQueueBytes);
    return (kva_handle)h;
}

namespace {

// The device's settings; false, with the error kept, when it has none.
bool commState(kva_handle h, DCB *dcb)
{
    memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    if (GetCommState((HANDLE)h, dcb)) return true;
    comError = GetLastError();
    return false;
}

}  // namespace

int kvp_com_configure(kva_handle h, int baud)
{
    // Only the rate changes; everything else is written back as the device
    // has it.  A device whose settings cannot be read is no serial line.
    DCB dcb;
    if (!commState(h, &dcb)) return 0;
    // Only the first call saves: a later one changes the speed of a port
    // already open, and the close must still put back what it had before.
    ComPort *p = portFor((HANDLE)h);
    if (p && !p->dcbSaved) {
        p->dcb = dcb;
        p->dcbSaved = true;
        p->timeoutsSaved = GetCommTimeouts((HANDLE)h, &p->timeouts) != 0;
    }
    // A rate the device refuses leaves the previous one in force, and is
    // reported: a client that asked for it must not be told it has it.
    dcb.BaudRate = (DWORD)baud;
    if (baud <= 0 || !SetCommState((HANDLE)h, &dcb)) {
        comError = baud <= 0 ? ERROR_INVALID_PARAMETER : GetLastError();
        return 0;
    }
    return 1;
}

int kvp_com_frame_8n1(kva_handle h)
{
    DCB dcb;
    if (!commState(h, &dcb)) return 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState((HANDLE)h, &dcb)) {
        comError = GetLastError();
        return 0;
    }
    return 1;
}

int kvp_com_set_timeouts(kva_handle h, int)
{
    // No time-outs at all: a read ends when the bytes it asks for are there,
    // a write when all of it is written.  The transfers are overlapped, so
    // neither waits in the loop; the same setting serves every read.
    ComPort *p = portFor((HANDLE)h);
    if (p && p->timeoutsSet) return 1;
    COMMTIMEOUTS t;
    memset(&t, 0, sizeof t);
    if (!SetCommTimeouts((HANDLE)h, &t)) {
        comError = GetLastError();
        return 0;
    }
    if (p) p->timeoutsSet = true;
    return 1;
}

int kvp_com_read(kva_handle h, char *buf, int len, int *got)
{
    *got = 0;
    ComPort *p = portFor((HANDLE)h);
    if (!p) {
        comError = ERROR_INVALID_HANDLE;
        return 0;
    }
    collectRead(p);
    if (retryUndecided(p)) return KVP_COM_UNDECIDED;
    if (p->reading && p->readQueued) awaitRead(p, queuedReadMs);
    DWORD n = 0;
    DWORD room = len > 0 ? (DWORD)len : 0;
    for (int pass = 0; pass < 2 && n < room; pass++) {
        DWORD part = p->inEnd - p->inStart;
        if (part > room - n) part = room - n;
        memcpy(buf + n, p->in + p->inStart, part);
        p->inStart += part;
        n += part;
        if (p->inStart < p->inEnd || p->reading || p->readError || pass > 0) break;
        // The buffer is empty: take what the driver has queued now.
        DWORD queued = bytesQueued(p);
        if (queued == 0) break;
        startRead(p, queued);
        if (p->reading) awaitRead(p, queuedReadMs);
    }
    // A failure is reported on its own, after the bytes that came before it,
    // and once: the next read is started (see retryRead), and only if that
    // one fails too is a failure reported again; until then reads are
    // undecided.  A read aborted after a line error (fAbortOnError) is not
    // retried here; ClearCommError has let the next one, which the wait
    // starts, go through.
    if (n == 0 && p->readError) {
        comError = p->readError;
        p->readError = 0;
        if (comError != ERROR_OPERATION_ABORTED) retryRead(p);
        return 0;
    }
    *got = (int)n;
    return 1;
}

int kvp_com_write(kva_handle h, const char *buf, int len, int *put)
{
    *put = 0;
    ComPort *p = portFor((HANDLE)h);
    if (!p) {
        comError = ERROR_INVALID_HANDLE;
        return 0;
    }
    collectWrite(p);
    // What the device took since the last call: the first bytes offered now.
    DWORD offered = len > 0 ? (DWORD)len : 0;
    DWORD taken = p->outTaken < offered ? p->outTaken : offered;
    p->outTaken -= taken;
    if (!p->writeError) {
        // The copy for the next write starts at the first byte not taken.
        // Until the device has taken it all, nothing more is copied; a write
        // that took nothing is retried at the loop's pace (the wait does not
        // wait on it).
        if (!p->writing && p->outStart == p->outEnd && p->outTaken == 0 && offered > taken) {
            DWORD n = offered - taken < (DWORD)outCap ? offered - taken : (DWORD)outCap;
            memcpy(p->out, buf + taken, n);
            p->outStart = 0;
            p->outEnd = n;
        }
        startWrite(p);
        DWORD atOnce = p->outTaken < offered - taken ? p->outTaken : offered - taken;
        p->outTaken -= atOnce;
        taken += atOnce;
    }
    // A failure is reported after the bytes taken before it, on a call of
    // its own: the caller keeps the bytes and offers them again.
    if (taken == 0 && p->writeError) {
        comError = p->writeError;
        p->writeError = 0;
        return 0;
    }
    *put = (int)taken;
    return 1;
}

long kvp_com_close_begin(kva_handle h, long *baud)
{
    *baud = 0;
    ComPort *p = portFor((HANDLE)h);
    if (!p) return 0;
    // Input is no longer wanted; the read under way ends with the cancel.
    if (p->reading) CancelIoEx(p->h, &p->readOv);
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(p->h, &dcb)) *baud = (long)dcb.BaudRate;
    return kvp_com_output_left(h);
}

long kvp_com_output_left(kva_handle h)
{
    ComPort *p = portFor((HANDLE)h);
    if (!p) return 0;
    collectRead(p);  // the cancelled read, so that its end is not waited for again
    collectWrite(p);
    startWrite(p);  // the rest of a write the device took only in part
    return (long)outputLeft(p);
}

void kvp_com_flush_output(kva_handle h)
{
    // PurgeComm ends a write under way on Windows; Wine leaves that to the
    // cancel of the close (cancelTransfers).
    ComPort *p = portFor((HANDLE)h);
    if (p) PurgeComm(p->h, PURGE_TXABORT | PURGE_TXCLEAR);
}

void kvp_com_close(kva_handle h)
{
    ComPort *p = portFor((HANDLE)h);
    bool ended = true;
    if (p) {
        ended = cancelTransfers(p);
        if (p->dcbSaved) SetCommState(p->h, &p->dcb);
        if (p->timeoutsSaved) SetCommTimeouts(p->h, &p->timeouts);
    }
    CloseHandle((HANDLE)h);
    if (!p) return;
    // Buffers a transfer may still reach are not freed until it has ended.
    if (ended) freePort(p);
    else p->lost = true;
}

int win_com_line_errors(HANDLE h, unsigned long counts[4])
{
    ComPort *p = portFor(h);
    if (!p) return 0;
    commStatus(p);
    for (int i = 0; i < 4; i++) counts[i] = p->lineErrors[i];
    return 1;
}

unsigned long win_com_output_held(HANDLE h)
{
    ComPort *p = portFor(h);
    return p ? commStatus(p).cbOutQue : 0;
}

void win_com_drop_input(HANDLE h)
{
    ComPort *p = portFor(h);
    if (p) p->inStart = p->inEnd;
}

int kvp_com_last_error() { return (int)comError; }
