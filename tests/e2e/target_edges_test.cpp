// The edges of a bridge: a host that talks the moment it accepts, a host
// that closes while the client is still reading what it sent, and a client
// that leaves while its host or port has not yet taken what it sent.  In
// each, every byte sent reaches the other side once, whole and in order.
#include "harness.h"

#include "target.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace e2e;

namespace {

struct BannerCase {
    const char *name;
    std::string banner;
};

void PrintTo(const BannerCase &c, std::ostream *os) { *os << c.name; }

// A neighbour in a lower slot that keeps the server busy every turn: a
// bridge whose host streams to it while the test reads it, until stopped.
class BusyNeighbour {
public:
    BusyNeighbour(Server &s, Listener &hostSide)
        : client_(s.login()), host_(bridgeToHost(client_, hostSide))
    {
        writer_ = std::thread([this] {
            const std::string block = pattern(4096, 7);
            while (!stop_ && host_.send(block)) {
            }
        });
        reader_ = std::thread([this] {
            while (!stop_ && !client_.read(4096, 1).empty()) {
            }
        });
    }
    ~BusyNeighbour()
    {
        stop_ = true;
        reader_.join();
        // The writer may be blocked in a send the server holds back: the
        // client's end going away ends the bridge, and with it that send.
        client_.close();
        writer_.join();
        host_.close();
    }

private:
    Stream client_;
    Stream host_;
    std::atomic<bool> stop_{false};
    std::thread writer_;
    std::thread reader_;
};

// Reads n bytes 16 KiB at a time with a pause between, as a slow consumer
// does (fewer only if the stream ends or stalls).
std::string readSlowly(Stream &from, size_t n)
{
    std::string got;
    while (got.size() < n) {
        std::string part = from.read(std::min<size_t>(16384, n - got.size()), kWait);
        if (part.empty()) break;
        got += part;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return got;
}

class HostThatTalksFirst : public testing::TestWithParam<BannerCase> {};

// The host sends the moment it accepts, so its bytes race the connect's
// completion: they may be read before, in or after the turn that answers
// the connect.  Over many tries, alone and beside a busy neighbour.
TEST_P(HostThatTalksFirst, ItsFirstBytesArriveWholeAfterTheReply)
{
    const std::string &banner = GetParam().banner;
    const int tries = Target::get().isWine() ? 8 : 20;
    Listener hostSide;
    Server s;
    ASSERT_TRUE(s.start());
    for (bool busy : {false, true}) {
        SCOPED_TRACE(busy ? "beside a busy neighbour" : "alone");
        Listener neighbourHost;
        std::unique_ptr<BusyNeighbour> neighbour;
        if (busy) neighbour.reset(new BusyNeighbour(s, neighbourHost));
        for (int i = 0; i < tries; i++) {
            SCOPED_TRACE("try " + std::to_string(i));
            Stream client = s.login();
            ASSERT_TRUE(client.send("c 127.0.0.1 " + std::to_string(hostSide.port()) + "\n"));
            Stream host = hostSide.accept();
            ASSERT_TRUE(host.send(banner));
            ASSERT_TRUE(client.expect(".\r\n" + banner));
            // Nothing more comes (a doubled tail would), and the bridge works.
            EXPECT_TRUE(relayed(host, client, "after"));
            EXPECT_TRUE(relayed(client, host, "back"));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Banners, HostThatTalksFirst,
    testing::Values(BannerCase{"NulHighByteAndLineEnd", std::string("HELLO\0\xff\r\n", 9)},
                    BannerCase{"LeadingBlanksAndTab", "\r\n  220 ready\tx\r\n"},
                    BannerCase{"NoLineEnd", "abcdefghijklmnopqrstuvwxyz0123456789"},
                    // What a telnet server says first: option negotiation.
                    BannerCase{"TelnetNegotiation", "\xff\xfb\x01\xff\xfb\x03\xff\xfd\x18"},
                    BannerCase{"EveryByteValue", allByteValues()}),
    [](const testing::TestParamInfo<BannerCase> &c) { return c.param.name; });

// The host sends until the server holds back, because its client does not
// read, and closes.  The client then reads slowly, a little at a time: the
// host's end is read while the client's queue is over its bound and bytes
// are still held for it.  Every byte arrives, and only then is the client
// asked for the identifier again.
TEST(HostThatCloses, WhileItsClientReadsSlowlyLosesNoByte)
{
    const std::string data = pattern(32u << 20, 3);
    Listener hostSide;
    Server s;
    ASSERT_TRUE(s.start());
    Stream client = s.login(16 << 10);
    Stream host = bridgeToHost(client, hostSide);
    ASSERT_TRUE(host.isOpen());

    const size_t sent = pushUntilStalled(host, data, 1.0);
    ASSERT_LT(sent, data.size()) << "the server took everything for a client that reads nothing";
    host.close();

    std::string got = readSlowly(client, sent);
    ASSERT_EQ(got.size(), sent) << "first difference at " << firstDifference(got, data);
    EXPECT_EQ(firstDifference(got, data.substr(0, sent)), sent);

    // The bridge has ended: the identifier is asked for again.
    EXPECT_TRUE(s.waitOut("client disconnected "));
    s.passTurn();
    EXPECT_TRUE(client.ask("wobex\r\n", ".\r\n"));
    EXPECT_TRUE(client.ask("v\r\n", kVersion));
}

// The client sends until the server holds back, because the far side reads
// nothing, and leaves.  The far side then reads slowly: what the server took
// from the client is still written out to it, whole, and then the bridge
// ends.
struct LeavingCase {
    const char *name;
    bool toPort;
};

void PrintTo(const LeavingCase &c, std::ostream *os) { *os << c.name; }

class ClientThatLeaves : public testing::TestWithParam<LeavingCase> {};

TEST_P(ClientThatLeaves, HasAllItSentWrittenToTheFarSide)
{
    const std::string data = pattern(32u << 20, 4);
    Pty pty;
    Listener hostSide;
    Server s;
    s.addPort(5, pty);
    ASSERT_TRUE(s.start());
    Stream client = s.login();
    Stream host;
    Stream *far = &pty.master();
    if (GetParam().toPort) {
        ASSERT_TRUE(bridge(client, "p COM5 115200"));
    } else {
        host = bridgeToHost(client, hostSide);
        far = &host;
    }
    ASSERT_TRUE(far->isOpen());

    const size_t sent = pushUntilStalled(client, data, 1.0);
    ASSERT_LT(sent, data.size()) << "the server took everything for a side that reads nothing";
    client.close();

    std::string got = readSlowly(*far, sent);
    ASSERT_EQ(got.size(), sent) << "first difference at " << firstDifference(got, data);
    EXPECT_EQ(firstDifference(got, data.substr(0, sent)), sent);
    EXPECT_TRUE(s.waitOut("disconnected\n"));
    if (!GetParam().toPort) {
        EXPECT_TRUE(host.expectClosed());
    }
}

INSTANTIATE_TEST_SUITE_P(Sides, ClientThatLeaves,
                         testing::Values(LeavingCase{"BridgedToAHost", false},
                                         LeavingCase{"BridgedToAPort", true}),
                         [](const testing::TestParamInfo<LeavingCase> &c) { return c.param.name; });

}  // namespace
