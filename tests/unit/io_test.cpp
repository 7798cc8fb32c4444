// The device and socket layer in process, over real loopback sockets: the
// watched set, the wait and its pace, the listener with its loopback filter,
// outgoing connections, kva_print_hex, and the socket transfers.
#include "unit_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

namespace {

class Layer : public ::testing::Test {
protected:
    void SetUp() override { unit::resetLayer(); }
    void TearDown() override { unit::resetLayer(); }
};

std::vector<int> members(const KvaSet &s)
{
    return std::vector<int>(s.fds, s.fds + s.count);
}

bool isOpenFd(int fd) { return fcntl(fd, F_GETFD) != -1; }

// An outgoing connection taken to its end the way the loop takes it: begun,
// then stepped after each wait, until it has connected (the socket) or
// failed (-1).
int connectToEnd(const char *host, unsigned short port)
{
    KvaConnect *c = kva_connect_begin(host, port);
    if (!c) return -1;
    int s = -1;
    int r;
    while ((r = kva_connect_step(c, &s)) == 1) {
        kva_connect_watch(c);
        kva_wait(10000);
    }
    kva_connect_end(c);
    return r == 0 ? s : -1;
}

// ---- the watched set -------------------------------------------------

TEST(WatchedSet, AddAndRemoveRules)
{
    KvaSet s;
    memset(&s, 0, sizeof s);
    for (int i = 0; i < 64; i++) kva_set_add(&s, 100 + i);
    EXPECT_EQ(s.count, 64u);
    kva_set_add(&s, 999);  // the 65th is not added
    EXPECT_EQ(s.count, 64u);
    EXPECT_FALSE(kva_set_has(&s, 999));

    struct Step {
        int remove;
        std::vector<int> expect;
    };
    memset(&s, 0, sizeof s);
    for (int v : {5, 6, 7, 8, 6}) kva_set_add(&s, v);  // no duplicate test
    const Step steps[] = {
        {42, {5, 6, 7, 8, 6}},  // not a member: nothing changes
        {7, {5, 6, 8, 6}},      // middle: order kept
        {6, {5, 8, 6}},         // first match only
        {5, {8, 6}},            // front
        {6, {8}},               // back
        {8, {}},
        {8, {}},  // empty set stays empty
    };
    for (const Step &st : steps) {
        kva_set_remove(&s, st.remove);
        EXPECT_EQ(members(s), st.expect) << "after removing " << st.remove;
    }
}

TEST_F(Layer, SixtyFiveSocketsTheLastIsReturnedButNotWatched)
{
    e2e::Listener l;
    std::vector<int> socks;
    {
        unit::Capture c;  // 65 "port %d host %s" lines
        for (int i = 0; i < 65; i++) {
            socks.push_back(connectToEnd("127.0.0.1", (unsigned short)l.port()));
            l.accept();  // keeps the backlog empty
        }
    }
    for (int s : socks) ASSERT_GE(s, 0);
    ASSERT_EQ(watchedSet.count, 64u);
    EXPECT_EQ(members(watchedSet), std::vector<int>(socks.begin(), socks.begin() + 64));
    EXPECT_FALSE(kva_set_has(&watchedSet, socks[64]));
    EXPECT_TRUE(isOpenFd(socks[64]));

    kva_close_socket(socks[10]);  // a place frees up; the 65th stays unwatched
    EXPECT_EQ(watchedSet.count, 63u);
    EXPECT_FALSE(kva_set_has(&watchedSet, socks[64]));
    EXPECT_FALSE(isOpenFd(socks[10]));
    std::vector<int> expect(socks.begin(), socks.begin() + 64);
    expect.erase(expect.begin() + 10);
    EXPECT_EQ(members(watchedSet), expect);
    kva_close_socket(socks[64]);  // a non-member: closed, set unchanged
    EXPECT_EQ(members(watchedSet), expect);
}

TEST_F(Layer, InitTwiceKeepsTheSetAndCloseThenInitStartsEmpty)
{
    e2e::Listener l;
    int s;
    {
        unit::Capture c;
        s = connectToEnd("127.0.0.1", (unsigned short)l.port());
    }
    ASSERT_GE(s, 0);
    EXPECT_EQ(kva_init(), 0);
    EXPECT_EQ(members(watchedSet), std::vector<int>{s});
    {
        unit::Capture c;
        kva_close();
    }
    EXPECT_EQ(kva_init(), 0);
    EXPECT_EQ(watchedSet.count, 0u);
    // Started again, the layer serves as before.
    s = connectToEnd("127.0.0.1", (unsigned short)l.port());
    EXPECT_GE(s, 0);
    EXPECT_EQ(members(watchedSet), std::vector<int>{s});
}

TEST_F(Layer, CloseReportsEverySocketInSetOrderAndClosesThem)
{
    e2e::Listener l;
    std::vector<int> socks;
    {
        unit::Capture c;
        for (int i = 0; i < 3; i++)
            socks.push_back(connectToEnd("127.0.0.1", (unsigned short)l.port()));
    }
    // Set order, not descriptor order.
    kva_set_remove(&watchedSet, socks[0]);
    kva_set_add(&watchedSet, socks[0]);
    unit::Capture c;
    EXPECT_EQ(kva_close(), 0);
    c.stop();
    EXPECT_EQ(c.out, "kva_close: " + std::to_string(socks[1]) + " \nkva_close: " +
                         std::to_string(socks[2]) + " \nkva_close: " + std::to_string(socks[0]) +
                         " \n");
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(watchedSet.count, 0u);
    for (int s : socks) EXPECT_FALSE(isOpenFd(s));

    unit::Capture again;  // empty set, layer stopped: nothing printed
    kva_close();
    again.stop();
    EXPECT_EQ(again.out, "");
}

// ---- the wait ------------------------------------------------------------

// The wait lasts until the nearest of what was asked for: the caller's own
// limit, a deadline something asked to be woken at, or no wait at all when
// work is pending; and it is not cut short with nothing ready.
TEST_F(Layer, WaitEndsAtTheNearestDeadline)
{
    struct Case {
        const char *what;
        int limitUs;
        int wakeWithinMs;  // -1: none asked for
        bool workPending;
        long long minMs, maxMs;
    };
    const Case cases[] = {
        {"the caller's limit", 40000, -1, false, 35, 1000},
        {"a deadline nearer than the limit", 2000000, 30, false, 25, 1000},
        {"the limit nearer than a deadline", 30000, 2000, false, 25, 1000},
        {"a deadline and no limit", -1, 40, false, 35, 1000},
        {"work pending", -1, 2000, true, 0, 100},
        {"no wait at all", 0, -1, false, 0, 100},
    };
    for (const Case &c : cases) {
        if (c.wakeWithinMs >= 0) kva_wake_within(c.wakeWithinMs);
        if (c.workPending) kva_work_pending();
        long long t0 = unit::nowMs();
        EXPECT_EQ(kva_wait(c.limitUs), 0) << c.what;
        long long took = unit::nowMs() - t0;
        EXPECT_GE(took, c.minMs) << c.what;
        EXPECT_LE(took, c.maxMs) << c.what;
    }
}

TEST_F(Layer, WaitReportsTheReadyMembersOnly)
{
    unit::Capture cap;
    int server = kva_open_server(0);
    cap.stop();
    unit::TcpPair quiet;
    kva_set_add(&watchedSet, quiet.mine);
    EXPECT_EQ(kva_wait(10000), 0);
    EXPECT_EQ(readySet.count, 0u);

    e2e::Stream c = e2e::connectTo(unit::localPort(server));
    quiet.peer.send("x");
    ASSERT_TRUE(unit::waitPending(quiet.mine, 1));
    EXPECT_EQ(kva_wait(10000), 2);
    EXPECT_EQ(members(readySet), (std::vector<int>{server, quiet.mine}));
    kva_set_remove(&watchedSet, quiet.mine);
}

// ---- listener and accept filter -----------------------------------------

TEST_F(Layer, AcceptWithoutAReadyListenerReturnsMinusOneSilently)
{
    unit::Capture c;
    int server = kva_open_server(0);
    e2e::Stream peer = e2e::connectTo(unit::localPort(server));
    int r = kva_accept(server, true);  // no wait yet: readySet is empty
    c.stop();
    EXPECT_EQ(r, -1);
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "");
}

