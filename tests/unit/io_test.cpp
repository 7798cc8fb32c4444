// Parts 2.1, 2.2 and 2.3 in process, over real loopback sockets: the watched
// set, the wait and its idle sleep, the listener with its loopback filter,
// outgoing connections, kva_print_hex, and the socket transfers.
#include "fixtures.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

class Layer : public ::testing::Test {
protected:
    void SetUp() override { fx::resetLayer(); }
    void TearDown() override { fx::resetLayer(); }
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
    int l = fx::listenLoopback();
    unsigned short port = fx::localPort(l);
    std::vector<int> socks;
    {
        fx::Capture c;  // 65 "port %d host %s" lines
        for (int i = 0; i < 65; i++) {
            socks.push_back(connectToEnd("127.0.0.1", port));
            int a = accept(l, nullptr, nullptr);  // keep the backlog empty
            close(a);
        }
    }
    close(l);
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
    int l = fx::listenLoopback();
    int s;
    {
        fx::Capture c;
        s = connectToEnd("127.0.0.1", fx::localPort(l));
    }
    ASSERT_GE(s, 0);
    kva_init();
    EXPECT_EQ(members(watchedSet), std::vector<int>{s});
    {
        fx::Capture c;
        kva_close();
    }
    EXPECT_EQ(layerStarted, 0);
    kva_init();
    EXPECT_EQ(layerStarted, 1);
    EXPECT_EQ(watchedSet.count, 0u);
    close(l);
}

TEST_F(Layer, CloseReportsEverySocketInSetOrderAndClosesThem)
{
    int l = fx::listenLoopback();
    std::vector<int> socks;
    {
        fx::Capture c;
        for (int i = 0; i < 3; i++) socks.push_back(connectToEnd("127.0.0.1", fx::localPort(l)));
    }
    // Set order, not descriptor order.
    kva_set_remove(&watchedSet, socks[0]);
    kva_set_add(&watchedSet, socks[0]);
    fx::Capture c;
    EXPECT_EQ(kva_close(), 0);
    c.stop();
    EXPECT_EQ(c.out, "kva_close: " + std::to_string(socks[1]) + " \nkva_close: " +
                         std::to_string(socks[2]) + " \nkva_close: " + std::to_string(socks[0]) +
                         " \n");
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(watchedSet.count, 0u);
    for (int s : socks) EXPECT_FALSE(isOpenFd(s));

    fx::Capture again;  // empty set, layer stopped: nothing printed
    kva_close();
    again.stop();
    EXPECT_EQ(again.out, "");
    close(l);
}

// ---- the wait and the idle sleep ---------------------------------------

TEST_F(Layer, WaitSleepsTheIdleTimeFirstAndResetsItTo50)
{
    struct Case {
        int sleepMs;
        long long minMs, maxMs;
    };
    const Case cases[] = {{50, 45, 1000}, {0, 0, 40}, {20, 15, 1000}};
    for (const Case &c : cases) {
        idleSleepMs = c.sleepMs;
        long long t0 = fx::nowMs();
        EXPECT_EQ(kva_wait(0), 0);
        long long took = fx::nowMs() - t0;
        EXPECT_GE(took, c.minMs) << "sleep " << c.sleepMs;
        EXPECT_LE(took, c.maxMs) << "sleep " << c.sleepMs;
        EXPECT_EQ(idleSleepMs, 50);
    }
}

TEST_F(Layer, WaitReportsTheReadyMembersOnly)
{
    fx::Capture cap;
    int server = kva_open_server(0);
    cap.stop();
    fx::TcpPair quiet;
    kva_set_add(&watchedSet, quiet.mine);
    idleSleepMs = 0;
    EXPECT_EQ(kva_wait(10000), 0);
    EXPECT_EQ(readySet.count, 0u);

    int c = fx::connectLoopback(fx::localPort(server));
    fx::sendAll(quiet.peer, "x");
    ASSERT_TRUE(fx::waitPending(quiet.mine, 1));
    idleSleepMs = 0;
    EXPECT_EQ(kva_wait(10000), 2);
    EXPECT_EQ(members(readySet), (std::vector<int>{server, quiet.mine}));
    kva_set_remove(&watchedSet, quiet.mine);
    close(c);
}

// ---- listener and accept filter -----------------------------------------

TEST_F(Layer, AcceptWithoutAReadyListenerReturnsMinusOneSilently)
{
    fx::Capture c;
    int server = kva_open_server(0);
    int peer = fx::connectLoopback(fx::localPort(server));
    int r = kva_accept(server, true);  // no wait yet: readySet is empty
    c.stop();
    EXPECT_EQ(r, -1);
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "");
    close(peer);
}

