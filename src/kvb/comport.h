// The COM-PORT option of a telnet connection (RFC 2217) on top of the
// telnet decoder: the client sets the line (rate, framing, flow control,
// modem lines, breaks, purges) with subnegotiations, each answered with the
// value in force afterwards, and is told of changes of the modem lines.
// No I/O here: the line is reached through ComPortLine, and what is to be
// sent to the client is appended to a string the caller sends.
#ifndef VELKOR_KVB_COMPORT_H
#define VELKOR_KVB_COMPORT_H

#include "../io/serial_control.h"
#include "telnet.h"

#include <string>

// What the option asks of the line.  Each call is 1 when the device did it,
// 0 when it did not.
struct ComPortLine {
    virtual ~ComPortLine() {}
    virtual int getLine(KvsLine *line) = 0;
    virtual int setLine(const KvsLine *line) = 0;
    virtual int setDtr(int on) = 0;
    virtual int setRts(int on) = 0;
    virtual int setBreak(int on) = 0;
    // A break of the usual length, ended by the line itself later.
    virtual void sendBreak() = 0;
    virtual int modemLines(int *lines) = 0;
    virtual int lineCounts(KvsLineCounts *counts) = 0;
    virtual int purge(int input, int output) = 0;
    // The system's error code of the last call that failed, for the log.
    virtual int lastError() = 0;
    virtual void log(const char *what) = 0;
};

// The option's command codes (the server's answers add 100).
enum : uint8_t {
    CPO_SIGNATURE = 0, CPO_SET_BAUDRATE = 1, CPO_SET_DATASIZE = 2, CPO_SET_PARITY = 3,
    CPO_SET_STOPSIZE = 4, CPO_SET_CONTROL = 5, CPO_NOTIFY_LINESTATE = 6,
    CPO_NOTIFY_MODEMSTATE = 7, CPO_FLOWCONTROL_SUSPEND = 8, CPO_FLOWCONTROL_RESUME = 9,
    CPO_SET_LINESTATE_MASK = 10, CPO_SET_MODEMSTATE_MASK = 11, CPO_PURGE_DATA = 12,
    CPO_SERVER = 100
};

class ComPortServer : private TelnetSink {
public:
    explicit ComPortServer(ComPortLine &line);
    // What the server asks for first: binary and no go-ahead, both ways.
    // The option itself is the client's to offer (WILL), and is granted.
    void start(std::string &reply);
    // Decodes client bytes: data for the line to `data`, every answer to
    // `reply`.
    void feed(const uint8_t *in, size_t n, std::string &data, std::string &reply);
    // Looks at the modem lines and the line's error counts; a change of the
    // lines, or a break or receive error, that the client's masks let
    // through is told.  Called at a pace; nothing before the option is
    // agreed.
    void pollLines(std::string &reply);
    // The client asked the server to hold data back (FLOWCONTROL-SUSPEND).
    bool suspended() const { return suspended_; }
    // The client left the line in a break.
    bool breakOn() const { return break_; }
    const TelnetParser &telnet() const { return parser_; }

private:
    ComPortLine &line_;
    TelnetParser parser_;
    std::string *reply_;
    bool suspended_;
    bool modemKnown_;      // the modem lines were read, or found unreadable
    bool countsKnown_;     // the error counts were read once
    KvsLineCounts counts_;
    int modemState_;       // the last state told (the option's bits)
    int modemMask_;
    int lineMask_;
    bool dtr_, rts_, break_;  // as last asked where the device has no such line
    bool noModemLogged_;
    uint32_t keptLogged_;  // the settings whose refusal was logged (bit: command code)

    void subnegotiation(uint8_t option, const std::string &value) override;
    void telnetBreak() override;
    void logLine(const char *what) override { line_.log(what); }
    void command(uint8_t code, const std::string &value);
    void answer(uint8_t code, const std::string &value);
    void answerByte(uint8_t code, int value);
    void setControl(int value);
    void lineSetting(uint8_t code, const std::string &value);
    void applyLine(const KvsLine &want, KvsLine *line, uint8_t setting);
    void notifyModem(int state, bool always);
    void noModemLines();
    void pollCounts();
};

#endif
