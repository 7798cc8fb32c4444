// The endpoint and its queue of output chunks, driven over real loopback
// TCP pairs, a pseudo-terminal and pipes standing in for the console:
// chunks written in order and in parts, failures that close the endpoint,
// failed reads counted up to giving up, echo, and what destruction closes.
#include "unit_helpers.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

namespace {

void queue(OutFifo *f, const std::string &s)
{
    char *p = f->alloc((int)s.size());
    memcpy(p, s.data(), s.size());
    f->commit(p, (int)s.size());
}

// An endpoint over an admitted socket, watched as kva_accept leaves it and
// non-blocking as its first read leaves it (until then a send may block,
// which only the greeting meets).
OutFifo *socketEndpoint(unit::TcpPair &p)
{
    int fd = p.release();
    kva_set_add(&watchedSet, fd);
    int one = 1;
    ioctl(fd, FIONBIO, &one);
    return new OutFifo(socketDevice, fd);
}

class Endpoint : public ::testing::Test {
protected:
    void SetUp() override { unit::resetLayer(); }
    void TearDown() override { unit::resetLayer(); }
};

// ---- the output queue -----------------------------------------------------------

// A device that takes a little at a time: the chunk at the front goes out
// in parts, each continuing where the last ended, and the chunks behind it
// wait their turn; the queue's count falls with every part.
TEST_F(Endpoint, PartlyWrittenChunkContinuesWhereItStoppedAndChunksBehindItWait)
{
    unit::TcpPair p;
    unit::setBuffers(p.mine, 4096, 0);
    OutFifo *f = socketEndpoint(p);
    const std::string a = e2e::pattern(1024 * 1024, 1), b = "then B", c = "and C";
    queue(f, a);
    queue(f, b);
    queue(f, c);
    const long total = (long)(a.size() + b.size() + c.size());
    EXPECT_EQ(f->queued(), total);

    std::string got;
    std::vector<long> left;  // queued after each call
    int calls = 0;
    while (!f->isEmpty() && calls < 100000) {
        ASSERT_EQ(f->process(), 0);
        calls++;
        left.push_back(f->queued());
        // The peer takes what has arrived, between the calls only.
        struct pollfd pf = {p.peer.fd(), POLLIN, 0};
        if (poll(&pf, 1, 100) > 0) {
            char buf[65536];
            ssize_t n;
            while ((n = recv(p.peer.fd(), buf, sizeof buf, MSG_DONTWAIT)) > 0)
                got.append(buf, (size_t)n);
        }
    }
    got += p.peer.read((size_t)total - got.size());
    EXPECT_EQ(got, a + b + c);
    ASSERT_GE(left.size(), 3u) << "the first chunk went out in fewer than three parts";
    EXPECT_LT(left[0], total);
    for (size_t i = 1; i < left.size(); i++) EXPECT_LE(left[i], left[i - 1]);
    EXPECT_EQ(f->queued(), 0);

    // The emptied queue takes new output as before.
    queue(f, "again");
    EXPECT_EQ(f->process(), 0);
    EXPECT_TRUE(f->isEmpty());
    EXPECT_TRUE(p.peer.expect("again"));
    delete f;
}

// Chunks the device takes whole are all written and popped in one call,
// empty ones among them, and the emptied queue keeps no pointer to a freed
// chunk.
TEST_F(Endpoint, WholeChunksAreWrittenAndPoppedInOneCall)
{
    const std::vector<std::vector<std::string>> cases = {
        {"one,", "two,", "three"},
        {"", "", ""},
        {"", "a", "", "b", ""},
        {std::string(20000, 'x'), "", "tail"},
    };
    for (const std::vector<std::string> &chunks : cases) {
        unit::TcpPair p;
        OutFifo *f = socketEndpoint(p);
        std::string all;
        for (const std::string &c : chunks) {
            queue(f, c);
            all += c;
        }
        EXPECT_EQ(f->process(), 0);
        EXPECT_TRUE(f->isEmpty());
        EXPECT_EQ(f->queued(), 0);
        EXPECT_TRUE(p.peer.expect(all));
        delete f;
    }
}

TEST_F(Endpoint, CommitShorterThanTheReservationSendsOnlyThatMany)
{
    unit::TcpPair p;
    OutFifo *f = socketEndpoint(p);
    char *s = f->alloc(10);
    memcpy(s, "abcdefghij", 10);
    f->commit(s, 4);
    queue(f, "XY");
    EXPECT_EQ(f->process(), 0);
    EXPECT_TRUE(p.peer.expect("abcdXY"));
    delete f;
}

TEST_F(Endpoint, FailedSocketWriteClosesTheEndpoint)
{
    unit::TcpPair p;
    p.peerResets();
    OutFifo *f = socketEndpoint(p);
    int fd = f->fd;
    queue(f, "hello");
    unit::Capture c;
    int r = f->process();
    int again = f->process();
    c.stop();
    EXPECT_EQ(r, -1);
    EXPECT_EQ(again, -1);
    EXPECT_FALSE(f->isOpen());
    EXPECT_EQ(f->fd, -1);
    EXPECT_EQ(watchedSet.count, 0u);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(f->queued(), 5);  // the failed chunk is left as it was
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "send error 5 -1 " + std::to_string(ECONNRESET) +
                         "\nOutFifo::process: Kvb::write n=-1, fd=" + std::to_string(fd) + "\n");
    delete f;
}

