// What users run into outside the tidy case: scripts that send several
// lines at once, a serial adapter pulled while bridged, a connect to a host
// that never answers, a very large "t", and connections that vanish.
#include "harness.h"

#include "target.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

using namespace e2e;

namespace {

std::string testLine(int n) { return ": testing sending many lines " + std::to_string(n) + "\r\n"; }

// ---- lines already received -------------------------------------------------------

struct ScriptCase {
    const char *name;
    std::string sent;   // one write, after the identifier
    std::string reply;  // all of it comes without a further byte
};

void PrintTo(const ScriptCase &c, std::ostream *os) { *os << c.name; }

class Scripted : public LoggedInClient, public testing::WithParamInterface<ScriptCase> {};

TEST_P(Scripted, EveryLineAlreadyReceivedIsAnswered)
{
    EXPECT_TRUE(client.ask(GetParam().sent, GetParam().reply));
}

INSTANTIATE_TEST_SUITE_P(
    OneWrite, Scripted,
    testing::Values(
        ScriptCase{"TwoLines", "v\r\nv\r\n", std::string(kVersion) + kVersion},
        ScriptCase{"TabBetween", "v\tv\r\n", std::string(kVersion) + kVersion},
        ScriptCase{"HighByteBetween", "v\x80v\r\n", std::string(kVersion) + kVersion},
        ScriptCase{"ControlByteBetween", "v\x01v\n", std::string(kVersion) + kVersion},
        ScriptCase{"VersionThenTestLines", "v\r\nt 2\r\n",
                   std::string(kVersion) + testLine(2) + testLine(1) + ".\r\n"},
        ScriptCase{"ErrorsThenCommand", "x\r\n\r\ny\r\nv\r\n",
                   "! unknown command 'x'\r\n! unknown command 'y'\r\n" + std::string(kVersion)}),
    [](const testing::TestParamInfo<ScriptCase> &c) { return c.param.name; });

TEST(ScriptedLogin, IdentifierAndCommandsInOneWrite)
{
    Server s;
    ASSERT_TRUE(s.start());
    Stream c = s.connect();
    EXPECT_TRUE(c.ask("nope\r\nwobex\r\nv\r\n",
                      "! wrong identifier\r\n.\r\n" + std::string(kVersion)));
}

TEST(ScriptedBridge, BytesBehindTheCommandGoThroughAtOnce)
{
    Pty pty;
    Listener hostSide;
    Server s;
    s.addPort(5, pty);
    ASSERT_TRUE(s.start());

    Stream serial = s.login();
    // The command's CR LF is its line end; what follows goes through as is.
    EXPECT_TRUE(serial.ask("p COM5 9600\r\nhello\n", ".\r\n"));
    EXPECT_TRUE(pty.master().expect("hello\n"));

    Stream tcp = s.login();
    EXPECT_TRUE(tcp.ask("c 127.0.0.1 " + std::to_string(hostSide.port()) + "\r\n\nhello",
                        ".\r\n"));
    Stream host = hostSide.accept();
    EXPECT_TRUE(host.expect("\nhello"));
}

// ---- a serial port that is gone ---------------------------------------------------------

TEST(GonePort, TheBridgeEndsAndTheNameCanBeBridgedAgain)
{
    auto pty = std::make_unique<Pty>();
    Server s;
    s.addPort(5, *pty);
    ASSERT_TRUE(s.start());
    Stream client = s.login();
    ASSERT_TRUE(bridge(client, "p COM5 9600"));
    EXPECT_TRUE(relayed(client, pty->master(), "ping"));

    // Pulled: the other side of the line is gone for good.
    pty->master().close();
    // The first failed read is logged, with the port's name; the 101st in a
    // row, moments later, gives the port up, without more lines.  Nothing
    // else happens meanwhile: under Wine a read that follows a failure fails
    // only a moment after it started, and a turn that comes before that
    // finds the line quiet.
    ASSERT_TRUE(s.waitErr("COM5: ReadFile error ")) << s.err();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    // The client is back at the identifier, without a word, as when a TCP
    // target closes.
    EXPECT_TRUE(client.ask("v\r\n", "! wrong identifier\r\n")) << s.err();
    EXPECT_TRUE(client.ask("wobex\r\n", ".\r\n"));
    s.passTurn();
    EXPECT_EQ(countOf(s.err(), "ReadFile error"), 1u) << s.err();

    // A new device under the same name opens and bridges.
    pty = std::make_unique<Pty>();
    s.addPort(5, *pty);
    EXPECT_TRUE(bridge(client, "p COM5 9600"));
    EXPECT_TRUE(relayed(client, pty->master(), "again"));
    EXPECT_TRUE(relayed(pty->master(), client, "back"));
}

// ---- a serial line that fails for a moment ------------------------------------------------

// The null line discipline: while a tty has it, every read and write of the
// tty fails (EOPNOTSUPP), and once the terminal discipline is back the line
// works again.  So a test can make a serial port's transfers fail for a
// moment without its other side going away.
const int kNullDiscipline = 27;  // N_NULL of linux/tty.h
const int kTerminalDiscipline = 0;  // N_TTY

bool setDiscipline(int fd, int discipline) { return ioctl(fd, TIOCSETD, &discipline) == 0; }

// Whether input waits to be read on the tty, looked at without a pause for
// up to 20 ms: a byte just sent to it is seen the moment it is there.
bool inputWaits(int fd)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
    do {
        int n = 0;
        if (ioctl(fd, TIOCINQ, &n) == 0 && n > 0) return true;
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

struct LineFault {
    Pty pty;
    Server s;
    Stream client;
};

struct LineFaultCase {
    const char *name;
    // Makes transfers of the bridged port fail for a moment, and checks what
    // comes of it once the line works again.
    void (*run)(LineFault &f);
};

void PrintTo(const LineFaultCase &c, std::ostream *os) { *os << c.name; }

class FailingForAMoment : public testing::TestWithParam<LineFaultCase> {};

// Only failures count toward giving a port up, and a failed transfer loses
// nothing: once the line works again the bridge carries on, both ways.
TEST_P(FailingForAMoment, TheBridgeCarriesOn)
{
    LineFault f;
    f.s.addPort(5, f.pty);
    ASSERT_TRUE(f.s.start());
    f.client = f.s.login();
    ASSERT_TRUE(bridge(f.client, "p COM5 115200"));
    ASSERT_TRUE(relayed(f.client, f.pty.master(), "ping"));
    ASSERT_TRUE(relayed(f.pty.master(), f.client, "pong"));
    if (!setDiscipline(f.pty.slaveFd(), kNullDiscipline))
        GTEST_SKIP() << "this kernel has no null line discipline (N_NULL): " << strerror(errno);
    ASSERT_TRUE(setDiscipline(f.pty.slaveFd(), kTerminalDiscipline));
    GetParam().run(f);
}

void readsFail(LineFault &f)
{
    int slave = f.pty.slaveFd();
    // A byte from the far side ends the read under way (the Windows build
    // keeps one under way while the line is quiet), and reads fail from the
    // moment it is there, so that the read that takes it fails, or the next
    // one; a read often takes it first, hence the tries.  A try ends as soon
    // as a read failed or the client got the byte (a read was first: the
    // byte is taken off the client's stream here, so that only the bytes
    // sent later remain to be checked).  The discipline comes back as soon
    // as one read has failed: a line whose reads keep failing is rightly
    // given up.
    auto readFailedOrByteRelayed = [&f](double seconds) {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (countOf(f.s.err(), "ReadFile error") > 0) return;
            pollfd p{f.client.fd(), POLLIN, 0};
            if (poll(&p, 1, 5) == 1) {
                char c;
                if (recv(f.client.fd(), &c, 1, 0) == 1) return;
            }
        }
    };
    auto giveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int tries = 0; tries < 1000 && countOf(f.s.err(), "ReadFile error") == 0 &&
                        std::chrono::steady_clock::now() < giveUpAt;
         tries++) {
        ASSERT_TRUE(f.pty.master().send("x"));
        inputWaits(slave);
        ASSERT_TRUE(setDiscipline(slave, kNullDiscipline));
        readFailedOrByteRelayed(0.2);
        ASSERT_TRUE(setDiscipline(slave, kTerminalDiscipline));
    }
    ASSERT_GT(countOf(f.s.err(), "ReadFile error"), 0u) << "no read failed";

