// The wait: the server sleeps until a device has something for it, and no
// state it can get into keeps it busy.  Bridges move bytes at the speed the
// line allows, both ways at once, without losing or changing one.
#include "harness.h"

#include "target.h"

#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

using namespace e2e;

namespace {

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, 0);
    unsigned x = seed;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = (char)(x >> 16);
    }
    return s;
}

// Everything one state needs, kept alive while the server's CPU is read.
struct Scene {
    Pty pty;
    Listener hostSide;
    Server s;
    Stream client;
    Stream other;
    Stream host;
};

struct BusyCase {
    const char *name;
    std::function<void(Scene &)> setUp;
};

void PrintTo(const BusyCase &c, std::ostream *os) { *os << c.name; }

class NoBusyLoop : public testing::TestWithParam<BusyCase> {};

// A loop that spun in the state would use a whole core; one that waits uses
// next to nothing.  Over a few seconds the difference is plain even on a
// loaded machine.
TEST_P(NoBusyLoop, TheServerWaits)
{
    Scene scene;
    scene.s.addPort(5, scene.pty);
    GetParam().setUp(scene);
    ASSERT_FALSE(testing::Test::HasFatalFailure());
    const double window = 3.0;
    double before = scene.s.cpuSeconds();
    ASSERT_GE(before, 0);
    std::this_thread::sleep_for(std::chrono::duration<double>(window));
    double used = scene.s.cpuSeconds() - before;
    EXPECT_LT(used, 0.15 * window) << used << " s of CPU in " << window << " s";
}

const std::string kFlood = pattern(16u << 20, 7);

INSTANTIATE_TEST_SUITE_P(
    States, NoBusyLoop,
    testing::Values(
        BusyCase{"Idle", [](Scene &x) { ASSERT_TRUE(x.s.start()); }},
        BusyCase{"QuietBridgesAndAConsoleAtTheEndOfItsInput",
                 [](Scene &x) {
                     ServerOptions o;
                     o.consoleAtEnd = true;
                     ASSERT_TRUE(x.s.start(o));
                     x.client = x.s.login();
                     ASSERT_TRUE(bridge(x.client, "p COM5 115200"));
                     x.other = x.s.login();
                     x.host = bridgeToHost(x.other, x.hostSide);
                 }},
        // The port takes nothing (nobody reads its other side): the server
        // holds the client's bytes and waits for room.
        BusyCase{"PortThatTakesNothing",
                 [](Scene &x) {
                     ASSERT_TRUE(x.s.start());
                     x.client = x.s.login();
                     ASSERT_TRUE(bridge(x.client, "p COM5 115200"));
                     ASSERT_LT(pushUntilStalled(x.client, kFlood, 2.0), kFlood.size());
                 }},
        // The client reads nothing: the port's input cannot be taken.
        BusyCase{"ClientThatReadsNothing",
                 [](Scene &x) {
                     ASSERT_TRUE(x.s.start());
                     x.client = x.s.login(4096);
                     ASSERT_TRUE(bridge(x.client, "p COM5 115200"));
                     ASSERT_LT(pushUntilStalled(x.pty.master(), kFlood, 2.0), kFlood.size());
                 }},
        // ... and then the port's other side goes away.
        BusyCase{"PortGoneWhileItsInputIsHeld",
                 [](Scene &x) {
                     ASSERT_TRUE(x.s.start());
                     x.client = x.s.login(4096);
                     ASSERT_TRUE(bridge(x.client, "p COM5 115200"));
                     ASSERT_LT(pushUntilStalled(x.pty.master(), kFlood, 2.0), kFlood.size());
                     x.pty.master().close();
                 }},
        BusyCase{"TcpTargetThatReadsNothing",
                 [](Scene &x) {
                     ASSERT_TRUE(x.s.start());
                     x.client = x.s.login();
                     x.host = bridgeToHost(x.client, x.hostSide);
                     ASSERT_LT(pushUntilStalled(x.client, kFlood, 2.0), kFlood.size());
                 }}),
    [](const testing::TestParamInfo<BusyCase> &c) { return c.param.name; });

// Both directions of a serial bridge at once, as fast as each side goes:
// every byte arrives, in order.
TEST(FullSpeed, BothWaysAtOnceOverAPseudoTerminal)
{
    Pty pty;
    Server s;
    s.addPort(5, pty);
    ASSERT_TRUE(s.start());
    Stream client = s.login();
    ASSERT_TRUE(bridge(client, "p COM5 115200"));

    const size_t size = 4u << 20;
    const std::string up = pattern(size, 1), down = pattern(size, 2);
    std::string gotUp, gotDown;
    std::thread sendUp([&] { EXPECT_TRUE(client.send(up)); });
    std::thread sendDown([&] { EXPECT_TRUE(pty.master().send(down)); });
    std::thread readUp([&] { gotUp = pty.master().read(size, 120); });
    gotDown = client.read(size, 120);
    readUp.join();
    sendUp.join();
    sendDown.join();
    EXPECT_EQ(gotUp.size(), size);
    EXPECT_EQ(gotDown.size(), size);
    EXPECT_TRUE(gotUp == up) << "the bytes toward the port differ";
    EXPECT_TRUE(gotDown == down) << "the bytes toward the client differ";
}

}  // namespace
