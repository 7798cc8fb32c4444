#include "comport.h"

#include <stdio.h>

namespace {

// The option's modem-state bits: the lines, and below them what changed.
enum { MsCd = 0x80, MsRing = 0x40, MsDsr = 0x20, MsCts = 0x10, MsDeltaCd = 0x08,
       MsRingEnded = 0x04, MsDeltaDsr = 0x02, MsDeltaCts = 0x01 };

// The option's line-state bits for what the line received.
enum { LsBreak = 0x10, LsFraming = 0x08, LsParity = 0x04, LsOverrun = 0x02 };

// SET-CONTROL values.
enum { CtlFlowQuery = 0, CtlFlowNone = 1, CtlFlowXon = 2, CtlFlowHw = 3, CtlBreakQuery = 4,
       CtlBreakOn = 5, CtlBreakOff = 6, CtlDtrQuery = 7, CtlDtrOn = 8, CtlDtrOff = 9,
       CtlRtsQuery = 10, CtlRtsOn = 11, CtlRtsOff = 12, CtlInFlowQuery = 13, CtlInFlowNone = 14,
       CtlInFlowHw = 16, CtlInFlowLast = 19 };

const char signature[] = "velkor";

int modemBits(int lines)
{
    return ((lines & KvsCts) ? MsCts : 0) | ((lines & KvsDsr) ? MsDsr : 0) |
           ((lines & KvsRing) ? MsRing : 0) | ((lines & KvsCd) ? MsCd : 0);
}

}  // namespace

ComPortServer::ComPortServer(ComPortLine &line)
    : line_(line), reply_(nullptr), suspended_(false), modemKnown_(false), countsKnown_(false),
      counts_{0, 0, 0, 0}, modemState_(0),
      modemMask_(0xff), lineMask_(0), dtr_(true), rts_(true), break_(false),
      noModemLogged_(false), keptLogged_(0)
{
}

void ComPortServer::start(std::string &reply)
{
    parser_.request(TN_WILL, TNO_BINARY, reply);
    parser_.request(TN_DO, TNO_BINARY, reply);
    parser_.request(TN_WILL, TNO_SGA, reply);
    parser_.request(TN_DO, TNO_SGA, reply);
}

void ComPortServer::feed(const uint8_t *in, size_t n, std::string &data, std::string &reply)
{
    reply_ = &reply;
    parser_.feed(in, n, data, reply, *this);
    reply_ = nullptr;
}

void ComPortServer::answer(uint8_t code, const std::string &value)
{
    std::string &r = *reply_;
    r += char(TN_IAC);
    r += char(TN_SB);
    r += char(TNO_COMPORT);
    r += char(code + CPO_SERVER);
    telnetEscape(reinterpret_cast<const uint8_t *>(value.data()), value.size(), r);
    r += char(TN_IAC);
    r += char(TN_SE);
}

void ComPortServer::answerByte(uint8_t code, int value) { answer(code, std::string(1, char(value))); }

void ComPortServer::subnegotiation(uint8_t option, const std::string &value)
{
    if (option != TNO_COMPORT) {
        char text[64];
        snprintf(text, sizeof text, "telnet subnegotiation for option %u ignored", option);
        line_.log(text);
        return;
    }
    if (value.empty()) {
        line_.log("telnet COM-PORT subnegotiation without a command ignored");
        return;
    }
    command(uint8_t(value[0]), value.substr(1));
}

void ComPortServer::telnetBreak() { line_.sendBreak(); }

void ComPortServer::noModemLines()
{
    if (noModemLogged_) return;
    noModemLogged_ = true;
    char text[96];
    snprintf(text, sizeof text, "no modem lines (error %d): DTR, RTS and break kept as asked",
             line_.lastError());
    line_.log(text);
}