    // The line is quiet now.  A port counted as failing on every turn after
    // that would be given up within moments.
    f.s.waitLogs([](const std::string &, const std::string &e) {
        return countOf(e, "ReadFile error") >= 101;
    }, 1.0);
    EXPECT_LT(countOf(f.s.err(), "ReadFile error"), 101u) << f.s.err();
    ASSERT_TRUE(f.pty.master().send("after"));
    // Of the bytes sent to end reads, those a read took come first.
    std::string got = f.client.readThrough("after");
    size_t ending = got.size() >= 5 ? got.size() - 5 : 0;
    EXPECT_EQ(got, std::string(ending, 'x') + "after");
    EXPECT_TRUE(relayed(f.client, f.pty.master(), "back"));
}

void writesFail(LineFault &f)
{
    ASSERT_TRUE(setDiscipline(f.pty.slaveFd(), kNullDiscipline));
    ASSERT_TRUE(f.client.send("held back"));
    EXPECT_TRUE(f.s.waitErr("WriteFile error"));
    ASSERT_TRUE(setDiscipline(f.pty.slaveFd(), kTerminalDiscipline));
    // Every byte arrives, once, in order.
    EXPECT_TRUE(f.pty.master().expect("held back"));
    EXPECT_TRUE(relayed(f.pty.master(), f.client, "and on"));
    EXPECT_TRUE(relayed(f.client, f.pty.master(), "and back"));
}

