// The telnet decoder and the COM-PORT option on top of it, fed arbitrary
// bytes in arbitrary pieces: each piece goes through feed(), and what comes
// out (data, answers, the line's calls) must be exactly what a one-piece
// feed of the same bytes gives (nothing lost or invented at a split).  The
// option hands on the decoder's data unchanged, whatever commands are mixed
// in, and its answers stay in proportion to the input.
#include "kvb/comport.h"
#include "kvb/telnet.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <stdio.h>
#include <stdlib.h>
#include <string>

namespace {
struct Sink : TelnetSink {
    std::string subs;
    void subnegotiation(uint8_t option, const std::string &value) override
    {
        subs += char(option);
        subs += value;
        subs += '|';
    }
    void telnetBreak() override { subs += "BRK|"; }
    void logLine(const char *) override {}
};

// A line that takes some settings and refuses others, and records each call.
struct Line : ComPortLine {
    KvsLine line = {9600, 8, KvsParityNone, KvsStopOne, KvsFlowNone};
    std::string calls;
    int modem = 0;
    int getLine(KvsLine *l) override
    {
        *l = line;
        return 1;
    }
    int setLine(const KvsLine *l) override
    {
        char text[96];
        snprintf(text, sizeof text, "L%ld,%d,%d,%d,%d|", l->baud, l->dataBits, l->parity,
                 l->stopBits, l->flow);
        calls += text;
        if (l->stopBits == KvsStopOneAndHalf || l->baud > 4000000) return 0;
        line = *l;
        return 1;
    }
    int setDtr(int on) override { return record('D', on, 1); }
    int setRts(int on) override { return record('R', on, 0); }
    int setBreak(int on) override { return record('B', on, 1); }
    void sendBreak() override { calls += "K|"; }
    int modemLines(int *lines) override
    {
        *lines = modem;
        return 1;
    }
    int lineCounts(KvsLineCounts *c) override
    {
        *c = KvsLineCounts{(unsigned long)modem, 0, (unsigned long)modem / 2, 0};
        return 1;
    }
    int purge(int input, int output) override { return record('P', input * 2 + (output ? 1 : 0), 1); }
    int lastError() override { return 22; }
    void log(const char *what) override
    {
        // Every log line says something.
        if (!what || !*what) abort();
    }
    int record(char what, int value, int result)
    {
        calls += what;
        calls += char('0' + value);
        calls += '|';
        return result;
    }
};

struct Run {
    Line line;
    ComPortServer server{line};
    std::string data, reply;
    void feed(const std::string &piece)
    {
        server.feed(reinterpret_cast<const uint8_t *>(piece.data()), piece.size(), data, reply);
    }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    std::string whole;
    TelnetParser split;
    Sink splitSink;
    std::string splitData, splitAnswer;
    Run splitRun;
    int pieces = 0;
    while (in.remaining_bytes() > 0) {
        std::string piece = in.ConsumeRandomLengthString(64);
        whole += piece;
        split.feed(reinterpret_cast<const uint8_t *>(piece.data()), piece.size(), splitData,
                   splitAnswer, splitSink);
        splitRun.feed(piece);
        // The modem lines change now and then between pieces.
        if (++pieces % 3 == 0) {
            splitRun.line.modem = pieces & 0xf;
            splitRun.server.pollLines(splitRun.reply);
        }
    }
    TelnetParser one;
    Sink oneSink;
    std::string oneData, oneAnswer;
    one.feed(reinterpret_cast<const uint8_t *>(whole.data()), whole.size(), oneData, oneAnswer,
             oneSink);
    if (oneData != splitData || oneAnswer != splitAnswer || oneSink.subs != splitSink.subs)
        abort();
    if (oneData.size() > whole.size() || oneAnswer.size() > 3 * whole.size())
        abort();

    // The option: its data is the decoder's, split or not.
    Run oneRun;
    oneRun.feed(whole);
    if (oneRun.data != oneData || splitRun.data != oneData) abort();
    if (splitRun.line.calls != oneRun.line.calls) abort();
    // The split run's answers also hold its modem notices: one fed the same
    // pieces without them must answer as the whole did.
    FuzzedDataProvider again(data, size);
    Run pieceRun;
    while (again.remaining_bytes() > 0) pieceRun.feed(again.ConsumeRandomLengthString(64));
    if (pieceRun.reply != oneRun.reply || pieceRun.line.calls != oneRun.line.calls) abort();
    // Each answer is at most a subnegotiation with a four-byte value, all
    // doubled, for every three bytes of input (the shortest request).
    if (oneRun.reply.size() > 12 + 5 * whole.size()) abort();
    return 0;
}
