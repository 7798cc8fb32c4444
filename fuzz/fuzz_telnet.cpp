// The telnet decoder fed arbitrary bytes in arbitrary pieces: each piece
// goes through feed(), and the data that comes out must be exactly what a
// one-piece decode of the same bytes gives (nothing lost or invented at a
// split); answers never grow past three bytes per input byte.
#include "kvb/telnet.h"

#include <fuzzer/FuzzedDataProvider.h>

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
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    std::string whole;
    std::string pieces;
    TelnetParser split;
    Sink splitSink;
    std::string splitData, splitAnswer;
    while (in.remaining_bytes() > 0) {
        std::string piece = in.ConsumeRandomLengthString(64);
        whole += piece;
        split.feed(reinterpret_cast<const uint8_t *>(piece.data()), piece.size(), splitData,
                   splitAnswer, splitSink);
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
    return 0;
}