INSTANTIATE_TEST_SUITE_P(
    SerialLine, FailingForAMoment,
    testing::Values(LineFaultCase{"Reads", readsFail}, LineFaultCase{"Writes", writesFail}),
    [](const testing::TestParamInfo<LineFaultCase> &c) { return c.param.name; });

// ---- a connect that is not answered -----------------------------------------------------

// A local TCP port that takes no more connections: a listener with the
// smallest backlog whose queue is filled by connections nobody accepts, so
// that a further connect is neither accepted nor refused.
class SilentHost {
public:
    SilentHost() : listener_(0)
    {
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_port = htons((unsigned short)listener_.port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // Fill the queue until a connect stays unanswered.
        for (int i = 0; i < 16; i++) {
            int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            connect(c, (struct sockaddr *)&a, sizeof a);
            fillers_.push_back(c);
            struct pollfd p = {c, POLLOUT, 0};
            if (poll(&p, 1, 300) == 0) return;
        }
        ADD_FAILURE() << "the silent host's queue never filled";
    }
    ~SilentHost()
    {
        for (int c : fillers_) close(c);
    }
    int port() const { return listener_.port(); }
    // Takes the queued connections, so that the next attempt gets through,
    // and returns the first one that is not a filler of ours.
    Stream admitLate(double seconds = kWait)
    {
        for (;;) {
            // The fillers are queued: each comes at once.
            Stream c = listener_.accept(seconds);
            if (!c.isOpen() || !isFiller(c.fd())) return c;
        }
    }

private:
    bool isFiller(int accepted)
    {
        struct sockaddr_in peer, mine;
        socklen_t len = sizeof peer;
        if (getpeername(accepted, (struct sockaddr *)&peer, &len) != 0) return false;
        for (int c : fillers_) {
            len = sizeof mine;
            if (getsockname(c, (struct sockaddr *)&mine, &len) == 0 &&
                mine.sin_port == peer.sin_port)
                return true;
        }
        return false;
    }

    Listener listener_;
    std::vector<int> fillers_;
};

TEST(UnansweredConnect, OtherClientsAreServedAndItFailsAfterTenSeconds)
{
    Pty pty;
    Server s;
    s.addPort(5, pty);
    ASSERT_TRUE(s.start());
    SilentHost silent;
    Stream serial = s.login();
    ASSERT_TRUE(bridge(serial, "p COM5 115200"));

    Stream waiting = s.login();
    ASSERT_TRUE(waiting.send("c 127.0.0.1 " + std::to_string(silent.port()) + "\r\nv\r\n"));
    ASSERT_TRUE(s.waitOut("port " + std::to_string(silent.port()) + " host 127.0.0.1\n"));

    // Meanwhile the server goes on: a new client is served, and a bridge
    // carries bytes both ways.
    Stream other = s.login();
    EXPECT_TRUE(other.ask("v\r\n", kVersion));
    EXPECT_TRUE(relayed(serial, pty.master(), "still"));
    EXPECT_TRUE(relayed(pty.master(), serial, "moving"));
    EXPECT_EQ(s.out().find("connect error code"), std::string::npos) << "the connect ended early";

    // Then the connect counts as failed; the line sent behind it is acted on.
    EXPECT_TRUE(waiting.expect("! could not connect\r\n" + std::string(kVersion), 30));
    EXPECT_TRUE(s.waitOut("connect error code -1 " +
                          std::to_string(Target::get().timedOutError()) + " \n"));
}

TEST(LateConnect, WhatTheClientSentMeanwhileIsRelayedInOrder)
{
    Server s;
    ASSERT_TRUE(s.start());
    SilentHost slow;
    Stream client = s.login();
    ASSERT_TRUE(client.send("c 127.0.0.1 " + std::to_string(slow.port()) + "\r\nfirst "));
    ASSERT_TRUE(s.waitOut("port " + std::to_string(slow.port()) + " host 127.0.0.1\n"));
    ASSERT_TRUE(client.send("second"));

    // The host makes room; the server's next attempt gets through.
    Stream host = slow.admitLate(8);
    ASSERT_TRUE(host.isOpen());
    EXPECT_TRUE(client.expect(".\r\n"));
    EXPECT_TRUE(host.expect("first second"));
    EXPECT_TRUE(relayed(host, client, "answer"));
}

// With echo on, what the client types while its connect is under way is
// echoed only after the reply: the reply to a command comes before anything
// read after it.
TEST(LateConnect, WithEchoTheReplyComesFirst)
{
    Server s;
    ASSERT_TRUE(s.start());
    SilentHost slow;
    Stream client = s.login();
    ASSERT_TRUE(client.ask("e\r\n", ":echo on\r\n.\r\n"));
    ASSERT_TRUE(client.send("c 127.0.0.1 " + std::to_string(slow.port()) + "\n"));
    ASSERT_TRUE(s.waitOut("port " + std::to_string(slow.port()) + " host 127.0.0.1\n"));
    ASSERT_TRUE(client.send("typed"));
    // The command's own line was echoed as it came.
    EXPECT_TRUE(client.expect("c 127.0.0.1 " + std::to_string(slow.port()) + "\n"));

    Stream host = slow.admitLate(8);
    ASSERT_TRUE(host.isOpen());
    EXPECT_TRUE(client.expect(".\r\ntyped"));
    EXPECT_TRUE(host.expect("typed"));
}

TEST(NameLookup, AnUnknownNameFailsAndTheClientGoesOn)
{
    Server s;
    ASSERT_TRUE(s.start());
    Stream client = s.login();
    EXPECT_TRUE(client.ask("c no-such-host.invalid 80\r\nv\r\n",
                           "! could not connect\r\n" + std::string(kVersion), 30));
    EXPECT_TRUE(s.waitErr("Unknown host no-such-host.invalid\n"));
}

// ---- a very large "t" ------------------------------------------------------------------

TEST(TestLines, AMillionLinesInOrderWithinAFewMiB)
{
    Server s;
    ServerOptions options;
    options.measuresMemory = true;
    ASSERT_TRUE(s.start(options));
    Stream client = s.login();
    const int count = 1000000;
    long idle = s.memoryKb();
    ASSERT_GT(idle, 0);
    ASSERT_TRUE(client.send("t " + std::to_string(count) + "\r\nv\r\n"));

    long most = idle;
    int next = count;
    std::string pending;
    bool inOrder = true;
    for (int quiet = 0; next > 0 && inOrder && quiet < 100;) {
        std::string chunk = client.read(1 << 16, 0.2);
        quiet = chunk.empty() ? quiet + 1 : 0;
        pending += chunk;
        size_t at = 0;
        for (size_t end; next > 0 && (end = pending.find("\r\n", at)) != std::string::npos;
             at = end + 2) {
            if (pending.compare(at, end + 2 - at, testLine(next)) != 0) {
                inOrder = false;
                ADD_FAILURE() << "expected line " << next << ", got \""
                              << escapeBytes(pending.substr(at, end + 2 - at)) << "\"";
                break;
            }
            next--;
        }
        pending.erase(0, at);
        most = std::max(most, s.memoryKb());
    }
    EXPECT_EQ(next, 0) << "lines missing";
    // The reply ends, and only then is the next line acted on.
    const std::string end = ".\r\n" + std::string(kVersion);
    if (pending.size() < end.size()) pending += client.read(end.size() - pending.size());
    EXPECT_EQ(escapeBytes(pending), escapeBytes(end));
    // A few MiB: what the queue bound holds, and an allocator that keeps some
    // of what was freed (AddressSanitizer's keeps more).
    EXPECT_LT(most - idle, 6L << 10) << "KiB idle " << idle << ", at most " << most;
}

// ---- a bridge that ends --------------------------------------------------------------

// A bridge that ends gives the port back as it found it: the next program
// to open the port does not inherit velkor's speed and transparent line.
TEST(BridgeEnds, ThePortHasItsSettingsBack)
{
    Pty pty;
    Server s;
    s.addPort(5, pty);
    struct termios before;
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &before), 0);
    ASSERT_TRUE(s.start());
    {
        Stream client = s.login();
        ASSERT_TRUE(bridge(client, "p COM5 230400"));
        EXPECT_TRUE(relayed(client, pty.master(), "x"));
        struct termios during;
        ASSERT_EQ(tcgetattr(pty.slaveFd(), &during), 0);
        EXPECT_EQ(cfgetospeed(&during), (speed_t)B230400);
    }
    ASSERT_TRUE(s.waitOut("disconnected\n"));
    struct termios after;
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &after), 0);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    if (Target::get().restoresTtyFlags()) {
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_oflag, before.c_oflag);
    }
}


