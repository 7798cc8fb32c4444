// One serial port, several clients: a writer ("p") and watchers ("w") on a
// pseudo-terminal, the replay of what the port sent last, a watcher that
// stops reading, and ports held open and logged from start-up (-L).
#include "harness.h"

#include "held_logs.h"
#include "target.h"

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

using namespace e2e;

namespace {

// Sends a watch command ended by LF alone and expects its ".", then
// `replayed`.
testing::AssertionResult watch(Stream &client, const std::string &command,
                               const std::string &replayed = "")
{
    if (!client.send(command + "\n")) return testing::AssertionFailure() << "send failed";
    return client.expect(".\r\n" + replayed);
}

// Waits until the pseudo-terminal's line is at `speed` with the frame bits
// `frame`.
testing::AssertionResult lineBecomes(const Pty &pty, speed_t speed, tcflag_t frame)
{
    struct termios t;
    tcflag_t got = 0;
    bool there = waitUntil([&] {
        if (tcgetattr(pty.slaveFd(), &t) != 0) return false;
        got = t.c_cflag & (CSIZE | PARENB | CSTOPB);
        return cfgetospeed(&t) == speed && got == frame;
    });
    if (there) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "speed " << cfgetospeed(&t) << ", frame " << got;
}

class SharedPort : public ServerWithPort {};

TEST_F(SharedPort, WriterReachesThePortAndOutputReachesEveryone)
{
    Stream writer = s.login();
    ASSERT_TRUE(bridge(writer, "p COM5 115200"));
    Stream watchers[2] = {s.login(), s.login()};
    for (Stream &w : watchers) ASSERT_TRUE(watch(w, "w COM5"));

    const std::string fromBoard = "U-Boot 2024.01\r\n=> " + allByteValues();
    ASSERT_TRUE(pty.master().send(fromBoard));
    EXPECT_TRUE(writer.expect(fromBoard));
    for (Stream &w : watchers) EXPECT_TRUE(w.expect(fromBoard));

    EXPECT_TRUE(relayed(writer, pty.master(), "printenv\r"));
    // What a watcher types goes nowhere: the port's next bytes are the
    // writer's, and the watchers still see the port.
    ASSERT_TRUE(watchers[0].send("reset\r"));
    ASSERT_TRUE(watchers[1].send(allByteValues()));
    s.passTurn();
    EXPECT_TRUE(relayed(writer, pty.master(), "boot\r"));
    ASSERT_TRUE(pty.master().send("Starting kernel"));
    for (Stream &w : watchers) EXPECT_TRUE(w.expect("Starting kernel"));
    EXPECT_TRUE(writer.expect("Starting kernel"));
    // Sharing is nothing to report beyond the clients' comings and goings.
    std::istringstream err(s.err());
    for (std::string line; std::getline(err, line);)
        EXPECT_TRUE(std::regex_match(line, std::regex("client \\S+ (in|left) slot \\d+"))) << line;
}

TEST_F(SharedPort, WatchersFirstThenAWriterThenAnother)
{
    Stream watcher = s.login();
    ASSERT_TRUE(watch(watcher, "w COM5"));
    ASSERT_TRUE(pty.master().send("no writer yet\r\n"));
    EXPECT_TRUE(watcher.expect("no writer yet\r\n"));

    struct termios t;
    {
        Stream first = s.login();
        ASSERT_TRUE(bridge(first, "p COM5 9600"));
        ASSERT_EQ(tcgetattr(pty.slaveFd(), &t), 0);
        EXPECT_EQ(cfgetospeed(&t), (speed_t)B9600);
        EXPECT_TRUE(relayed(first, pty.master(), "from the first"));
        EXPECT_TRUE(relayed(pty.master(), first, "to the first"));
        EXPECT_TRUE(watcher.expect("to the first"));
    }
    ASSERT_TRUE(s.waitOut("disconnected\n"));
    // The watcher still holds the port: it is back at the line it was
    // watched at, it keeps seeing it, and the next writer takes it over at
    // its own speed.
    EXPECT_TRUE(lineBecomes(pty, B115200, CS8));
    ASSERT_TRUE(pty.master().send("between writers\r\n"));
    EXPECT_TRUE(watcher.expect("between writers\r\n"));
    Stream second = s.login();
    ASSERT_TRUE(bridge(second, "p COM5 19200"));
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B19200);
    EXPECT_TRUE(relayed(second, pty.master(), "from the second"));
    EXPECT_TRUE(relayed(pty.master(), second, "to the second"));
    EXPECT_TRUE(watcher.expect("to the second"));

