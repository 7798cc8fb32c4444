// The command line through the real binary: switch parsing, the usage text
// byte for byte on its stream, exit statuses, the start-up line, and the
// listener's failure to bind, which ends the process.
#include "harness.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

std::string usageText(const std::string &program)
{
    return "usage " + program + " [switches]\n\n"
           "switches:\n"
           "-p<port>      TCP/IP port number to use\n"
           "-w<pw>        Set expected identifier to <pw>\n"
           "-W<port>      also serve the browser console over HTTP on this TCP port\n"
           "-U<file>      named users and their rights (<name>:<hash>:<rights> lines)\n"
           "-P            read a password from standard input and print its hash for -U\n"
           "-N<name>      a name the browser console answers to besides this host's (may repeat)\n"
           "-R<port>=COM<n> also listen on this TCP port for RFC 2217 clients of COM<n>\n"
           "-a            accept connections from other computers\n"
           "-L<dir>       hold every port open and log it to <dir>/COM<n>.log\n"
           "-S<bytes>     rotate a port's log at this size (default 10485760)\n"
           "-K<count>     old log files kept per port (default 5)\n"
           "-B<baud>      speed of ports opened for -L or w (default 115200)\n"
           "-BCOM<n>:<baud> the same for one port\n"
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
    const char *program = "velkor";  // the name it is invoked by
};

// Every rejected command line: the usage text alone on standard output,
// naming the program as invoked, status 1; an unrecognised switch adds
// exactly one line on standard error.
const UsageCase usageCases[] = {
    {{"-h"}, ""},
    {{"-h"}, "", "/opt/tools/velkor-x"},
    {{"-?"}, ""},
    {{"-help"}, ""},
    {{"-b", "-h", "-a"}, ""},  // parsing stops at -h
    {{"-"}, "Unknown switch -\n"},
    {{"-A"}, "Unknown switch -A\n"},
    {{"-a", "-x9"}, "Unknown switch -x9\n"},
    {{"-p", "9998"}, "Bad switch -p: not a TCP port (1 to 65535)\n"},  // the value is glued on
    {{"9998"}, ""},
    {{"-b", "-a", "extra"}, ""},
    // A port listener that is not "<tcp port>=COM<n>".
    {{"-R"}, "Bad switch -R\n"},
    {{"-R4000"}, "Bad switch -R4000\n"},
    {{"-R4000=COM"}, "Bad switch -R4000=COM\n"},
    {{"-R=COM1"}, "Bad switch -R=COM1\n"},
    {{"-R70000=COM1"}, "Bad switch -R70000=COM1\n"},
    {{"-R0=COM1"}, "Bad switch -R0=COM1\n"},
    {{"-R4000=COM01"}, "Bad switch -R4000=COM01\n"},
    {{"-R4000=COM1000"}, "Bad switch -R4000=COM1000\n"},
    {{"-R4000=com1"}, "Bad switch -R4000=com1\n"},
    {{"-R4000=COM1x"}, "Bad switch -R4000=COM1x\n"},
    {{"-b", "-R4000=COM1", "-R4001:COM2"}, "Bad switch -R4001:COM2\n"},
    {{"-Bfast"}, "Unknown speed -Bfast\n"},
    {{"-BCOM5:"}, "Unknown speed -BCOM5:\n"},
    {{"-B0"}, "Unknown speed -B0\n"},
    {{"-B-9600"}, "Unknown speed -B-9600\n"},
    {{"-B9600x"}, "Unknown speed -B9600x\n"},
    {{"-BCOM5:0"}, "Unknown speed -BCOM5:0\n"},
    {{"-BCOM5:115200baud"}, "Unknown speed -BCOM5:115200baud\n"},
    // A TCP port is a whole number 1 to 65535, for -p and -W alike.
    {{"-pabc"}, "Bad switch -pabc: not a TCP port (1 to 65535)\n"},
    {{"-p0"}, "Bad switch -p0: not a TCP port (1 to 65535)\n"},
    {{"-p65536"}, "Bad switch -p65536: not a TCP port (1 to 65535)\n"},
    {{"-p99999"}, "Bad switch -p99999: not a TCP port (1 to 65535)\n"},
    {{"-p-80"}, "Bad switch -p-80: not a TCP port (1 to 65535)\n"},
    {{"-p+80"}, "Bad switch -p+80: not a TCP port (1 to 65535)\n"},
    {{"-p 80"}, "Bad switch -p 80: not a TCP port (1 to 65535)\n"},
    {{"-p80x"}, "Bad switch -p80x: not a TCP port (1 to 65535)\n"},
    {{"-p18446744073709551696"}, "Bad switch -p18446744073709551696: not a TCP port (1 to 65535)\n"},
    {{"-W0"}, "Bad switch -W0: not a TCP port (1 to 65535)\n"},
    {{"-Wweb"}, "Bad switch -Wweb: not a TCP port (1 to 65535)\n"},
    // Port logs: a directory, a size a file can hold lines in, a count.
    {{"-L"}, "Bad switch -L: no directory given\n"},
    {{"-S10"}, "Bad switch -S10: not a size in bytes (1024 to 2147483647)\n"},
    {{"-S1023"}, "Bad switch -S1023: not a size in bytes (1024 to 2147483647)\n"},
    {{"-S10M"}, "Bad switch -S10M: not a size in bytes (1024 to 2147483647)\n"},
    {{"-S"}, "Bad switch -S: not a size in bytes (1024 to 2147483647)\n"},
    {{"-K-1"}, "Bad switch -K-1: not a count of old log files (0 to 1000)\n"},
    {{"-K1001"}, "Bad switch -K1001: not a count of old log files (0 to 1000)\n"},
    {{"-Kfive"}, "Bad switch -Kfive: not a count of old log files (0 to 1000)\n"},
    // Two listeners on one TCP port: the later switch is named.
    {{"-p7001", "-R7001=COM1"}, "Bad switch -R7001=COM1: TCP port 7001 is taken by -p7001\n"},
    {{"-p7000", "-R7001=COM1", "-R7001=COM2"},
     "Bad switch -R7001=COM2: TCP port 7001 is taken by -R7001=COM1\n"},
    {{"-p7000", "-W7000"}, "Bad switch -W7000: TCP port 7000 is taken by -p7000\n"},
    {{"-W9999"}, "Bad switch -W9999: TCP port 9999 is taken by -p9999\n"},  // -p's default
    {{"-p7000", "-W7002", "-R7002=COM3"}, "Bad switch -R7002=COM3: TCP port 7002 is taken by -W7002\n"},
};

