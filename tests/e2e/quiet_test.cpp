// A server with nothing it can do must wait, not spin.  Each case brings the
// server into a state in which a wait that kept ending at once would turn
// the loop without end: idle, a bridged port with nothing arriving, output
// held by a port that takes nothing, input that the client does not take, a
// port whose other side hung up (also while its input is held), output held
// by a TCP target that reads nothing, a TCP target that closed, a console at
// the end of its input.  Then the server's CPU time over a few seconds must stay
// a small share of that time (a spinning loop takes most of a core); and
// since nothing is due in any of these states, the native server must not
// wake at all (under Wine the process has threads of Wine's own).
#include "harness.h"

#include "target.h"

#include <dirent.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>

using namespace e2e;

namespace {

// The window over which CPU time is measured, the most the server may use
// in it, and the most times it may wake in it (a stray signal or two).
const double kWindow = 3.0;
const double kMostCpu = 0.3;
const long kMostWakeUps = 5;

// How many times the process's threads have gone to sleep and been woken,
// or been switched out, so far (-1 if unknown).
long wakeUps(pid_t pid)
{
    DIR *tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (!tasks) return -1;
    long total = 0;
    while (struct dirent *t = readdir(tasks)) {
        if (t->d_name[0] == '.') continue;
        std::ifstream status("/proc/" + std::to_string(pid) + "/task/" + t->d_name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::stol(line.substr(line.find(':') + 1));
        }
    }
    closedir(tasks);
    return total;
}

struct Quiet {
    std::unique_ptr<Pty> pty{new Pty()};
    Listener hostSide;
    Server s;
    Stream client;
    Stream host;
};

struct QuietCase {
    const char *name;
    ServerOptions options;
    // Brings the started server (COM5 stands for q.pty) into the state.
    void (*enter)(Quiet &q);
};

void PrintTo(const QuietCase &c, std::ostream *os) { *os << c.name; }

class NoBusyLoop : public testing::TestWithParam<QuietCase> {};

TEST_P(NoBusyLoop, TheServerWaits)
{
    Quiet q;
    q.s.addPort(5, *q.pty);
    ASSERT_TRUE(q.s.start(GetParam().options));
    GetParam().enter(q);
    if (HasFatalFailure()) return;

    // What the state's own start leaves to settle (a port given up after
    // its failed reads, a closed target) is over before the window.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    double before = q.s.cpuSeconds();
    long wokeBefore = wakeUps(q.s.pid());
    // A measuring window, not a wait for something to happen.
    std::this_thread::sleep_for(std::chrono::duration<double>(kWindow));
    double used = q.s.cpuSeconds() - before;
    long woke = wakeUps(q.s.pid()) - wokeBefore;
    ASSERT_GE(before, 0.0) << "no CPU time for the server process";
    EXPECT_LT(used, kMostCpu) << "CPU seconds in " << kWindow << " s";
    if (!Target::get().isWine()) {
        ASSERT_GE(wokeBefore, 0) << "no context switch counts for the server process";
        EXPECT_LE(woke, kMostWakeUps) << "wake-ups in " << kWindow << " s";
    }
    // And it still serves.
    q.s.passTurn();
}

void loggedIn(Quiet &q) { q.client = q.s.login(); }

void bridged(Quiet &q)
{
    q.client = q.s.login();
    ASSERT_TRUE(bridge(q.client, "p COM5 115200"));
    ASSERT_TRUE(relayed(q.client, q.pty->master(), "ping"));
    ASSERT_TRUE(relayed(q.pty->master(), q.client, "pong"));
}

void outputHeld(Quiet &q)
{
    bridged(q);
    // Nobody reads the port: the server holds back once the device and
    // its own queue are full, and the client's data waits in its socket.
    const std::string data = pattern(64u << 20);
    ASSERT_LT(pushUntilStalled(q.client, data, 2.0), data.size());
}

void inputNotTaken(Quiet &q)
{
    q.client = q.s.login(16 << 10);
    ASSERT_TRUE(bridge(q.client, "p COM5 115200"));
    // The client reads nothing: the server holds the port's input back,
    // and the device's input queue fills.
    const std::string data = pattern(64u << 20);
    ASSERT_LT(pushUntilStalled(q.pty->master(), data, 2.0), data.size());
}

void portHungUp(Quiet &q)
{
    bridged(q);
    q.pty.reset();
}

void targetClosed(Quiet &q)
{
    q.client = q.s.login();
    q.host = bridgeToHost(q.client, q.hostSide);
    ASSERT_TRUE(relayed(q.client, q.host, "ping"));
    q.host.close();
    ASSERT_TRUE(q.s.waitOut("client disconnected "));
}

void inputHeldThenPortGone(Quiet &q)
{
    inputNotTaken(q);
    // The port's other side goes away while its input is held back.
    q.pty.reset();
}

void tcpOutputHeld(Quiet &q)
{
    q.client = q.s.login();
    q.host = bridgeToHost(q.client, q.hostSide);
    // The host reads nothing: the server holds the client's data back.
    const std::string data = pattern(64u << 20);
    ASSERT_LT(pushUntilStalled(q.client, data, 2.0), data.size());
}

void consoleOnly(Quiet &) {}

ServerOptions withConsoleAtEnd()
{
    ServerOptions o;
    o.consoleAtEnd = true;
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    States, NoBusyLoop,
    testing::Values(QuietCase{"Idle", ServerOptions(), loggedIn},
                    QuietCase{"SilentSerialBridge", ServerOptions(), bridged},
                    QuietCase{"SerialOutputHeld", ServerOptions(), outputHeld},
                    QuietCase{"SerialInputNotTaken", ServerOptions(), inputNotTaken},
                    QuietCase{"SerialPortHungUp", ServerOptions(), portHungUp},
                    QuietCase{"SerialPortGoneWhileItsInputIsHeld", ServerOptions(),
                              inputHeldThenPortGone},
                    QuietCase{"TcpOutputHeld", ServerOptions(), tcpOutputHeld},
                    QuietCase{"TcpTargetClosed", ServerOptions(), targetClosed},
                    QuietCase{"ConsoleAtEndOfInput", withConsoleAtEnd(), consoleOnly}),
    [](const testing::TestParamInfo<QuietCase> &c) { return c.param.name; });

}  // namespace
