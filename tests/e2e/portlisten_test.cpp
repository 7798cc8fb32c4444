// Port listeners (-R) through the harness, natively and under Wine: the
// listener admits as the main one does, and an admitted client gets the
// telnet side's first words at once, with the port opened for it and
// released when it leaves.
#include "harness.h"

#include <memory>

using namespace e2e;

namespace {

// What the server asks for first: binary both ways, no go-ahead both ways.
const std::string kFirstWords("\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03\xff\xfd\x03", 12);

struct PortServer {
    std::unique_ptr<Pty> pty{new Pty()};
    Server s;
    int rfc = freePort();

    bool start(const std::vector<std::string> &more = {})
    {
        s.addPort(1, *pty);
        ServerOptions options;
        options.switches = {"-R" + std::to_string(rfc) + "=COM1"};
        options.switches.insert(options.switches.end(), more.begin(), more.end());
        return s.start(options) && s.waitOut(" for COM1\n");
    }

    // Waits until the server has seen `n` clients leave.
    bool left(size_t n)
    {
        return s.waitLogs([n](const std::string &out, const std::string &) {
            size_t count = 0;
            for (size_t at = out.find("disconnected\n"); at != std::string::npos;
                 at = out.find("disconnected\n", at + 1))
                count++;
            return count >= n;
        });
    }
};

TEST(PortListener, ALoopbackClientOfEitherFamilyGetsThePort)
{
    PortServer p;
    ASSERT_TRUE(p.start());
    size_t gone = 0;
    for (const char *address : {"::1", "127.0.0.1"}) {
        SCOPED_TRACE(address);
        Stream client = connectToAddress(address, p.rfc);
        EXPECT_TRUE(client.expect(kFirstWords));
        EXPECT_TRUE(p.s.waitErr("client " + peerText(client) + " in slot 0 for COM1\n"));
        // Data goes through to the port, 0xFF undoubled.
        EXPECT_TRUE(client.send(std::string("a\xff\xff" "b", 4)));
        EXPECT_TRUE(p.pty->master().expect(std::string("a\xff" "b", 3)));
        client.close();
        // Released: the next client can have it.
        EXPECT_TRUE(p.left(++gone));
    }
}

TEST(PortListener, APeerBeyondTheLoopbackIsRefusedUnlessAllAreAdmitted)
{
    for (bool all : {false, true}) {
        SCOPED_TRACE(all ? "-a" : "by default");
        PortServer p;
        ASSERT_TRUE(p.start(all ? std::vector<std::string>{"-a"} : std::vector<std::string>{}));
        Stream client = connectTo(p.rfc, 0, "127.0.0.2");
        if (all) {
            EXPECT_TRUE(client.expect(kFirstWords));
        } else {
            EXPECT_TRUE(client.expectClosed());
            EXPECT_TRUE(p.s.waitErr("rejected connection 2\n"));
            EXPECT_TRUE(p.s.waitOut("7f000002\n"));
        }
    }
}

// An option the server does not take is refused, and the log names it by
// its number and by which side it was asked of.
TEST(PortListener, RefusedTelnetOptionIsLoggedByItsNumber)
{
    PortServer p;
    ASSERT_TRUE(p.start());
    Stream client = connectTo(p.rfc);
    ASSERT_TRUE(client.expect(kFirstWords));
    // DO TERMINAL-TYPE (24), WILL NAWS (31): both refused.
    ASSERT_TRUE(client.send("\xff\xfd\x18\xff\xfb\x1f"));
    EXPECT_TRUE(client.expect("\xff\xfc\x18\xff\xfe\x1f"));
    EXPECT_TRUE(p.s.waitErr("COM1: telnet option refused: DO 24\n"));
    EXPECT_TRUE(p.s.waitErr("COM1: telnet option refused: WILL 31\n"));
}

}  // namespace