    // Once the last user leaves, the port is let go.
    second.close();
    watcher.close();
    if (Target::get().hasExclusivePorts()) {
        EXPECT_TRUE(waitUntil([&] {
            int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (fd < 0) return false;
            bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
            close(fd);
            return free;
        })) << "COM5 is still held after its last user left";
    }
}

struct ReplayCase {
    const char *name;
    size_t sent;       // bytes the port sent before the watcher came
    long asked;        // the watch command's count (-1: none given)
    size_t replayed;   // the last this-many bytes come first
};

void PrintTo(const ReplayCase &c, std::ostream *os) { *os << c.name; }

class Replay : public SharedPort, public testing::WithParamInterface<ReplayCase> {};

TEST_P(Replay, GivesTheLastBytesThenLiveOutput)
{
    const ReplayCase &c = GetParam();
    const std::string before = pattern(c.sent, 7);
    Stream first = s.login();
    ASSERT_TRUE(watch(first, "w COM5"));
    ASSERT_TRUE(pty.master().send(before));
    ASSERT_TRUE(first.expect(before, 60));

    Stream late = s.login();
    std::string command = "w COM5";
    if (c.asked >= 0) command += " " + std::to_string(c.asked);
    EXPECT_TRUE(watch(late, command, before.substr(before.size() - c.replayed)));
    ASSERT_TRUE(pty.master().send("live"));
    EXPECT_TRUE(late.expect("live"));
}

INSTANTIATE_TEST_SUITE_P(
    Counts, Replay,
    testing::Values(ReplayCase{"NoCount", 1000, -1, 0}, ReplayCase{"Zero", 1000, 0, 0},
                    ReplayCase{"FewerThanSent", 1000, 10, 10},
                    ReplayCase{"MoreThanSent", 1000, 5000, 1000},
                    // Only the last 64 KiB are kept.
                    ReplayCase{"BeyondTheBuffer", 200000, 1000000, 65536}),
    [](const testing::TestParamInfo<ReplayCase> &c) { return c.param.name; });

