// Every failure a client sees has its reason in the server's log, with the
// client's address, while the reply keeps the wording scripts read.
#include "harness.h"

#include "target.h"

#include <memory>

using namespace e2e;

namespace {

class Reasons : public ServerWithPort {};

// What a "p" or "w" is refused for: the reply is always the same, the log
// says why and for whom.
TEST_F(Reasons, PortThatCannotBeOpenedIsExplainedInTheLog)
{
    s.addPort(6, "/dev/velkor-no-such-device");
    Stream writer = s.login();
    ASSERT_TRUE(bridge(writer, "p COM5 9600"));
    struct Case {
        const char *command;
        std::vector<std::string> logged;  // %s: the asking client
    };
    const Case cases[] = {
        {"p COM6 9600", {"COM6: not opened, does not exist", "client %s: could not open port COM6"}},
        {"w COM6", {"COM6: not opened, does not exist", "client %s: could not watch port COM6"}},
        {"p COM5 9600",
         {"COM5: in use by client " + peerText(writer) + ", refused to client %s",
          "client %s: could not open port COM5"}},
        {"p COM5 fast",
         {"COM5: speed fast refused, not a positive whole number"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        Stream client = s.login();
        EXPECT_TRUE(client.ask(std::string(c.command) + "\r\n", "! could not open port\r\n"));
        for (std::string line : c.logged) {
            size_t at = line.find("%s");
            while (at != std::string::npos) {
                line.replace(at, 2, peerText(client));
                at = line.find("%s");
            }
            EXPECT_TRUE(s.waitErr(line));
        }
    }
}

TEST_F(Reasons, HostThatCannotBeReachedIsExplainedInTheLog)
{
    Stream client = s.login();
    const int closed = freePort();
    EXPECT_TRUE(client.ask("c 127.0.0.1 " + std::to_string(closed) + "\r\n",
                           "! could not connect\r\n"));
    EXPECT_TRUE(s.waitErr("client " + peerText(client) + ": could not connect to 127.0.0.1 port " +
                          std::to_string(closed) + "\n"));
    // The layer's line before it says why.
    EXPECT_TRUE(s.waitOut("connect error code -1 "));
}

// A second client of a port listener finds the port taken: it is closed,
// and the log says by whom and which client was turned away.
TEST(PortListenerReasons, SecondClientIsClosedWithTheReason)
{
    Pty pty;
    Server s;
    s.addPort(5, pty);
    const int rfc = freePort();
    ServerOptions options;
    options.switches = {"-R" + std::to_string(rfc) + "=COM5"};
    ASSERT_TRUE(s.start(options));
    ASSERT_TRUE(s.waitOut(" for COM5\n"));
    Stream first = connectTo(rfc);
    ASSERT_TRUE(first.read(12).size() == 12);
    Stream second = connectTo(rfc);
    const std::string peer = peerText(second);
    EXPECT_TRUE(second.expectClosed());
    EXPECT_TRUE(s.waitErr("COM5: in use by client " + peerText(first) + ", refused to client " +
                          peer + "\n"));
    EXPECT_TRUE(s.waitErr("COM5: telnet client " + peer +
                          " closed, the port could not be opened\n"));
}

}  // namespace