// ---- a bridge that ends while the port still holds output ----------------------------------

// Writes into the line toward its far side until it takes no more: large
// writes, then single bytes, so that not one more byte fits, and again
// whenever room comes back (a pty moves what it took on toward its master
// in the background), until none has come for a while.  Returns what was
// written.
std::string fillTowardFarSide(int slave)
{
    const std::string data = pattern(1u << 20, 3);
    size_t done = 0;
    int flags = fcntl(slave, F_GETFL);
    fcntl(slave, F_SETFL, flags | O_NONBLOCK);
    struct pollfd room = {slave, POLLOUT, 0};
    do {
        for (size_t chunk : {size_t(4096), size_t(1)}) {
            ssize_t n;
            while (done + chunk <= data.size() &&
                   (n = write(slave, data.data() + done, chunk)) > 0)
                done += (size_t)n;
        }
    } while (poll(&room, 1, 200) > 0 && done < data.size());
    fcntl(slave, F_SETFL, flags);
    return data.substr(0, done);
}

struct HeldOutputCase {
    const char *name;
    bool farSideReads;  // the far side reads while the close waits
};

void PrintTo(const HeldOutputCase &c, std::ostream *os) { *os << c.name; }

class BridgeEndsWithOutputHeld : public testing::TestWithParam<HeldOutputCase> {};

