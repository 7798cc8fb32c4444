// The console on a terminal (POSIX): the server's standard input and output
// are a terminal that starts with line editing and echo, as a terminal
// window's does.  The server reads single keys from it, without echo and
// without waiting for a line end, and puts the terminal's settings back on
// every way out.
#include "harness.h"

#include "target.h"

#include <signal.h>
#include <sys/wait.h>
#include <termios.h>

#include <functional>

using namespace e2e;

namespace {

bool sameSettings(const struct termios &a, const struct termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

struct Ending {
    const char *name;
    std::function<void(Server &)> end;
    int exitCode;  // -1: ended by `signal`
    int signal;
};

TEST(ConsoleTerminal, SingleKeysWithoutEchoAndTheTerminalRestoredOnEveryWayOut)
{
    if (!Target::get().hasConsoleKeys())
        GTEST_SKIP() << "Wine's console hands no typed keys to _kbhit and _getch";
    const Ending endings[] = {
        // The CR ends the line the key began.
        {"kill command", [](Server &s) { s.console().send("\rk\r"); }, 0, 0},
        // Ctrl-C and SIGTERM stop the server cleanly, as the kill command does.
        {"Ctrl-C", [](Server &s) { s.console().send("\x03"); }, 0, 0},
        {"SIGTERM", [](Server &s) { s.signal(SIGTERM); }, 0, 0},
        {"SIGHUP", [](Server &s) { s.signal(SIGHUP); }, -1, SIGHUP},
    };
    struct termios before;  // what every console terminal starts with
    {
        Pty fresh(true);
        ASSERT_EQ(tcgetattr(fresh.slaveFd(), &before), 0);
    }
    ASSERT_NE(before.c_lflag & ICANON, 0u);
    ASSERT_NE(before.c_lflag & ECHO, 0u);
    for (const Ending &e : endings) {
        SCOPED_TRACE(e.name);
        Server s;
        ServerOptions options;
        options.console = true;
        ASSERT_TRUE(s.start(options));
        // The greeting comes once the server has the terminal.
        ASSERT_TRUE(s.console().expect(kGreeting));
        struct termios during;
        ASSERT_EQ(tcgetattr(s.consoleTerminal(), &during), 0);
        EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(during.c_iflag & ICRNL, 0u);  // Enter arrives as CR
        EXPECT_EQ(during.c_cc[VMIN], 1);

        // Only the server's replies come back: the terminal shows nothing
        // of what is typed.  One key, without a line end, is taken at once
        // (and echoed by the server).
        EXPECT_TRUE(s.console().ask("wobex\r", ".\r\n"));
        EXPECT_TRUE(s.console().ask("e\r", ":echo on\r\n.\r\n"));
        EXPECT_TRUE(s.console().ask("x", "x"));

        e.end(s);
        int status = s.exitStatus();
        if (e.exitCode >= 0) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == e.exitCode)
                << "wait status " << status;
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == e.signal)
                << "wait status " << status;
        }
        struct termios after;
        ASSERT_EQ(tcgetattr(s.consoleTerminal(), &after), 0);
        EXPECT_TRUE(sameSettings(before, after))
            << "lflag " << std::hex << before.c_lflag << " -> " << after.c_lflag;
    }
}

}  // namespace

namespace {

// The console bridged to a board: Ctrl-C, Ctrl-Z, Ctrl-\ and Ctrl-S are
// bytes for the board, not signals for the server; Ctrl-] q leaves the
// bridge (Ctrl-] twice sends one, Ctrl-] and another key send both), and at
// the prompt Ctrl-C stops the server again.
TEST(ConsoleBridge, EveryKeyReachesTheBoardUntilTheEscapeSequence)
{
    if (!Target::get().hasConsoleKeys())
        GTEST_SKIP() << "Wine's console hands no typed keys to _kbhit and _getch";
    Pty board;
    Server s;
    s.addPort(5, board);
    ServerOptions options;
    options.console = true;
    ASSERT_TRUE(s.start(options));
    Stream &console = s.console();
    ASSERT_TRUE(console.expect(kGreeting));
    ASSERT_TRUE(console.ask("wobex\r", ".\r\n"));
    ASSERT_TRUE(console.ask("p COM5 115200\r", ".\r\n"));
    struct Case {
        const char *what;
        std::string typed;
        std::string arrives;
    };
    const Case cases[] = {
        {"Ctrl-C", "\x03", "\x03"},
        {"Ctrl-Z, Ctrl-\\, Ctrl-S, Ctrl-Q", "\x1a\x1c\x13\x11", "\x1a\x1c\x13\x11"},
        {"Ctrl-] twice", "\x1d\x1d", "\x1d"},
        {"Ctrl-] and another key", "\x1dx", "\x1dx"},
        {"Ctrl-] and Ctrl-C", "\x1d\x03", "\x1d\x03"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(console.send(c.typed));
        EXPECT_TRUE(board.master().expect(c.arrives));
    }
    EXPECT_EQ(s.exitStatus(0.2), -1) << "the server stopped";
    EXPECT_TRUE(relayed(board.master(), console, "=> "));

    // The way out: back at the identifier step, the port released.
    ASSERT_TRUE(console.send("\x1dq"));
    EXPECT_TRUE(s.waitErr("console left its bridge\n"));
    EXPECT_TRUE(console.ask("v\r", "! wrong identifier\r\n"));
    Stream other = s.login();
    EXPECT_TRUE(bridge(other, "p COM5 9600"));

    // At the prompt Ctrl-C stops the server, as before.
    ASSERT_TRUE(console.send("\x03"));
    EXPECT_TRUE(s.exitsWith(0));
}

}  // namespace