// A watcher that reads nothing while megabytes flow to the writer: the
// writer, and a watcher that keeps reading, get every byte; the server's
// memory stays small; and the stalled watcher is dropped, having been sent
// an unbroken beginning of the stream.
TEST(StalledWatcher, IsDroppedWhileTheWriterGetsEveryByte)
{
    const size_t total = 8u << 20;
    const std::string data = pattern(total, 3);
    Pty pty;
    Server s;
    s.addPort(5, pty);
    ServerOptions options;
    options.measuresMemory = true;
    ASSERT_TRUE(s.start(options));
    Stream writer = s.login();
    ASSERT_TRUE(bridge(writer, "p COM5 115200"));
    Stream stalled = s.login(16 << 10);
    ASSERT_TRUE(watch(stalled, "w COM5"));
    Stream reading = s.login();
    ASSERT_TRUE(watch(reading, "w COM5"));
    long before = s.memoryKb();
    ASSERT_GT(before, 0);

    std::atomic<bool> flowing{true};
    long most = before;
    std::thread sampler([&] {
        while (flowing) {
            most = std::max(most, s.memoryKb());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::thread board([&] { EXPECT_TRUE(pty.master().send(data)); });
    std::string watched;
    std::thread watcher([&] { watched = reading.read(total, 120); });
    std::string got = writer.read(total, 120);
    board.join();
    watcher.join();
    flowing = false;
    sampler.join();

    ASSERT_EQ(got.size(), total);
    EXPECT_EQ(firstDifference(got, data), total);
    EXPECT_EQ(watched.size(), total);
    EXPECT_EQ(firstDifference(watched, data), total) << "at the watcher that kept reading";
    // With watchers the port is read as the board sends: the writer and each
    // watcher may each hold their 256 KiB bound and one read more; the
    // memory stays within a small multiple of that, and flat.
    EXPECT_LT(most - before, 4L << 10) << "KiB before " << before << ", at most " << most;
    EXPECT_TRUE(s.waitErr("COM5: watcher 127.0.0.1:"));
    EXPECT_TRUE(s.waitErr(" dropped, "));

    std::string seen = stalled.read(total, 30);
    EXPECT_LT(seen.size(), total) << "the watcher was never dropped";
    EXPECT_EQ(firstDifference(seen, data), seen.size());
    EXPECT_TRUE(relayed(writer, pty.master(), "still writing"));
}

// ---- ports held and logged (-L) -----------------------------------------------------

const char kStamp[] = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z ";

// Starts `s` (COM5 already added) holding its ports and logging them into
// `dir`, with further switches, and waits until COM5 is held.
testing::AssertionResult startHolding(Server &s, const TempDir &dir,
                                      const std::vector<std::string> &more = {})
{
    ServerOptions options;
    options.switches = {"-L" + serverPath(dir.path())};
    options.switches.insert(options.switches.end(), more.begin(), more.end());
    if (!s.start(options)) return testing::AssertionFailure() << "the server did not start";
    return s.waitOut("COM5: held, logged to ");
}

TEST(HeldPort, LogsEveryLineWithItsTimeAndTheEvents)
{
    TempDir dir;
    Pty pty;
    std::unique_ptr<Server> server(new Server());
    Server &s = *server;
    s.addPort(5, pty);
    ASSERT_TRUE(startHolding(s, dir));
    const std::string log = dir.path() + "/COM5.log";

    // Nobody is attached: the port is read and logged all the same.
    ASSERT_TRUE(pty.master().send("first line\r\nsecond "));
    ASSERT_TRUE(pty.master().send("half\r\nno end yet"));
    EXPECT_TRUE(waitUntil([&] { return slurp(log).find("no end yet") != std::string::npos; }))
        << "standard error: " << s.err();
    {
        Stream writer = s.login();
        ASSERT_TRUE(bridge(writer, "p COM5 115200"));
        EXPECT_TRUE(relayed(pty.master(), writer, "more\r\n"));
    }
    ASSERT_TRUE(s.waitOut("disconnected\n"));
    // Stopped as a user stops it; it must end with status 0.
    server.reset();

    const std::string st = kStamp;
    std::regex expected(st + "-- opened at 115200 baud\n" +       //
                        st + "first line\r\n" +                   //
                        st + "second half\r\n" +                  //
                        st + "no end yet\n" +                     //
                        st + "-- writer attached 127\\.0\\.0\\.1:\\d+\n" +  //
                        st + "-- speed 115200 baud, set by 127\\.0\\.0\\.1:\\d+\n" +  //
                        st + "more\r\n" +                         //
                        st + "-- writer left 127\\.0\\.0\\.1:\\d+\n" +      //
                        st + "-- closed\n");
    std::string text = slurp(log);
    EXPECT_TRUE(std::regex_match(text, expected)) << escapeBytes(text, 2000);
}

TEST(HeldPort, RotatesAtItsSizeKeepingTheNewestFiles)
{
    TempDir dir;
    Pty pty;
    Server s;
    s.addPort(5, pty);
    ASSERT_TRUE(startHolding(s, dir, {"-S1024", "-K2"}));

    // About seven files' worth, stamps included.
    const int lines = 100;
    std::string sent;
    for (int i = 1; i <= lines; i++)
        sent += "console line number " + std::to_string(i) + " of a chatty board\n";
    ASSERT_TRUE(pty.master().send(sent));
    const std::string log = dir.path() + "/COM5.log";
    const std::string last = "console line number " + std::to_string(lines) + " of";
    EXPECT_TRUE(waitUntil([&] { return slurp(log).find(last) != std::string::npos; }));

    // The newest lines, oldest file first, each file whole lines and no
    // larger than its size; older files are gone.
    std::string kept;
    for (const char *suffix : {".2", ".1", ""}) {
        std::string text = slurp(log + suffix);
        SCOPED_TRACE(std::string("COM5.log") + suffix);
        EXPECT_GT(text.size(), 0u);
        EXPECT_LE(text.size(), 1024u);
        EXPECT_EQ(text.back(), '\n');
        kept += text;
    }
    EXPECT_EQ(access((log + ".3").c_str(), F_OK), -1);
    std::string unstamped;
    std::istringstream keptLines(kept);
    const std::regex stamped(std::string("(") + kStamp + ")(.*\n)");
    for (std::string line; std::getline(keptLines, line);) {
        std::smatch m;
        line += "\n";
        EXPECT_TRUE(std::regex_match(line, m, stamped)) << escapeBytes(line);
        unstamped += m[2];
    }
    ASSERT_GT(unstamped.size(), 1024u);
    ASSERT_LE(unstamped.size(), sent.size());
    EXPECT_EQ(unstamped, sent.substr(sent.size() - unstamped.size()));
}

// A held, watched port that has gone quiet, with its last line written
// out: nothing is due, and the server waits instead of turning its loop.
TEST(HeldPort, QuietWithAWatcherLeavesTheServerWaiting)
{
    TempDir dir;
    Pty pty;
    Server s;
    s.addPort(5, pty);
    ASSERT_TRUE(startHolding(s, dir));
    Stream watcher = s.login();
    ASSERT_TRUE(watch(watcher, "w COM5"));
    ASSERT_TRUE(pty.master().send("one line\r\n"));
    EXPECT_TRUE(watcher.expect("one line\r\n"));
    const std::string log = dir.path() + "/COM5.log";
    EXPECT_TRUE(waitUntil([&] { return slurp(log).find("one line") != std::string::npos; }));

    double cpu = s.cpuSeconds();
    // A measuring window, not a wait for something to happen.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(s.cpuSeconds() - cpu, 0.3);
    EXPECT_TRUE(relayed(pty.master(), watcher, "still watching"));
}

TEST(HeldPort, WhoseLogCannotBeMadeEndsTheServer)
{
    Pty pty;
    Server s;
    s.addPort(5, pty);
    const std::string dir = serverPath("/nonexistent/velkor-logs");
    ASSERT_TRUE(s.run({"-p" + std::to_string(freePort()), "-b", "-L" + dir}));
    EXPECT_TRUE(s.exitsWith(1));
    EXPECT_TRUE(s.waitErr("COM5: cannot open the log file " + dir + "/COM5.log\n"));
}

struct SpeedCase {
    const char *name;
    std::vector<std::string> switches;
    speed_t speed;
    const char *logged;  // the log's first event
};

void PrintTo(const SpeedCase &c, std::ostream *os) { *os << c.name; }

class HeldPortSpeed : public testing::TestWithParam<SpeedCase> {};

TEST_P(HeldPortSpeed, IsTheOneSetForItOrForAllWithAn8N1Frame)
{
    const SpeedCase &c = GetParam();
    TempDir dir;
    Pty pty;
    // The device was left at 7 data bits, even parity, 2 stop bits.
    struct termios t;
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &t), 0);
    t.c_cflag = (t.c_cflag & ~(tcflag_t)CSIZE) | CS7 | PARENB | CSTOPB;
    ASSERT_EQ(tcsetattr(pty.slaveFd(), TCSANOW, &t), 0);
    std::unique_ptr<Server> server(new Server());
    server->addPort(5, pty);
    ASSERT_TRUE(startHolding(*server, dir, c.switches));
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), (tcflag_t)CS8);
    server.reset();
    std::string text = slurp(dir.path() + "/COM5.log");
    EXPECT_TRUE(std::regex_search(text, std::regex(std::string("^") + kStamp + c.logged + "\n")))
        << escapeBytes(text);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, HeldPortSpeed,
    testing::Values(SpeedCase{"Default", {}, B115200, "-- opened at 115200 baud"},
                    SpeedCase{"ForAll", {"-B57600"}, B57600, "-- opened at 57600 baud"},
                    SpeedCase{"ForThisPort", {"-B57600", "-BCOM5:9600"}, B9600,
                              "-- opened at 9600 baud"},
                    SpeedCase{"ForAnotherPort", {"-BCOM6:9600"}, B115200,
                              "-- opened at 115200 baud"}),
    [](const testing::TestParamInfo<SpeedCase> &c) { return c.param.name; });

