// Fuzz target: the input half of an endpoint (line assembly and raw
// pass-through) together with its output queue.  One endpoint over a fake
// socket, serial port or console receives the fuzzer's bytes in chunks of
// the fuzzer's choosing (a console at most three buffers' worth of keys, see
// feed), while the fuzzer interleaves process, consumeLine, mode switches,
// echo, queued output, short and failing writes and hang-ups.
//
// Checked after every operation: the held bytes stay within the buffer and
// its last byte is never filled; a ready line is a NUL-terminated run of
// printable bytes that starts with a graphic byte; raw mode holds exactly
// what it held plus what was read; line mode only drops bytes from the
// front and turns a terminator into NUL; echo queues what was read behind
// the output already queued; the queue's byte count matches its chunks and
// the device receives the queued bytes in order; a line ended by CR that
// leaves the endpoint raw when it is taken drops the one LF that directly
// follows its CR, held already or read next.  At the end, an endpoint that stayed in line mode
// must have delivered exactly the lines of the whole stream (and counted
// the overlong ones), whatever the chunking, and one that stayed in raw mode
// exactly the stream.
#include "harness.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

const int maxHeld = 1023;  // bytes the input buffer holds; its last byte stays free
const size_t maxKeys = 3 * (maxHeld + 1);  // keys one input types on a console (see feed)

bool isGraphic(unsigned char c) { return c >= 0x21 && c <= 0x7e; }
bool isPrintable(unsigned char c) { return c >= 0x20 && c <= 0x7e; }

// Whether n bytes are all printable.  It runs over the held bytes at every
// step, so it is left out of the coverage instrumentation: each comparison
// would otherwise be reported to the fuzzer, which costs far more than the
// comparison and tells nothing about the code under test.  Not inlined,
// since the instrumentation of the caller would take the loop in again.
__attribute__((noinline, no_sanitize("coverage"))) bool allPrintable(const char *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (!isPrintable((unsigned char)p[i])) return false;
    return true;
}

// The lines a byte stream holds in line mode, however it is chunked: a run
// of printable bytes that begins with a graphic byte and is ended by a byte
// that is not printable.  A run of maxHeld bytes or more can never be held
// whole; it is dropped through its terminator and counted as overlong.
void streamLines(const std::string &s, std::vector<std::string> &lines, int &overlong)
{
    size_t i = 0;
    const size_t n = s.size();
    for (;;) {
        while (i < n && !isGraphic((unsigned char)s[i])) i++;
        if (i == n) return;
        size_t j = i;
        while (j < n && isPrintable((unsigned char)s[j])) j++;
        if (j - i >= (size_t)maxHeld) overlong++;
        else if (j < n) lines.push_back(s.substr(i, j - i));
        if (j >= n) return;
        i = j + 1;
    }
}

enum Kind { SocketKind, SerialKind, ConsoleKind };

class LineHarness {
public:
    explicit LineHarness(FuzzedDataProvider &input) : in(input) {}

    void run();

private:
    FuzzedDataProvider &in;
    Kind kind = SocketKind;
    OutFifo *f = nullptr;
    FakeDevice *dev = nullptr;
    bool closed = false;
    bool readyRaw = false;   // the ready data came from a raw mode read
    char terminator = 0;     // the byte that ended the ready line
    bool lfToDrop = false;   // a CR-ended line was taken into raw mode; its LF is due
    bool sawBytes = false;
    size_t keysTyped = 0;    // bytes fed to a console
    bool pureLine = true;    // line mode all along
    bool pureRaw = false;    // raw mode from before the first byte on
    std::string lineStream;  // bytes read, while pureLine
    std::vector<std::string> lines;
    int overlong = 0;
    std::string rawStream;   // bytes read, while pureRaw
    std::string rawGot;      // data consumed, while pureRaw
    std::string queued;      // every byte committed to the output queue
    size_t written = 0;      // how much of it the device received, each byte checked as it came
    // The held bytes before a step, and those bytes followed by what the
    // step read: fixed room, since every step needs them (no allocation and
    // no copy of the whole stream per step).
    char before[maxHeld + 1];
    char all[2 * (maxHeld + 1)];

    void feed(std::string bytes);
    int heldNow() const;
    int snapshot();
    int processOnce();
    void consume();
    void checkLineAssembly(char *src, size_t srcLen);
    void queueOutput();
    void hangUp();
    void finish();
    void checkInvariants();
};

