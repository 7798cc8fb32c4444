// The client protocol end to end: the identifier, every command of the
// interpreter with its exact reply, echo, disconnect, and stopping the
// server (the kill command, SIGTERM, SIGINT) with a serial port open.
#include "harness.h"

#include "target.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>

using namespace e2e;

namespace {

const std::string kFewArguments = "! to few arguments\r\n";
const std::string kWrongIdentifier = "! wrong identifier\r\n";

const std::string kHelp =
    ":commands:\r\n"
    ":? : help\r\n"
    ":c <host> <port> : connect to tcp/ip port:\r\n"
    ":p <comport> <baudrate> : connect to serial port\r\n"
    ":w <comport> [bytes] : watch a serial port, replaying its last bytes\r\n"
    ":d : disconnect\r\n"
    ":e : echo on\r\n"
    ":s : echo off\r\n"
    ":k : kill server\r\n"
    ":v : give server version\r\n"
    ":l [class]: list all class device names, class can be \"Ports\"\r\n"
    ":r : list available serial comm ports\r\n"
    ":n : list available serial comm ports (only name)\r\n"
    ":i : show server os\r\n"
    ".\r\n";

std::string testLines(int count)
{
    std::string s;
    for (int k = count; k > 0; k--) s += ": testing sending many lines " + std::to_string(k) + "\r\n";
    return s + ".\r\n";
}

// A line of `count` tokens: `first`, then "a" as often as needed.
std::string tokens(const std::string &first, int count)
{
    std::string s = first;
    for (int i = 1; i < count; i++) s += " a";
    return s;
}

// ---- the identifier -------------------------------------------------------------

struct IdentifierCase {
    const char *name;
    std::vector<std::string> switches;
    std::string sent;
    bool accepted;
};

void PrintTo(const IdentifierCase &c, std::ostream *os) { *os << c.name; }

class Identifier : public testing::TestWithParam<IdentifierCase> {};

TEST_P(Identifier, GatesTheCommands)
{
    const IdentifierCase &c = GetParam();
    Server s;
    ServerOptions options;
    options.switches = c.switches;
    ASSERT_TRUE(s.start(options));
    Stream client = s.connect();
    if (c.accepted) {
        EXPECT_TRUE(client.ask(c.sent, ".\r\n"));
        EXPECT_TRUE(client.ask("v\r\n", kVersion));
    } else {
        EXPECT_TRUE(client.ask(c.sent, kWrongIdentifier));
        // The log says who sent it.
        EXPECT_TRUE(s.waitErr("failed, wrong identifier\nwrong identifier from client " +
                              peerText(client) + "\n"));
        // Still waiting for the identifier: a command is one more wrong try.
        EXPECT_TRUE(client.ask("v\r\n", kWrongIdentifier));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Identifier,
    testing::Values(IdentifierCase{"Right", {}, "wobex\r\n", true},
                    IdentifierCase{"EndedByLineFeedOnly", {}, "wobex\n", true},
                    IdentifierCase{"LeadingBlanksDropped", {}, "  \t wobex\r\n", true},
                    IdentifierCase{"TrailingSpace", {}, "wobex \r\n", false},
                    IdentifierCase{"OtherCase", {}, "Wobex\r\n", false},
                    IdentifierCase{"Prefix", {}, "wobe\r\n", false},
                    IdentifierCase{"Longer", {}, "wobexx\r\n", false},
                    IdentifierCase{"AsSetBySwitch", {"-wpapaya"}, "papaya\r\n", true},
                    IdentifierCase{"BuiltInReplacedBySwitch", {"-wpapaya"}, "wobex\r\n", false},
                    IdentifierCase{"EmptyMatchesNothing", {"-w"}, "wobex\r\n", false}),
    [](const testing::TestParamInfo<IdentifierCase> &c) { return c.param.name; });

TEST(IdentifierTries, TwoWrongThenRight)
{
    Server s;
    ASSERT_TRUE(s.start());
    Stream client = s.connect();
    for (const char *wrong : {"guest\r\n", "v\r\n"})
        EXPECT_TRUE(client.ask(wrong, kWrongIdentifier));
    EXPECT_TRUE(client.ask("wobex\r\n", ".\r\n"));
    EXPECT_TRUE(client.ask("v\r\n", kVersion));
    // The log lines may reach the test after the replies.
    s.waitLogs([](const std::string &, const std::string &e) {
        return countOf(e, "failed, wrong identifier\n") >= 2;
    });
    EXPECT_EQ(countOf(s.err(), "failed, wrong identifier\n"), 2u) << s.err();
}

// ---- the command table ----------------------------------------------------------

struct CommandCase {
    const char *name;
    std::string sent;   // after the identifier, in one write
    std::string reply;  // everything the client gets back
    // The reply to a "v" line sent next: the version, unless the case leaves
    // something behind.
    std::string next = kVersion;
};

void PrintTo(const CommandCase &c, std::ostream *os) { *os << c.name; }

class Command : public LoggedInClient, public testing::WithParamInterface<CommandCase> {};

TEST_P(Command, RepliesExactly)
{
    EXPECT_TRUE(client.ask(GetParam().sent, GetParam().reply));
    // Nothing else follows: the next command gets just its own reply.
    EXPECT_TRUE(client.ask("v\r\n", GetParam().next));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Command,
    testing::Values(
        CommandCase{"Help", "?\r\n", kHelp},
        CommandCase{"HelpByFirstCharacter", "?x\r\n", kHelp},
        CommandCase{"Version", "v\r\n", kVersion},
        CommandCase{"VersionIgnoresArguments", "v a b c\r\n", kVersion},
        CommandCase{"CapitalV", "V\r\n", "! unknown command 'V'\r\n"},
        CommandCase{"CapitalC", "C 127.0.0.1 23\r\n", "! unknown command 'C'\r\n"},
        CommandCase{"HelpSpelledOut", "help\r\n", "! unknown command 'help'\r\n"},
        CommandCase{"OnlyFirstTokenQuoted", "foo bar\r\n", "! unknown command 'foo'\r\n"},
        CommandCase{"LongTokenQuotedTo256", std::string(300, 'x') + "\r\n",
                    "! unknown command '" + std::string(256, 'x') + "'\r\n"},
        CommandCase{"ListClass", "l\r\n", "! not supported in this version\r\n"},
        CommandCase{"ListClassPorts", "l Ports\r\n", "! not supported in this version\r\n"},
        CommandCase{"ConnectWithoutPort", "c 127.0.0.1\r\n", kFewArguments},
        CommandCase{"ConnectSpelledOutWithoutPort", "connect 127.0.0.1\r\n", kFewArguments},
        CommandCase{"OpenWithoutBaudRate", "p COM1\r\n", kFewArguments},
        CommandCase{"TestLinesWithoutCount", "t\r\n", kFewArguments},
        // What follows the TAB is held and read as the next line once more
        // bytes arrive.
        CommandCase{"TabEndsTheLine", "c\t127.0.0.1\t23\r\n", kFewArguments,
                    "! unknown command '127.0.0.1'\r\n"},
        CommandCase{"TestLines", "t 2\r\n", testLines(2)},
        CommandCase{"TestLinesZero", "t 0\r\n", ".\r\n"},
        CommandCase{"TestLinesNegative", "t -5\r\n", ".\r\n"},
        CommandCase{"TestLinesNotANumber", "t x\r\n", ".\r\n"},
        CommandCase{"TestLinesManyMore", "t 25000\r\n", testLines(25000)},
        CommandCase{"SixtyFourTokens", tokens("t 1", 63) + "\r\n", testLines(1)},
        CommandCase{"TwoHundredTokens", tokens("v", 200) + "\r\n", kVersion},
        CommandCase{"BlankLinesGiveNothing", "   \r\n\r\n \r\nv\r\n", kVersion},
        CommandCase{"BytesBeforeALineDropped", "\x80\x01\x7f v\r\n", kVersion},
        CommandCase{"LongestLine", "v" + std::string(1021, ' ') + "\r\n", kVersion},
        CommandCase{"LineTooLong", "v" + std::string(1022, ' ') + "\r\n", "! line too long\r\n"},
        CommandCase{"LineFarTooLongThenCommand", std::string(5000, 'x') + "\r\nv\r\n",
                    "! line too long\r\n" + std::string(kVersion)}),
    [](const testing::TestParamInfo<CommandCase> &c) { return c.param.name; });

// ---- echo -----------------------------------------------------------------------

// A conversation: each line sent and the exact reply it gets.
struct EchoCase {
    const char *name;
    std::vector<std::pair<std::string, std::string>> steps;
};

void PrintTo(const EchoCase &c, std::ostream *os) { *os << c.name; }

class Echo : public LoggedInClient, public testing::WithParamInterface<EchoCase> {};

// Echo applies to the lines read after the command: the command's own line
// was read before; the next lines are echoed as they arrive, ahead of their
// replies, the line that turns echo off included.
TEST_P(Echo, AppliesToLinesReadAfterTheCommand)
{
    for (const auto &step : GetParam().steps) EXPECT_TRUE(client.ask(step.first, step.second));
}

INSTANTIATE_TEST_SUITE_P(
    Conversations, Echo,
    testing::Values(
        EchoCase{"OnThenOff",
                 {{"e\r\n", ":echo on\r\n.\r\n"},
                  {"v\r\n", "v\r\n" + std::string(kVersion)},
                  {"s\r\n", "s\r\n:echo off\r\n.\r\n"},
                  {"v\r\n", kVersion}}},
        // Only the first character counts.
        EchoCase{"EchoOffSpelledOutIsEchoOn",
                 {{"echo off\r\n", ":echo on\r\n.\r\n"},
                  {"v\r\n", "v\r\n" + std::string(kVersion)}}},
        EchoCase{"OffWhenOff", {{"s\r\n", ":echo off\r\n.\r\n"}, {"v\r\n", kVersion}}}),
    [](const testing::TestParamInfo<EchoCase> &c) { return c.param.name; });

class EchoInBridge : public LoggedInClient {};

TEST_F(EchoInBridge, StaysOnForTheRawBytes)
{
    EXPECT_TRUE(client.ask("e\r\n", ":echo on\r\n.\r\n"));
    std::string command = "c 127.0.0.1 " + std::to_string(hostSide.port()) + "\n";
    EXPECT_TRUE(client.ask(command, command + ".\r\n"));
    Stream host = hostSide.accept();
    client.send("raw\x01");
    EXPECT_TRUE(client.expect("raw\x01"));
    EXPECT_TRUE(host.expect("raw\x01"));
}

// ---- a client that does not read ---------------------------------------------------

TEST(Replies, NoFurtherCommandIsTakenWhileRepliesPileUp)
{
    Server s;
    ASSERT_TRUE(s.start());
    Listener hostSide;
    // The client reads nothing for a while.  Its replies fill the sockets'
    // buffers (a few MiB on loopback) and then pile up in the server, which
    // must stop taking commands from it.  Each line goes in a read of its
    // own (a turn passes after each).
    Stream client = s.login(4096);
    const int count = 20;
    for (int i = 0; i < count; i++) {
        client.send("t 10000\r\n");
        s.passTurn();
    }
    client.send("c 127.0.0.1 " + std::to_string(hostSide.port()) + "\r\n");
    s.passTurn();
    EXPECT_FALSE(hostSide.hasPending())
        << "a command was carried out while the replies to that client piled up";

    // As the client reads, the waiting commands are carried out in order.
    // A line that waited behind another becomes ready when more bytes come:
    // each CR sent here makes the next one ready and no line of its own.
    const std::string reply = testLines(10000);
    for (int i = 0; i < count; i++) {
        EXPECT_TRUE(client.expect(reply, 60)) << "reply " << i;
        client.send("\r");
    }
    EXPECT_TRUE(client.expect(".\r\n"));
    EXPECT_TRUE(hostSide.accept().isOpen());
}

// ---- leaving ----------------------------------------------------------------------

class Disconnect : public LoggedInClient {};

TEST_F(Disconnect, RepliesThenCloses)
{
    EXPECT_TRUE(client.ask("d\r\n", ":disconnect\r\n.\r\n"));
    EXPECT_TRUE(client.expectClosed());
    // Only that client went.
    Stream other = s.login();
    EXPECT_TRUE(other.ask("v\r\n", kVersion));
}

// ---- stopping the server ----------------------------------------------------------

struct StopCase {
    const char *name;
    int signal;  // sent to the server; 0: the kill command
    // The clients shutdown closes: every client still there (the kill
    // command's own client has gone first).
    size_t clientsAtExit;
};

// The sockets of the listener, which shutdown closes too: one, or an IPv6
// and an IPv4 one where one socket cannot take both; as many as a server
// without clients closes when it stops.
size_t listenerSockets()
{
    Server bare;
    EXPECT_TRUE(bare.start());
    Stream client = bare.login();
    EXPECT_TRUE(client.ask("k\r\n", ":kill\r\n.\r\n"));
    EXPECT_TRUE(bare.exitsWith(0));
    return countNumberedLines(bare.out(), "kva_close: ", " \n");
}

void PrintTo(const StopCase &c, std::ostream *os) { *os << c.name; }

class Stop : public testing::TestWithParam<StopCase> {};

// The server ends with status 0 and every client's connection closed.
// Every serial port still open is released before the process ends: its
// exclusive hold (which a terminal keeps beyond the process) is dropped and
// its settings are as they were before the server opened it.
TEST_P(Stop, ClosesEverythingAndReleasesThePortsFirst)
{
    if (GetParam().signal && !Target::get().stopsOnSignal(GetParam().signal))
        GTEST_SKIP() << "under Wine SIGTERM ends the program's process from outside";
    Pty pty;
    Server s;
    s.addPort(5, pty);
    struct termios before;
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &before), 0);
    ASSERT_TRUE(s.start());
    Stream bridged = s.login();
    ASSERT_TRUE(bridge(bridged, "p COM5 57600"));
    EXPECT_TRUE(relayed(bridged, pty.master(), "x"));
    Stream other = s.login();