void ComPortServer::command(uint8_t code, const std::string &value)
{
    char text[96];
    switch (code) {
    case CPO_SIGNATURE:
        answer(code, signature);
        return;
    case CPO_SET_BAUDRATE:
    case CPO_SET_DATASIZE:
    case CPO_SET_PARITY:
    case CPO_SET_STOPSIZE:
        lineSetting(code, value);
        return;
    case CPO_SET_CONTROL:
        if (value.size() != 1) {
            snprintf(text, sizeof text, "telnet COM-PORT SET-CONTROL of %u bytes ignored",
                     (unsigned)value.size());
            line_.log(text);
            return;
        }
        setControl(uint8_t(value[0]));
        return;
    case CPO_NOTIFY_LINESTATE:
        // Nothing the platform reports is pending: the line is quiet.
        answerByte(code, 0);
        return;
    case CPO_NOTIFY_MODEMSTATE:
        answerByte(code, modemState_ & modemMask_);
        return;
    case CPO_FLOWCONTROL_SUSPEND:
    case CPO_FLOWCONTROL_RESUME:
        suspended_ = code == CPO_FLOWCONTROL_SUSPEND;
        answer(code, std::string());
        return;
    case CPO_SET_LINESTATE_MASK:
    case CPO_SET_MODEMSTATE_MASK: {
        int &mask = code == CPO_SET_LINESTATE_MASK ? lineMask_ : modemMask_;
        if (value.size() == 1) mask = uint8_t(value[0]);
        else line_.log("telnet COM-PORT mask not one byte, kept");
        answerByte(code, mask);
        return;
    }
    case CPO_PURGE_DATA: {
        int which = value.size() == 1 ? uint8_t(value[0]) : 0;
        if (which < 1 || which > 3) {
            line_.log("telnet COM-PORT PURGE-DATA value out of range, nothing purged");
            answerByte(code, 0);
            return;
        }
        if (!line_.purge(which & 1, which & 2)) {
            snprintf(text, sizeof text, "purge failed (error %d)", line_.lastError());
            line_.log(text);
        }
        answerByte(code, which);
        return;
    }
    default:
        snprintf(text, sizeof text, "telnet COM-PORT command %u unknown, ignored", code);
        line_.log(text);
        return;
    }
}

// The rate, data size, parity or stop size: 0 asks what is in force, any
// other value sets it; the answer is what the device has afterwards.
void ComPortServer::lineSetting(uint8_t code, const std::string &value)
{
    char text[96];
    size_t width = code == CPO_SET_BAUDRATE ? 4 : 1;
    long asked = 0;
    if (value.size() == width) {
        for (char c : value) asked = asked << 8 | uint8_t(c);
    } else {
        snprintf(text, sizeof text, "telnet COM-PORT command %u with a value of %u bytes read as a query",
                 code, (unsigned)value.size());
        line_.log(text);
    }
    KvsLine line = {9600, 8, KvsParityNone, KvsStopOne, KvsFlowNone};
    line_.getLine(&line);
    bool inRange = (code == CPO_SET_BAUDRATE && asked > 0) ||
                   (code == CPO_SET_DATASIZE && asked >= 5 && asked <= 8) ||
                   (code == CPO_SET_PARITY && asked >= 1 && asked <= 5) ||
                   (code == CPO_SET_STOPSIZE && asked >= 1 && asked <= 3);
    if (asked != 0 && !inRange) {
        snprintf(text, sizeof text, "telnet COM-PORT command %u value %ld out of range", code, asked);
        line_.log(text);
    } else if (asked != 0) {
        KvsLine want = line;
        if (code == CPO_SET_BAUDRATE) want.baud = asked;
        if (code == CPO_SET_DATASIZE) want.dataBits = (int)asked;
        if (code == CPO_SET_PARITY) want.parity = (int)asked;
        if (code == CPO_SET_STOPSIZE) want.stopBits = (int)asked;
        applyLine(want, &line, code);
    }
    if (code == CPO_SET_BAUDRATE) {
        unsigned long b = (unsigned long)line.baud;
        std::string v;
        v += char(b >> 24);
        v += char(b >> 16);
        v += char(b >> 8);
        v += char(b);
        answer(code, v);
        return;
    }
    int now = code == CPO_SET_DATASIZE ? line.dataBits
              : code == CPO_SET_PARITY ? line.parity
                                       : line.stopBits;
    answerByte(code, now);
}

// Sets the line and reads back what is in force.  A device that refuses a
// setting, or keeps another value than the one asked, is logged once per
// setting: a client that asks again and again gets its answers, not a log
// line each time.
void ComPortServer::applyLine(const KvsLine &want, KvsLine *line, uint8_t setting)
{
    int ok = line_.setLine(&want);
    int error = line_.lastError();
    line_.getLine(line);
    long asked = 0, kept = 0;
    const char *name = "";
    switch (setting) {
    case CPO_SET_BAUDRATE: name = "rate"; asked = want.baud; kept = line->baud; break;
    case CPO_SET_DATASIZE: name = "data size"; asked = want.dataBits; kept = line->dataBits; break;
    case CPO_SET_PARITY: name = "parity"; asked = want.parity; kept = line->parity; break;
    case CPO_SET_STOPSIZE: name = "stop size"; asked = want.stopBits; kept = line->stopBits; break;
    default: name = "flow control"; asked = want.flow; kept = line->flow; break;
    }
    uint32_t bit = uint32_t(1) << (setting & 31);
    if ((ok && asked == kept) || (keptLogged_ & bit)) return;
    keptLogged_ |= bit;
    char text[128];
    if (ok)
        snprintf(text, sizeof text, "the line kept %s %ld when %ld was asked", name, kept, asked);
    else
        snprintf(text, sizeof text, "the line refused %s %ld (error %d), %ld in force", name,
                 asked, error, kept);
    line_.log(text);
}

