// Bridges end to end: a client connected to a TCP host ("c") or a serial
// port ("p") through the server, with bytes relayed unchanged both ways.
#include "harness.h"

#include "target.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

using namespace e2e;

namespace {

// ---- the command line's end ---------------------------------------------------------

// How the bytes of a bridging command and what follows arrive.  The CR LF
// that ends the command line is one line end whenever its LF comes; an LF
// after a CR that did not end a command line, and every byte after the line
// end, pass unchanged.
struct LineEndCase {
    const char *what;
    std::vector<std::string> sends;  // after the command itself, one send each
    std::string arrives;             // at the target
};

const LineEndCase lineEndCases[] = {
    {"CR LF then data in one send", {"\r\nU-Boot\r\n"}, "U-Boot\r\n"},
    {"CR, then the LF alone, then data", {"\r", "\n", "help\r"}, "help\r"},
    {"CR, then the LF with data", {"\r", "\nhelp\r"}, "help\r"},
    {"CR LF LF: the second LF is data", {"\r\n\n", "x"}, "\nx"},
    {"LF alone ends it: a later LF is data", {"\n", "\nx"}, "\nx"},
    {"CR then CR LF: both are data", {"\r", "\r\nx"}, "\r\nx"},
};

class CommandLineEnd : public ServerWithPort {
protected:
    Listener hostSide;
};

TEST_F(CommandLineEnd, ItsLfIsNoByteForTheTarget)
{
    for (const LineEndCase &c : lineEndCases) {
        for (bool toPort : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (toPort ? ", p" : ", c"));
            Stream client = s.login();
            std::string command =
                toPort ? "p COM5 9600" : "c 127.0.0.1 " + std::to_string(hostSide.port());
            ASSERT_TRUE(client.send(command));
            ASSERT_TRUE(client.send(c.sends[0]));
            ASSERT_TRUE(client.expect(".\r\n"));
            Stream host;
            if (!toPort) host = hostSide.accept();
            Stream &target = toPort ? pty.master() : host;
            // Each later piece after the bridge took the one before.
            for (size_t i = 1; i < c.sends.size(); i++) {
                s.passTurn();
                ASSERT_TRUE(client.send(c.sends[i]));
            }
            EXPECT_TRUE(target.expect(c.arrives));
            EXPECT_TRUE(relayed(target, client, "back"));
            // The port is free again once its client is gone.
            size_t gone = countOf(s.out(), "disconnected\n") + 1;
            client.close();
            EXPECT_TRUE(waitUntil([&] { return countOf(s.out(), "disconnected\n") >= gone; }));
        }
    }
}

// ---- TCP ---------------------------------------------------------------------------

class TcpBridge : public LoggedInClient {};

TEST_F(TcpBridge, CarriesEveryByteValueBothWays)
{
    EXPECT_TRUE(client.ask("c 127.0.0.1 " + std::to_string(hostSide.port()) + "\r\n", ".\r\n"));
    Stream host = hostSide.accept();

    // The command line ended with CR LF; the LF is no byte for the host.
    client.send(allByteValues());
    EXPECT_TRUE(host.expect(allByteValues()));
    EXPECT_TRUE(relayed(host, client, allByteValues()));

    // Commands are plain data now, in both directions.
    EXPECT_TRUE(relayed(client, host, "d\r\n"));
    EXPECT_TRUE(relayed(host, client, "k\r\n"));
    EXPECT_TRUE(relayed(client, host, "v\r\n"));
}

struct ConnectCase {
    const char *name;
    const char *word;
    long portOffset;  // added to the host's port in the command
};

void PrintTo(const ConnectCase &c, std::ostream *os) { *os << c.name; }

class ConnectForms : public LoggedInClient, public testing::WithParamInterface<ConnectCase> {};

TEST_P(ConnectForms, ReachTheHost)
{
    long port = hostSide.port() + GetParam().portOffset;
    EXPECT_TRUE(bridge(client, GetParam().word + (" 127.0.0.1 " + std::to_string(port))));
    Stream host = hostSide.accept();
    EXPECT_TRUE(relayed(client, host, "ping"));
    EXPECT_TRUE(relayed(host, client, "pong"));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ConnectForms,
    testing::Values(ConnectCase{"Short", "c", 0}, ConnectCase{"SpelledOut", "connect", 0},
                    ConnectCase{"AnyWordStartingWithC", "cx", 0},
                    // Only the low 16 bits of the port count.
                    ConnectCase{"PortBeyond16Bits", "c", 65536},
                    ConnectCase{"PortFarBeyond16Bits", "c", 3 * 65536}),
    [](const testing::TestParamInfo<ConnectCase> &c) { return c.param.name; });