TEST_F(Layer, AtMostOneAcceptPerWait)
{
    fx::Capture c;
    int server = kva_open_server(0);
    int p1 = fx::connectLoopback(fx::localPort(server));
    int p2 = fx::connectLoopback(fx::localPort(server));
    idleSleepMs = 0;
    kva_wait(100000);
    int a1 = kva_accept(server, true);
    int a2 = kva_accept(server, true);
    idleSleepMs = 0;
    kva_wait(100000);
    int a3 = kva_accept(server, true);
    c.stop();
    EXPECT_GE(a1, 0);
    EXPECT_EQ(a2, -1);
    EXPECT_GE(a3, 0);
    EXPECT_EQ(members(watchedSet), (std::vector<int>{server, a1, a3}));
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "");
    close(p1);
    close(p2);
}

TEST_F(Layer, LoopbackFilter)
{
    struct Case {
        const char *from;
        bool localOnly;
        bool admitted;
        const char *out, *err;
    };
    const Case cases[] = {
        {"127.0.0.1", true, true, "", ""},
        {"127.0.0.2", true, false, "7f000002\n", "rejected connection 2\n"},
        {"127.0.0.2", false, true, "", ""},
        {"127.0.0.1", false, true, "", ""},
    };
    fx::Capture open;
    int server = kva_open_server(0);
    open.stop();
    for (const Case &k : cases) {
        int peer = fx::connectLoopback(fx::localPort(server), k.from);
        ASSERT_GE(peer, 0) << k.from;
        idleSleepMs = 0;
        fx::Capture c;
        kva_wait(1000000);
        int s = kva_accept(server, k.localOnly);
        c.stop();
        EXPECT_EQ(c.out, k.out) << k.from << " localOnly " << k.localOnly;
        EXPECT_EQ(c.err, k.err) << k.from << " localOnly " << k.localOnly;
        if (k.admitted) {
            EXPECT_GE(s, 0);
            EXPECT_TRUE(kva_set_has(&watchedSet, s));
            kva_close_socket(s);
        } else {
            EXPECT_EQ(s, -1);
            EXPECT_EQ(members(watchedSet), std::vector<int>{server});
            // The rejected peer sees its connection closed, and nothing sent.
            struct timeval tv = {3, 0};
            setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            char b;
            ssize_t n = recv(peer, &b, 1, 0);
            EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET)) << n << " " << errno;
        }
        close(peer);
    }
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
        fx::Capture c;
        kva_print_hex(k.bytes, k.count);
        c.stop();
        EXPECT_EQ(c.out, k.out) << k.count;
        EXPECT_EQ(c.err, "");
    }
    EXPECT_EQ(first30.size(), 60u);
}

// ---- outgoing connections -----------------------------------------------

TEST_F(Layer, ConnectToAnUnresolvableNameMakesNoSocket)
{
    int probe = dup(0);  // the lowest free descriptor, before and after
    close(probe);
    fx::Capture c;
    int s = connectToEnd("no-such-host.invalid", 80);
    c.stop();
    EXPECT_EQ(s, -1);
    EXPECT_EQ(c.out, "port 80 host no-such-host.invalid\n");
    EXPECT_EQ(c.err, "Unknown host no-such-host.invalid\n");
    EXPECT_EQ(watchedSet.count, 0u);
    int after = dup(0);
    close(after);
    EXPECT_EQ(after, probe);
}

TEST_F(Layer, RefusedConnectClosesItsSocketAndWatchesNothing)
{
    // A bound, non-listening socket holds the port so that a connect is refused.
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, (struct sockaddr *)&a, sizeof a), 0);
    unsigned short port = fx::localPort(holder);
    kva_set_add(&watchedSet, 77);  // a member that must stay as it is
    int probe = dup(0);
    close(probe);
    fx::Capture c;
    int s = connectToEnd("127.0.0.1", port);
    c.stop();
    EXPECT_EQ(s, -1);
    EXPECT_EQ(c.out, "port " + std::to_string(port) + " host 127.0.0.1\nconnect error code -1 " +
                         std::to_string(ECONNREFUSED) + " \n");
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(members(watchedSet), std::vector<int>{77});
    int after = dup(0);
    close(after);
    EXPECT_EQ(after, probe);
    kva_set_remove(&watchedSet, 77);
    close(holder);
}

TEST_F(Layer, ConnectPrintsPort65535Unsigned)
{
    fx::Capture c;
    int s = connectToEnd("127.0.0.1", 65535);
    c.stop();
    EXPECT_EQ(c.out.rfind("port 65535 host 127.0.0.1\n", 0), 0u) << c.out;
    if (s >= 0) kva_close_socket(s);
}

TEST_F(Layer, ConnectedSocketIsWatchedAndNonBlocking)
{
    int l = fx::listenLoopback();
    fx::Capture c;
    int s = connectToEnd("localhost", fx::localPort(l));
    c.stop();
    ASSERT_GE(s, 0);
    EXPECT_EQ(c.out, "port " + std::to_string(fx::localPort(l)) + " host localhost\n");
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(members(watchedSet), std::vector<int>{s});
    EXPECT_NE(fcntl(s, F_GETFL) & O_NONBLOCK, 0);
    close(l);
}

// ---- socket transfer ---------------------------------------------------

