// The COM-PORT option over a line that is only a record: each request
// against the answer the client gets and what the line was asked, a line
// that refuses, a line without modem lines, and bad requests that must be
// answered or logged without touching the data around them.
#include "kvb/comport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct FakeLine : ComPortLine {
    KvsLine line = {9600, 8, KvsParityNone, KvsStopOne, KvsFlowNone};
    bool refuses = false;   // setLine keeps everything as it was
    bool hasModem = true;   // modem calls and break fail without
    int dtr = -1, rts = -1, brk = -1;
    int modem = 0;
    KvsLineCounts counts = {0, 0, 0, 0};
    int purged = 0;
    int breaks = 0;
    std::vector<std::string> logs;

    int getLine(KvsLine *l) override { *l = line; return 1; }
    int setLine(const KvsLine *l) override
    {
        if (refuses) return 0;
        line = *l;
        return 1;
    }
    int setDtr(int on) override { return hasModem && (dtr = on, 1); }
    int setRts(int on) override { return hasModem && (rts = on, 1); }
    int setBreak(int on) override { return hasModem && (brk = on, 1); }
    void sendBreak() override { breaks++; }
    int modemLines(int *lines) override
    {
        *lines = modem;
        return hasModem;
    }
    int lineCounts(KvsLineCounts *c) override
    {
        *c = counts;
        return 1;
    }
    int purge(int input, int output) override
    {
        purged = (input ? 1 : 0) | (output ? 2 : 0);
        return 1;
    }
    int lastError() override { return 22; }
    void log(const char *what) override { logs.push_back(what); }
};

std::string sub(const std::string &body)
{
    return std::string("\xff\xfa\x2c", 3) + body + std::string("\xff\xf0", 2);
}

std::string b(std::initializer_list<int> bytes)
{
    std::string s;
    for (int c : bytes) s += char(c);
    return s;
}

// Feeds the client's bytes; what goes back to it.
std::string talk(ComPortServer &server, const std::string &in, std::string *data = nullptr)
{
    std::string d, reply;
    server.feed(reinterpret_cast<const uint8_t *>(in.data()), in.size(), d, reply);
    if (data) *data = d;
    return reply;
}

struct Case {
    const char *what;
    std::string request;
    std::string answer;
};

