// The console on a terminal (POSIX), through the real
// binary with a pseudo-terminal as standard input and controlling terminal:
// single keys without echo and without waiting for a line end, and the
// terminal's settings put back on every way out.
#include "fixtures.h"

#include <gtest/gtest.h>

#include <pty.h>

#include <functional>

namespace {

struct Ending {
    const char *name;
    std::function<void(fx::Server &, int master)> end;
    int exitCode;  // -1: ended by `signal`
    int signal;
};

bool sameSettings(const struct termios &a, const struct termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

TEST(ConsoleTerminal, SingleKeysWithoutEchoAndTheTerminalRestoredOnEveryWayOut)
{
    const Ending endings[] = {
        {"kill command", [](fx::Server &, int m) { (void)!write(m, "\rk\r", 3); }, 0, 0},
        // Ctrl-C and SIGTERM stop the server cleanly, as the kill command does.
        {"Ctrl-C", [](fx::Server &, int m) { (void)!write(m, "\x03", 1); }, 0, 0},
        {"SIGTERM", [](fx::Server &s, int) { kill(s.pid, SIGTERM); }, 0, 0},
        {"SIGHUP", [](fx::Server &s, int) { kill(s.pid, SIGHUP); }, -1, SIGHUP},
    };
    for (const Ending &e : endings) {
        SCOPED_TRACE(e.name);
        int master, slave;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        struct termios before;
        ASSERT_EQ(tcgetattr(slave, &before), 0);
        ASSERT_NE(before.c_lflag & ICANON, 0u);
        ASSERT_NE(before.c_lflag & ECHO, 0u);

        fx::Server s({"-p0"}, slave, "velkor", true);
        ASSERT_TRUE(s.waitOut("velkor.example.org/velkor\r\n")) << s.out;
        struct termios during;
        long long end = fx::nowMs() + 3000;
        do {
            tcgetattr(slave, &during);
        } while ((during.c_lflag & ICANON) && fx::nowMs() < end && usleep(1000) == 0);
        EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(during.c_iflag & ICRNL, 0u);  // Enter arrives as CR
        EXPECT_EQ(during.c_cc[VMIN], 1);

        ASSERT_EQ(write(master, "wobex\r", 6), 6);
        ASSERT_TRUE(s.waitOut(".\r\n")) << s.out;
        ASSERT_EQ(write(master, "e\r", 2), 2);
        ASSERT_TRUE(s.waitOut(":echo on\r\n.\r\n")) << s.out;
        // One key, no line end: the server has it at once and echoes it.
        ASSERT_EQ(write(master, "x", 1), 1);
        EXPECT_TRUE(s.waitOut(":echo on\r\n.\r\nx")) << s.out;
        // The terminal itself showed nothing of what was typed.
        EXPECT_EQ(fx::readSome(master, -1, 300, 200), "");

        e.end(s, master);
        ASSERT_TRUE(s.finish());
        if (e.exitCode >= 0) EXPECT_EQ(s.exitCode(), e.exitCode) << s.status;
        else EXPECT_EQ(s.termSignal(), e.signal) << s.status;

        struct termios after;
        ASSERT_EQ(tcgetattr(slave, &after), 0);
        EXPECT_TRUE(sameSettings(before, after))
            << "lflag " << std::hex << before.c_lflag << " -> " << after.c_lflag;
        close(master);
        close(slave);
    }
}

}  // namespace