TEST_F(TcpBridge, RefusedConnectionLeavesTheClientInCommandMode)
{
    EXPECT_TRUE(client.ask("c 127.0.0.1 " + std::to_string(freePort()) + "\r\n",
                           "! could not connect\r\n"));
    EXPECT_TRUE(s.waitOut("connect error code"));
    EXPECT_TRUE(client.ask("v\r\n", kVersion));
}

TEST_F(TcpBridge, TargetClosingReturnsTheClientToTheIdentifier)
{
    Stream host = bridgeToHost(client, hostSide);
    EXPECT_TRUE(relayed(client, host, "bye"));

    host.close();
    EXPECT_TRUE(s.waitOut("client disconnected "));
    // The log names the client; the client is told nothing.
    EXPECT_TRUE(s.waitErr("target closed, client " + peerText(client) +
                          " asked for the identifier again\n"));
    s.passTurn();
    // No message on the way back, and the identifier is asked for again.
    EXPECT_TRUE(client.ask("v\r\n", "! wrong identifier\r\n"));
    EXPECT_TRUE(client.ask("wobex\r\n", ".\r\n"));
    EXPECT_TRUE(client.ask("v\r\n", kVersion));
}

// ---- serial ------------------------------------------------------------------------

class SerialBridge : public ServerWithPort {};

TEST_F(SerialBridge, CarriesEveryByteValueBothWaysAtTheBaudRate)
{
    Stream client = s.login();
    EXPECT_TRUE(bridge(client, "p COM5 9600"));

    struct termios t;
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B9600);

    EXPECT_TRUE(relayed(client, pty.master(), allByteValues()));
    EXPECT_TRUE(relayed(pty.master(), client, allByteValues()));
}

struct UnopenableCase {
    const char *name;
    std::string command;
    bool held = false;               // another client's bridge holds COM5
    const char *device = nullptr;    // what COM5 stands for: the test's terminal if null
    std::string logged = "";         // the line the failure logs, if one is checked
};

void PrintTo(const UnopenableCase &c, std::ostream *os) { *os << c.name; }

class PortThatCannotBeOpened : public testing::TestWithParam<UnopenableCase> {};