// One connection per wait, also when an IPv4 and an IPv6 client wait (on
// one socket, or on the two of a listener that is two).
TEST_F(Layer, AtMostOneAcceptPerWait)
{
    unit::Capture c;
    int server = kva_open_server(0);
    const std::vector<int> listening = members(watchedSet);
    e2e::Stream p1 = e2e::connectToAddress("127.0.0.1", unit::localPort(server));
    e2e::Stream p2 = e2e::connectToAddress("::1", unit::localPort(server));
    kva_wait(100000);
    int a1 = kva_accept(server, true);
    int a2 = kva_accept(server, true);
    kva_wait(100000);
    int a3 = kva_accept(server, true);
    c.stop();
    EXPECT_GE(a1, 0);
    EXPECT_EQ(a2, -1);
    EXPECT_GE(a3, 0);
    std::vector<int> expect = listening;
    expect.insert(expect.end(), {a1, a3});
    EXPECT_EQ(members(watchedSet), expect);
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "");
}

// Who is admitted, and what a refusal logs, for a peer connecting from
// `from` to `to` on the listener (one port for both families).  An IPv4
// peer is itself also where it arrives as an IPv4-mapped IPv6 address.
struct FilterCase {
    const char *to, *from;
    bool localOnly;
    bool admitted;
    const char *out, *err;
};