TEST(CommandLine, RejectedCommandLinesPrintUsageAndExitWithOne)
{
    for (const UsageCase &c : usageCases) {
        std::string label = c.program;
        for (const std::string &a : c.args) label += " " + a;
        SCOPED_TRACE(label);
        e2e::Server s;
        e2e::ServerOptions options;
        options.programName = c.program;
        ASSERT_TRUE(s.run(c.args, options));
        EXPECT_TRUE(s.exitsWith(1));
        EXPECT_EQ(s.out(), usageText(c.program));
        EXPECT_EQ(s.err(), c.stderrText);
    }
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
    // An IPv6 listener (which may take IPv4 clients too) is in tcp6.
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream tcp(table);
        std::string line;
        std::getline(tcp, line);
        while (std::getline(tcp, line)) {
            std::istringstream in(line);
            std::string slot, local, remote, state, queues, timer, retr, uid, timeout, ino;
            in >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >>
                ino;
            if (std::stoul(ino) != inode || state != "0A") continue;
            return (int)std::stoul(local.substr(local.find(':') + 1), nullptr, 16);
        }
    }
    return -1;
}

// A value with leading zeros is the number it writes, as given; the
// printed port is the one listened on.
TEST(CommandLine, PortSwitchWithLeadingZerosListensOnItsNumber)
{
    // The free port may be taken before the server binds it: then again.
    for (int attempt = 0; attempt < 5; attempt++) {
        int free = e2e::freePort();
        e2e::Server s;
        ASSERT_TRUE(s.run({"-p00" + std::to_string(free), "-b"}));
        ASSERT_TRUE(s.waitOut("\n"));
        if (s.out().rfind("bind error code ", 0) == 0) {
            EXPECT_TRUE(s.exitsWith(1));
            continue;
        }
        int sock = -1;
        ASSERT_EQ(sscanf(s.out().c_str(), "server socket %d connected to tcpip port", &sock), 1)
            << s.out();
        EXPECT_EQ(s.out(), "server socket " + std::to_string(sock) + " connected to tcpip port " +
                               std::to_string(free) + "\n");
        EXPECT_EQ(listeningPort(s.pid(), sock), free);
        EXPECT_EQ(s.err(), "");
        break;
    }
}

