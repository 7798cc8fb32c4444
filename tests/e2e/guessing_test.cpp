// Guessing the identifier, through the real binary, natively and under
// Wine: a connection is closed after its third wrong identifier in a row
// (each line of a pipelined burst counts); an address other than loopback
// that keeps failing has its new connections closed at once for a time
// that doubles with each failure; and the browser console answers only
// under its own names, whatever Host a page from elsewhere sends.
#include "harness.h"

#include <string.h>
#include <unistd.h>

#include <chrono>
#include <thread>

using namespace e2e;

namespace {

const std::string kGreeting = "velkor.example.org/velkor\r\n";
const std::string kWrong = "! wrong identifier\r\n";

struct TriesCase {
    const char *name;
    std::vector<std::string> writes;
};

void PrintTo(const TriesCase &c, std::ostream *os) { *os << c.name; }

class IdentifierTriesEnd : public testing::TestWithParam<TriesCase> {};

// Whatever follows the third try (a right identifier, a command) is never
// taken: the connection ends after the third reply.
TEST_P(IdentifierTriesEnd, AfterTheThirdWrongOne)
{
    Server s;
    ASSERT_TRUE(s.start());
    Stream client = s.connect();
    for (const std::string &w : GetParam().writes) ASSERT_TRUE(client.send(w));
    EXPECT_TRUE(client.expect(kWrong + kWrong + kWrong));
    EXPECT_TRUE(client.expectClosed());
    EXPECT_TRUE(s.waitErr("127.0.0.1: closed after 3 wrong identifiers\n"));
    // Loopback is never penalised: the next connection is served.
    Stream next = s.connect();
    EXPECT_TRUE(next.ask("wobex\r\nv\r\n", ".\r\n:1.19\r\n.\r\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Writes, IdentifierTriesEnd,
    testing::Values(TriesCase{"OneLineAWrite", {"a\r\n", "b\r\n", "c\r\n", "wobex\r\nv\r\n"}},
                    TriesCase{"PipelinedBurst", {"a\r\nb\r\nc\r\nwobex\r\nv\r\n"}}),
    [](const testing::TestParamInfo<TriesCase> &c) { return c.param.name; });

// A client that connects from 127.0.0.2, a loopback address that is not
// exempt, sends `line`; what it got back.
std::string tryFrom(Server &s, const std::string &line)
{
    Stream c = connectTo(s.port(), 0, "127.0.0.2");
    if (!c.isOpen()) return "<no connection>";
    c.send(line);
    std::string got = c.readThrough(line == "wobex\r\n" ? ".\r\n" : kWrong, 2);
    return got;
}

// Closed at once: no greeting, the connection ends.
testing::AssertionResult refusedFrom(Server &s)
{
    Stream c = connectTo(s.port(), 0, "127.0.0.2");
    if (!c.isOpen()) return testing::AssertionFailure() << "no connection";
    return c.expectClosed();
}

TEST(SourcePenalty, DoublesWithEachFailureAndEndsWithARightIdentifier)
{
    Server s;
    ServerOptions options;
    options.switches = {"-a"};
    ASSERT_TRUE(s.start(options));

    EXPECT_EQ(tryFrom(s, "guess\r\n"), kGreeting + kWrong);
    // Penalised for 1 s: closed at once, logged once, while loopback is served.
    EXPECT_TRUE(refusedFrom(s));
    EXPECT_TRUE(refusedFrom(s));
    EXPECT_TRUE(s.login().isOpen());
    EXPECT_TRUE(s.waitErr("rejected connection from 127.0.0.2"));
    EXPECT_EQ(countOf(s.err(), "rejected connection from 127.0.0.2"), 1u) << s.err();

    // The second failure doubles it: still closed a second and a bit later.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(tryFrom(s, "guess again\r\n"), kGreeting + kWrong);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_TRUE(refusedFrom(s));

    // Over: a right identifier forgets the failures, and the next wrong
    // one costs a second again.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(tryFrom(s, "wobex\r\n"), kGreeting + ".\r\n");
    EXPECT_EQ(tryFrom(s, "guess\r\n"), kGreeting + kWrong);
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ(tryFrom(s, "wobex\r\n"), kGreeting + ".\r\n");
}

// ---- the browser console's names ---------------------------------------------------

struct HostCase {
    const char *name;
    std::string host;  // "%p" stands for the listener's port, "%h" for this host's name
    bool served;
};

void PrintTo(const HostCase &c, std::ostream *os) { *os << c.name; }

class ConsoleHost : public testing::TestWithParam<HostCase> {};

std::string withPort(std::string text, int port)
{
    size_t at = text.find("%p");
    if (at != std::string::npos) text.replace(at, 2, std::to_string(port));
    at = text.find("%h");
    if (at != std::string::npos) {
        char name[256] = {};
        gethostname(name, sizeof name - 1);
        text.replace(at, 2, name);
    }
    return text;
}

// The page and the socket alike: a rebinding page sends its own name as
// Host and its own origin, which match each other.
TEST_P(ConsoleHost, IsServedUnderItsOwnNamesOnly)
{
    const HostCase &c = GetParam();
    Server s;
    int web = freePort();
    ServerOptions options;
    options.switches = {"-W" + std::to_string(web), "-Nlab.example"};
    ASSERT_TRUE(s.start(options));
    ASSERT_TRUE(s.waitOut("web socket"));
    const std::string host = withPort(c.host, web);
    const std::string requests[] = {
        "GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n",
        "GET /ws HTTP/1.1\r\nHost: " + host +
            "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
            "Origin: http://" + host + "\r\n\r\n",
    };
    for (const std::string &request : requests) {
        Stream page = connectTo(web);
        ASSERT_TRUE(page.send(request));
        std::string head = page.readThrough("\r\n", kWait);
        const char *want = c.served ? (request.find("/ws") != std::string::npos
                                           ? "HTTP/1.1 101 "
                                           : "HTTP/1.1 200 ")
                                    : "HTTP/1.1 403 ";
        EXPECT_EQ(head.compare(0, strlen(want), want), 0) << request << "\n-> " << head;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, ConsoleHost,
    testing::Values(HostCase{"IPv4Literal", "127.0.0.1:%p", true},
                    HostCase{"IPv6Literal", "[::1]:%p", true},
                    HostCase{"Localhost", "localhost:%p", true},
                    HostCase{"LocalhostAnyCase", "LocalHost", true},
                    HostCase{"GivenWithN", "lab.example:%p", true},
                    HostCase{"ThisHostsName", "%h:%p", true},
                    HostCase{"AnotherSite", "evil.example:%p", false},
                    HostCase{"OwnNameAsPrefix", "lab.example.evil.example:%p", false},
                    HostCase{"LiteralAsPrefix", "127.0.0.1.evil.example", false},
                    HostCase{"NotQuiteALiteral", "1.2.3:%p", false}),
    [](const testing::TestParamInfo<HostCase> &c) { return c.param.name; });

}  // namespace