// Bytes the device has taken go out before the port gets its settings
// back: at the speed and framing they were written with.  A device that
// does not send them in the time they take at that speed is flushed (and
// that is logged), and the server goes on.
TEST_P(BridgeEndsWithOutputHeld, ItGoesOutFirstOrIsFlushed)
{
    if (!Target::get().isWine())
        GTEST_SKIP() << "a Linux pseudo-terminal hands what it takes to its master at once "
                        "(TIOCOUTQ reads 0, tcdrain returns): it holds no output at a close";
    Pty pty;
    Server s;
    s.addPort(5, pty);
    ASSERT_TRUE(s.start());
    struct termios t;
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &t), 0);
    const speed_t before = cfgetospeed(&t);
    ASSERT_NE(before, (speed_t)B9600);
    auto restored = [&] {
        struct termios now;
        return tcgetattr(pty.slaveFd(), &now) == 0 && cfgetospeed(&now) == before;
    };

    Stream client = s.login();
    Stream other = s.login();
    ASSERT_TRUE(bridge(client, "p COM5 9600"));
    // The far side reads nothing and the line is full: the last bytes the
    // client sends are held by the device, in a write under way, when the
    // client leaves.
    const std::string earlier = fillTowardFarSide(pty.slaveFd());
    const std::string last = pattern(1000, 7);
    ASSERT_TRUE(client.send(last));
    client.close();
    ASSERT_TRUE(s.waitOut("client disconnected "));

    if (GetParam().farSideReads) {
        // For a moment the line holds them; meanwhile the port keeps the
        // settings they were written with.  (The close waits about 1.35 s
        // for 1000 bytes at 9600 baud.)
        EXPECT_FALSE(waitUntil(restored, 0.3)) << "settings put back before the output went out";
        EXPECT_TRUE(pty.master().expect(earlier + last));
        EXPECT_TRUE(waitUntil(restored));
        EXPECT_EQ(s.err().find("not drained"), std::string::npos) << s.err();
        return;
    }
    // The server first gives the port 10 s to take what it still queues
    // for it (the client's last bytes); then the device's own output is
    // waited for, and flushed.  Meanwhile another client is answered at
    // once, all the time: the wait for the output never holds the loop.
    const auto askedUntil = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (s.err().find("not drained") == std::string::npos &&
           std::chrono::steady_clock::now() < askedUntil) {
        ASSERT_TRUE(other.ask("v\r\n", kVersion, 0.5)) << "the loop was held";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(s.waitErr("COM5: output not drained within ", 10 + kWait));
    EXPECT_TRUE(waitUntil(restored));
    s.passTurn();
    // What the line held was flushed: it never all arrives, and what does
    // arrive comes in order.
    const std::string all = earlier + last;
    std::string got = pty.master().read(all.size(), 1.0);
    EXPECT_LT(got.size(), all.size());
    EXPECT_EQ(firstDifference(got, all), got.size());
    // The port opens and bridges again.
    Stream again = s.login();
    ASSERT_TRUE(bridge(again, "p COM5 9600"));
    EXPECT_TRUE(relayed(again, pty.master(), "again"));
    EXPECT_TRUE(relayed(pty.master(), again, "back"));
}

