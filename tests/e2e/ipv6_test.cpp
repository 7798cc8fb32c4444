// IPv6 end to end: clients on the IPv6 loopback beside IPv4 ones on the one
// port, bridges to IPv6 addresses and to names with several addresses, and
// who is admitted from beyond the loopback.
#include "harness.h"

#include "target.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <memory>

using namespace e2e;

namespace {

TEST(Ipv6, AClientOnEitherLoopbackIsServedAlike)
{
    Server s;
    ASSERT_TRUE(s.start());
    for (const char *address : {"::1", "127.0.0.1"}) {
        SCOPED_TRACE(address);
        Stream client = connectToAddress(address, s.port());
        EXPECT_TRUE(client.expect(kGreeting));
        EXPECT_TRUE(client.ask(std::string(kIdentifier) + "\r\n", ".\r\n"));
        EXPECT_TRUE(client.ask("v\r\n", kVersion));
    }
    EXPECT_EQ(s.err().find("rejected"), std::string::npos) << s.err();
}

TEST(Ipv6, AConnectToAnIpv6AddressBridgesBothWays)
{
    Server s;
    ASSERT_TRUE(s.start());
    Listener hostSide("::1");
    Stream client = s.login();
    ASSERT_TRUE(bridge(client, "c ::1 " + std::to_string(hostSide.port())));
    Stream host = hostSide.accept();
    EXPECT_TRUE(relayed(client, host, allByteValues()));
    EXPECT_TRUE(relayed(host, client, allByteValues()));
}

// Admission from an IPv6 address of this machine that is not the loopback,
// in a network of the test's own that has one: refused by default, with the
// address in its text form in the log, admitted with -a; the IPv6 loopback
// is admitted either way.
TEST(Ipv6, APeerBeyondTheLoopbackIsRefusedUnlessAllAreAdmitted)
{
    if (Target::get().isWine())
        GTEST_SKIP() << "Wine makes a program's sockets in its wine server, outside the test's "
                        "network namespace";
    const std::string peer = "fd5e:7e57::2";
    struct Case {
        std::vector<std::string> switches;
        bool admitted;
    };
    const Case cases[] = {{{}, false}, {{"-l"}, false}, {{"-a"}, true}};
    std::string why = inOwnNetwork({peer + "/128"}, [&] {
        for (const Case &k : cases) {
            SCOPED_TRACE(k.switches.empty() ? "by default" : k.switches[0]);
            Server s;
            ServerOptions options;
            options.switches = k.switches;
            ASSERT_TRUE(s.start(options));
            Stream client = connectToAddress(peer, s.port(), peer);
            if (k.admitted) {
                EXPECT_TRUE(client.expect(kGreeting));
                EXPECT_TRUE(client.ask(std::string(kIdentifier) + "\r\n", ".\r\n"));
            } else {
                EXPECT_TRUE(client.expectClosed());
                EXPECT_TRUE(s.waitErr("rejected connection " + std::to_string(AF_INET6) + "\n"));
                EXPECT_TRUE(s.waitOut("\n" + peer + "\n"));
            }
            Stream local = connectToAddress("::1", s.port());
            EXPECT_TRUE(local.expect(kGreeting));
        }
    });
    if (!why.empty()) GTEST_SKIP() << why;
}

// A socket bound to address:port that does not listen: a connect to it is
// refused.  -1 if the address and port cannot be had: with a failure, or,
// when `taken` is given, with *taken set if another socket holds them.
int refusingSocket(const std::string &address, int port, bool *taken = nullptr)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    struct addrinfo *a = nullptr;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &a) != 0) {
        ADD_FAILURE() << "no address " << address;
        return -1;
    }
    int s = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s >= 0 && bind(s, a->ai_addr, a->ai_addrlen) != 0) {
        if (taken && errno == EADDRINUSE) *taken = true;
        else ADD_FAILURE() << "bind " << address << " port " << port << ": " << strerror(errno);
        close(s);
        s = -1;
    }
    freeaddrinfo(a);
    return s;
}

// A name with an IPv6 and an IPv4 address, which the resolver gives in that
// order (::1 before 127.0.0.1: RFC 6724 puts the IPv6 loopback first, and
// so does the file), from a hosts file that only the server sees.  Each is
// tried in turn, within the connect's time, until one takes the connection;
// every refusal is logged.
TEST(Ipv6, ANamesAddressesAreTriedInTheResolversOrder)
{
    std::string why = ownHostsFileUnavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    TempDir dir;
    const std::string hosts = dir.path() + "/hosts";
    std::ofstream(hosts) << "127.0.0.1 localhost\n"
                            "::1 both.velkor.test\n"
                            "127.0.0.1 both.velkor.test\n"
                            "::1 six.velkor.test\n";
    Server s;
    ServerOptions options;
    options.hostsFile = hosts;
    ASSERT_TRUE(s.start(options));
    struct Case {
        const char *what;
        const char *name;
        const char *listening;  // where the test host listens ("" nowhere)
        std::vector<std::string> refusing;
        size_t refusals;  // connect errors logged
    };
    const Case cases[] = {
        {"the first refuses, the second takes it", "both.velkor.test", "127.0.0.1", {"::1"}, 1},
        {"the first takes it", "both.velkor.test", "::1", {"127.0.0.1"}, 0},
        {"a name with an IPv6 address alone", "six.velkor.test", "::1", {}, 0},
        {"every one refuses", "both.velkor.test", "", {"::1", "127.0.0.1"}, 2},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        std::unique_ptr<Listener> hostSide;
        std::vector<int> refusers;
        int port = 0;
        // The port had on one address may be in use on the other (other
        // tests run meanwhile): then all of it again, on another port.
        for (int tries = 0; tries < 20; tries++) {
            for (int r : refusers) close(r);
            refusers.clear();
            hostSide.reset();
            port = 0;
            if (*k.listening) {
                hostSide.reset(new Listener(k.listening));
                port = hostSide->port();
            }
            bool taken = false;
            for (const std::string &address : k.refusing) {
                int r = refusingSocket(address, port, &taken);
                if (r < 0) break;
                refusers.push_back(r);
                if (port == 0) {
                    struct sockaddr_storage a;
                    socklen_t len = sizeof a;
                    getsockname(r, (struct sockaddr *)&a, &len);
                    port = ntohs(((struct sockaddr_in *)&a)->sin_port);  // same place in both
                }
            }
            if (!taken) break;
        }
        ASSERT_EQ(refusers.size(), k.refusing.size());
        const size_t errorsBefore = countOf(s.out(), "connect error code -1 ");
        Stream client = s.login();
        const std::string command = std::string("c ") + k.name + " " + std::to_string(port);
        if (hostSide) {
            ASSERT_TRUE(bridge(client, command));
            Stream host = hostSide->accept();
            EXPECT_TRUE(relayed(client, host, "there"));
            EXPECT_TRUE(relayed(host, client, "back"));
        } else {
            EXPECT_TRUE(client.ask(command + "\n", "! could not connect\r\n"));
        }
        // The log may come a moment after the reply.
        s.waitLogs([&](const std::string &out, const std::string &) {
            return countOf(out, "connect error code -1 ") >= errorsBefore + k.refusals;
        });
        EXPECT_EQ(countOf(s.out(), "connect error code -1 ") - errorsBefore, k.refusals)
            << s.out();
        for (int r : refusers) close(r);
    }
}

}  // namespace