TEST_F(Endpoint, FailedConsoleWriteClosesTheConsoleButNotStandardOutput)
{
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    close(out[0]);  // nobody reads standard output any more
    unit::Capture c;
    OutFifo *f;
    int r;
    {
        unit::StdSwap swap(out[1], 1);
        f = openStdinFifo();
        queue(f, "reply\r\n");
        r = f->process();
        delete f;
    }
    close(out[1]);
    c.stop();
    EXPECT_EQ(r, -1);
    EXPECT_EQ(c.err, "OutFifo::process: Kvb::write n=-1, fd=1\n");
    EXPECT_NE(fcntl(1, F_GETFD), -1);
}

// ---- failed reads ------------------------------------------------------------

// A peer that closed is given up within a bounded number of steps (a
// closed peer reads as ready at once, so this takes milliseconds): logged
// once as a client that disconnected, its socket closed and no longer
// watched, and the endpoint stays closed.
TEST_F(Endpoint, APeerThatClosedIsGivenUpAndItsSocketReleased)
{
    unit::TcpPair p;
    OutFifo *f = socketEndpoint(p);
    int fd = f->fd;
    p.peerEnds();
    unit::Capture c;
    int steps = 0;
    int r = 0;
    while (r == 0 && steps < 1000) {
        r = f->process();
        steps++;
    }
    c.stop();
    EXPECT_EQ(r, -1) << "still open after " << steps << " steps";
    EXPECT_GT(steps, 1) << "a closed peer is read again before it is given up";
    EXPECT_EQ(c.out, "client disconnected " + std::to_string(fd) + "\n");
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(f->fd, -1);
    EXPECT_EQ(watchedSet.count, 0u);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(f->process(), -1);
    delete f;
}

TEST_F(Endpoint, AReadThatDoesNotFailStartsTheCountOfFailedReadsOver)
{
    // The endpoint's descriptor is switched between a socket whose peer has
    // closed and a live quiet socket with dup2, so that failures and a
    // would-block read alternate on one endpoint.
    unit::TcpPair closedPair, livePair;
    closedPair.peerEnds();
    int closedCopy = dup(closedPair.mine);
    int liveCopy = dup(livePair.mine);
    OutFifo *f = socketEndpoint(closedPair);
    unit::Capture c;
    for (int i = 0; i < 99; i++) ASSERT_EQ(f->process(), 0);
    dup2(liveCopy, f->fd);
    EXPECT_EQ(f->process(), 0);  // would block: not a failure
    dup2(closedCopy, f->fd);
    for (int i = 0; i < 100; i++) ASSERT_EQ(f->process(), 0);  // counting starts over
    EXPECT_TRUE(f->isOpen());
    EXPECT_EQ(f->process(), -1);
    c.stop();
    EXPECT_EQ(c.out.rfind("client disconnected ", 0), 0u);
    delete f;
    close(closedCopy);
    close(liveCopy);
}