void LineHarness::checkInvariants()
{
    FUZZ_CHECK(f->heldBytes() >= 0 && f->heldBytes() <= maxHeld);
    FUZZ_CHECK(f->input().data()[maxHeld] == 0);
    if (f->input().readyEnd()) {
        FUZZ_CHECK(f->input().readyEnd() >= f->input().data() && f->input().readyEnd() <= f->input().data() + f->heldBytes());
        if (readyRaw) {
            FUZZ_CHECK(f->input().readyEnd() == f->input().data() + f->heldBytes());
        } else {
            FUZZ_CHECK(f->input().readyEnd() < f->input().data() + f->heldBytes() && *f->input().readyEnd() == 0);
            FUZZ_CHECK(isGraphic((unsigned char)f->input().data()[0]));
            FUZZ_CHECK(allPrintable(f->input().data(), (size_t)(f->input().readyEnd() - f->input().data())));
        }
    }
    // The queue counts exactly the bytes committed and not yet written.
    if (!closed) FUZZ_CHECK(f->queued() == (long)(queued.size() - written));
}

// Gives the device bytes to read.  A console reads one key per call and
// looks through the whole held line at every key: a line of n keys costs
// n * n / 2 byte checks, half a million for an overlong one, where a socket
// takes the same line in one read.  The long runs below would let a few
// hundred input bytes type hundreds of thousands of keys, and take most of
// the fuzzer's time.  So one input types at most maxKeys keys on a console:
// three buffers' worth, room for two overlong lines back to back and a line
// after them, or a full raw buffer and more.  The bytes past that are never
// typed; sockets and serial ports take every byte.
void LineHarness::feed(std::string bytes)
{
    if (kind == ConsoleKind) {
        const size_t room = maxKeys - keysTyped;
        if (bytes.size() > room) bytes.resize(room);
        keysTyped += bytes.size();
    }
    dev->push(bytes);
}

// How many bytes the endpoint holds, checked to be within its buffer.
int LineHarness::heldNow() const
{
    FUZZ_CHECK(f->heldBytes() >= 0 && f->heldBytes() <= maxHeld);
    return f->heldBytes();
}

// Copies the held bytes into before; their count.
int LineHarness::snapshot()
{
    const int n = heldNow();
    memcpy(before, f->input().data(), (size_t)n);
    return n;
}

int LineHarness::processOnce()
{
    const int beforeLen = snapshot();
    const char *const lineEndBefore = f->input().readyEnd();
    const bool wasRaw = f->isRaw();
    const long queuedBefore = f->queued();
    // The device's records of what was read and written are needed for one
    // step only: cleared, they keep their room instead of growing with the
    // stream.
    dev->taken.clear();
    dev->out.clear();

    int r = f->process();

    // What this step read and wrote.
    const char *const fresh = dev->taken.data();
    const size_t freshLen = dev->taken.size();
    const char *const wrote = dev->out.data();
    const size_t wroteLen = dev->out.size();
    if (closed) {
        // A closed endpoint neither writes nor reads.
        FUZZ_CHECK(r == -1 && freshLen == 0 && wroteLen == 0);
        return r;
    }
    // The queue drains first; the echo of what was read then joins the
    // queue behind everything already in it, and nothing is written
    // outside the queue.
    const long echoQueued = f->echoing() && freshLen > 0 ? (long)freshLen : 0;
    const long fromQueue = queuedBefore + echoQueued - f->queued();
    FUZZ_CHECK(fromQueue >= 0 && (size_t)fromQueue == wroteLen);
    // The device receives the queued bytes in order: what came now carries
    // on exactly where what came before ended.
    FUZZ_CHECK(written + (size_t)fromQueue <= queued.size());
    FUZZ_CHECK(memcmp(queued.data() + written, wrote, (size_t)fromQueue) == 0);
    written += (size_t)fromQueue;
    if (echoQueued > 0) queued.append(fresh, freshLen);
    if (r < 0) {
        // A serial line closes only after its transfers kept failing.
        FUZZ_CHECK(r == -1 && !f->isOpen());
        if (kind == SerialKind) FUZZ_CHECK(dev->readError || dev->writeError);
        closed = true;
        return r;
    }
    FUZZ_CHECK(r == 0);

    const int nowLen = heldNow();
    if (freshLen == 0) {
        FUZZ_CHECK(nowLen == beforeLen && memcmp(f->input().data(), before, (size_t)nowLen) == 0);
        FUZZ_CHECK(f->input().readyEnd() == lineEndBefore);
        return r;
    }
    sawBytes = true;
    if (pureLine) lineStream.append(fresh, freshLen);
    if (pureRaw) rawStream.append(fresh, freshLen);
    // all: the bytes held before, then the bytes read.
    FUZZ_CHECK((size_t)beforeLen + freshLen <= sizeof all);
    const size_t allLen = (size_t)beforeLen + freshLen;
    memcpy(all, before, (size_t)beforeLen);
    memcpy(all + beforeLen, fresh, freshLen);
    if (wasRaw) {
        // The LF of a CR LF that ended the line before goes, when it is the
        // first byte read.
        size_t allKept = allLen;
        if (lfToDrop) {
            lfToDrop = false;
            if (fresh[0] == '\n') {
                memmove(all + beforeLen, all + beforeLen + 1, freshLen - 1);
                allKept--;
            }
        }
        FUZZ_CHECK((size_t)nowLen == allKept && memcmp(f->input().data(), all, allKept) == 0);
        FUZZ_CHECK(f->input().readyEnd() == f->input().data() + f->heldBytes());
        readyRaw = true;
    } else {
        checkLineAssembly(all, allLen);
    }
    return r;
}

