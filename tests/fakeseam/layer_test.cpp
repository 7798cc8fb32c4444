// The device and socket layer over the in-memory seam of the fuzz targets
// (fuzz/fake_plat.h), for what real devices cannot be made to do on cue: a
// socket library that does not start, a lookup thread that cannot start or
// that outlasts the connection's time, and the exact time-out each wait is
// given, with a clock the test moves.
#include "fake_plat.h"
#include "io/kva.h"
#include "unit_helpers.h"

#include <gtest/gtest.h>

#include <string.h>

#include <functional>
#include <string>
#include <vector>

namespace {

class FakeLayer : public ::testing::Test {
protected:
    void SetUp() override { restart(); }
    void TearDown() override
    {
        restart();
        fake_reset();
    }
    static void restart()
    {
        unit::Capture quiet;
        kva_close();
        fake_reset();
        kva_init();
    }
};

// An outgoing connection stepped the way the loop steps it, the fake clock
// moved on by `stepMs` before each step, until it connects or fails: the
// step's last result.
int stepToEnd(KvaConnect *c, long long stepMs)
{
    int s = -1;
    for (int i = 0; i < 100000; i++) {
        kva_connect_watch(c);
        fake_advance_ms(stepMs);
        int r = kva_connect_step(c, &s);
        if (r != 1) return r;
    }
    return 1;
}

TEST_F(FakeLayer, ASocketLibraryThatDoesNotStartIsReportedOnceAndFailsWhatNeedsIt)
{
    {
        unit::Capture quiet;
        kva_close();
    }
    fakeOutcomes.netStartOk = false;
    unit::Capture c;
    EXPECT_EQ(kva_init(), -1);
    EXPECT_EQ(kva_init(), -1);
    EXPECT_EQ(kva_connect_begin("127.0.0.1", 23), nullptr);
    c.stop();
    EXPECT_EQ(c.out, "WSAStartup error code 10091 0 \n");
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(fake_open_count(), 0);
    // The server cannot listen: it ends with status 1.
    EXPECT_EXIT(kva_open_server(9999), ::testing::ExitedWithCode(1), "");

    // Stopped and started again once the library can start.
    fakeOutcomes.netStartOk = true;
    {
        unit::Capture quiet;
        kva_close();
    }
    EXPECT_EQ(kva_init(), 0);
}

// How a connection to a name ends, with the clock moved on `stepMs` before
// each step: its result and log lines.  A lookup that is still under way
// when the time is up fails as a connect that runs out of time does.
TEST_F(FakeLayer, ANameLookupEndsInTimeWithItsOwnReport)
{
    struct Case {
        const char *what;
        std::function<void()> setUp;
        long long stepMs;
        bool begins;     // kva_connect_begin gives a connection
        int result;
        bool timesOut;   // it fails when its 10 s are up, not before
        std::string out, err;
    };
    const Case cases[] = {
        {"found", [] {}, 1, true, 0, false, "port 23 host name.example\n", ""},
        {"unknown", [] { fakeOutcomes.lookupOk = false; }, 1, true, -1, false,
         "port 23 host name.example\n", "Unknown host name.example\n"},
        {"still under way at 10 s", [] { fakeOutcomes.lookupHangs = true; }, 100, true, -1, true,
         "port 23 host name.example\nconnect error code -1 110 \n", ""},
        {"no thread for it", [] { fakeOutcomes.threadError = 11; }, 1, false, -1, false,
         "port 23 host name.example\nthread error code -1 11 \n", ""},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        fake_reset();
        k.setUp();
        unit::Capture c;
        KvaConnect *conn = kva_connect_begin("name.example", 23);
        int r = conn ? stepToEnd(conn, k.stepMs) : -1;
        c.stop();
        EXPECT_EQ(conn != nullptr, k.begins);
        EXPECT_EQ(r, k.result);
        EXPECT_EQ(c.out, k.out);
        EXPECT_EQ(c.err, k.err);
        // The fake clock started at 0 with the connection.
        if (k.timesOut) {
            EXPECT_GE(kvp_now_ms(), kvaConnectTimeoutMs);
            EXPECT_LT(kvp_now_ms(), kvaConnectTimeoutMs + k.stepMs);
        }
        EXPECT_EQ(fake_open_count(), r == 0 ? 1 : 0);
        kva_connect_end(conn);
        // A lookup thread that ends after the loop has given up frees what
        // it shares with the loop (the sanitizers see the rest).
        fake_finish_threads();
        unit::Capture quiet;
        kva_close();
        kva_init();
        EXPECT_EQ(fake_open_count(), 0);
    }
}

// A name's addresses are tried in the resolver's order, one after the
// other, each failure reported, until one takes the connection or the
// 10 s are up.
TEST_F(FakeLayer, ANamesAddressesAreTriedInTurnWithinTheTime)
{
    const std::string refused = "connect error code -1 111 \n";
    struct Case {
        const char *what;
        int addresses, refusing;
        int connectSteps;  // looks each connect takes; 1000000: never answered
        int result;
        std::string errors;  // logged after "port 23 host name.example"
    };
    const Case cases[] = {
        {"the first takes it", 2, 0, 0, 0, ""},
        {"the first refuses, the second takes it", 2, 1, 0, 0, refused},
        {"the first two refuse, slowly", 3, 2, 3, 0, refused + refused},
        {"every one refuses", 3, 3, 0, -1, refused + refused + refused},
        {"the first never answers: the time is up", 2, 0, 1000000, -1,
         "connect error code -1 110 \n"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        fake_reset();
        fakeOutcomes.addressCount = k.addresses;
        fakeOutcomes.refusingAddresses = k.refusing;
        fakeOutcomes.connectSteps = k.connectSteps;
        unit::Capture c;
        KvaConnect *conn = kva_connect_begin("name.example", 23);
        ASSERT_NE(conn, nullptr);
        int r = stepToEnd(conn, 100);
        kva_connect_end(conn);
        c.stop();
        EXPECT_EQ(r, k.result);
        EXPECT_EQ(c.out, "port 23 host name.example\n" + k.errors);
        EXPECT_EQ(c.err, "");
        EXPECT_EQ(fake_open_count(), r == 0 ? 1 : 0);  // no attempt's socket left behind
        unit::Capture quiet;
        kva_close();
        kva_init();
    }
}

// The listener's sockets by what the host offers: one IPv6 socket for both
// families, an IPv4 and an IPv6 one, or IPv4 alone, without a word, where
// the host has no IPv6; a port another program has ends the server.
TEST_F(FakeLayer, TheListenerIsWhatTheHostOffers)
{
    struct Case {
        const char *what;
        std::function<void()> setUp;
        std::vector<int> families;  // of the listening sockets, the returned one first
    };
    const Case cases[] = {
        {"IPv6 taking IPv4 too", [] {}, {KVP_IPV6}},
        {"IPv6 alone", [] { fakeOutcomes.dualStack = false; }, {KVP_IPV4, KVP_IPV6}},
        {"no IPv6 sockets", [] { fakeOutcomes.ipv6 = false; }, {KVP_IPV4}},
        {"no IPv6 address", [] { fakeOutcomes.ipv6BindError = 99; }, {KVP_IPV4}},
        {"no IPv6 address beside IPv4",
         [] {
             fakeOutcomes.dualStack = false;
             fakeOutcomes.ipv6BindError = 99;
         },
         {KVP_IPV4}},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        restart();
        k.setUp();
        unit::Capture c;
        int listener = kva_open_server(9999);
        c.stop();
        EXPECT_EQ(c.out, "");
        EXPECT_EQ(c.err, "");
        std::vector<int> families;
        for (unsigned i = 0; i < watchedSet.count; i++)
            families.push_back(fake_device(watchedSet.fds[i])->family);
        EXPECT_EQ(families, k.families);
        EXPECT_EQ(listener, watchedSet.fds[0]);
        EXPECT_EQ(fake_open_count(), (int)k.families.size());  // no socket left over
    }
    restart();
    fakeOutcomes.ipv6BindError = 98;  // the port is taken
    EXPECT_EXIT(kva_open_server(9999), ::testing::ExitedWithCode(1), "");
}

// Where an IPv6 socket cannot take IPv4 peers, the listener is an IPv4 and
// an IPv6 socket; one connection is taken per wait from either, by turns
// when both have one waiting, so that neither family waits for ever.
TEST_F(FakeLayer, AListenerOfTwoSocketsTakesFromBothByTurns)
{
    fakeOutcomes.dualStack = false;
    unit::Capture quiet;
    const int listener = kva_open_server(9999);
    ASSERT_EQ(watchedSet.count, 2u);
    const int s4 = watchedSet.fds[0], s6 = watchedSet.fds[1];
    EXPECT_EQ(listener, s4);  // the IPv4 one first, as without IPv6
    struct Turn {
        std::vector<int> ready;
        int takenFrom;  // -1: nothing taken
    };
    const Turn turns[] = {
        {{s4, s6}, s4}, {{s4, s6}, s6}, {{s4, s6}, s4}, {{s6}, s6},
        {{s6}, s6},     {{s4}, s4},     {{}, -1},
    };
    for (const Turn &t : turns) {
        memset(&readySet, 0, sizeof readySet);
        for (int r : t.ready) kva_set_add(&readySet, r);
        int s = kva_accept(listener, true);
        EXPECT_EQ(s == -1 ? -1 : fake_last_accepted_from(), t.takenFrom);
        // One per wait: the other socket is not looked at again before it.
        EXPECT_EQ(kva_accept(listener, true), -1);
        if (s != -1) kva_close_socket(s);
    }
    kva_close_socket(s6);
    kva_close_socket(s4);
}

// The wait's time-out is the nearest deadline asked for, none when nothing
// is due; no transfer changes it.
TEST_F(FakeLayer, TheWaitsTimeOutFollowsTheDeadlinesNotTheTransfers)
{
    int s = fake_open_socket();
    kva_set_add(&watchedSet, s);
    FakeDevice *d = fake_device(s);
    char b[16];
    struct Step {
        const char *what;
        std::function<void()> before;
        int limit;  // the caller's time-out (-1: none)
        int usec;   // what the platform's wait is given (-1: none)
        int ready;  // what it reports
    };
    const Step steps[] = {
        {"idle", [] {}, -1, -1, 0},
        {"after bytes sent", [&] { EXPECT_EQ(kva_send(s, "abc", 3), 3); }, -1, -1, 0},
        {"input arrives", [&] { d->push("xyz"); }, -1, -1, 1},
        {"after a wait that found input", [&] { EXPECT_EQ(kva_read_socket(s, b, sizeof b), 3); },
         -1, -1, 0},
        {"the caller's limit", [] {}, 10000, 10000, 0},
        {"work pending", [] { kva_work_pending(); }, -1, 0, 0},
        {"a wake-up asked for", [] { kva_wake_within(7); }, -1, 7000, 0},
        {"a wake-up beyond the caller's limit", [] { kva_wake_within(70); }, 10000, 10000, 0},
    };
    for (const Step &st : steps) {
        SCOPED_TRACE(st.what);
        st.before();
        EXPECT_EQ(kva_wait(st.limit), st.ready);
        EXPECT_EQ(fake_last_wait_usec(), st.usec);
    }
    unit::Capture quiet;
    kva_close();
}

// A device the last wait watched for input and did not report is not read;
// every other device is: one that has input, one the wait did not watch
// for input, and every one after a wait that looked at none (work pending).
TEST_F(FakeLayer, OnlyWhatTheWaitReportedCountsAsReadable)
{
    int quiet = fake_open_socket(), talking = fake_open_socket(), unwatched = fake_open_socket();
    int port = fake_open_socket();
    fake_device(port)->isCom = true;
    fake_device(talking)->push("x");
    kva_watch_socket(quiet, KVP_IN);
    kva_watch_socket(talking, KVP_IN);
    kva_watch_socket(unwatched, KVP_OUT);
    kva_watch_com(port, KVP_IN);
    EXPECT_EQ(kva_wait(0), 0);  // no socket of the watched set is ready
    EXPECT_FALSE(kva_input_reported(KVP_SOCKET, quiet));
    EXPECT_TRUE(kva_input_reported(KVP_SOCKET, talking));
    EXPECT_TRUE(kva_input_reported(KVP_SOCKET, unwatched));
    EXPECT_FALSE(kva_input_reported(KVP_COM, port));
    EXPECT_TRUE(kva_input_reported(KVP_SOCKET, fake_open_socket())) << "made after the wait";

    kva_watch_socket(quiet, KVP_IN);
    kva_work_pending();
    kva_wait(-1);
    EXPECT_TRUE(kva_input_reported(KVP_SOCKET, quiet)) << "after a wait with work pending";
}

// ---- serial ports closing with output held ------------------------------------------

// A port opened through the layer, its device and its handle.
struct FakePort {
    kva_handle h;
    FakeDevice *d;
};

FakePort openPort(const char *name, long baud = 9600)
{
    kva_handle h = kva_open_com(name, (int)baud);
    FakeDevice *d = fake_device(h);
    if (d) d->baud = baud;
    return FakePort{h, d};
}

// A port closed while its device still holds output stays open, closing,
// and the loop goes on: each wait looks at it within a few milliseconds
// until the output has gone or its time is up (960 bytes at 9600 baud:
// 1.2 s on the line and 100 ms of margin), when it is flushed and logged.
// Only then is it closed (its settings go back then).
TEST_F(FakeLayer, APortClosedWithOutputHeldIsClosedByTheWaitsWhenDrainedOrItsTimeIsUp)
{
    struct Case {
        const char *what;
        long held;
        long long drainedAtMs;  // when the device has sent it all; -1: never
        long long closedAtMs;   // when the port is really closed
        std::string err;
    };
    const Case cases[] = {
        {"nothing held", 0, 0, 0, ""},
        {"drained in time", 960, 700, 700, ""},
        {"held by flow control", 960, -1, 1300,
         "COM5: output not drained within 1300 ms, flushed 960 bytes\n"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        restart();
        FakePort p = openPort("COM5");
        ASSERT_NE(p.d, nullptr);
        p.d->outputHeld = k.held;
        unit::Capture c;
        const long long start = kvp_now_ms();
        EXPECT_EQ(kva_close_com(p.h), 0);
        // Each turn of the loop: a wait, then 5 ms pass.
        long long closedAt = -1;
        for (int turn = 0; turn < 1000 && closedAt < 0; turn++) {
            long long now = kvp_now_ms() - start;
            if (k.drainedAtMs >= 0 && now >= k.drainedAtMs) p.d->outputHeld = 0;
            if (!p.d->open) {
                closedAt = now;
                break;
            }
            kva_wait(-1);
            if (!p.d->open) {
                closedAt = now;
                break;
            }
            // While it is closing the wait does not sleep beyond a short look.
            EXPECT_EQ(fake_last_wait_usec(), 5000);
            fake_advance_ms(5);
        }
        c.stop();
        EXPECT_EQ(closedAt, k.closedAtMs);
        EXPECT_EQ(p.d->flushed, k.drainedAtMs < 0 ? k.held : 0);
        EXPECT_EQ(c.err, k.err);
        // Nothing due any more: an idle wait has no time-out again.
        kva_wait(-1);
        EXPECT_EQ(fake_last_wait_usec(), -1);
    }
}

// A port opened again while its last close still waits for its output is
// closed first, that output flushed (and said so): the new session starts
// on a fresh open.  Another port's close goes on.
TEST_F(FakeLayer, APortOpenedAgainWhileClosingIsClosedFirst)
{
    FakePort old5 = openPort("COM5"), com6 = openPort("COM6");
    ASSERT_NE(old5.d, nullptr);
    ASSERT_NE(com6.d, nullptr);
    old5.d->outputHeld = 500;
    com6.d->outputHeld = 20;
    unit::Capture c;
    kva_close_com(old5.h);
    kva_close_com(com6.h);
    kva_wait(-1);
    FakePort new5 = openPort("COM5");
    c.stop();
    ASSERT_NE(new5.d, nullptr);
    EXPECT_FALSE(old5.d->open);
    EXPECT_EQ(old5.d->flushed, 500);
    EXPECT_TRUE(new5.d->open);
    EXPECT_TRUE(com6.d->open);
    EXPECT_EQ(c.err, "COM5: opened again before its output drained, flushed 500 bytes\n");
    kva_close_com(new5.h);
}

// At shutdown every closing port is finished, each within its own time,
// the loop's pace kept without the loop.
TEST_F(FakeLayer, ShutdownFinishesEveryClosingPortInItsTime)
{
    FakePort a = openPort("COM5"), b = openPort("COM6", 115200);
    ASSERT_NE(a.d, nullptr);
    ASSERT_NE(b.d, nullptr);
    a.d->outputHeld = 960;   // 1300 ms at 9600
    b.d->outputHeld = 1152;  // 220 ms at 115200
    unit::Capture c;
    kva_close_com(a.h);
    kva_close_com(b.h);
    const long long start = kvp_now_ms();
    kva_close();
    c.stop();
    EXPECT_FALSE(a.d->open);
    EXPECT_FALSE(b.d->open);
    EXPECT_GE(kvp_now_ms() - start, 1300);
    EXPECT_LT(kvp_now_ms() - start, 1310);
    EXPECT_EQ(c.err, "COM6: output not drained within 220 ms, flushed 1152 bytes\n"
                     "COM5: output not drained within 1300 ms, flushed 960 bytes\n");
}

// A line that is gone fails every read until it is given up: the first
// failure is logged, with the port's name, then nothing until a read moves
// bytes again.
TEST_F(FakeLayer, FailedReadsInARowAreLoggedOnce)
{
    FakePort p = openPort("COM5");
    ASSERT_NE(p.d, nullptr);
    char b[16];
    unit::Capture c;
    p.d->readError = true;
    for (int i = 0; i < 5; i++) EXPECT_EQ(kva_read_com(p.h, b, sizeof b), -1);
    p.d->readError = false;
    EXPECT_EQ(kva_read_com(p.h, b, sizeof b), 0);  // a quiet line ends no run of failures
    p.d->readError = true;
    EXPECT_EQ(kva_read_com(p.h, b, sizeof b), -1);
    p.d->readError = false;
    p.d->push("x");
    EXPECT_EQ(kva_read_com(p.h, b, sizeof b), 1);
    p.d->readError = true;
    EXPECT_EQ(kva_read_com(p.h, b, sizeof b), -1);
    c.stop();
    EXPECT_EQ(c.err, "COM5: ReadFile error 995\nCOM5: ReadFile error 995\n");
    kva_close_com(p.h);
}

// ---- tables of the wait that fill ----------------------------------------------------

// A socket beyond the watched set (64: one listener and 32 clients each
// bridged to a target already make 65) is still waited on through what its
// endpoint asks for, reported, read and closed; the full set is logged once.
TEST_F(FakeLayer, ASocketBeyondTheWatchedSetIsServedAndClosed)
{
    std::vector<int> inSet;
    for (int i = 0; i < KVA_SET_SIZE; i++) {
        inSet.push_back(fake_open_socket());
        kva_set_add(&watchedSet, inSet.back());
    }
    unit::Capture c;
    const int beyond = fake_open_socket(), quietBeyond = fake_open_socket();
    kva_set_add(&watchedSet, beyond);
    kva_set_add(&watchedSet, quietBeyond);
    c.stop();
    EXPECT_EQ(c.err, "wait: the watched set is full at 64 entries\n");
    EXPECT_EQ(watchedSet.count, (unsigned)KVA_SET_SIZE);

    fake_device(beyond)->push("hello");
    for (int s : inSet) kva_watch_socket(s, KVP_IN);
    kva_watch_socket(beyond, KVP_IN);
    kva_watch_socket(quietBeyond, KVP_IN);
    kva_wait(-1);
    EXPECT_TRUE(kva_input_reported(KVP_SOCKET, beyond));
    EXPECT_FALSE(kva_input_reported(KVP_SOCKET, quietBeyond)) << "it was waited on";
    char b[16];
    EXPECT_EQ(kva_read_socket(beyond, b, sizeof b), 5);
    EXPECT_EQ(kva_close_socket(beyond), 0);
    EXPECT_FALSE(fake_device(beyond)->open);
    kva_close_socket(quietBeyond);
    // Room again: the next socket is in the set.
    kva_close_socket(inSet.back());
    const int next = fake_open_socket();
    kva_set_add(&watchedSet, next);
    EXPECT_TRUE(kva_set_has(&watchedSet, next));
}

// More devices than the interest table holds: those left out are not
// waited on, so the wait lasts at most kvpPaceMs and they count as
// reported, read on every turn; the full table is logged once.
TEST_F(FakeLayer, DevicesBeyondTheInterestTableAreLookedAtAtAPace)
{
    std::vector<int> sockets;
    for (int i = 0; i < 300; i++) sockets.push_back(fake_open_socket());
    for (int turn = 0; turn < 2; turn++) {
        unit::Capture c;
        for (int s : sockets) kva_watch_socket(s, KVP_IN);
        kva_wait(-1);
        c.stop();
        EXPECT_EQ(c.err, turn == 0 ? "wait: the interest table is full at 256 entries\n" : "");
        EXPECT_EQ(fake_last_wait_usec(), kvpPaceMs * 1000);
        EXPECT_FALSE(kva_input_reported(KVP_SOCKET, sockets.front())) << "waited on";
        EXPECT_TRUE(kva_input_reported(KVP_SOCKET, sockets.back())) << "left out";
    }
    // Within the table again: no pace.
    kva_watch_socket(sockets.front(), KVP_IN);
    kva_wait(-1);
    EXPECT_EQ(fake_last_wait_usec(), -1);
}

}  // namespace