// ---- clients on a port listener (-R) ------------------------------------------------

// What a port listener's client is sent first: binary both ways, no
// go-ahead both ways.
const std::string kTelnetFirstWords("\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03\xff\xfd\x03", 12);

// A COM-PORT-OPTION command from the client.
std::string comPortCommand(char command, const std::string &value)
{
    return std::string("\xff\xfa\x2c", 3) + command + value + std::string("\xff\xf0", 2);
}

std::string portListener(int tcpPort) { return "-R" + std::to_string(tcpPort) + "=COM5"; }

// A client of a held port's listener sets its own line and talks to the
// board; the log shows it come and go with what the board said to it, and
// once it leaves the port is back at the line it is held at.
TEST(HeldPort, IsReachedThroughItsPortListenerAndLogsThatClient)
{
    TempDir dir;
    Pty pty;
    std::unique_ptr<Server> server(new Server());
    Server &s = *server;
    s.addPort(5, pty);
    int rfc = freePort();
    ASSERT_TRUE(startHolding(s, dir, {portListener(rfc), "-B57600"}));
    ASSERT_TRUE(s.waitOut(" for COM5\n"));
    ASSERT_TRUE(lineBecomes(pty, B57600, CS8));
    {
        Stream client = connectTo(rfc);
        ASSERT_TRUE(client.expect(kTelnetFirstWords)) << s.out() << s.err();
        // WILL COM-PORT-OPTION, then 19200 baud and 2 stop bits (a
        // pseudo-terminal keeps no data size or parity: the stop bits show
        // the frame).
        ASSERT_TRUE(client.send(std::string("\xff\xfb\x2c", 3) +
                                comPortCommand(1, std::string("\0\0\x4b\0", 4)) +
                                comPortCommand(4, "\x02")));
        EXPECT_TRUE(lineBecomes(pty, B19200, CS8 | CSTOPB));
        EXPECT_TRUE(relayed(client, pty.master(), "print version"));
        ASSERT_TRUE(pty.master().send("v1.2 ready\r\n"));
        EXPECT_NE(client.readThrough("v1.2 ready\r\n"), "");
    }
    EXPECT_TRUE(lineBecomes(pty, B57600, CS8));
    ASSERT_TRUE(pty.master().send("after the client\r\n"));
    const std::string log = dir.path() + "/COM5.log";
    EXPECT_TRUE(
        waitUntil([&] { return slurp(log).find("after the client") != std::string::npos; }));
    server.reset();

    const std::string st = kStamp;
    std::regex expected(st + "-- opened at 57600 baud\n" +                       //
                        st + "-- writer attached 127\\.0\\.0\\.1:\\d+\n" +  //
                        st + "-- speed 9600 baud, set by 127\\.0\\.0\\.1:\\d+\n" +  //
                        st + "-- speed 19200 baud, set by 127\\.0\\.0\\.1:\\d+\n" +  //
                        st + "v1\\.2 ready\r\n" +                              //
                        st + "-- writer left 127\\.0\\.0\\.1:\\d+\n" +      //
                        st + "after the client\r\n" +                          //
                        st + "-- closed\n");
    std::string text = slurp(log);
    EXPECT_TRUE(std::regex_match(text, expected)) << escapeBytes(text, 2000);
}

