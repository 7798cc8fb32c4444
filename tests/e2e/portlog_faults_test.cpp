// A held port's log (-L) when its file cannot be written for a while: the
// log goes on once it can, no byte goes missing without the log saying how
// many, and the server keeps serving meanwhile.
#include "harness.h"

#include "held_logs.h"
#include "target.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

using namespace e2e;

namespace {

const int kKeep = 64;  // -K: enough that no file of a test's log is removed

// The whole log of COM5 in `dir`, oldest file first.
std::string wholeLog(const std::string &dir)
{
    std::string text;
    for (int k = kKeep; k >= 1; k--) text += slurp(dir + "/COM5.log." + std::to_string(k));
    return text + slurp(dir + "/COM5.log");
}

// `count` lines of a board's console, numbered from `first`.
std::string boardLines(int first, int count)
{
    std::string text;
    char line[96];
    for (int i = first; i < first + count; i++) {
        snprintf(line, sizeof line, "board line %06d: the quick brown fox jumps over the dog\r\n",
                 i);
        text += line;
    }
    return text;
}

// Sends `data` from the board a piece at a time and waits for each piece at
// `watcher`: once it is there, the server has read it and handed it to the
// log too.
testing::AssertionResult feed(Pty &pty, Stream &watcher, const std::string &data)
{
    const size_t piece = 32 << 10;
    for (size_t at = 0; at < data.size(); at += piece) {
        std::string part = data.substr(at, piece);
        if (!pty.master().send(part)) return testing::AssertionFailure() << "send failed";
        testing::AssertionResult seen = watcher.expect(part);
        if (!seen) return seen << " (at byte " << at << ")";
    }
    return testing::AssertionSuccess();
}

// A log split into the port's output (what follows each line's time) and
// its event lines (without the time and "-- ").
struct Parsed {
    std::string output;
    std::vector<std::string> events;
};

Parsed parse(const std::string &text)
{
    static const std::regex stamp("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z ");
    const size_t stampSize = 25;
    Parsed p;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.size() >= stampSize && std::regex_match(line.substr(0, stampSize), stamp))
            << "a line without its time: " << escapeBytes(line);
        if (line.size() < stampSize) continue;
        if (line.compare(stampSize, 3, "-- ") == 0) p.events.push_back(line.substr(stampSize + 3));
        else p.output += line.substr(stampSize) + "\n";
    }
    return p;
}

// The number of output bytes the one loss event of `events` counts, or -1
// (with a failure) when there is not exactly one, of this form.
long long lostBytes(const std::vector<std::string> &events, const std::string &why)
{
    const std::regex lost("(\\d+) bytes of output lost: the log file could not be written for "
                          "\\d+\\.\\d s \\(" + why + "[^)]*\\)");
    long long count = -1;
    int found = 0;
    for (const std::string &e : events) {
        std::smatch m;
        if (e.find(" lost: ") == std::string::npos) continue;
        found++;
        EXPECT_TRUE(std::regex_match(e, m, lost)) << e;
        if (!m.empty()) count = std::stoll(m[1]);
    }
    EXPECT_EQ(found, 1) << "loss events";
    return count;
}

// The logged output is everything sent but one run of exactly `lost` bytes,
// in order; where the run began in the middle of a line, the event that
// followed it ended that line with a LF of its own.
testing::AssertionResult accountsFor(const std::string &logged, const std::string &sent,
                                     long long lost)
{
    long long added = (long long)logged.size() + lost - (long long)sent.size();
    if (added != 0 && added != 1)
        return testing::AssertionFailure() << logged.size() << " bytes logged and " << lost
                                           << " counted as lost, of " << sent.size() << " sent";
    size_t head = firstDifference(logged, sent);
    size_t tail = 0;
    while (tail < logged.size() && tail < sent.size() &&
           logged[logged.size() - 1 - tail] == sent[sent.size() - 1 - tail])
        tail++;
    size_t unexplained = logged.size() - std::min(logged.size(), head + tail);
    if (unexplained > (size_t)added || (unexplained == 1 && logged[head] != '\n'))
        return testing::AssertionFailure()
               << "the logged output is not what was sent less one run of " << lost
               << " bytes: it differs from byte " << head << " to byte " << logged.size() - tail
               << ": " << escapeBytes(logged.substr(head, 200));
    return testing::AssertionSuccess();
}

testing::AssertionResult startHolding(Server &s, const std::string &dir,
                                      const std::vector<std::string> &more = {})
{
    ServerOptions options;
    options.switches = {"-L" + serverPath(dir), "-K" + std::to_string(kKeep)};
    options.switches.insert(options.switches.end(), more.begin(), more.end());
    if (!s.start(options)) return testing::AssertionFailure() << "the server did not start";
    return s.waitOut("COM5: held, logged to ");
}

testing::AssertionResult watch(Stream &client)
{
    if (!client.send("w COM5\n")) return testing::AssertionFailure() << "send failed";
    return client.expect(".\r\n");
}

