// The console client's output on POSIX (kvp_write_stdout): whatever standard
// output is, a reader that stops taking bytes never holds the writer, the
// wait reports room once the reader goes on, and no byte is lost or
// repeated.  Descriptor 1 stays blocking for the log lines throughout.
#include "unit_helpers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

namespace {

// One kind of standard output: the writer end put on descriptor 1 in the
// child, and the reader end the test drains.
struct Sink {
    int writer = -1;
    int reader = -1;
};

TEST(ConsoleOutput, AStoppedReaderNeverHoldsTheWriterAndLosesNothing)
{
    const size_t total = 2 << 20;  // more than any of these holds unread
    const std::string data = e2e::pattern(total);
    struct Case {
        const char *what;
        std::function<Sink()> make;
    };
    e2e::Pty pty;  // raw, so that the terminal passes the bytes unchanged
    const Case cases[] = {
        {"pipe",
         [] {
             int p[2];
             if (pipe(p) != 0) return Sink();
             return Sink{p[1], p[0]};
         }},
        {"socket",
         [] {
             int s[2];
             if (socketpair(AF_UNIX, SOCK_STREAM, 0, s) != 0) return Sink();
             return Sink{s[1], s[0]};
         }},
        {"terminal",
         [&pty] {
             return Sink{open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY), dup(pty.master().fd())};
         }},
    };
    for (const Case &k : cases) {
        Sink sink = k.make();
        ASSERT_GE(sink.writer, 0) << k.what;
        ASSERT_GE(sink.reader, 0) << k.what;
        int phase[2];
        ASSERT_EQ(pipe(phase), 0);
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            alarm(30);  // a write that waits for the reader ends the child
            close(phase[0]);
            close(sink.reader);
            dup2(sink.writer, 1);
            size_t sent = 0;
            // Each call offers a different amount, so that the reader fills
            // up at no boundary a write of the writer's own size would keep.
            int calls = 0;
            auto offer = [&] {
                size_t n = 3001 + (size_t)(calls++ * 1237) % 20000;
                return (int)std::min(total - sent, n);
            };
            // Until the reader is full: a call that takes nothing must come.
            for (;;) {
                int r = kvp_write_stdout(data.data() + sent, offer());
                if (r < 0) _exit(30);
                if (r == 0) break;
                sent += (size_t)r;
                if (sent == total) _exit(31);
            }
            if (fcntl(1, F_GETFL) & O_NONBLOCK) _exit(32);
            char full = 'F';
            if (write(phase[1], &full, 1) != 1) _exit(33);
            // The reader goes on: each wait ends with room, the rest goes out.
            while (sent < total) {
                KvpWatch w = {KVP_CONSOLE, 0, KVP_OUT, 0};
                if (kvp_wait(&w, 1, 10 * 1000 * 1000) < 0) _exit(34);
                int r = kvp_write_stdout(data.data() + sent, offer());
                if (r < 0) _exit(35);
                sent += (size_t)r;
            }
            if (fcntl(1, F_GETFL) & O_NONBLOCK) _exit(36);
            _exit(0);
        }
        close(phase[1]);
        close(sink.writer);
        e2e::Stream phaseReader(phase[0]), reader(sink.reader);
        std::string full = phaseReader.read(1, 20);
        EXPECT_EQ(full, "F") << k.what << ": the writer never found the reader full";
        std::string got = reader.read(total, 20);
        EXPECT_EQ(got.size(), total) << k.what;
        EXPECT_TRUE(got == data) << k.what << ": bytes lost, repeated or out of order";
        int st = 0;
        pid_t ended = 0;
        e2e::waitUntil([&] { return (ended = waitpid(pid, &st, WNOHANG)) != 0; }, 20);
        if (ended != pid) {
            ADD_FAILURE() << k.what << ": the writer did not end";
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
        } else {
            int code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            EXPECT_EQ(code, 0) << k.what << ": the writer's exit status";
        }
    }
}

}  // namespace