void checkFilter(const FilterCase *cases, size_t count)
{
    unit::Capture open;
    int server = kva_open_server(0);
    open.stop();
    const std::vector<int> listening = members(watchedSet);
    for (size_t i = 0; i < count; i++) {
        const FilterCase &k = cases[i];
        SCOPED_TRACE(std::string(k.from) + " to " + k.to + (k.localOnly ? "" : ", all admitted"));
        e2e::Stream peer = e2e::connectToAddress(k.to, unit::localPort(server), k.from);
        ASSERT_TRUE(peer.isOpen());
        unit::Capture c;
        kva_wait(1000000);
        int s = kva_accept(server, k.localOnly);
        c.stop();
        EXPECT_EQ(c.out, k.out);
        EXPECT_EQ(c.err, k.err);
        if (k.admitted) {
            EXPECT_GE(s, 0);
            EXPECT_TRUE(kva_set_has(&watchedSet, s));
            kva_close_socket(s);
        } else {
            EXPECT_EQ(s, -1);
            EXPECT_EQ(members(watchedSet), listening);
            // The rejected peer sees its connection closed, and nothing sent.
            EXPECT_TRUE(peer.expectClosed());
        }
    }
}

TEST_F(Layer, LoopbackFilter)
{
    const FilterCase cases[] = {
        {"127.0.0.1", "127.0.0.1", true, true, "", ""},
        {"127.0.0.1", "127.0.0.2", true, false, "7f000002\n", "rejected connection 2\n"},
        {"127.0.0.1", "127.0.0.2", false, true, "", ""},
        {"127.0.0.1", "127.0.0.1", false, true, "", ""},
        {"::1", "::1", true, true, "", ""},
        {"::1", "::1", false, true, "", ""},
        {"::ffff:127.0.0.1", "::ffff:127.0.0.1", true, true, "", ""},
        {"::ffff:127.0.0.1", "::ffff:127.0.0.2", true, false, "7f000002\n",
         "rejected connection 2\n"},
    };
    checkFilter(cases, sizeof cases / sizeof cases[0]);
}

// An IPv6 peer that is not the loopback, in a network of the test's own
// where this machine has such an address.
TEST_F(Layer, LoopbackFilterOfANonLoopbackIpv6Peer)
{
    const std::string refused = "rejected connection " + std::to_string(AF_INET6) + "\n";
    const FilterCase cases[] = {
        {"fd5e:7e57::2", "fd5e:7e57::2", true, false, "fd5e:7e57::2\n", refused.c_str()},
        {"fd5e:7e57::2", "fd5e:7e57::2", false, true, "", ""},
        {"::1", "::1", true, true, "", ""},
    };
    std::string why = e2e::inOwnNetwork({"fd5e:7e57::2/128"}, [&] {
        checkFilter(cases, sizeof cases / sizeof cases[0]);
        unit::resetLayer();  // the listener goes with the network
    });
    if (!why.empty()) GTEST_SKIP() << why;
}