// A port listener for a port the port list does not hold starts (a board
// may be plugged in later) with one warning; a ports directory that cannot
// be read is reported once at start-up.
TEST(CommandLine, PortListAsItIsAtStartUp)
{
    struct Case {
        const char *what;
        bool comThere;
        bool dirThere;
    };
    const Case cases[] = {
        {"port there", true, true},
        {"port not there", false, true},
        {"no ports directory", false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        e2e::Pty pty;
        e2e::Server s;
        if (c.comThere) s.addPort(9, pty);
        if (!c.dirThere) s.removePorts();
        const std::string listener = "-R" + std::to_string(e2e::freePort()) + "=COM9";
        const int port = e2e::freePort();
        ASSERT_TRUE(s.run({"-p" + std::to_string(port), "-b", listener}));
        ASSERT_TRUE(s.waitOut("for COM9\n"));
        // The lines come before the server greets its first client.
        e2e::Stream client = e2e::connectTo(port);
        EXPECT_TRUE(client.expect(e2e::kGreeting));
        std::string want;
        if (!c.comThere) {
            want = listener + ": COM9 is not there now; its clients are closed until it is\n";
        }
        // The line about the client that came is not the start-up's.
        ASSERT_TRUE(s.waitErr(" in slot 0\n"));
        std::string err = s.err();
        size_t clientLine = err.find("client 127.0.0.1:");
        ASSERT_NE(clientLine, std::string::npos) << err;
        err.erase(clientLine, err.find('\n', clientLine) + 1 - clientLine);
        if (!c.dirThere) {
            // The harness's directory, with the name of one that is not there.
            const std::string line = " is not a directory that can be read: no port opens\n";
            size_t end = err.find(line);
            ASSERT_NE(end, std::string::npos) << err;
            EXPECT_EQ(err.rfind("VELKOR_PORTS=/", 0), 0u) << err;
            EXPECT_EQ(err.substr(end - 8, 8), "/missing") << err;
            err.erase(0, end + line.size());
        }
        EXPECT_EQ(err, want);
    }
}

// Each -R is a listener of its own on its TCP port, named in a start-up line.
TEST(CommandLine, EachPortListenerListensOnItsPort)
{
    int first = e2e::freePort(), second = e2e::freePort();
    e2e::Server s;
    ASSERT_TRUE(s.run({"-p" + std::to_string(e2e::freePort()), "-b",
                       "-R" + std::to_string(first) + "=COM1",
                       "-R" + std::to_string(second) + "=COM27"}));
    ASSERT_TRUE(s.waitOut("for COM27\n"));
    int a = -1, b = -1;
    const std::string out = s.out();
    const char *line = strstr(out.c_str(), "port socket ");
    ASSERT_NE(line, nullptr) << out;
    ASSERT_EQ(sscanf(line, "port socket %d", &a), 1);
    line = strstr(line + 1, "port socket ");
    ASSERT_NE(line, nullptr) << out;
    ASSERT_EQ(sscanf(line, "port socket %d", &b), 1);
    EXPECT_NE(out.find("port socket " + std::to_string(a) + " connected to tcpip port " +
                       std::to_string(first) + " for COM1\n"),
              std::string::npos);
    EXPECT_NE(out.find("port socket " + std::to_string(b) + " connected to tcpip port " +
                       std::to_string(second) + " for COM27\n"),
              std::string::npos);
    EXPECT_EQ(listeningPort(s.pid(), a), first);
    EXPECT_EQ(listeningPort(s.pid(), b), second);
}

TEST(CommandLine, BusyPortEndsWithBindErrorAndStatusOne)
{
    e2e::Listener holder;
    e2e::Server s;
    ASSERT_TRUE(s.run({"-p" + std::to_string(holder.port()), "-b"}));
    EXPECT_TRUE(s.exitsWith(1));
    // Only descriptors 0-2 are inherited, so the listener's socket is 3.
    EXPECT_EQ(s.out(), "bind error code 3 " + std::to_string(EADDRINUSE) + " \n");
    EXPECT_EQ(s.err(), "");
}

}  // namespace
