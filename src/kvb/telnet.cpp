#include "kvb/telnet.h"

#include <stdio.h>

static bool accepted(uint8_t opt)
{
    return opt == TNO_BINARY || opt == TNO_SGA || opt == TNO_COMPORT;
}

void TelnetParser::negotiate(uint8_t verb, uint8_t opt, std::string &answer, TelnetSink &sink)
{
    // WILL/WONT speak of the peer's side, DO/DONT of ours.  An option already in
    // the asked state gets no answer, so two peers never loop.
    bool peerSide = verb == TN_WILL || verb == TN_WONT;
    bool want = verb == TN_WILL || verb == TN_DO;
    uint64_t &set = peerSide ? remote_ : local_;
    bool on = opt < 64 && (set >> opt) & 1;
    bool grant = want && accepted(opt);
    if (want && !accepted(opt)) {
        // Which option, as its number (RFC 855's registry names it).
        char text[64];
        snprintf(text, sizeof text, "telnet option refused: %s %u",
                 verb == TN_WILL ? "WILL" : "DO", (unsigned)opt);
        sink.logLine(text);
    }
    if (grant == on && (grant || !want))
        return;
    if (grant)
        set |= uint64_t(1) << opt;
    else if (opt < 64)
        set &= ~(uint64_t(1) << opt);
    answer += char(TN_IAC);
    answer += char(peerSide ? (grant ? TN_DO : TN_DONT) : (grant ? TN_WILL : TN_WONT));
    answer += char(opt);
}

void TelnetParser::request(uint8_t verb, uint8_t opt, std::string &answer)
{
    if (opt >= 64) return;
    uint64_t &set = verb == TN_WILL ? local_ : remote_;
    set |= uint64_t(1) << opt;
    answer += char(TN_IAC);
    answer += char(verb == TN_WILL ? TN_WILL : TN_DO);
    answer += char(opt);
}

void TelnetParser::feed(const uint8_t *in, size_t n, std::string &data, std::string &answer,
                        TelnetSink &sink)
{
    for (size_t i = 0; i < n; i++) {
        uint8_t b = in[i];
        switch (state_) {
        case Data:
            if (b == TN_IAC) state_ = Iac; else data += char(b);
            break;
        case Iac:
            state_ = Data;
            if (b == TN_IAC) data += char(b);
            else if (b >= TN_WILL) { verb_ = b; state_ = Verb; }
            else if (b == TN_SB) { sub_.clear(); subOversized_ = false; state_ = Sub; }
            else if (b == TN_BRK) sink.telnetBreak();
            else if (b == TN_SE) sink.logLine("telnet SE without SB ignored");
            break;
        case Verb:
            state_ = Data;
            negotiate(verb_, b, answer, sink);
            break;
        case Sub:
            if (b == TN_IAC) state_ = SubIac;
            else if (sub_.size() < maxSub) sub_ += char(b);
            else subOversized_ = true;
            break;
        case SubIac:
            if (b == TN_IAC) {
                state_ = Sub;
                if (sub_.size() < maxSub) sub_ += char(b); else subOversized_ = true;
            } else {
                // SE ends it; any other command also ends it (the peer broke framing).
                state_ = Data;
                if (b != TN_SE) sink.logLine("telnet subnegotiation not ended by SE");
                if (subOversized_) sink.logLine("telnet subnegotiation too long, dropped");
                else if (sub_.empty()) sink.logLine("telnet empty subnegotiation ignored");
                else sink.subnegotiation(uint8_t(sub_[0]), sub_.substr(1));
                if (b != TN_SE) { uint8_t again[2] = {TN_IAC, b}; feed(again, 2, data, answer, sink); }
            }
            break;
        }
    }
}

void telnetEscape(const uint8_t *in, size_t n, std::string &out)
{
    for (size_t i = 0; i < n; i++) {
        out += char(in[i]);
        if (in[i] == TN_IAC) out += char(TN_IAC);
    }
}