    if (GetParam().signal) {
        s.signal(GetParam().signal);
    } else {
        EXPECT_TRUE(other.ask("k\r\n", ":kill\r\n.\r\n"));
    }
    EXPECT_TRUE(s.exitsWith(0));
    EXPECT_TRUE(other.expectClosed());
    EXPECT_TRUE(bridged.expectClosed());
    const size_t listener = listenerSockets();
    EXPECT_GE(listener, 1u);
    EXPECT_EQ(countNumberedLines(s.out(), "kva_close: ", " \n"),
              listener + GetParam().clientsAtExit)
        << escapeBytes(s.out());

    if (Target::get().hasExclusivePorts()) {
        int excl = -1;
        ASSERT_EQ(ioctl(pty.slaveFd(), TIOCGEXCL, &excl), 0);
        EXPECT_EQ(excl, 0) << "the port is still marked exclusive";
    }
    struct termios after;
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &after), 0);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    if (Target::get().restoresTtyFlags()) {
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_oflag, before.c_oflag);
    }
}

INSTANTIATE_TEST_SUITE_P(Ways, Stop,
                         testing::Values(StopCase{"KillCommand", 0, 1},
                                         StopCase{"Sigterm", SIGTERM, 2},
                                         // A console's Ctrl-C under Wine.
                                         StopCase{"Interrupt", SIGINT, 2}),
                         [](const testing::TestParamInfo<StopCase> &c) { return c.param.name; });

}  // namespace
