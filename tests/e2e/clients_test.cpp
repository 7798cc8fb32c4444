// The table of clients and the main loop end to end: 32 slots in all, a
// connection beyond them refused, freed slots taken again, clients that
// vanish, and the console as the first client.
#include "harness.h"

#include "target.h"

using namespace e2e;

namespace {

// A connection the server accepts and closes at once, without a greeting;
// the log names it.
testing::AssertionResult refused(Server &s, size_t refusalsSoFar)
{
    Stream extra = connectTo(s.port());
    const std::string named = "client " + peerText(extra) + " closed: all 32 slots are taken\n";
    testing::AssertionResult closed = extra.expectClosed();
    if (!closed) return closed;
    if (!s.waitLogs([&](const std::string &, const std::string &e) {
            return countOf(e, "to many clients\n" + named) > 0 &&
                   countOf(e, "to many clients\n") > refusalsSoFar;
        }))
        return testing::AssertionFailure() << "no \"to many clients\" line: " << s.err();
    return testing::AssertionSuccess();
}

TEST(ClientTable, HoldsThirtyTwoClientsAndGivesAFreedSlotToTheNext)
{
    Server s;
    ASSERT_TRUE(s.start());
    std::vector<Stream> clients;
    for (int i = 0; i < 32; i++) clients.push_back(s.connect());
    EXPECT_TRUE(refused(s, 0));

    // A client low in the table leaves; the next connection gets its place.
    // The log names each client with its slot as it comes and goes.
    Stream &leaving = clients[3];
    const std::string peer = peerText(leaving);
    EXPECT_TRUE(leaving.ask("wobex\r\n", ".\r\n"));
    EXPECT_TRUE(leaving.ask("d\r\n", ":disconnect\r\n.\r\n"));
    EXPECT_TRUE(leaving.expectClosed());
    EXPECT_TRUE(s.waitErr("client " + peer + " left slot 3\n"));
    EXPECT_EQ(countOf(s.err(), "client " + peer + " in slot 3\n"), 1u) << s.err();
    Stream newcomer = s.login();
    EXPECT_TRUE(s.waitErr("client " + peerText(newcomer) + " in slot 3\n"));
    EXPECT_TRUE(newcomer.ask("v\r\n", kVersion));
    EXPECT_TRUE(refused(s, 1));

    // Every client kept its place and is still served.
    for (size_t i = 0; i < clients.size(); i++) {
        if (i == 3) continue;
        EXPECT_TRUE(clients[i].ask("wobex\r\n", ".\r\n")) << "client " << i;
    }
}

class ClientWithPort : public ServerWithPort {};

TEST_F(ClientWithPort, ThatVanishesIsDroppedAndItsPortClosed)
{
    Stream bridged = s.login();
    EXPECT_TRUE(bridge(bridged, "p COM5 9600"));
    std::vector<Stream> others;
    for (int i = 0; i < 31; i++) others.push_back(s.connect());
    EXPECT_TRUE(refused(s, 0));

    // Gone without a word: the server notices, logs it, and frees the slot
    // and the port.
    bridged.close();
    EXPECT_TRUE(s.waitLogs([](const std::string &o, const std::string &) {
        size_t at = o.find("client disconnected ");
        return at != std::string::npos && o.find("\ndisconnected\n", at) != std::string::npos;
    })) << escapeBytes(s.out());
    EXPECT_EQ(countNumberedLines(s.out(), "client disconnected ", "\n"), 1u) << escapeBytes(s.out());

    Stream next = s.login();
    EXPECT_TRUE(bridge(next, "p COM5 9600"));
    EXPECT_TRUE(relayed(next, pty.master(), "again"));
}

// A server whose console client (its terminal) has sent the identifier.
class ConsoleClient : public testing::Test {
protected:
    void SetUp() override
    {
        if (!Target::get().hasConsoleKeys())
            GTEST_SKIP() << "Wine's console hands no typed keys to _kbhit and _getch";
        ServerOptions options;
        options.console = true;
        ASSERT_TRUE(s.start(options));
        ASSERT_TRUE(s.console().expect(kGreeting));
        // Keys are read one at a time and not echoed; Enter arrives as CR.
        ASSERT_TRUE(s.console().ask("wobex\r", ".\r\n"));
    }
    Server s;
};

TEST_F(ConsoleClient, IsTheFirstClientOnStandardInput)
{
    Stream &console = s.console();
    EXPECT_TRUE(console.ask("v\r", kVersion));

    // The console holds a slot: 31 network clients fill the table.
    std::vector<Stream> clients;
    for (int i = 0; i < 31; i++) clients.push_back(s.connect());
    EXPECT_TRUE(refused(s, 0));

    EXPECT_TRUE(console.ask("k\r", ":kill\r\n.\r\n"));
    EXPECT_TRUE(s.exitsWith(0));
    for (Stream &c : clients) EXPECT_TRUE(c.expectClosed());
}

TEST_F(ConsoleClient, ThatNobodyReadsHoldsUpNoOtherClient)
{
    Stream &console = s.console();

    // Far more output than the terminal holds, and nobody reads it past the
    // first line (which shows the command has run): the replies wait in the
    // server while the other clients are served.
    ASSERT_TRUE(console.send("t 10000\r"));
    std::string lines = console.readThrough(": testing sending many lines 10000\r\n");
    EXPECT_EQ(lines, ": testing sending many lines 10000\r\n");
    Stream other = s.login();
    EXPECT_TRUE(other.ask("v\r\n", kVersion));

    // Once the terminal is read, every line arrives, in order.
    lines += console.readThrough(": testing sending many lines 1\r\n.\r\n");
    EXPECT_EQ(countOf(lines, ": testing sending many lines "), 10000u);
    EXPECT_TRUE(console.ask("v\r", kVersion));
}

}  // namespace
