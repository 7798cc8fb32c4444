// Fuzz target: the input half of an endpoint (line assembly and raw
// pass-through) together with its output queue.  One endpoint over a fake
// socket, serial port or console receives the fuzzer's bytes in chunks of
// the fuzzer's choosing, while the fuzzer interleaves process, consumeLine,
// mode switches, echo, queued output, short and failing writes and hang-ups.
//
// Checked after every operation: the held bytes stay within the buffer and
// its last byte is never filled; a ready line is a NUL-terminated run of
// printable bytes that starts with a graphic byte; raw mode holds exactly
// what it held plus what was read; line mode only drops bytes from the
// front and turns a terminator into NUL; echo writes back what was read;
// the queue's byte count matches its chunks and the device receives the
// queued bytes in order.  At the end, an endpoint that stayed in line mode
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

bool isGraphic(unsigned char c) { return c >= 0x21 && c <= 0x7e; }
bool isPrintable(unsigned char c) { return c >= 0x20 && c <= 0x7e; }

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
    bool sawBytes = false;
    bool pureLine = true;    // line mode all along
    bool pureRaw = false;    // raw mode from before the first byte on
    std::string lineStream;  // bytes read, while pureLine
    std::vector<std::string> lines;
    int overlong = 0;
    std::string rawStream;   // bytes read, while pureRaw
    std::string rawGot;      // data consumed, while pureRaw
    std::string queued;      // every byte committed to the output queue
    std::string written;     // the part of the device's output that came from the queue

    std::string held() const { return std::string(f->buf, (size_t)f->bufIndex); }
    int processOnce();
    void consume();
    void queueOutput();
    void hangUp();
    void finish();
    void checkInvariants();
};

void LineHarness::checkInvariants()
{
    FUZZ_CHECK(f->bufIndex >= 0 && f->bufIndex <= maxHeld);
    FUZZ_CHECK(f->buf[maxHeld] == 0);
    if (f->lineEnd) {
        FUZZ_CHECK(f->lineEnd >= f->buf && f->lineEnd <= f->buf + f->bufIndex);
        if (readyRaw) {
            FUZZ_CHECK(f->lineEnd == f->buf + f->bufIndex);
        } else {
            FUZZ_CHECK(f->lineEnd < f->buf + f->bufIndex && *f->lineEnd == 0);
            FUZZ_CHECK(isGraphic((unsigned char)f->buf[0]));
            for (const char *q = f->buf; q < f->lineEnd; q++)
                FUZZ_CHECK(isPrintable((unsigned char)*q));
        }
    }
    long pending = 0;
    for (Kvb *k = f->head; k; k = k->next) {
        FUZZ_CHECK(k->pos >= 0 && k->pos <= k->len);
        pending += k->len - k->pos;
        if (!k->next) FUZZ_CHECK(k == f->tail);
    }
    FUZZ_CHECK(pending == f->queued);
}

int LineHarness::processOnce()
{
    const std::string before = held();
    char *const lineEndBefore = f->lineEnd;
    const bool wasRaw = f->raw;
    const size_t takenBefore = dev->taken.size();
    const size_t outBefore = dev->out.size();
    const long queuedBefore = f->queued;

    int r = f->process();

    const std::string fresh = dev->taken.substr(takenBefore);
    const std::string wrote = dev->out.substr(outBefore);
    if (closed) {
        // A closed endpoint neither writes nor reads.
        FUZZ_CHECK(r == -1 && fresh.empty() && wrote.empty());
        return r;
    }
    // The queue drains first, then the echo of what was read.
    const long fromQueue = queuedBefore - f->queued;
    FUZZ_CHECK(fromQueue >= 0 && (size_t)fromQueue <= wrote.size());
    written += wrote.substr(0, (size_t)fromQueue);
    FUZZ_CHECK(queued.compare(0, written.size(), written) == 0);
    const std::string echoed = wrote.substr((size_t)fromQueue);
    if (f->echo && !fresh.empty()) {
        FUZZ_CHECK(fresh.compare(0, echoed.size(), echoed) == 0);
        if (dev->writeCap < 0 && !dev->writeError) FUZZ_CHECK(echoed == fresh);
    } else {
        FUZZ_CHECK(echoed.empty());
    }
    if (r < 0) {
        FUZZ_CHECK(r == -1 && !f->isOpen() && kind != SerialKind);
        closed = true;
        return r;
    }
    FUZZ_CHECK(r == 0);

    if (fresh.empty()) {
        FUZZ_CHECK(held() == before && f->lineEnd == lineEndBefore);
        return r;
    }
    sawBytes = true;
    if (pureLine) lineStream += fresh;
    if (pureRaw) rawStream += fresh;
    const std::string all = before + fresh;
    const std::string now = held();
    if (wasRaw) {
        FUZZ_CHECK(now == all);
        FUZZ_CHECK(f->lineEnd == f->buf + f->bufIndex);
        readyRaw = true;
    } else {
        // Line mode drops bytes from the front only, and turns the ready
        // line's terminator into a NUL.
        FUZZ_CHECK(now.size() <= all.size());
        std::string tail = all.substr(all.size() - now.size());
        if (f->lineEnd) {
            size_t at = (size_t)(f->lineEnd - f->buf);
            FUZZ_CHECK(at < tail.size() && !isPrintable((unsigned char)tail[at]));
            tail[at] = 0;
            readyRaw = false;
        } else {
            for (char c : now) FUZZ_CHECK(isPrintable((unsigned char)c));
        }
        FUZZ_CHECK(now == tail);
        FUZZ_CHECK(now.empty() || isGraphic((unsigned char)now[0]));
    }
    return r;
}

