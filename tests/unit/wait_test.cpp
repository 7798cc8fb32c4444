// The wait of the POSIX seam (kvp_wait) on each kind of descriptor the loop
// waits on, also at numbers past select's reach (1024 and up): nothing ready
// ends no wait early, and input, a hang-up or a descriptor that is not open
// ends it with the watch marked.
#include "unit_helpers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <vector>

namespace {

// A descriptor to wait on and what makes it show input; the test closes the
// descriptor, `stir` and the rest close with the Device.
struct Device {
    int fd = -1;
    std::function<void()> stir;
    std::shared_ptr<void> rest;
};

std::shared_ptr<void> closing(int fd)
{
    return std::shared_ptr<void>(nullptr, [fd](void *) { close(fd); });
}

int waitIn(int kind, int fd, int usec, int *ready)
{
    KvpWatch w = {kind, fd, KVP_IN, 0};
    int r = kvp_wait(&w, 1, usec);
    *ready = w.ready;
    return r;
}

TEST(Wait, EveryKindOfDeviceEndsTheWaitAlsoPastSelectsReach)
{
    struct Case {
        const char *what;
        int kind;
        std::function<Device()> make;
    };
    const Case cases[] = {
        {"socket input", KVP_SOCKET,
         [] {
             int s[2];
             if (socketpair(AF_UNIX, SOCK_STREAM, 0, s) != 0) return Device();
             return Device{s[0], [s] { (void)!write(s[1], "x", 1); }, closing(s[1])};
         }},
        {"pipe input", KVP_SOCKET,
         [] {
             int p[2];
             if (pipe(p) != 0) return Device();
             return Device{p[0], [p] { (void)!write(p[1], "x", 1); }, closing(p[1])};
         }},
        {"terminal input", KVP_COM,
         [] {
             auto pty = std::make_shared<e2e::Pty>();
             int fd = open(pty->slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
             return Device{fd, [pty] { pty->master().send("x"); }, pty};
         }},
        {"terminal hung up", KVP_COM,
         [] {
             auto pty = std::make_shared<e2e::Pty>();
             int fd = open(pty->slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
             return Device{fd, [pty] { pty->master().close(); }, pty};
         }},
    };
    for (bool high : {false, true}) {
        for (const Case &k : cases) {
            std::string what = std::string(k.what) + (high ? " at 1500 and up" : "");
            Device d = k.make();
            ASSERT_GE(d.fd, 0) << what;
            if (high) {
                int moved = fcntl(d.fd, F_DUPFD_CLOEXEC, 1500);
                ASSERT_GE(moved, 1500) << what;
                close(d.fd);
                d.fd = moved;
            }
            int ready = -1;
            EXPECT_EQ(waitIn(k.kind, d.fd, 20 * 1000, &ready), 0) << what;
            EXPECT_EQ(ready, 0) << what;
            d.stir();
            // Ten seconds: a wait that misses the device returns 0 at its end.
            EXPECT_EQ(waitIn(k.kind, d.fd, 10 * 1000 * 1000, &ready), 1) << what;
            EXPECT_EQ(ready, KVP_IN) << what;
            close(d.fd);
        }
    }
}

TEST(Wait, ADescriptorThatIsNotOpenCountsAsReady)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[0]);
    close(p[1]);
    KvpWatch w[2] = {{KVP_SOCKET, p[0], KVP_IN, 0}, {KVP_COM, p[1], KVP_OUT, 0}};
    EXPECT_EQ(kvp_wait(w, 2, 10 * 1000 * 1000), 2);
    EXPECT_EQ(w[0].ready, KVP_IN);
    EXPECT_EQ(w[1].ready, KVP_OUT);
}

// More watches than the poll table holds: the ones beyond it are marked
// left out and the wait lasts no longer than kvpPaceMs (here it would
// otherwise wait its ten seconds, the only input being beyond the table),
// so that the loop reads them anyway; the full table is logged once.
TEST(Wait, WatchesBeyondThePollTableAreMarkedAndPaceTheWait)
{
    std::vector<int> ends;
    std::vector<KvpWatch> watches;
    for (int i = 0; i < 300; i++) {
        int s[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
        ends.push_back(s[0]);
        ends.push_back(s[1]);
        watches.push_back(KvpWatch{KVP_SOCKET, s[0], KVP_IN, 0});
    }
    ASSERT_EQ(write(ends.back(), "x", 1), 1);  // input on the last watch only
    for (int turn = 0; turn < 2; turn++) {
        unit::Capture c;
        long long start = unit::nowMs();
        int r = kvp_wait(watches.data(), (int)watches.size(), 10 * 1000 * 1000);
        long long took = unit::nowMs() - start;
        c.stop();
        EXPECT_EQ(r, 0);
        EXPECT_LT(took, 5000) << "the wait was not paced";
        EXPECT_EQ(watches.front().ready, 0);
        EXPECT_EQ(watches.back().ready, KVP_LEFT_OUT);
        EXPECT_EQ(c.err, turn == 0 ? "wait: the poll table is full at 263 entries\n" : "");
    }
    for (int fd : ends) close(fd);
}

}  // namespace