TEST(Transfer, OpenStdinIsTheConsoleMarker)
{
    EXPECT_EQ(kva_open_stdin(), 1);
    EXPECT_EQ(kva_open_stdin(), 1);
}

TEST(Transfer, ReceiveResults)
{
    fx::TcpPair p;
    char b[1024];
    fx::Capture c;
    int wouldBlock = kva_read_socket(p.mine, b, 100);  // also switches to non-blocking
    std::string data;
    for (int i = 0; i < 300; i++) data += (char)('A' + i % 26);
    fx::sendAll(p.peer, data);
    fx::waitPending(p.mine, 300);
    std::string got;
    std::vector<int> sizes;
    for (int i = 0; i < 3; i++) {
        int n = kva_read_socket(p.mine, b, 100);
        sizes.push_back(n);
        if (n > 0) got.append(b, (size_t)n);
    }
    int empty = kva_read_socket(p.mine, b, 100);
    shutdown(p.peer, SHUT_WR);
    struct pollfd pf = {p.mine, POLLIN, 0};
    poll(&pf, 1, 1000);
    std::vector<int> closed;
    for (int i = 0; i < 3; i++) closed.push_back(kva_read_socket(p.mine, b, 100));
    c.stop();
    EXPECT_EQ(wouldBlock, 0);
    EXPECT_EQ(sizes, (std::vector<int>{100, 100, 100}));
    EXPECT_EQ(got, data);
    EXPECT_EQ(empty, 0);
    EXPECT_EQ(closed, (std::vector<int>{-1, -1, -1}));
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "");
}

TEST(Transfer, SendResults)
{
    fx::TcpPair p;
    fx::setBuffers(p.mine, 4096, 0);
    fx::setBuffers(p.peer, 0, 4096);
    fcntl(p.mine, F_SETFL, O_NONBLOCK);
    std::string big(1 << 20, 'z');
    fx::Capture c;
    int first = kva_send(p.mine, big.data(), (int)big.size());
    int full = 1;
    for (int i = 0; i < 100 && full > 0; i++) full = kva_send(p.mine, big.data(), (int)big.size());
    int zeroLength = kva_send(p.mine, big.data(), 0);
    c.stop();
    EXPECT_GT(first, 0);
    EXPECT_LT(first, (int)big.size());
    EXPECT_EQ(full, 0);
    EXPECT_EQ(zeroLength, 0);
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "");
}

TEST(Transfer, SendToAResetPeerReportsAndSurvives)
{
    fx::TcpPair p;
    fx::closeWithReset(p.peer);
    p.peer = -1;
    usleep(20000);
    fx::Capture c;
    int r1 = kva_send(p.mine, "hello", 5);
    int r2 = kva_send(p.mine, "hello", 5);  // EPIPE now: still no SIGPIPE
    c.stop();
    EXPECT_EQ(r1, -1);
    EXPECT_EQ(r2, -1);
    EXPECT_EQ(c.out, "");
    const std::string reset = "send error 5 -1 " + std::to_string(ECONNRESET) + "\n";
    const std::string pipe = "send error 5 -1 " + std::to_string(EPIPE) + "\n";
    EXPECT_TRUE(c.err == reset + pipe || c.err == pipe + pipe) << c.err;
}

TEST(Transfer, IdleSleepRules)
{
    fx::TcpPair p;
    fx::setBuffers(p.mine, 4096, 0);
    fx::setBuffers(p.peer, 0, 4096);
    char b[64];
    std::string big(1 << 20, 'q');
    struct Case {
        const char *what;
        std::function<int()> op;
        bool moved;  // true: idleSleepMs becomes 0; false: unchanged
    };
    const Case cases[] = {
        {"receive that would block", [&] { return kva_read_socket(p.mine, b, sizeof b); }, false},
        {"receive of bytes",
         [&] {
             fx::sendAll(p.peer, "abc");
             fx::waitPending(p.mine, 3);
             return kva_read_socket(p.mine, b, sizeof b);
         },
         true},
        {"send of bytes", [&] { return kva_send(p.mine, "xyz", 3); }, true},
        {"send of length 0", [&] { return kva_send(p.mine, "xyz", 0); }, false},
        {"send that fills the socket",
         [&] {
             while (kva_send(p.mine, big.data(), (int)big.size()) > 0) {
             }
             return 0;
         },
         true},
        {"send to a full socket", [&] { return kva_send(p.mine, big.data(), (int)big.size()); },
         false},
        {"receive from a closed peer",
         [&] {
             shutdown(p.peer, SHUT_WR);
             usleep(20000);
             return kva_read_socket(p.mine, b, sizeof b);
         },
         false},
    };
    for (const Case &k : cases) {
        idleSleepMs = 7;
        fx::Capture c;
        k.op();
        c.stop();
        EXPECT_EQ(idleSleepMs, k.moved ? 0 : 7) << k.what;
    }
    idleSleepMs = 0;
    kva_wait(0);
    EXPECT_EQ(idleSleepMs, 50);
}

}  // namespace