void ComPortServer::setControl(int value)
{
    KvsLine line = {9600, 8, KvsParityNone, KvsStopOne, KvsFlowNone};
    line_.getLine(&line);
    bool inbound = value >= CtlInFlowQuery && value <= CtlInFlowLast;
    int flowAsked = 0;
    if (value >= CtlFlowNone && value <= CtlFlowHw) flowAsked = value;
    if (value >= CtlInFlowNone && value <= CtlInFlowHw) flowAsked = value - CtlInFlowNone + 1;
    if (value > CtlInFlowHw && value <= CtlInFlowLast)
        line_.log("telnet COM-PORT SET-CONTROL flow control by DCD, DTR or DSR refused");
    if (flowAsked) {
        KvsLine want = line;
        want.flow = flowAsked;
        applyLine(want, &line, CPO_SET_CONTROL);
    }
    if (value == CtlFlowQuery || flowAsked || inbound) {
        int base = inbound ? CtlInFlowNone - 1 : 0;
        answerByte(CPO_SET_CONTROL, base + line.flow);
        return;
    }
    switch (value) {
    case CtlBreakOn:
    case CtlBreakOff:
        // A device that cannot is logged once; the client is told what it
        // asked, as the line's own state cannot be read back.
        break_ = value == CtlBreakOn;
        if (!line_.setBreak(break_)) noModemLines();
        // fallthrough
    case CtlBreakQuery:
        answerByte(CPO_SET_CONTROL, break_ ? CtlBreakOn : CtlBreakOff);
        return;
    case CtlDtrOn:
    case CtlDtrOff:
        dtr_ = value == CtlDtrOn;
        if (!line_.setDtr(dtr_)) noModemLines();
        // fallthrough
    case CtlDtrQuery:
        answerByte(CPO_SET_CONTROL, dtr_ ? CtlDtrOn : CtlDtrOff);
        return;
    case CtlRtsOn:
    case CtlRtsOff:
        rts_ = value == CtlRtsOn;
        if (!line_.setRts(rts_)) noModemLines();
        // fallthrough
    case CtlRtsQuery:
        answerByte(CPO_SET_CONTROL, rts_ ? CtlRtsOn : CtlRtsOff);
        return;
    default: {
        char text[64];
        snprintf(text, sizeof text, "telnet COM-PORT SET-CONTROL value %d unknown, ignored", value);
        line_.log(text);
        return;
    }
    }
}

// The first state told (always) has no changes in it: there was none before.
void ComPortServer::notifyModem(int state, bool always)
{
    int deltas = 0;
    int changed = always ? 0 : state ^ modemState_;
    if (changed & MsCts) deltas |= MsDeltaCts;
    if (changed & MsDsr) deltas |= MsDeltaDsr;
    if (changed & MsCd) deltas |= MsDeltaCd;
    if ((changed & MsRing) && !(state & MsRing)) deltas |= MsRingEnded;
    int told = (state | deltas) & modemMask_;
    modemState_ = state;
    if (always || (deltas & modemMask_) || ((changed & MsRing) & modemMask_))
        answerByte(CPO_NOTIFY_MODEMSTATE, told);
}

// Breaks and receive errors since the last look: told as the option's
// line-state bits, as the client's mask lets through.
void ComPortServer::pollCounts()
{
    KvsLineCounts now;
    if (!line_.lineCounts(&now)) return;
    int bits = 0;
    if (countsKnown_) {
        if (now.breaks != counts_.breaks) bits |= LsBreak;
        if (now.framing != counts_.framing) bits |= LsFraming;
        if (now.parity != counts_.parity) bits |= LsParity;
        if (now.overrun != counts_.overrun) bits |= LsOverrun;
    }
    counts_ = now;
    countsKnown_ = true;
    if (bits & lineMask_) answerByte(CPO_NOTIFY_LINESTATE, bits & lineMask_);
}

void ComPortServer::pollLines(std::string &reply)
{
    if (!parser_.remoteOn(TNO_COMPORT) && !parser_.localOn(TNO_COMPORT)) return;
    reply_ = &reply;
    pollCounts();
    int lines = 0;
    if (line_.modemLines(&lines)) {
        notifyModem(modemBits(lines), !modemKnown_);
        modemKnown_ = true;
    } else if (!modemKnown_) {
        // Told once, as all quiet: a client waits for a first state.
        noModemLines();
        modemKnown_ = true;
        notifyModem(0, true);
    }
    reply_ = nullptr;
}