INSTANTIATE_TEST_SUITE_P(
    Closing, BridgeEndsWithOutputHeld,
    testing::Values(HeldOutputCase{"FarSideReads", true}, HeldOutputCase{"FarSideStalled", false}),
    [](const testing::TestParamInfo<HeldOutputCase> &c) { return c.param.name; });

}  // namespace

namespace {

// ---- connections that vanish -------------------------------------------------------------

// What `ss` shows of the established TCP connections with this local or
// remote port, one line each, with their timers.
std::string socketsOnPort(const char *which, int port)
{
    std::string command = std::string("ss -tnoH state established '( ") + which + " = :" +
                          std::to_string(port) + " )' 2>&1";
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

// A peer that vanishes without closing (a pulled cable, a laptop gone to
// sleep) is found by TCP keepalive, on the clients' connections and on the
// server's own outgoing ones alike.
TEST(Keepalive, ClientAndOutgoingConnectionsCarryAKeepaliveTimer)
{
    Listener hostSide;
    Server s;
    ASSERT_TRUE(s.start());
    Stream client = s.login();
    Stream host = bridgeToHost(client, hostSide);
    ASSERT_TRUE(host.isOpen());

    // A connection shows its keepalive timer once nothing else is pending
    // on it (bytes in flight show the retransmission timer instead).
    std::string accepted, outgoing;
    EXPECT_TRUE(waitUntil([&] {
        accepted = socketsOnPort("sport", s.port());
        return accepted.find("timer:(keepalive") != std::string::npos;
    })) << accepted;
    EXPECT_TRUE(waitUntil([&] {
        outgoing = socketsOnPort("dport", hostSide.port());
        return outgoing.find("timer:(keepalive") != std::string::npos;
    })) << outgoing;
}

}  // namespace
