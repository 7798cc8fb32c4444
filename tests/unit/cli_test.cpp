// The command line through the real binary: switch parsing, the usage text byte for
// byte on its stream, exit statuses, the start-up line and the listener's
// failure.  The listener's bind error is checked here too, since it ends the
// process.
#include "fixtures.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <sstream>

namespace {

std::string usageText(const std::string &program)
{
    return "usage " + program + " [switches]\n\n"
           "switches:\n"
           "-p<port>      TCP/IP port number to use\n"
           "-w<pw>        Set expected identifier to <pw>\n"
           "-a            accept connections from other computers\n"
           "\nexample:\n" +
           program + " -p9998 -a -wpapaya\n"
                     "This will tell server to use port 9998\n"
                     "Allow connections from any computer\n"
                     "Set password to papaya\n"
                     "\n"
                     "velkor.example.org\n";
}

struct UsageCase {
    std::vector<std::string> args;
    const char *stderrText;
};

// Every rejected command line: the usage text alone on standard output,
// status 1; an unrecognised switch adds exactly one line on standard error.
const UsageCase usageCases[] = {
    {{"-h"}, ""},
    {{"-?"}, ""},
    {{"-help"}, ""},
    {{"-b", "-h", "-a"}, ""},  // parsing stops at -h
    {{"-"}, "Unknown switch -\n"},
    {{"-A"}, "Unknown switch -A\n"},
    {{"-a", "-x9"}, "Unknown switch -x9\n"},
    {{"-p", "9998"}, ""},  // "-p" sets port 0, then "9998" is no switch
    {{"9998"}, ""},
    {{"-b", "-a", "extra"}, ""},
};

TEST(CommandLine, RejectedCommandLinesPrintUsageAndExitWithOne)
{
    for (const UsageCase &c : usageCases) {
        std::string label;
        for (const std::string &a : c.args) label += a + " ";
        fx::Server s(c.args, -1, "velkor");
        ASSERT_TRUE(s.finish()) << label;
        EXPECT_EQ(s.exitCode(), 1) << label;
        EXPECT_EQ(s.out, usageText("velkor")) << label;
        EXPECT_EQ(s.err, c.stderrText) << label;
    }
}

TEST(CommandLine, UsageNamesTheProgramAsInvoked)
{
    fx::Server s({"-h"}, -1, "/opt/tools/velkor-x");
    ASSERT_TRUE(s.finish());
    EXPECT_EQ(s.exitCode(), 1);
    EXPECT_EQ(s.out, usageText("/opt/tools/velkor-x"));
    EXPECT_EQ(s.err, "");
}

// The port a process listens on through its descriptor fd, read from
// /proc: the socket's inode, then its line in /proc/net/tcp.  -1 if none.
int listeningPort(pid_t pid, int fd)
{
    char link[64], target[256];
    snprintf(link, sizeof link, "/proc/%d/fd/%d", (int)pid, fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return -1;
    target[n] = 0;
    unsigned long inode = 0;
    if (sscanf(target, "socket:[%lu]", &inode) != 1) return -1;
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line);
    while (std::getline(tcp, line)) {
        std::istringstream in(line);
        std::string slot, local, remote, state, queues, timer, retr, uid, timeout, ino;
        in >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> ino;
        if (std::stoul(ino) != inode || state != "0A") continue;
        return (int)std::stoul(local.substr(local.find(':') + 1), nullptr, 16);
    }
    return -1;
}

TEST(CommandLine, NonNumericPortListensOnASystemChosenPortAndPrintsZero)
{
    fx::Server s({"-pabc", "-b"});
    ASSERT_TRUE(s.waitOut("\n")) << s.out;
    int sock = -1;
    ASSERT_EQ(sscanf(s.out.c_str(), "server socket %d connected to tcpip port 0\n", &sock), 1)
        << s.out;
    EXPECT_EQ(s.out, "server socket " + std::to_string(sock) + " connected to tcpip port 0\n");
    int port = listeningPort(s.pid, sock);
    EXPECT_GT(port, 0);
    int c = fx::connectLoopback((unsigned short)port);
    EXPECT_GE(c, 0);
    if (c >= 0) close(c);
    EXPECT_TRUE(s.stop(SIGKILL));
    EXPECT_EQ(s.err, "");
}

TEST(CommandLine, PortAbove65535UsesItsLow16BitsAndPrintsTheFullValue)
{
    fx::Server s({"-p70000", "-b"});
    ASSERT_TRUE(s.waitOut("\n")) << s.out;
    if (s.out.rfind("bind error code ", 0) == 0) {
        s.finish();
        GTEST_SKIP() << "port 4464 is held by another program: " << s.out;
    }
    int sock = -1;
    ASSERT_EQ(sscanf(s.out.c_str(), "server socket %d connected to tcpip port 70000\n", &sock), 1)
        << s.out;
    EXPECT_EQ(s.out, "server socket " + std::to_string(sock) + " connected to tcpip port 70000\n");
    EXPECT_EQ(listeningPort(s.pid, sock), 4464);
    int c = fx::connectLoopback(4464);
    EXPECT_GE(c, 0);
    if (c >= 0) close(c);
    EXPECT_TRUE(s.stop(SIGKILL));
}

TEST(CommandLine, BusyPortEndsWithBindErrorAndStatusOne)
{
    int holder = fx::listenLoopback();
    ASSERT_GE(holder, 0);
    unsigned short port = fx::localPort(holder);
    fx::Server s({"-p" + std::to_string(port), "-b"});
    ASSERT_TRUE(s.finish());
    close(holder);
    EXPECT_EQ(s.exitCode(), 1);
    // Only descriptors 0-2 are inherited, so the listener's socket is 3.
    EXPECT_EQ(s.out, "bind error code 3 98 \n");
    EXPECT_EQ(s.err, "");
}

}  // namespace
