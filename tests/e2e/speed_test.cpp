// The speed a "p" asks for: a positive whole number the device takes is the
// line's rate; anything else is refused with "! could not open port" and a
// reason in the log, the line left as it was.  Read back on the
// pseudo-terminal that stands for the port, and, for a rate a device
// refuses (which a pseudo-terminal never does), through the test seam that
// plays such a device (tests/rfc2217/ttyshim.cpp).
#include "harness.h"

#include "target.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <string>

// The kernel's termios with the rate as a number (TCGETS2 names it);
// <asm/termbits.h> cannot be included beside <termios.h>.
struct termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};

using namespace e2e;

namespace {

// The rate a pseudo-terminal's line is at now, as a number (0 if unknown).
long rateOf(const Pty &pty)
{
    struct termios2 t;
    if (ioctl(pty.slaveFd(), TCGETS2, &t) != 0) return 0;
    return (long)t.c_ospeed;
}

// Sets the line as another program left it.
void setRate(const Pty &pty, speed_t speed)
{
    struct termios t;
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &t), 0);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    ASSERT_EQ(tcsetattr(pty.slaveFd(), TCSANOW, &t), 0);
}

testing::AssertionResult rateBecomes(const Pty &pty, long rate)
{
    if (waitUntil([&] { return rateOf(pty) == rate; })) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the line is at " << rateOf(pty) << ", not " << rate;
}

// Values that are no positive whole number: refused before the port is
// touched, on every platform alike.
const char *const notASpeed[] = {"fast", "0",    "-9600",  "+9600",
                                  "9600x", "96.00", "0x2580", "99999999999"};

class PortSpeed : public ServerWithPort {};

TEST_F(PortSpeed, ValueThatIsNoPositiveWholeNumberIsRefusedWithItsReason)
{
    setRate(pty, B19200);
    Stream client = s.login();
    for (const char *value : notASpeed) {
        SCOPED_TRACE(value);
        const std::string command = std::string("p COM5 ") + value;
        EXPECT_TRUE(client.ask(command + "\r\n", "! could not open port\r\n"));
        EXPECT_TRUE(s.waitErr(std::string("COM5: speed ") + value +
                              " refused, not a positive whole number"));
        EXPECT_EQ(rateOf(pty), 19200);
    }
    // The client still gives commands, and the port still opens.
    EXPECT_TRUE(client.ask("v\r\n", kVersion));
    EXPECT_TRUE(bridge(client, "p COM5 57600"));
    EXPECT_TRUE(rateBecomes(pty, 57600));
}

// Every rate the device takes is the line's rate, named ones and (where the
// system sets a rate as a number) any other.
TEST_F(PortSpeed, RateTheDeviceTakesIsTheLinesRate)
{
    std::vector<long> rates = {9600, 57600, 230400};
#ifndef VELKOR_NAMED_RATES_ONLY
    if (!Target::get().isWine()) {
        rates.push_back(250000);
        rates.push_back(11520);
    }
#endif
    size_t left = 0;
    for (long rate : rates) {
        SCOPED_TRACE(rate);
        setRate(pty, B1200);
        Stream client = s.login();
        ASSERT_TRUE(bridge(client, "p COM5 " + std::to_string(rate)));
        EXPECT_TRUE(rateBecomes(pty, rate));
        EXPECT_TRUE(relayed(client, pty.master(), "at " + std::to_string(rate)));
        client.close();
        // Released once its client is gone: the next client may open it.
        left++;
        EXPECT_TRUE(waitUntil([&] { return countOf(s.out(), "disconnected\n") >= left; }));
    }
}

// A port a watcher holds: a wrong speed leaves it at the speed it is held
// at; a good one is the writer's until the writer leaves.
TEST_F(PortSpeed, HeldPortKeepsItsSpeedWhenTheWritersIsRefused)
{
    Stream watcher = s.login();
    ASSERT_TRUE(watcher.send("w COM5\n"));
    ASSERT_TRUE(watcher.expect(".\r\n"));
    ASSERT_TRUE(rateBecomes(pty, 115200));
    Stream writer = s.login();
    for (const char *value : {"fast", "0", "-9600"}) {
        SCOPED_TRACE(value);
        EXPECT_TRUE(writer.ask(std::string("p COM5 ") + value + "\r\n", "! could not open port\r\n"));
        EXPECT_EQ(rateOf(pty), 115200);
    }
    ASSERT_TRUE(bridge(writer, "p COM5 57600"));
    EXPECT_TRUE(rateBecomes(pty, 57600));
    writer.close();
    EXPECT_TRUE(rateBecomes(pty, 115200));
}

// A device that refuses a rate (the seam plays one): the client is refused,
// the reason is logged, and a held port stays at its speed.
TEST(RefusedRate, ClientIsRefusedAndTheLineKeepsItsRate)
{
#if !defined(VELKOR_TTYSHIM) || defined(VELKOR_NAMED_RATES_ONLY)
    GTEST_SKIP() << "no test seam for the line calls in this build";
#else
    if (Target::get().isWine()) GTEST_SKIP() << "the seam is preloaded into a native server";
    for (bool held : {false, true}) {
        SCOPED_TRACE(held ? "held by a watcher" : "opened by the writer");
        Pty pty;
        Server s;
        s.addPort(5, pty);
        ServerOptions options;
        // A sanitizer build wants its runtime first; the seam comes after.
        options.environment = {std::string("LD_PRELOAD=") + VELKOR_TTYSHIM,
                               "VELKOR_SHIM_REFUSED_RATES=250000 31250",
                               "ASAN_OPTIONS=verify_asan_link_order=0"};
        ASSERT_TRUE(s.start(options));
        Stream watcher;
        if (held) {
            watcher = s.login();
            ASSERT_TRUE(watcher.send("w COM5\n"));
            ASSERT_TRUE(watcher.expect(".\r\n"));
        } else {
            setRate(pty, B115200);
        }
        Stream client = s.login();
        EXPECT_TRUE(client.ask("p COM5 250000\r\n", "! could not open port\r\n"));
        EXPECT_TRUE(s.waitErr("COM5: speed 250000 refused"));
        EXPECT_EQ(rateOf(pty), 115200);
        EXPECT_TRUE(bridge(client, "p COM5 230400"));
        EXPECT_TRUE(rateBecomes(pty, 230400));
    }
#endif
}

}  // namespace
