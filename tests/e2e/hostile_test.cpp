// Clients that do not play fair, one kind of listener at a time: the main
// port, the browser console (-W) and a port listener (-R).  A client that
// sends and never reads, one that pings or queries without end, and one
// that sends everything in one write must neither crash the server nor
// grow its memory past a fixed bound, and another client is served all the
// while.  Then a shared port whose writer stops reading: the watchers and
// the log still get every byte the board sends.
#include "harness.h"

#include "target.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

using namespace e2e;

namespace {

// How much a server may grow while one client misbehaves: well above what
// its bounded queues hold, far below what an unbounded one reaches in the
// seconds a flood lasts.
const long kGrowthKb = 32L << 10;

// ---- WebSocket framing, as a client writes and reads it (RFC 6455) ----------------------

const char kWsRequest[] =
    "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

enum { WsText = 1, WsBinary = 2, WsPing = 9 };

// One frame as a client sends it: final, masked.
std::string wsFrame(int opcode, const std::string &payload)
{
    std::string f(1, (char)(0x80 | opcode));
    const size_t n = payload.size();
    if (n < 126) {
        f += (char)(0x80 | n);
    } else if (n < 65536) {
        f += (char)(0x80 | 126);
        f += (char)(n >> 8);
        f += (char)n;
    } else {
        f += (char)(0x80 | 127);
        for (int shift = 56; shift >= 0; shift -= 8) f += (char)(n >> shift);
    }
    const unsigned char mask[4] = {0x37, 0xfa, 0x21, 0x3d};
    f.append((const char *)mask, 4);
    for (size_t i = 0; i < n; i++) f += (char)(payload[i] ^ mask[i % 4]);
    return f;
}

// The client's byte stream cut into data frames of 1 to 13 bytes by turns,
// so that frame ends fall anywhere in its lines.
std::string wsFramed(const std::string &stream)
{
    std::string frames;
    size_t at = 0;
    for (size_t size = 1; at < stream.size(); size = size % 13 + 1) {
        frames += wsFrame(WsBinary, stream.substr(at, size));
        at += size;
    }
    return frames;
}

// Reads the server's handshake answer, then the payload of its frames
// until `want` bytes came (fewer at the deadline or a close).
std::string wsReadPayload(Stream &s, size_t want, double seconds)
{
    std::string head = s.readThrough("\r\n\r\n", seconds);
    if (head.compare(0, 12, "HTTP/1.1 101") != 0) {
        ADD_FAILURE() << "no handshake answer: " << escapeBytes(head);
        return "";
    }
    std::string payload;
    while (payload.size() < want) {
        std::string h = s.read(2, seconds);
        if (h.size() < 2) break;
        size_t n = (unsigned char)h[1] & 0x7f;
        int extra = n == 126 ? 2 : n == 127 ? 8 : 0;
        if (extra) {
            std::string len = s.read((size_t)extra, seconds);
            if (len.size() < (size_t)extra) break;
            n = 0;
            for (char c : len) n = n << 8 | (unsigned char)c;
        }
        std::string body = s.read(n, seconds);
        if (((unsigned char)h[0] & 0x0f) == WsBinary) payload += body;
        if (body.size() < n) break;
    }
    return payload;
}

// ---- telnet with the COM-PORT option (RFC 2217) ---------------------------------------

const std::string kWillComPort("\xff\xfb\x2c", 3);
const std::string kSignatureQuery("\xff\xfa\x2c\x00\xff\xf0", 6);
// The server's own name, as it answers a signature query.
const std::string kSignatureAnswer("\xff\xfa\x2c\x64velkor\xff\xf0", 12);
// "Stop binary" and "binary again", each answered since each changes it.
const std::string kBinaryOffOn("\xff\xfe\x00\xff\xfd\x00", 6);

// ---- floods ---------------------------------------------------------------------------

// Sends `chunk` again and again on `s` without ever reading, for `seconds`
// or until `cap` bytes went, whichever comes first, sampling the server's
// memory as it goes.  The test's send buffer is kept small, so that what
// the server does not read stays with the test.
struct Flood {
    size_t sent = 0;
    long mostKb = -1;
};

Flood flood(Server &s, Stream &stream, const std::string &chunk, double seconds, size_t cap)
{
    Flood f;
    int fd = stream.fd();
    int small = 64 << 10;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    auto nextSample = std::chrono::steady_clock::now();
    size_t at = 0;
    while (f.sent < cap && std::chrono::steady_clock::now() < end) {
        if (std::chrono::steady_clock::now() >= nextSample) {
            f.mostKb = std::max(f.mostKb, s.memoryKb());
            nextSample += std::chrono::milliseconds(50);
        }
        ssize_t n = write(fd, chunk.data() + at, chunk.size() - at);
        if (n > 0) {
            f.sent += (size_t)n;
            at = (at + (size_t)n) % chunk.size();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
        struct pollfd p = {fd, POLLOUT, 0};
        poll(&p, 1, 50);
    }
    f.mostKb = std::max(f.mostKb, s.memoryKb());
    return f;
}

// Reads and drops everything `s` receives until `stop` is set.
class Sink {
public:
    explicit Sink(Stream &s) : thread_([this, &s] {
        while (!stop_) s.read(1u << 20, 0.1);
    })
    {
    }
    ~Sink()
    {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

enum ListenerKind { MainPort, WebPort, PortListener };

struct HostileCase {
    const char *name;
    ListenerKind listener;
    // What the client says once, before the flood, and what it floods with.
    std::string setup;
    std::string chunk;
    bool echo;      // main port: "e" first
    bool bridged;   // main port: bridged to a host that reads everything
};

void PrintTo(const HostileCase &c, std::ostream *os) { *os << c.name; }

std::string repeated(const std::string &piece, size_t atLeast)
{
    std::string s;
    while (s.size() < atLeast) s += piece;
    return s;
}

class HostileClient : public testing::TestWithParam<HostileCase> {};

// The client floods its listener and never reads a byte: the server's
// memory stays within a fixed bound, the flood is held back (the server
// stops reading a client whose own output is over its bound), a client on
// the main port is answered all the while, and once the flood stops the
// server is idle.
TEST_P(HostileClient, NeverReadingKeepsTheServerSmallAndServingOthers)
{
    const HostileCase &c = GetParam();
    Pty pty;
    Listener hostSide;
    Server s;
    s.addPort(5, pty);
    const int web = freePort();
    const int rfc = freePort();
    ServerOptions options;
    options.measuresMemory = true;
    options.switches = {"-W" + std::to_string(web), "-R" + std::to_string(rfc) + "=COM5"};
    ASSERT_TRUE(s.start(options));
    ASSERT_TRUE(s.waitOut(" for COM5\n"));

    // A small receive window: the server's output backs up at once.
    const int window = 4 << 10;
    Stream client;
    Stream host;
    std::unique_ptr<Sink> sink;
    switch (c.listener) {
    case MainPort:
        client = s.login(window);
        if (c.echo) {
            ASSERT_TRUE(client.ask("e\r\n", ":echo on\r\n.\r\n"));
        }
        if (c.bridged) {
            // The command comes back as echo before its reply.
            const std::string command = "c 127.0.0.1 " + std::to_string(hostSide.port()) + "\n";
            ASSERT_TRUE(client.send(command));
            ASSERT_TRUE(client.expect(command + ".\r\n"));
            host = hostSide.accept();
            ASSERT_TRUE(host.isOpen());
            sink.reset(new Sink(host));
        }
        break;
    case WebPort:
        client = connectTo(web, window);
        break;
    case PortListener:
        client = connectTo(rfc, window);
        break;
    }
    ASSERT_TRUE(client.isOpen());
    ASSERT_TRUE(client.send(c.setup));
    s.passTurn();
    const long before = s.memoryKb();
    ASSERT_GT(before, 0);

    Flood f;
    std::thread flooding([&] { f = flood(s, client, c.chunk, 6.0, 160u << 20); });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    Stream other = s.login();
    EXPECT_TRUE(other.ask("v\r\n", kVersion)) << "another client while the flood went on";
    flooding.join();

    EXPECT_LT(f.mostKb - before, kGrowthKb)
        << "KiB before " << before << ", at most " << f.mostKb << ", " << f.sent
        << " bytes taken from the client";
    // What the kernels' buffers hold on both sides, and no more: a client
    // over its bound is not read.
    EXPECT_LT(f.sent, kGrowthKb << 10) << "bytes the server took from a client that never reads";
    EXPECT_TRUE(other.ask("v\r\n", kVersion)) << "another client after the flood";

    // The client still sends nothing more and reads nothing: the server has
    // nothing it can do for it, and waits instead of working through what
    // it took in.
    // What the last replies' writes leave to settle is over before the
    // window.  A server that spins uses a core's whole time; under Wine,
    // whose every socket call is a round trip to its server, a loaded
    // machine has been seen to cost 0.7 s in 2 s of such settling, so the
    // bound there only tells a spin apart.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double cpu = s.cpuSeconds();
    // A measuring window, not a wait for something to happen.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double most = Target::get().isWine() ? 1.0 : 0.3;
    EXPECT_LT(s.cpuSeconds() - cpu, most) << "CPU seconds while the client was held back";
}

INSTANTIATE_TEST_SUITE_P(
    Floods, HostileClient,
    testing::Values(
        // One endless line with echo on: the line is discarded as overlong,
        // so the line's length never holds reading back; the echo must.
        HostileCase{"EchoInLineMode", MainPort, "", std::string(64u << 10, 'a'), true, false},
        // Echo on, bridged to a host that reads everything at once.
        HostileCase{"EchoThroughABridge", MainPort, "", pattern(64u << 10, 9), true, true},
        // Commands whose replies nobody reads.
        HostileCase{"PipelinedCommands", MainPort, "",
                    repeated("v\r\n?\r\nt 100000\r\n", 64u << 10), false, false},
        // Pings whose pongs nobody reads.
        HostileCase{"WebPings", WebPort, kWsRequest,
                    repeated(wsFrame(WsPing, std::string(125, 'p')), 64u << 10), false, false},
        // Signed in over a WebSocket: commands whose replies nobody reads.
        HostileCase{"WebCommands", WebPort,
                    std::string(kWsRequest) + wsFrame(WsText, "wobex\r\n"),
                    repeated(wsFrame(WsText, "v\r\n?\r\n"), 64u << 10), false, false},
        // COM-PORT signature queries whose answers nobody reads.
        HostileCase{"PortSignatureQueries", PortListener, kWillComPort,
                    repeated(kSignatureQuery, 64u << 10), false, false},
        // Option changes back and forth, each one answered.
        HostileCase{"PortOptionQueries", PortListener, "", repeated(kBinaryOffOn, 64u << 10),
                    false, false}),
    [](const testing::TestParamInfo<HostileCase> &c) { return c.param.name; });

// ---- everything in one write ----------------------------------------------------------

struct OneWriteCase {
    const char *name;
    size_t commands;  // "v" lines behind the identifier
};

void PrintTo(const OneWriteCase &c, std::ostream *os) { *os << c.name; }

class WebHandshakeWithFrames : public testing::TestWithParam<OneWriteCase> {};

// A browser console client sends its handshake and its first frames in one
// write: every byte behind the handshake is read as frames, in order, so
// the identifier and every command in them are answered.
TEST_P(WebHandshakeWithFrames, IsAnsweredFrameByFrameInOrder)
{
    const OneWriteCase &c = GetParam();
    Server s;
    const int web = freePort();
    ServerOptions options;
    options.switches = {"-W" + std::to_string(web)};
    ASSERT_TRUE(s.start(options));
    ASSERT_TRUE(s.waitOut("connected to tcpip port " + std::to_string(web) + "\n"));

    std::string typed = std::string(kIdentifier) + "\r\n";
    std::string want = std::string(kGreeting) + ".\r\n";
    for (size_t i = 0; i < c.commands; i++) {
        typed += "v\r\n";
        want += kVersion;
    }
    Stream client = connectTo(web);
    ASSERT_TRUE(client.isOpen());
    std::string got;
    std::thread reader([&] { got = wsReadPayload(client, want.size(), 60); });
    EXPECT_TRUE(client.send(kWsRequest + wsFramed(typed)));
    reader.join();
    EXPECT_EQ(got.size(), want.size());
    EXPECT_EQ(firstDifference(got, want), want.size()) << escapeBytes(got.substr(0, 200));
    // The server is still there for everyone else.
    Stream other = s.login();
    EXPECT_TRUE(other.ask("v\r\n", kVersion));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, WebHandshakeWithFrames,
    testing::Values(OneWriteCase{"Few", 3},
                    // Frames that fill most of the request's buffer.
                    OneWriteCase{"SevenKilobytes", 1200},
                    // Far more than the request's buffer holds.
                    OneWriteCase{"HundredKilobytes", 18000}),
    [](const testing::TestParamInfo<OneWriteCase> &c) { return c.param.name; });

// The identifier and thousands of commands in one write to the main port:
// each is answered, in order.
TEST(EverythingInOneWrite, OnTheMainPortEveryCommandIsAnsweredInOrder)
{
    Server s;
    ASSERT_TRUE(s.start());
    Stream client = s.connect();
    const size_t commands = 20000;
    std::string typed = std::string(kIdentifier) + "\r\n";
    std::string want = ".\r\n";
    for (size_t i = 0; i < commands; i++) {
        typed += "v\r\n";
        want += kVersion;
    }
    std::string got;
    std::thread reader([&] { got = client.read(want.size(), 60); });
    EXPECT_TRUE(client.send(typed));
    reader.join();
    EXPECT_EQ(got.size(), want.size());
    EXPECT_EQ(firstDifference(got, want), want.size());
}

// Telnet negotiation, a COM-PORT query and data in one write to a port
// listener: the data reaches the port and the query is answered.
TEST(EverythingInOneWrite, OnAPortListenerTheDataReachesThePortAndTheQueryIsAnswered)
{
    Pty pty;
    Server s;
    s.addPort(5, pty);
    const int rfc = freePort();
    ServerOptions options;
    options.switches = {"-R" + std::to_string(rfc) + "=COM5"};
    ASSERT_TRUE(s.start(options));
    ASSERT_TRUE(s.waitOut(" for COM5\n"));
    Stream client = connectTo(rfc);
    ASSERT_TRUE(client.isOpen());
    const std::string data = "print version\r" + repeated("0123456789abcdef", 32u << 10);
    std::string atPort;
    std::thread port([&] { atPort = pty.master().read(data.size(), 60); });
    EXPECT_TRUE(client.send(kWillComPort + kSignatureQuery + data));
    EXPECT_NE(client.readThrough(kSignatureAnswer), "");
    port.join();
    EXPECT_EQ(atPort.size(), data.size());
    EXPECT_EQ(firstDifference(atPort, data), data.size());
}

// ---- a shared port whose writer stops reading -----------------------------------------

std::string fileText(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream text;
    text << f.rdbuf();
    return text.str();
}

// The log's lines with their time stamps and its event lines taken off:
// what the port sent.
std::string logged(const std::string &text)
{
    static const std::regex stamp("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z ");
    std::string bytes;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(at, end - at);
        at = end;
        std::smatch m;
        if (!std::regex_search(line, m, stamp)) continue;
        std::string rest = m.suffix();
        if (rest.compare(0, 3, "-- ") == 0) continue;
        bytes += rest;
    }
    return bytes;
}

std::string withoutLineEnds(const std::string &text)
{
    std::string s;
    for (char c : text)
        if (c != '\r' && c != '\n') s += c;
    return s;
}

// Lines a board prints, numbered, `total` bytes or a little more.
std::string boardOutput(size_t total)
{
    std::string s;
    char line[80];
    for (unsigned i = 0; s.size() < total; i++) {
        snprintf(line, sizeof line, "boot log line %08u: the quick brown fox jumps over it\r\n", i);
        s += line;
    }
    return s;
}

// Writes `data` into the terminal at a steady pace, as a board prints, and
// says whether all of it was taken.  A line nobody reads for `stallSeconds`
// counts as lost: a real UART would have dropped what came meanwhile.
bool playBoard(Stream &board, const std::string &data, double stallSeconds)
{
    const int fd = board.fd();
    const size_t piece = 16u << 10;
    for (size_t at = 0; at < data.size();) {
        struct pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, (int)(stallSeconds * 1000)) != 1) {
            ADD_FAILURE() << "the port was not read for " << stallSeconds << " s, at byte " << at
                          << " of " << data.size();
            return false;
        }
        ssize_t n = write(fd, data.data() + at, std::min(piece, data.size() - at));
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (n > 0) at += (size_t)n;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A server whose COM5 is a terminal the test plays the board on, and a
// writer bridged to it with a small receive window, soon full once it
// stops reading.
class StalledWriter : public testing::Test {
protected:
    testing::AssertionResult startWithWriter(const std::vector<std::string> &switches)
    {
        s.addPort(5, pty);
        ServerOptions options;
        options.switches = switches;
        options.measuresMemory = true;
        if (!s.start(options)) return testing::AssertionFailure() << "the server did not start";
        writer = s.login(16 << 10);
        return bridge(writer, "p COM5 115200");
    }

    Pty pty;
    Server s;
    Stream writer;
};

// The writer of a held, watched port stops reading while the board prints
// megabytes: the port is read at the board's pace all the same, so the
// watcher and the log get every byte in order; the writer, once far
// behind, is dropped with a line saying so.
TEST_F(StalledWriter, IsDroppedWhileTheWatcherAndTheLogGetEveryByte)
{
    TempDir dir;
    const std::string logDir = Target::get().isWine() ? "Z:" + dir.path() : dir.path();
    // No rotation within the test: one file holds it all.
    ASSERT_TRUE(startWithWriter({"-L" + logDir, "-S1000000000"}));
    ASSERT_TRUE(s.waitOut("COM5: held, logged to "));
    Stream watcher = s.login();
    ASSERT_TRUE(watcher.send("w COM5\n"));
    ASSERT_TRUE(watcher.expect(".\r\n"));
    const long before = s.memoryKb();

    const std::string data = boardOutput(8u << 20);
    std::string watched;
    std::atomic<bool> boardDone{false};
    std::thread reading([&] {
        // Once the board is done, what is still on its way comes soon.
        for (int quiet = 0; watched.size() < data.size() && quiet < 20;) {
            std::string got = watcher.read(data.size() - watched.size(), 0.5);
            watched += got;
            quiet = got.empty() && boardDone ? quiet + 1 : 0;
        }
    });
    Stream &board = pty.master();
    fcntl(board.fd(), F_SETFL, fcntl(board.fd(), F_GETFL) | O_NONBLOCK);
    EXPECT_TRUE(playBoard(board, data, 5.0));
    boardDone = true;
    reading.join();
    const long after = s.memoryKb();

    EXPECT_EQ(watched.size(), data.size());
    EXPECT_EQ(firstDifference(watched, data), watched.size()) << "at the watcher";
    EXPECT_TRUE(s.waitLogs([](const std::string &, const std::string &err) {
        return std::regex_search(err, std::regex("COM5: writer 127\\.0\\.0\\.1:\\d+ dropped"));
    })) << s.err();
    EXPECT_LT(after - before, kGrowthKb) << "KiB before " << before << ", after " << after;

    // The writer was sent an unbroken beginning of the stream, then closed.
    std::string seen = writer.read(data.size(), 30);
    EXPECT_LT(seen.size(), data.size()) << "the writer was never dropped";
    EXPECT_EQ(firstDifference(seen, data), seen.size());

    // The log ends a line cut short by an event (the writer dropped) with a
    // line end of its own: the line ends are left out of the comparison.
    // Every board line is numbered, so a line lost or doubled still shows.
    const std::string log = dir.path() + "/COM5.log";
    const std::string want = withoutLineEnds(data);
    EXPECT_TRUE(waitUntil(
        [&] { return withoutLineEnds(logged(fileText(log))).size() >= want.size(); }, 30));
    const std::string inLog = withoutLineEnds(logged(fileText(log)));
    EXPECT_EQ(inLog.size(), want.size());
    EXPECT_EQ(firstDifference(inLog, want), want.size()) << "in the log";
}

// Without a log or a watcher the writer's own pace holds the port back: the
// board's bytes wait in the terminal, and every one arrives once the writer
// reads again.
TEST_F(StalledWriter, WithNobodyElseHoldsThePortBack)
{
    ASSERT_TRUE(startWithWriter({}));
    const long before = s.memoryKb();

    const std::string data = boardOutput(16u << 20);
    Stream &board = pty.master();
    size_t sent = pushUntilStalled(board, data, 2.0);
    ASSERT_LT(sent, data.size()) << "the port was read to its end while its writer read nothing";
    EXPECT_LT(s.memoryKb() - before, kGrowthKb);

    std::string got;
    std::thread reading([&] { got = writer.read(data.size(), 180); });
    fcntl(board.fd(), F_SETFL, fcntl(board.fd(), F_GETFL) & ~O_NONBLOCK);
    EXPECT_TRUE(board.send(data.substr(sent)));
    reading.join();
    EXPECT_EQ(got.size(), data.size());
    EXPECT_EQ(firstDifference(got, data), data.size());
}

}  // namespace
