// Telnet framing (RFC 854/856/858) with the COM-PORT option (RFC 2217):
// decodes a byte stream kept in a state across reads, separating data from
// commands, and says what to answer.  No I/O here: the caller supplies bytes
// and collects data, answers and complete subnegotiations.
#ifndef VELKOR_KVB_TELNET_H
#define VELKOR_KVB_TELNET_H

#include <stddef.h>
#include <stdint.h>
#include <string>

enum : uint8_t { TN_SE = 240, TN_BRK = 243, TN_SB = 250, TN_WILL = 251, TN_WONT = 252,
                 TN_DO = 253, TN_DONT = 254, TN_IAC = 255 };
enum : uint8_t { TNO_BINARY = 0, TNO_SGA = 3, TNO_COMPORT = 44 };

struct TelnetSink {
    virtual ~TelnetSink() {}
    virtual void subnegotiation(uint8_t option, const std::string &value) = 0;  // undoubled value
    virtual void telnetBreak() = 0;
    virtual void logLine(const char *what) = 0;
};

class TelnetParser {
public:
    static const size_t maxSub = 256;  // longer subnegotiations are dropped with a log line
    // Appends decoded data to `data`, negotiation answers to `answer`.
    void feed(const uint8_t *in, size_t n, std::string &data, std::string &answer, TelnetSink &sink);
    // Asks the peer for an option of ours (TN_WILL) or of its side (TN_DO),
    // counting it as on from now: the peer's agreement needs no answer.
    void request(uint8_t verb, uint8_t opt, std::string &answer);
    bool localOn(uint8_t opt) const { return opt < 64 && (local_ >> opt) & 1; }
    bool remoteOn(uint8_t opt) const { return opt < 64 && (remote_ >> opt) & 1; }
private:
    enum State { Data, Iac, Verb, Sub, SubIac };
    State state_ = Data;
    uint8_t verb_ = 0;
    std::string sub_;
    bool subOversized_ = false;
    uint64_t local_ = 0, remote_ = 0;
    void negotiate(uint8_t verb, uint8_t opt, std::string &answer, TelnetSink &sink);
};

// Appends `in` to `out` with every 0xFF doubled.
void telnetEscape(const uint8_t *in, size_t n, std::string &out);

#endif