TEST_F(Endpoint, ClosedEndpointNeitherWritesNorReads)
{
    OutFifo *f = new OutFifo(serialDevice, INVALID_HANDLE_VALUE);
    queue(f, "never");
    unit::Capture c;
    EXPECT_EQ(f->process(), -1);
    c.stop();
    EXPECT_EQ(c.out + c.err, "");
    EXPECT_FALSE(f->isEmpty());
    delete f;
}

// ---- echo ----------------------------------------------------------------------

// Standard output is a one-page pipe that already holds one byte: a page
// of queued output cannot go in at once.  The echo of what is typed
// meanwhile joins the queue behind it: it never cuts into the output
// already queued (a reply), and none of it is lost to a short write.
TEST_F(Endpoint, EchoFollowsQueuedOutputWholeInLineAndRawMode)
{
    const int page = (int)sysconf(_SC_PAGESIZE);
    for (bool raw : {false, true}) {
        int out[2], in[2];
        ASSERT_EQ(pipe(out), 0);
        ASSERT_EQ(pipe(in), 0);
        ASSERT_EQ(fcntl(out[1], F_SETPIPE_SZ, page), page);
        fcntl(out[1], F_SETFL, O_NONBLOCK);
        fcntl(out[0], F_SETFL, O_NONBLOCK);
        ASSERT_EQ(write(out[1], "#", 1), 1);
        ASSERT_EQ(write(in[1], "a\rb", 3), 3);
        // Standard output is the pipe until the checks below (a failure
        // message must not go into it).
        e2e::Stream reader(out[0]);
        std::string got, line;
        bool ready = false;
        {
            unit::StdSwap swapIn(in[0], 0), swapOut(out[1], 1);
            OutFifo *f = openStdinFifo();
            if (raw) f->setRaw();
            f->echoOn();
            queue(f, std::string((size_t)page, 'Q'));
            for (int i = 0; i < 3; i++) f->process();
            // The reader makes room as it goes; the endpoint writes on.  In
            // line mode the CR that ends a line is echoed as a line end.
            const size_t want = 1 + (size_t)page + (raw ? 3 : 4);
            for (int i = 0; i < 100 && got.size() < want; i++) {
                got += reader.read(want - got.size(), 0.05);
                f->process();
            }
            ready = f->hasLine();
            line = std::string(f->line(), raw ? 3 : 1);
            delete f;
        }
        SCOPED_TRACE(raw ? "raw" : "line");
        EXPECT_EQ(got, "#" + std::string((size_t)page, 'Q') + (raw ? "a\rb" : "a\r\nb"));
        EXPECT_TRUE(ready);
        EXPECT_EQ(line, raw ? "a\rb" : "a");
        for (int fd : {out[1], in[0], in[1]}) close(fd);
    }
}

// ---- destruction -----------------------------------------------------------------

TEST_F(Endpoint, DestroyingASocketEndpointDropsItsQueueAndClosesIt)
{
    unit::TcpPair p;
    OutFifo *f = socketEndpoint(p);
    int fd = f->fd;
    queue(f, "dropped");
    queue(f, e2e::pattern(100000, 3));
    delete f;
    EXPECT_EQ(watchedSet.count, 0u);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    // An orderly end of stream, nothing before it.
    ASSERT_TRUE(unit::waitReadable(p.peer.fd()));
    char b[16];
    EXPECT_EQ(recv(p.peer.fd(), b, sizeof b, 0), 0);
}