TEST_P(PortThatCannotBeOpened, IsRefusedAndTheClientGoesOn)
{
    const UnopenableCase &c = GetParam();
    if (c.device && Target::get().isWine())
        GTEST_SKIP() << "a port map entry that is no terminal is made on POSIX only";
    Pty pty;
    Server s;
    if (c.device) s.addPort(5, c.device);
    else s.addPort(5, pty);
    ASSERT_TRUE(s.start());
    Stream holder;
    if (c.held) {
        holder = s.login();
        EXPECT_TRUE(bridge(holder, "p COM5 9600"));
    }

    Stream client = s.login();
    EXPECT_TRUE(client.ask(c.command + "\r\n", "! could not open port\r\n"));
    if (!c.logged.empty()) {
        EXPECT_TRUE(s.waitErr(c.logged));
    }
    EXPECT_TRUE(client.ask("v\r\n", kVersion));
    // The holder's bridge is untouched.
    if (c.held) {
        EXPECT_TRUE(relayed(holder, pty.master(), "still here"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ports, PortThatCannotBeOpened,
    testing::Values(UnopenableCase{"NotInThePortList", "p COM6 9600"},
                    UnopenableCase{"NotAComPort", "p LPT1 9600"},
                    UnopenableCase{"OpenInAnotherBridge", "p COM5 9600", true, nullptr,
                                   "COM5: in use, another client writes to it\n"},
                    UnopenableCase{"WatchNotInThePortList", "w COM6"},
                    UnopenableCase{"WatchNotAComPort", "w LPT1"},
                    // A device that cannot be a transparent line.
                    UnopenableCase{"NotASerialLine", "p COM5 9600", false, "/dev/null",
                                   "SetCommState failed " + std::to_string(ENOTTY) + "\n"}),
    [](const testing::TestParamInfo<UnopenableCase> &c) { return c.param.name; });

// Megabytes both ways at once through one serial bridge, each direction a
// stream of its own: every byte arrives, in order, on the right side.
TEST_F(SerialBridge, MovesMegabytesBothWaysAtOnce)
{
    const size_t total = 4u << 20;
    const std::string toPort = pattern(total, 1);
    const std::string toClient = pattern(total, 2);
    Stream client = s.login();
    ASSERT_TRUE(bridge(client, "p COM5 115200"));

    std::string atPort, atClient;
    std::thread portReader([&] { atPort = pty.master().read(total, 120); });
    std::thread clientReader([&] { atClient = client.read(total, 120); });
    std::thread portWriter([&] { EXPECT_TRUE(pty.master().send(toClient)); });
    EXPECT_TRUE(client.send(toPort));
    portWriter.join();
    portReader.join();
    clientReader.join();

    EXPECT_EQ(atPort.size(), total);
    EXPECT_EQ(firstDifference(atPort, toPort), total) << "client -> port";
    EXPECT_EQ(atClient.size(), total);
    EXPECT_EQ(firstDifference(atClient, toClient), total) << "port -> client";
}

// ---- holding back ------------------------------------------------------------------

enum Direction { TowardPort, TowardClient };

struct FloodCase {
    const char *name;
    Direction direction;
};

void PrintTo(const FloodCase &c, std::ostream *os) { *os << c.name; }

class BridgeMemory : public testing::TestWithParam<FloodCase> {};

// One side floods a bridge whose other side nobody reads.  The server must
// hold back (so its memory stays small) instead of queueing everything, and
// once the far side is read every byte must arrive, in order.
TEST_P(BridgeMemory, StaysBoundedAndLosesNothing)
{
    const size_t total = 20u << 20;
    const std::string data = pattern(total);

    Pty pty;
    Listener hostSide;
    Server s;
    s.addPort(5, pty);
    ServerOptions options;
    options.measuresMemory = true;
    ASSERT_TRUE(s.start(options));
    Stream client = s.login();
    Stream host;
    Stream *in = &client;
    Stream *out = &pty.master();
    if (GetParam().direction == TowardPort) {
        EXPECT_TRUE(bridge(client, "p COM5 115200"));
    } else {
        host = bridgeToHost(client, hostSide);
        in = &host;
        out = &client;
    }
    ASSERT_TRUE(in->isOpen() && out->isOpen());
    long before = s.memoryKb();

    size_t sent = pushUntilStalled(*in, data, 2.0);
    ASSERT_LT(sent, total) << "the server took all " << total
                           << " bytes while nothing read the far side";
    long during = s.memoryKb();
    ASSERT_GT(before, 0);
    EXPECT_LT(during - before, 8L << 10) << "KiB before " << before << ", while held " << during;
    EXPECT_LT(during, 64L << 10) << "KiB while held";

    std::string got;
    std::thread reader([&] { got = out->read(total, 120); });
    EXPECT_TRUE(in->send(data.substr(sent)));
    reader.join();
    ASSERT_EQ(got.size(), total) << s.err();
    EXPECT_EQ(firstDifference(got, data), total);
}

INSTANTIATE_TEST_SUITE_P(Floods, BridgeMemory,
                         testing::Values(FloodCase{"ClientToUnreadPort", TowardPort},
                                         FloodCase{"HostToUnreadingClient", TowardClient}),
                         [](const testing::TestParamInfo<FloodCase> &c) { return c.param.name; });

// Data the client sent for a host that then goes away is dropped with the
// host: it is never read as the identifier.
TEST_F(TcpBridge, DataHeldForAClosedTargetIsDropped)
{
    Stream host = bridgeToHost(client, hostSide);
    ASSERT_TRUE(host.isOpen());

    // The host reads nothing, so the server ends up holding the client's
    // data ready in its input buffer.  No byte of it is graphic: in line
    // mode it could never form a line of its own.
    const std::string junk(64u << 20, '\x01');
    ASSERT_LT(pushUntilStalled(client, junk, 2.0), junk.size());

    // Closing with unread data resets the connection; the server's next
    // send to it fails and the target is gone.
    host.close();
    EXPECT_TRUE(s.waitErr("OutFifo::process: Kvb::write"));
    s.passTurn();
    // Whatever of the junk still arrives is dropped by line assembly, so
    // the first reply is the one to this line.
    EXPECT_TRUE(client.ask("v\r\n", "! wrong identifier\r\n", 60));
    EXPECT_TRUE(client.ask("wobex\r\n", ".\r\n"));
    EXPECT_TRUE(client.ask("v\r\n", kVersion));
}

}  // namespace