// Checks a line mode assembly of the bytes src[0 .. srcLen): it drops bytes
// from the front only, and turns the ready line's terminator into a NUL.
void LineHarness::checkLineAssembly(char *src, size_t srcLen)
{
    const int nowLen = heldNow();
    FUZZ_CHECK((size_t)nowLen <= srcLen);
    char *tail = src + (srcLen - (size_t)nowLen);
    if (f->input().readyEnd()) {
        size_t at = (size_t)(f->input().readyEnd() - f->input().data());
        FUZZ_CHECK(at < (size_t)nowLen && !isPrintable((unsigned char)tail[at]));
        terminator = tail[at];
        tail[at] = 0;
        readyRaw = false;
    } else {
        FUZZ_CHECK(allPrintable(f->input().data(), (size_t)nowLen));
    }
    FUZZ_CHECK(memcmp(f->input().data(), tail, (size_t)nowLen) == 0);
    FUZZ_CHECK(nowLen == 0 || isGraphic((unsigned char)f->input().data()[0]));
}

void LineHarness::consume()
{
    if (!f->hasLine()) return;
    const int beforeLen = snapshot();
    char *p = f->line();
    int used = beforeLen;
    if (readyRaw) {
        FUZZ_CHECK(f->lineLength() == f->heldBytes());
        if (pureRaw) rawGot.append(before, (size_t)beforeLen);
    } else {
        used = (int)strlen(p);  // the invariants put a NUL inside the held bytes
        if (pureLine) lines.push_back(std::string(p, (size_t)used));
    }
    f->consumeLine(p);
    // Raw data goes whole.  A line goes with its terminator, and what
    // followed it is assembled at once, in the mode the endpoint is in now
    // (raw after a command that switched it): a further line already
    // received never waits for another byte.
    const int nowLen = heldNow();
    if (readyRaw) {
        FUZZ_CHECK(nowLen == 0 && !f->hasLine());
        return;
    }
    const int rest = beforeLen - used - 1;
    FUZZ_CHECK(rest >= 0);
    char *kept = before + used + 1;
    if (f->isRaw()) {
        int keptLen = rest;
        if (terminator == '\r') {
            if (rest == 0) {
                lfToDrop = true;
            } else if (kept[0] == '\n') {
                kept++;
                keptLen--;
            }
        }
        FUZZ_CHECK(nowLen == keptLen && memcmp(f->input().data(), kept, (size_t)keptLen) == 0);
        FUZZ_CHECK(f->input().readyEnd() == (keptLen > 0 ? f->input().data() + keptLen : nullptr));
        readyRaw = keptLen > 0;
    } else {
        checkLineAssembly(kept, (size_t)rest);
    }
}

void LineHarness::queueOutput()
{
    int n = in.ConsumeIntegralInRange<int>(0, 3000);
    int m = in.ConsumeIntegralInRange<int>(0, n);
    std::string bytes = in.ConsumeBytesAsString((size_t)m);
    bytes.resize((size_t)m, 'q');
    char *p = f->alloc(n);
    memcpy(p, bytes.data(), (size_t)m);
    f->commit(p, m);
    if (!closed) queued += bytes;
}