void LineHarness::consume()
{
    if (!f->hasLine()) return;
    const std::string before = held();
    char *p = f->line();
    size_t used = before.size();
    if (readyRaw) {
        FUZZ_CHECK(f->lineLength() == f->bufIndex);
        if (pureRaw) rawGot += before;
    } else {
        used = strlen(p);  // the invariants put a NUL inside the held bytes
        if (pureLine) lines.push_back(std::string(p, used));
    }
    f->consumeLine(p);
    FUZZ_CHECK(!f->hasLine());
    // Raw data goes whole; a line goes with its terminator, the rest stays.
    FUZZ_CHECK(held() == (readyRaw ? std::string() : before.substr(used + 1)));
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

// The far end goes away.  A socket absorbs 100 failed reads in a row and
// gives up at the 101st; a serial port never closes by itself.
void LineHarness::hangUp()
{
    if (closed || kind == ConsoleKind) return;
    if (kind == SerialKind) {
        dev->readError = true;
        for (int i = 0; i < 150; i++) FUZZ_CHECK(processOnce() == 0);
        dev->readError = false;
        return;
    }
    if (in.ConsumeBool()) dev->readError = true;
    else dev->eof = true;
    dev->writeError = false;
    int failed = 0;
    for (int i = 0; i < 5000 && !closed; i++) {
        if (f->hasLine()) consume();  // room for the reads
        bool fails = !dev->hasInput() || dev->readError;
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
        size_t pendingBytes = 0;
        for (const std::string &c : dev->chunks) pendingBytes += c.size();
        const size_t limit = 200000 + 2 * pendingBytes;
        size_t i = 0;
        for (; i < limit; i++) {
            if (f->hasLine()) consume();
            if (!dev->hasInput()) {
                if (f->bufIndex == 0 && f->isEmpty()) break;
                dev->push("\n");
            }
            FUZZ_CHECK(processOnce() == 0);
            checkInvariants();
        }
        FUZZ_CHECK(i < limit);
        FUZZ_CHECK(written == queued);
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
        f = new OutFifo(fd);
        dev = fake_device(fd);
    } else if (kind == SerialKind) {
        kva_handle h = fake_open_com();
        f = new OutFifo(h);
        dev = fake_device(h);
    } else {
        f = new OutFifo(1);
        dev = &fake_console();
    }

    FUZZ_TRACE("endpoint kind %d\n", (int)kind);
    while (in.remaining_bytes() > 0) {
        int op = in.ConsumeIntegralInRange<int>(0, 12);
        FUZZ_TRACE("op %d: held %d ready %d raw %d\n", op, f->bufIndex, f->hasLine() ? 1 : 0,
                   f->raw ? 1 : 0);
        switch (op) {
        case 0: {
            size_t n = in.ConsumeIntegralInRange<size_t>(0, 1100);
            dev->push(in.ConsumeBytesAsString(n));
            processOnce();
            break;
        }
        case 1: {
            // A long run of one byte: overlong lines from a few input bytes.
            size_t n = in.ConsumeIntegralInRange<size_t>(1, 3000);
            dev->push(std::string(n, (char)in.ConsumeIntegral<uint8_t>()));
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
            if (!f->raw) {
                pureLine = false;
                pureRaw = !sawBytes;
            }
            f->setRaw();
            break;
        case 6:
            if (f->raw) pureRaw = false;
            f->setLine();
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