// The standard text form of an address, as the system's inet_ntop writes
// it: a table of the rules, then random addresses of each kind.
TEST(AddressText, AsTheSystemWritesIt)
{
    const char *const table[] = {
        "::",           "::1",          "1::",         "2001:db8::1",    "2001:db8:0:1:1:1:1:1",
        "2001:0:0:1::1", "1:0:0:2:0:0:0:3", "fe80::1:2:3:4", "::ffff:127.0.0.1", "::1.2.3.4",
        "::ffff:0:1.2.3.4", "abcd:ef01:2345:6789:abcd:ef01:2345:6789", "0:1:0:1:0:1:0:1",
        "::102:304:0", "1:2:3:4:5:6:7::", "::2:3:4:5:6:7:8",
    };
    std::vector<std::string> texts(table, table + sizeof table / sizeof table[0]);
    unsigned x = 12345;
    for (int i = 0; i < 3000; i++) {
        unsigned char b[16];
        for (unsigned char &c : b) {
            x = x * 1103515245u + 12345u;
            // Mostly zero bytes, so that runs of zero words of every length come up.
            c = (x >> 16) % 4 == 0 ? (unsigned char)(x >> 8) : 0;
        }
        if (i % 5 == 0) {  // IPv4-mapped
            memset(b, 0, 10);
            b[10] = b[11] = 0xff;
        }
        char t[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, b, t, sizeof t);
        texts.push_back(t);
    }
    for (const std::string &want : texts) {
        KvpAddr a;
        memset(&a, 0, sizeof a);
        a.family = KVP_IPV6;
        ASSERT_EQ(inet_pton(AF_INET6, want.c_str(), a.ip), 1) << want;
        char text[KVA_ADDRESS_TEXT_SIZE];
        kva_address_text(&a, text);
        char system[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, a.ip, system, sizeof system);
        EXPECT_EQ(std::string(text), std::string(system)) << want;
    }
    KvpAddr v4;
    memset(&v4, 0, sizeof v4);
    v4.family = KVP_IPV4;
    const unsigned char ip[4] = {192, 0, 2, 255};
    memcpy(v4.ip, ip, 4);
    char text[KVA_ADDRESS_TEXT_SIZE];
    kva_address_text(&v4, text);
    EXPECT_STREQ(text, "192.0.2.255");
}

TEST(PrintHex, Table)
{
    unsigned char forty[40];
    for (int i = 0; i < 40; i++) forty[i] = (unsigned char)(i * 7);
    std::string first30;
    for (int i = 0; i < 30; i++) {
        char h[3];
        snprintf(h, sizeof h, "%02x", forty[i]);
        first30 += h;
    }
    const unsigned char addr[4] = {0x7f, 0, 0, 2};
    const unsigned char high[3] = {0xff, 0x80, 0x0a};
    struct Case {
        const unsigned char *bytes;
        int count;
        std::string out;
    };
    const Case cases[] = {
        {forty, 40, first30 + "\n"},
        {forty, 0, "\n"},
        {addr, 4, "7f000002\n"},
        {high, 3, "ff800a\n"},
    };
    for (const Case &k : cases) {
        unit::Capture c;
        kva_print_hex(k.bytes, k.count);
        c.stop();
        EXPECT_EQ(c.out, k.out) << k.count;
        EXPECT_EQ(c.err, "");
    }
}

// ---- outgoing connections -----------------------------------------------

// Each way an outgoing connection ends: its log lines, and what it leaves
// behind, a watched non-blocking socket or no socket and no descriptor.
// The watched set's other members stay as they are.
TEST_F(Layer, OutgoingConnectionOutcomes)
{
    e2e::Listener listening;
    // A bound socket that does not listen: a connect to its port is refused.
    int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, (struct sockaddr *)&a, sizeof a), 0);
    const unsigned short refusing = unit::localPort(holder);
    const unsigned short open = (unsigned short)listening.port();
    // The same port on ::1 too: localhost may name ::1 first, and either
    // address then takes the connection at once.
    e2e::Listener listeningBoth("::1", open);
    e2e::Listener listening6("::1");
    const unsigned short open6 = (unsigned short)listening6.port();
    struct Case {
        const char *what;
        std::string host;
        unsigned short port;
        bool connects;
        std::string out, err;
    };
    const Case cases[] = {
        {"connected, by name", "localhost", open, true,
         "port " + std::to_string(open) + " host localhost\n", ""},
        {"connected, to an IPv6 address", "::1", open6, true,
         "port " + std::to_string(open6) + " host ::1\n", ""},
        {"refused", "127.0.0.1", refusing, false,
         "port " + std::to_string(refusing) + " host 127.0.0.1\nconnect error code -1 " +
             std::to_string(ECONNREFUSED) + " \n",
         ""},
        // The highest port is printed as the unsigned number it is.
        {"a name that does not resolve", "no-such-host.invalid", 65535, false,
         "port 65535 host no-such-host.invalid\n", "Unknown host no-such-host.invalid\n"},
    };
    kva_set_add(&watchedSet, 77);
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        int probe = dup(0);  // the lowest free descriptor, before and after
        close(probe);
        unit::Capture c;
        int s = connectToEnd(k.host.c_str(), k.port);
        c.stop();
        EXPECT_EQ(c.out, k.out);
        EXPECT_EQ(c.err, k.err);
        if (k.connects) {
            ASSERT_GE(s, 0);
            EXPECT_EQ(members(watchedSet), (std::vector<int>{77, s}));
            EXPECT_NE(fcntl(s, F_GETFL) & O_NONBLOCK, 0);
            kva_close_socket(s);
        } else {
            EXPECT_EQ(s, -1);
            EXPECT_EQ(members(watchedSet), std::vector<int>{77});
            int after = dup(0);
            close(after);
            EXPECT_EQ(after, probe) << "a descriptor was left open";
        }
    }
    kva_set_remove(&watchedSet, 77);
    close(holder);
}