// A writer leaves a held port while most of its bytes are still on their
// way: every byte reaches the port, at the writer's line, and only then is
// the port put back at the line it is held at.
TEST(HeldPort, GoesBackToItsLineOnceTheLeavingWritersBytesAreOut)
{
    TempDir dir;
    Pty pty;
    Server s;
    s.addPort(5, pty);
    ASSERT_TRUE(startHolding(s, dir, {"-B57600"}));
    const std::string data = pattern(256u << 10);
    {
        Stream writer = s.login();
        ASSERT_TRUE(bridge(writer, "p COM5 9600"));
        ASSERT_TRUE(lineBecomes(pty, B9600, CS8));
        ASSERT_TRUE(writer.send(data));
    }
    // Nothing reads the port yet: the server still holds most of the bytes.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    struct termios t;
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B9600) << "the line changed under the writer's bytes";

    std::string got = pty.master().read(data.size(), 60);
    EXPECT_EQ(got.size(), data.size());
    EXPECT_EQ(firstDifference(got, data), data.size());
    EXPECT_TRUE(lineBecomes(pty, B57600, CS8));
}

// A port listener's client is the port's writer: a watcher sees every byte
// the port sends, and neither a "p" nor another client of the listener can
// write as well; the watcher keeps the port once the writer has gone.
TEST(PortListenerClient, WritesThePortWhileOthersWatch)
{
    Pty pty;
    Server s;
    s.addPort(5, pty);
    int rfc = freePort();
    ServerOptions options;
    options.switches = {portListener(rfc)};
    ASSERT_TRUE(s.start(options));
    ASSERT_TRUE(s.waitOut(" for COM5\n"));

    Stream client = connectTo(rfc);
    ASSERT_TRUE(client.expect(kTelnetFirstWords)) << s.out() << s.err();
    Stream watcher = s.login();
    ASSERT_TRUE(watch(watcher, "w COM5"));
    const std::string fromBoard = "=> " + allByteValues();
    ASSERT_TRUE(pty.master().send(fromBoard));
    EXPECT_TRUE(watcher.expect(fromBoard));
    std::string escaped;  // as telnet sends it: 0xFF doubled
    for (char c : fromBoard) escaped += c == '\xff' ? std::string(2, c) : std::string(1, c);
    EXPECT_TRUE(client.expect(escaped));

    Stream other = s.login();
    EXPECT_TRUE(other.ask("p COM5 9600\r\n", "! could not open port\r\n"));
    Stream second = connectTo(rfc);
    EXPECT_TRUE(second.expectClosed());
    EXPECT_TRUE(s.waitErr("COM5: port not opened, telnet client "));
    // The writer's data still reaches the port, and only the writer's.
    ASSERT_TRUE(watcher.send("reset\r"));
    s.passTurn();
    EXPECT_TRUE(relayed(client, pty.master(), "boot"));

    client.close();
    ASSERT_TRUE(s.waitOut("disconnected\n"));
    EXPECT_TRUE(relayed(pty.master(), watcher, "still watched"));
    EXPECT_EQ(countOf(s.err(), "port not opened"), 1u) << s.err();
}