TEST(ComPort, EachRequestIsAnsweredWithTheValueInForce)
{
    const Case cases[] = {
        {"rate", sub(b({1, 0, 1, 0xc2, 0})), sub(b({101, 0, 1, 0xc2, 0}))},
        // 0xFF in a value is doubled both ways.
        {"rate with 0xff", sub(b({1, 0, 0x03, 0xff, 0xff, 0xff, 0xff})),
         sub(b({101, 0, 0x03, 0xff, 0xff, 0xff, 0xff}))},
        {"rate query", sub(b({1, 0, 0, 0, 0})), sub(b({101, 0, 0, 0x25, 0x80}))},
        {"data size", sub(b({2, 7})), sub(b({102, 7}))},
        {"parity even", sub(b({3, 3})), sub(b({103, 3}))},
        {"stop bits two", sub(b({4, 2})), sub(b({104, 2}))},
        {"flow rts/cts", sub(b({5, 3})), sub(b({105, 3}))},
        {"inbound flow xon/xoff", sub(b({5, 15})), sub(b({105, 15}))},
        {"flow query", sub(b({5, 0})), sub(b({105, 1}))},
        {"dtr off", sub(b({5, 9})), sub(b({105, 9}))},
        {"rts off", sub(b({5, 12})), sub(b({105, 12}))},
        {"break on", sub(b({5, 5})), sub(b({105, 5}))},
        {"dtr query", sub(b({5, 7})), sub(b({105, 8}))},
        {"purge both", sub(b({12, 3})), sub(b({112, 3}))},
        {"modem mask", sub(b({11, 0x30})), sub(b({111, 0x30}))},
        {"line mask", sub(b({10, 0x10})), sub(b({110, 0x10}))},
        {"signature", sub(b({0})), sub(std::string("\x64velkor"))},
        {"suspend", sub(b({8})), sub(b({108}))},
        {"resume", sub(b({9})), sub(b({109}))},
        // Bad values: the value in force, and a log line.
        {"data size 9", sub(b({2, 9})), sub(b({102, 8}))},
        {"parity 6", sub(b({3, 6})), sub(b({103, 1}))},
        {"rate of 2 bytes", sub(b({1, 0, 1})), sub(b({101, 0, 0, 0x25, 0x80}))},
        {"purge 4", sub(b({12, 4})), sub(b({112, 0}))},
        // Nothing to answer: logged.
        {"unknown command", sub(b({50, 1})), ""},
        {"control of 2 bytes", sub(b({5, 1, 1})), ""},
        {"control value 99", sub(b({5, 99})), ""},
        {"other option", std::string("\xff\xfa\x18\x01\xff\xf0", 6), ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FakeLine line;
        ComPortServer server(line);
        EXPECT_EQ(talk(server, c.request), c.answer);
        // What has no answer is logged.
        if (c.answer.empty()) {
            EXPECT_EQ(line.logs.size(), 1u);
        }
    }
}

TEST(ComPort, TheLineIsAskedWhatTheClientAsked)
{
    FakeLine line;
    ComPortServer server(line);
    talk(server, sub(b({1, 0, 3, 0xd0, 0x90})) + sub(b({2, 5})) + sub(b({3, 4})) +
                         sub(b({4, 3})) + sub(b({5, 2})));
    EXPECT_EQ(line.line.baud, 250000);
    EXPECT_EQ(line.line.dataBits, 5);
    EXPECT_EQ(line.line.parity, KvsParityMark);
    EXPECT_EQ(line.line.stopBits, KvsStopOneAndHalf);
    EXPECT_EQ(line.line.flow, KvsFlowXonXoff);
    talk(server, sub(b({5, 9})) + sub(b({5, 11})) + sub(b({5, 5})) + sub(b({12, 1})));
    EXPECT_EQ(line.dtr, 0);
    EXPECT_EQ(line.rts, 1);
    EXPECT_EQ(line.brk, 1);
    EXPECT_EQ(line.purged, 1);
    EXPECT_TRUE(server.breakOn());
    std::string data;
    talk(server, std::string("a\xff\xf3" "b", 4), &data);
    EXPECT_EQ(line.breaks, 1);
    EXPECT_EQ(data, "ab");
}

TEST(ComPort, ARefusingLineAnswersWhatIsInForce)
{
    FakeLine line;
    line.refuses = true;
    ComPortServer server(line);
    EXPECT_EQ(talk(server, sub(b({1, 0, 1, 0xc2, 0}))), sub(b({101, 0, 0, 0x25, 0x80})));
    EXPECT_EQ(talk(server, sub(b({4, 3}))), sub(b({104, 1})));
    // Asked again: answered again, not logged again.
    EXPECT_EQ(talk(server, sub(b({1, 0, 1, 0xc2, 0}))), sub(b({101, 0, 0, 0x25, 0x80})));
    EXPECT_EQ(line.logs.size(), 2u);
}

// A device that takes the call but keeps another value (a pseudo-terminal
// keeps 8 data bits and no parity) answers what it kept, logged once.
TEST(ComPort, ALineThatKeepsAnotherValueIsLoggedOnce)
{
    struct KeepsFraming : FakeLine {
        int setLine(const KvsLine *l) override
        {
            line = *l;
            line.dataBits = 8;
            line.parity = KvsParityNone;
            return 1;
        }
    } line;
    ComPortServer server(line);
    EXPECT_EQ(talk(server, sub(b({2, 7})) + sub(b({2, 7})) + sub(b({3, 3}))),
              sub(b({102, 8})) + sub(b({102, 8})) + sub(b({103, 1})));
    ASSERT_EQ(line.logs.size(), 2u);
    EXPECT_EQ(line.logs[0], "the line kept data size 8 when 7 was asked");
}

TEST(ComPort, NoModemLinesAnswersAsAskedAndLogsOnce)
{
    FakeLine line;
    line.hasModem = false;
    ComPortServer server(line);
    std::string reply = talk(server, sub(b({5, 9})) + sub(b({5, 12})) + sub(b({5, 5})));
    EXPECT_EQ(reply, sub(b({105, 9})) + sub(b({105, 12})) + sub(b({105, 5})));
    talk(server, std::string("\xff\xfb\x2c", 3));  // the client's WILL COM-PORT
    std::string notify;
    server.pollLines(notify);
    EXPECT_EQ(notify, sub(b({107, 0})));
    notify.clear();
    server.pollLines(notify);
    EXPECT_EQ(notify, "");
    EXPECT_EQ(line.logs.size(), 1u);
}

TEST(ComPort, ModemChangesAreToldThroughTheMask)
{
    FakeLine line;
    ComPortServer server(line);
    std::string notify;
    server.pollLines(notify);
    EXPECT_EQ(notify, "") << "before the option is agreed";
    talk(server, std::string("\xff\xfb\x2c", 3));
    line.modem = KvsCts;
    server.pollLines(notify);
    EXPECT_EQ(notify, sub(b({107, 0x10}))) << "the first state, whole";
    struct Step {
        int lines;
        std::string told;
    } steps[] = {
        {KvsCts, ""},                              // no change
        {KvsCts | KvsCd, sub(b({107, 0x98}))},     // CD rose
        {KvsCd | KvsDsr, sub(b({107, 0xa3}))},     // CTS fell, DSR rose
        {KvsCd | KvsDsr | KvsRing, sub(b({107, 0xe0}))},
        {KvsCd | KvsDsr, sub(b({107, 0xa4}))},     // ring ended
    };
    for (const Step &s : steps) {
        notify.clear();
        line.modem = s.lines;
        server.pollLines(notify);
        EXPECT_EQ(notify, s.told) << s.lines;
    }
    // Only CTS passes: a change of CD alone is not told.
    talk(server, sub(b({11, 0x11})));
    notify.clear();
    line.modem = KvsDsr;
    server.pollLines(notify);
    EXPECT_EQ(notify, "");
    line.modem = KvsDsr | KvsCts;
    server.pollLines(notify);
    EXPECT_EQ(notify, sub(b({107, 0x11})));
}

TEST(ComPort, BreaksAndReceiveErrorsAreToldThroughTheMask)
{
    FakeLine line;
    line.counts = {1, 2, 3, 4};  // from before the client: not told
    ComPortServer server(line);
    talk(server, std::string("\xff\xfb\x2c", 3));
    std::string told;
    server.pollLines(told);
    EXPECT_EQ(told, sub(b({107, 0})));
    told.clear();
    line.counts.breaks++;
    server.pollLines(told);
    EXPECT_EQ(told, "") << "the mask starts empty";
    EXPECT_EQ(talk(server, sub(b({10, 0x1c}))), sub(b({110, 0x1c})));
    struct Step {
        KvsLineCounts counts;
        std::string told;
    } steps[] = {
        {{2, 2, 3, 4}, ""},                      // no change
        {{3, 2, 3, 4}, sub(b({106, 0x10}))},     // a break
        {{3, 3, 4, 4}, sub(b({106, 0x0c}))},     // framing and parity
        {{3, 3, 4, 9}, ""},                      // an overrun: not in the mask
    };
    for (const Step &s : steps) {
        told.clear();
        line.counts = s.counts;
        server.pollLines(told);
        EXPECT_EQ(told, s.told);
    }
}

TEST(ComPort, NegotiationAcceptsItsOptionsOnceAndRefusesOthers)
{
    FakeLine line;
    ComPortServer server(line);
    std::string start;
    server.start(start);
    EXPECT_EQ(start, b({255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3}));
    // The client agrees to what was asked: no answer; asks for the option
    // both ways: granted; asks for echo: refused.
    EXPECT_EQ(talk(server, b({255, 251, 0, 255, 253, 0, 255, 251, 44, 255, 253, 44, 255, 253, 1})),
              b({255, 253, 44, 255, 251, 44, 255, 252, 1}));
    EXPECT_EQ(talk(server, b({255, 251, 44})), "");
    EXPECT_TRUE(server.telnet().remoteOn(TNO_COMPORT));
}

}  // namespace