TEST_F(Endpoint, DestroyingASerialEndpointClosesThePortSoItOpensAgain)
{
    e2e::Pty pty;
    unit::Ports ports;
    ports.add(5, pty.slavePath());
    OutFifo *f = openComFifo("COM5", 9600);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(openComFifo("COM5", 9600), nullptr);  // held
    queue(f, "dropped");
    delete f;
    OutFifo *again = openComFifo("COM5", 9600);
    ASSERT_NE(again, nullptr);
    queue(again, "sent");
    EXPECT_EQ(again->process(), 0);
    // Only this: the dropped queue would have come first.
    EXPECT_TRUE(pty.master().expect("sent"));
    ASSERT_TRUE(pty.master().send("back"));
    again->setRaw();
    EXPECT_TRUE(e2e::waitUntil([&] {
        again->process();
        return again->hasLine();
    }));
    EXPECT_EQ(std::string(again->line(), (size_t)again->lineLength()), "back");
    delete again;
}

TEST_F(Endpoint, DestroyingTheConsoleEndpointLeavesStandardOutputOpen)
{
    OutFifo *f = openStdinFifo();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->fd, 1);
    queue(f, "dropped");
    delete f;
    EXPECT_NE(fcntl(1, F_GETFD), -1);
    EXPECT_NE(fcntl(0, F_GETFD), -1);
}

// ---- the console on POSIX ---------------------------------------------------------

TEST(Console, OneKeyPerCallFromAPipe)
{
    EXPECT_EQ(unit::inChild([] {
                  int in[2];
                  if (pipe(in) != 0 || write(in[1], "abc", 3) != 3) return 10;
                  unit::StdSwap swap(in[0], 0);
                  OutFifo *f = openStdinFifo();
                  f->setRaw();
                  for (int i = 1; i <= 3; i++) {
                      if (f->process() != 0) return 11;
                      if (f->heldBytes() != i) return 12;
                  }
                  if (f->process() != 0 || f->heldBytes() != 3) return 13;  // nothing more yet
                  if (memcmp(f->line(), "abc", 3) != 0) return 14;
                  delete f;
                  return 0;
              }),
              0);
}

TEST(Console, EndOfInputNeverSpinsFailsOrCloses)
{
    struct Case {
        const char *what;
        std::function<int()> makeStdin;  // a descriptor to put on 0
        const char *keys;                // what arrives before the end
    };
    const Case cases[] = {
        {"/dev/null", [] { return open("/dev/null", O_RDONLY); }, ""},
        {"closed pipe",
         [] {
             int in[2];
             if (pipe(in) != 0) return -1;
             close(in[1]);
             return in[0];
         },
         ""},
        {"pipe with keys, then closed",
         [] {
             int in[2];
             if (pipe(in) != 0) return -1;
             if (write(in[1], "ok\r", 3) != 3) return -1;
             close(in[1]);
             return in[0];
         },
         "ok"},
        {"directory (reads fail)", [] { return open("/", O_RDONLY); }, ""},
    };
    for (const Case &k : cases) {
        int st = unit::inChild([&k] {
            int in = k.makeStdin();
            if (in < 0) return 20;
            unit::StdSwap swap(in, 0);
            OutFifo *f = openStdinFifo();
            long long t0 = unit::nowMs();
            for (int i = 0; i < 2000; i++)
                if (f->process() != 0) return 21;
            if (unit::nowMs() - t0 > 1000) return 22;  // no call waits
            if (!f->isOpen()) return 23;
            if (k.keys[0] && (!f->hasLine() || strcmp(f->line(), k.keys) != 0)) return 24;
            if (!k.keys[0] && (f->hasLine() || f->heldBytes() != 0)) return 25;
            delete f;
            return 0;
        });
        EXPECT_EQ(st, 0) << k.what;
    }
}

}  // namespace