// A port nobody holds for its log, whose device goes away: its watchers
// are asked for the identifier again, as a bridge's client is.
TEST(WatchedPort, WhoseDeviceGoesAwayReturnsItsWatchersToTheIdentifier)
{
    if (Target::get().isWine())
        GTEST_SKIP() << "under Wine a terminal whose other side closed reads as quiet";
    std::unique_ptr<Pty> pty(new Pty());
    Server s;
    s.addPort(5, *pty);
    ASSERT_TRUE(s.start());
    Stream watcher = s.login();
    ASSERT_TRUE(watch(watcher, "w COM5"));
    ASSERT_TRUE(pty->master().send("last words"));
    EXPECT_TRUE(watcher.expect("last words"));
    pty.reset();
    EXPECT_TRUE(s.waitErr("COM5 gone, watcher " + peerText(watcher) +
                          " asked for the identifier again\n"));
    EXPECT_TRUE(waitUntil([&] {
        watcher.send("v\r\n");
        return watcher.read(20, 0.2) == "! wrong identifier\r\n";
    }));
    EXPECT_TRUE(watcher.ask("wobex\r\n", ".\r\n"));
    EXPECT_TRUE(watcher.ask("v\r\n", kVersion));
}

// A device that goes away (its terminal closed, as an adapter pulled out)
// and comes back under the same name: the port is opened again without a
// client asking, the log says both, and a watcher sees the new device.
TEST(HeldPort, IsOpenedAgainWhenItsDeviceComesBack)
{
    if (Target::get().isWine())
        GTEST_SKIP() << "under Wine a terminal whose other side closed reads as quiet";
    TempDir dir;
    std::unique_ptr<Pty> pty(new Pty());
    Server s;
    s.addPort(5, *pty);
    ASSERT_TRUE(startHolding(s, dir));
    Stream watcher = s.login();
    ASSERT_TRUE(watch(watcher, "w COM5"));

    // The name leads nowhere while the device is away: the terminal's
    // number, once free, may be given to another test's terminal.
    s.addPort(5, dir.path() + "/unplugged");
    pty.reset();
    ASSERT_TRUE(s.waitErr("COM5: gone, looked for again every "));
    // Looking for it is paced, not a spin.
    double cpu = s.cpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(s.cpuSeconds() - cpu, 0.3);

    pty.reset(new Pty());
    s.addPort(5, *pty);
    ASSERT_TRUE(s.waitErr("COM5: back\n"));
    ASSERT_TRUE(pty->master().send("after the plug\r\n"));
    EXPECT_TRUE(watcher.expect("after the plug\r\n"));
    const std::string log = dir.path() + "/COM5.log";
    EXPECT_TRUE(waitUntil([&] { return slurp(log).find("after the plug") != std::string::npos; }));
    std::string text = slurp(log);
    EXPECT_TRUE(std::regex_search(text, std::regex(std::string(kStamp) + "-- gone\n")))
        << escapeBytes(text, 2000);
    EXPECT_TRUE(
        std::regex_search(text, std::regex(std::string(kStamp) + "-- back, opened at 115200 baud\n")))
        << escapeBytes(text, 2000);
}

}  // namespace