// The far end goes away: a socket's peer closes or its reads fail, a serial
// line's reads fail (the adapter was pulled).  100 failed reads in a row
// are absorbed and the 101st gives the device up.
void LineHarness::hangUp()
{
    if (closed || kind == ConsoleKind) return;
    if (kind == SerialKind || in.ConsumeBool()) dev->readError = true;
    else dev->eof = true;
    dev->writeError = false;
    int failed = 0;
    for (int i = 0; i < 5000 && !closed; i++) {
        if (f->hasLine()) consume();  // room for the reads
        bool fails = dev->readError || (kind == SocketKind && !dev->hasInput());
        processOnce();
        failed = fails ? failed + 1 : 0;
    }
    FUZZ_CHECK(closed && failed == 101);
    FUZZ_CHECK(fake_open_count() == 0);
}

void LineHarness::finish()
{
    if (!closed) {
        dev->writeCap = -1;
        dev->writeError = false;
        // A junk byte after the stream completes its last line; more junk
        // bytes let the lines still held behind it become ready.
        dev->push("\n");
        // Every pending byte may take a call of its own (the console reads
        // one key per call), on top of the calls that drain the queue.
        const size_t limit = 200000 + 2 * dev->pending();
        size_t i = 0;
        for (; i < limit; i++) {
            if (f->hasLine()) consume();
            if (!dev->hasInput()) {
                if (f->heldBytes() == 0 && f->isEmpty()) break;
                // Junk only while bytes are held: with echo on, each junk
                // byte is queued again, and the queue alone just drains.
                if (f->heldBytes() > 0) dev->push("\n");
            }
            FUZZ_CHECK(processOnce() == 0);
            checkInvariants();
        }
        FUZZ_CHECK(i < limit);
        FUZZ_CHECK(written == queued.size());
        overlong += f->takeOverlongLines();
        if (pureLine) {
            std::vector<std::string> expected;
            int expectedOverlong = 0;
            streamLines(lineStream, expected, expectedOverlong);
            FUZZ_CHECK(lines == expected);
            FUZZ_CHECK(overlong == expectedOverlong);
        }
        if (pureRaw) FUZZ_CHECK(rawGot == rawStream);
    }
    delete f;
    f = nullptr;
    FUZZ_CHECK(fake_open_count() == 0);
}

void LineHarness::run()
{
    kind = (Kind)in.ConsumeIntegralInRange<int>(0, 2);
    if (kind == SocketKind) {
        int fd = fake_open_socket();
        f = new OutFifo(socketDevice, fd);
        dev = fake_device(fd);
    } else if (kind == SerialKind) {
        kva_handle h = fake_open_com();
        f = new OutFifo(serialDevice, h);
        dev = fake_device(h);
    } else {
        f = new OutFifo(consoleDevice, 1);
        dev = &fake_console();
    }

    FUZZ_TRACE("endpoint kind %d\n", (int)kind);
    while (in.remaining_bytes() > 0) {
        int op = in.ConsumeIntegralInRange<int>(0, 12);
        FUZZ_TRACE("op %d: held %d ready %d raw %d\n", op, f->heldBytes(), f->hasLine() ? 1 : 0,
                   f->isRaw() ? 1 : 0);
        switch (op) {
        case 0: {
            size_t n = in.ConsumeIntegralInRange<size_t>(0, 1100);
            feed(in.ConsumeBytesAsString(n));
            processOnce();
            break;
        }
        case 1: {
            // A long run of one byte: overlong lines from a few input bytes.
            size_t n = in.ConsumeIntegralInRange<size_t>(1, 3000);
            feed(std::string(n, (char)in.ConsumeIntegral<uint8_t>()));
            break;
        }
        case 2:
            processOnce();
            break;
        case 3:
            for (int n = in.ConsumeIntegralInRange<int>(1, 8); n > 0; n--) processOnce();
            break;
        case 4:
            consume();
            break;
        case 5:
            if (!f->isRaw()) {
                pureLine = false;
                pureRaw = !sawBytes;
            }
            f->setRaw();
            break;
        case 6:
            if (f->isRaw()) pureRaw = false;
            f->setLine();
            lfToDrop = false;
            break;
        case 7:
            if (in.ConsumeBool()) f->echoOn();
            else f->echoOff();
            break;
        case 8:
            queueOutput();
            break;
        case 9:
            dev->writeCap = in.ConsumeIntegralInRange<int>(-1, 64);
            break;
        case 10:
            dev->writeError = !dev->writeError;
            break;
        case 11:
            overlong += f->takeOverlongLines();
            break;
        default:
            hangUp();
            break;
        }
        checkInvariants();
    }
    finish();
}

}  // namespace

VELKOR_FUZZ_TARGET(LineHarness)
