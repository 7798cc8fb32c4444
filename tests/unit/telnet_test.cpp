// The telnet decoder: negotiation answers, data with doubled 0xFF, and
// subnegotiations, each fed whole and split at every byte.
#include "kvb/telnet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Recorder : TelnetSink {
    std::vector<std::string> subs;
    int breaks = 0, logs = 0;
    void subnegotiation(uint8_t option, const std::string &value) override
    {
        subs.push_back(std::string(1, char(option)) + value);
    }
    void telnetBreak() override { breaks++; }
    void logLine(const char *) override { logs++; }
};

std::string S(std::initializer_list<int> b)
{
    std::string s;
    for (int c : b) s += char(c);
    return s;
}

struct Case {
    const char *name;
    std::string in, data, answer;
    std::vector<std::string> subs;
    int breaks, logs;
};

TEST(Telnet, CasesWholeAndSplitEverywhere)
{
    const Case cases[] = {
        {"plain data", "ab", "ab", "", {}, 0, 0},
        {"doubled ff", S({'a', 255, 255, 'b'}), S({'a', 255, 'b'}), "", {}, 0, 0},
        {"accepts comport", S({255, 251, 44, 255, 253, 0}), "", S({255, 253, 44, 255, 251, 0}), {}, 0, 0},
        {"no answer when already in state", S({255, 251, 3, 255, 251, 3, 255, 252, 1}), "",
         S({255, 253, 3}), {}, 0, 0},
        {"refuses echo", S({255, 253, 1}), "", S({255, 252, 1}), {}, 0, 1},
        {"subneg with ff value", S({255, 250, 44, 1, 0, 255, 255, 0, 0, 255, 240, 'x'}), "x", "",
         {S({44, 1, 0, 255, 0, 0})}, 0, 0},
        {"se without sb", S({'a', 255, 240, 'b'}), "ab", "", {}, 0, 1},
        {"break", S({255, 243}), "", "", {}, 1, 0},
    };
    for (const Case &c : cases) {
        for (size_t cut = 0; cut <= c.in.size(); cut++) {
            TelnetParser p;
            Recorder r;
            std::string data, answer;
            const uint8_t *in = reinterpret_cast<const uint8_t *>(c.in.data());
            p.feed(in, cut, data, answer, r);
            p.feed(in + cut, c.in.size() - cut, data, answer, r);
            EXPECT_EQ(data, c.data) << c.name << " cut " << cut;
            EXPECT_EQ(answer, c.answer) << c.name << " cut " << cut;
            EXPECT_EQ(r.subs, c.subs) << c.name << " cut " << cut;
            EXPECT_EQ(r.breaks, c.breaks) << c.name;
            EXPECT_EQ(r.logs, c.logs) << c.name;
        }
    }
}

TEST(Telnet, OversizedSubnegotiationDroppedDataAfterKept)
{
    std::string in = S({255, 250, 44}) + std::string(TelnetParser::maxSub + 10, 'z') + S({255, 240, 'k'});
    TelnetParser p;
    Recorder r;
    std::string data, answer;
    p.feed(reinterpret_cast<const uint8_t *>(in.data()), in.size(), data, answer, r);
    EXPECT_TRUE(r.subs.empty());
    EXPECT_EQ(data, "k");
    EXPECT_EQ(r.logs, 1);
}

TEST(Telnet, EscapeDoublesFF)
{
    std::string out;
    const uint8_t in[] = {1, 255, 2};
    telnetEscape(in, 3, out);
    EXPECT_EQ(out, S({1, 255, 255, 2}));
}

} // namespace