// Lets the file be tried again a few times (once a second) while it still
// fails: a window, not a wait for something to happen.
void letItRetry() { std::this_thread::sleep_for(std::chrono::milliseconds(2500)); }

const char kLost[] = " bytes of output lost: the log file could not be written for ";

// The log directory is taken away (renamed: root cannot write into a
// directory that is not there) just before the log reaches its size, so
// that the file cannot be opened again at rotation; output goes on, more
// than the log can hold, then the directory comes back.
TEST(PortLogFaults, ADirectoryGoneAtRotationEndsNothingAndTheLossIsCounted)
{
    TempDir top;
    const std::string logs = top.path() + "/logs";
    const std::string away = top.path() + "/away";
    ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
    Pty pty;
    std::unique_ptr<Server> server(new Server());
    Server &s = *server;
    s.addPort(5, pty);
    ASSERT_TRUE(startHolding(s, logs, {"-S65536"}));
    Stream watcher = s.login();
    ASSERT_TRUE(watch(watcher));

    std::string sent = boardLines(0, 200);
    ASSERT_TRUE(feed(pty, watcher, sent));
    ASSERT_TRUE(waitUntil([&] { return wholeLog(logs).find("line 000199") != std::string::npos; }));

    ASSERT_EQ(rename(logs.c_str(), away.c_str()), 0);
    std::string during = boardLines(200, 21000);  // 1.3 MB: more than the log holds
    ASSERT_TRUE(feed(pty, watcher, during));
    sent += during;
    ASSERT_TRUE(s.waitErr("COM5: the log file "));
    ASSERT_TRUE(s.waitErr(" cannot be written (opening it: "));
    letItRetry();
    EXPECT_EQ(countOf(s.err(), " cannot be written "), 1u) << s.err();

    ASSERT_EQ(rename(away.c_str(), logs.c_str()), 0);
    EXPECT_TRUE(waitUntil([&] { return wholeLog(logs).find(kLost) != std::string::npos; }))
        << s.err();
    EXPECT_TRUE(s.waitErr(" is written again after "));
    const std::string after = "after the directory came back\r\n";
    ASSERT_TRUE(feed(pty, watcher, after));
    sent += after;
    EXPECT_TRUE(waitUntil([&] { return slurp(logs + "/COM5.log").find(after) != std::string::npos; }));
    server.reset();  // stopped as a user stops it; it must end with status 0

    std::string last = slurp(logs + "/COM5.log");
    EXPECT_TRUE(std::regex_search(last, std::regex("Z -- closed\n$"))) << escapeBytes(last, 2000);
    Parsed log = parse(wholeLog(logs));
    long long lost = lostBytes(log.events, "opening it: ");
    EXPECT_GT(lost, 0);
    EXPECT_TRUE(accountsFor(log.output, sent, lost));
}

// COM5.log leads to /dev/full, where every write fails for want of room
// (as root too), until it is replaced by a real file.
TEST(PortLogFaults, AFullDiskKeepsTheServerServingAndTheLossIsCounted)
{
    TempDir dir;
    const std::string file = dir.path() + "/COM5.log";
    ASSERT_EQ(symlink("/dev/full", file.c_str()), 0);
    Pty pty;
    std::unique_ptr<Server> server(new Server());
    Server &s = *server;
    s.addPort(5, pty);
    ASSERT_TRUE(startHolding(s, dir.path()));
    Stream watcher = s.login();
    ASSERT_TRUE(watch(watcher));

    std::string sent = boardLines(0, 21000);  // 1.3 MB: more than the log holds
    ASSERT_TRUE(feed(pty, watcher, sent));
    ASSERT_TRUE(s.waitErr("COM5: the log file "));
    ASSERT_TRUE(s.waitErr(" cannot be written (writing it: "));
    Stream other = s.login();
    EXPECT_TRUE(other.ask("v\n", kVersion));
    letItRetry();
    EXPECT_EQ(countOf(s.err(), " cannot be written "), 1u) << s.err();

    const std::string fresh = dir.path() + "/fresh";
    { std::ofstream(fresh.c_str()); }
    ASSERT_EQ(rename(fresh.c_str(), file.c_str()), 0);
    EXPECT_TRUE(waitUntil([&] { return slurp(file).find(kLost) != std::string::npos; }))
        << s.err();
    const std::string after = "after the disk had room again\r\n";
    ASSERT_TRUE(feed(pty, watcher, after));
    sent += after;
    EXPECT_TRUE(waitUntil([&] { return slurp(file).find(after) != std::string::npos; }));
    server.reset();

    std::string text = slurp(file);
    EXPECT_TRUE(std::regex_search(text, std::regex("Z -- closed\n$"))) << escapeBytes(text, 2000);
    Parsed log = parse(text);
    ASSERT_FALSE(log.events.empty());
    EXPECT_EQ(log.events[0], "opened at 115200 baud");
    long long lost = lostBytes(log.events, "writing it: ");
    EXPECT_GT(lost, 0);
    EXPECT_TRUE(accountsFor(log.output, sent, lost));
}

}  // namespace