// A host written as an address is read as the system's resolver reads it:
// a part with a leading 0 is octal, a missing part is taken up by the last.
TEST_F(Layer, AnAddressIsReadAsTheSystemReadsIt)
{
    struct Case {
        const char *host;
        const char *address;  // where the connection must arrive
    };
    const Case cases[] = {
        {"127.0.0.010", "127.0.0.8"},
        {"127.1", "127.0.0.1"},
        {"0x7f.0.0.9", "127.0.0.9"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.host);
        e2e::Listener at(k.address);
        unit::Capture c;
        int s = connectToEnd(k.host, (unsigned short)at.port());
        c.stop();
        EXPECT_EQ(c.out, "port " + std::to_string(at.port()) + " host " + k.host + "\n");
        EXPECT_EQ(c.err, "");
        ASSERT_GE(s, 0);
        EXPECT_TRUE(at.accept().isOpen());
        kva_close_socket(s);
    }
}

// ---- socket transfer ---------------------------------------------------

// Every result of a socket transfer, in the order a connection meets them,
// with what it reports.
TEST(Transfer, ResultsAndReports)
{
    unit::TcpPair p;  // blocking until the layer's first receive
    unit::setBuffers(p.mine, 4096, 0);
    unit::setBuffers(p.peer.fd(), 0, 4096);
    unit::TcpPair gone;
    const std::string sent = e2e::pattern(300);
    const std::string big(1 << 20, 'z');
    std::string got;
    auto receive = [&](int room) {
        char b[1024];
        int n = kva_read_socket(p.mine, b, room);
        if (n > 0) got.append(b, (size_t)n);
        return n;
    };
    const std::string reset = "send error 5 -1 " + std::to_string(ECONNRESET) + "\n";
    const std::string brokenPipe = "send error 5 -1 " + std::to_string(EPIPE) + "\n";
    struct Case {
        const char *what;
        std::function<int()> op;
        int least, most;  // the result
        std::vector<std::string> err;  // what standard error shows: one of these
    };
    const Case cases[] = {
        // A receive that would block returns at once: the socket has become
        // non-blocking (or the test would hang here).
        {"receive with nothing there", [&] { return receive(100); }, 0, 0, {""}},
        {"receive of 100 of 300 bytes",
         [&] {
             p.peer.send(sent);
             EXPECT_TRUE(unit::waitPending(p.mine, (int)sent.size()));
             return receive(100);
         },
         100, 100, {""}},
        {"receive of the next 150", [&] { return receive(150); }, 150, 150, {""}},
        {"receive of the last 50 with room for 100", [&] { return receive(100); }, 50, 50,
         {""}},
        {"receive with everything taken", [&] { return receive(100); }, 0, 0, {""}},
        {"send of bytes", [&] { return kva_send(p.mine, "xyz", 3); }, 3, 3, {""}},
        {"send of length 0", [&] { return kva_send(p.mine, "xyz", 0); }, 0, 0, {""}},
        {"send that fills the socket: the first takes part",
         [&] {
             int first = kva_send(p.mine, big.data(), (int)big.size());
             while (kva_send(p.mine, big.data(), (int)big.size()) > 0) {
             }
             return first;
         },
         1, (int)big.size() - 1, {""}},
        {"send to a full socket", [&] { return kva_send(p.mine, big.data(), (int)big.size()); },
         0, 0, {""}},
        {"receive from a peer that ended",
         [&] {
             p.peerEnds();
             return receive(100);
         },
         -1, -1, {""}},
        {"receive again from the peer that ended", [&] { return receive(100); }, -1, -1,
         {""}},
        {"send to a peer that reset",
         [&] {
             gone.peerResets();
             return kva_send(gone.mine, "hello", 5);
         },
         -1, -1, {reset, brokenPipe}},
        // EPIPE now, and still no SIGPIPE.
        {"send again to the peer that reset", [&] { return kva_send(gone.mine, "hello", 5); },
         -1, -1, {brokenPipe}},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        unit::Capture c;
        int r = k.op();
        c.stop();
        EXPECT_GE(r, k.least);
        EXPECT_LE(r, k.most);
        EXPECT_EQ(c.out, "");
        EXPECT_NE(std::find(k.err.begin(), k.err.end(), c.err), k.err.end()) << c.err;
    }
    EXPECT_EQ(got, sent);
}

}  // namespace
