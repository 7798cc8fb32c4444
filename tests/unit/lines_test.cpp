// Input line assembly and raw mode, driven through process() over a real
// loopback TCP pair: lines, raw data, a line that does not fit the buffer,
// and a full buffer that takes no read.
#include "unit_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

class Lines : public ::testing::Test {
protected:
    std::unique_ptr<unit::TcpPair> pair;
    OutFifo *f = nullptr;
    void SetUp() override
    {
        unit::resetLayer();
        fresh();
    }
    void TearDown() override
    {
        delete f;
        unit::resetLayer();
    }
    // A new endpoint over a new connection.
    void fresh()
    {
        delete f;
        pair.reset(new unit::TcpPair());
        f = new OutFifo(socketDevice, pair->release());
    }
    // One read that brings exactly these bytes.
    void feed(const std::string &bytes)
    {
        ASSERT_TRUE(pair->peer.send(bytes));
        ASSERT_TRUE(unit::waitPending(f->fd, (int)bytes.size()));
        ASSERT_EQ(f->process(), 0);
        ASSERT_EQ(unit::pendingBytes(f->fd), 0) << "the bytes did not come in one read";
    }
};

struct Step {
    char op;  // f: one read bringing `bytes`; c: consumeLine; r: setRaw; l: setLine
    std::string bytes;
    bool ready;
    std::string line;  // line mode: the text up to its NUL; raw mode: lineLength bytes
    int length;        // lineLength
};

struct Case {
    const char *name;
    std::vector<Step> steps;
};

const std::string NUL(1, '\0');

const Case lineCases[] = {
    {"leading junk dropped", {{'f', "  \x01\x7f\xff\x80\t ab\r", true, "ab", 3}}},
    {"junk alone is dropped", {{'f', " \r\n\t \x90\x01", false, "", 0}, {'f', "    ", false, "", 0}}},
    {"CR LF: the LF is dropped when the line is taken",
     {{'f', "  ab c \r\n", true, "ab c ", 7},
      {'c', "", false, "", 0},
      {'f', "x", false, "", 1}}},  // x waits for its end
    {"TAB ends a line, the rest is the next line at once",
     {{'f', "a\tb\r\n", true, "a", 5},
      {'c', "", true, "b", 3},
      {'c', "", false, "", 0}}},
    {"bytes from 0x80 up, DEL and NUL end a line",
     {{'f', "ab\x80" "cd\r", true, "ab", 6},
      {'c', "", true, "cd", 3},
      {'c', "", false, "", 0},
      {'f', "x\xffy\x7f", true, "x", 4},
      {'c', "", true, "y", 2},
      {'c', "", false, "", 0},
      {'f', "z", false, "", 1},
      {'f', "\r", true, "z", 2},
      {'c', "", false, "", 0},
      {'f', "ok" + NUL + "no\r", true, "ok", 6},
      {'c', "", true, "no", 3}}},
    {"printable bytes inside a line, trailing space kept",
     {{'f', "!a b~  \r", true, "!a b~  ", 8}}},
    {"a line is ready only once its terminator came",
     {{'f', "abc", false, "", 3}, {'f', "de", false, "", 5}, {'f', "\n", true, "abcde", 6}}},
    {"two lines in one read: the second is ready once the first is taken",
     {{'f', "one\r\ntwo\r\n", true, "one", 10},
      {'c', "", true, "two", 5},
      {'c', "", false, "", 0}}},
    {"a ready line stays ready while more bytes arrive",
     {{'f', "abc\r", true, "abc", 4},
      {'f', "def\r", true, "abc", 8},
      {'f', "g", true, "abc", 9},
      {'c', "", true, "def", 5},
      {'c', "", false, "", 1},
      {'f', "h\r", true, "gh", 3}}},
    // A command line's CR LF is one line end: the LF is no raw byte.
    {"line to raw: the LF of the CR LF held behind the line is dropped",
     {{'f', "cmd\r\n", true, "cmd", 5},
      {'r', "", true, "cmd" + NUL + "\n", 5},  // the held bytes stay as they are
      {'c', "", false, "", 0},
      {'f', "xy", true, "xy", 2},
      {'c', "", false, "", 0},
      {'l', "", false, "", 0},
      {'f', "\xffok\r", true, "ok", 3}}},
    {"line to raw: bytes behind the LF are ready raw data at once",
     {{'f', "cmd\r\n\nxy\r\n", true, "cmd", 10},
      {'r', "", true, "cmd" + NUL + "\n\nxy\r\n", 10},
      {'c', "", true, "\nxy\r\n", 5}}},
    {"line to raw: the LF of the CR LF coming in a later read is dropped",
     {{'f', "cmd\r", true, "cmd", 4},
      {'r', "", true, "cmd" + NUL, 4},
      {'c', "", false, "", 0},
      {'f', "\nxy", true, "xy", 2},
      {'c', "", false, "", 0},
      {'f', "\n", true, "\n", 1}}},  // only the one LF
    {"line to raw: after a CR anything but an LF passes",
     {{'f', "cmd\r", true, "cmd", 4},
      {'r', "", true, "cmd" + NUL, 4},
      {'c', "", false, "", 0},
      {'f', "\r\n", true, "\r\n", 2}}},
    {"line to raw: a line ended by LF alone drops nothing",
     {{'f', "cmd\n", true, "cmd", 4},
      {'r', "", true, "cmd" + NUL, 4},
      {'c', "", false, "", 0},
      {'f', "\nxy", true, "\nxy", 3}}},
    {"line to raw and back before the LF came: it is no longer dropped in raw",
     {{'f', "cmd\r", true, "cmd", 4},
      {'r', "", true, "cmd" + NUL, 4},
      {'c', "", false, "", 0},
      {'l', "", false, "", 0},
      {'r', "", false, "", 0},
      {'f', "\nxy", true, "\nxy", 3}}},
    {"line to raw with an incomplete line held",
     {{'f', "abc", false, "", 3}, {'r', "", false, "", 3}, {'f', "d\r", true, "abcd\r", 5}}},
    {"raw to line with data ready",
     {{'r', "", false, "", 0},
      {'f', "a\rb", true, "a\rb", 3},
      {'l', "", true, "a\rb", 3},  // still ready, its bytes unchanged
      {'c', "", false, "", 0},
      {'f', "q\r", true, "q", 2}}},
    {"raw data left ready, then line mode: the next read assembles afresh",
     {{'r', "", false, "", 0},
      {'f', "  ", true, "  ", 2},
      {'l', "", true, "  ", 2},
      {'f', " ", false, "", 0},  // only spaces: dropped, nothing ready
      {'r', "", false, "", 0},
      {'f', "ab", true, "ab", 2},
      {'l', "", true, "ab", 2},
      {'f', "c", false, "", 3},  // no terminator yet
      {'f', "\r", true, "abc", 4}}},
    {"raw mode passes every byte value",
     {{'r', "", false, "", 0},
      {'f', e2e::allByteValues(), true, e2e::allByteValues(), 256},
      {'f', "\r\n", true, e2e::allByteValues() + "\r\n", 258},
      {'c', "", false, "", 0}}},
};

TEST_F(Lines, AssemblyTable)
{
    for (const Case &k : lineCases) {
        fresh();
        int n = 0;
        for (const Step &s : k.steps) {
            SCOPED_TRACE(std::string(k.name) + ", step " + std::to_string(++n));
            switch (s.op) {
            case 'f': feed(s.bytes); break;
            case 'c': f->consumeLine(f->line()); break;
            case 'r': f->setRaw(); break;
            case 'l': f->setLine(); break;
            }
            ASSERT_EQ(f->hasLine(), s.ready);
            EXPECT_EQ(f->lineLength(), s.length);
            if (!s.ready) continue;
            if (f->isRaw() || s.op == 'r' || s.op == 'l') {
                EXPECT_EQ(std::string(f->line(), (size_t)f->lineLength()), s.line);
            } else {
                EXPECT_EQ(std::string(f->line()), s.line);
            }
        }
    }
}

// ---- a line longer than the buffer ---------------------------------

struct LongCase {
    const char *name;
    std::vector<std::string> reads;  // each sent and taken in on its own
    std::vector<std::string> lines;  // the lines that become ready, in order
    int overlong;
};

const LongCase longCases[] = {
    {"1022 bytes and the terminator still fit",
     {std::string(1022, 'a') + "\r", "\n"},
     {std::string(1022, 'a')},
     0},
    {"1023 bytes, terminator in a later read: the tail is no line",
     {std::string(1023, 'b'), "tail\r", "ok\r"},
     {"ok"},
     1},
    {"3000 bytes, terminator and next line behind",
     {std::string(3000, 'c') + "\r\nnext\r\n", " "},
     {"next"},
     1},
    {"two overlong lines in a row",
     {std::string(1500, 'd') + "\n" + std::string(1100, 'e') + "\r" + "fine\r", " "},
     {"fine"},
     2},
};

TEST_F(Lines, LineLongerThanTheBufferIsDiscardedWholeAndNothingStalls)
{
    for (const LongCase &k : longCases) {
        SCOPED_TRACE(k.name);
        fresh();
        std::vector<std::string> lines;
        int overlong = 0;
        unit::Capture c;
        for (const std::string &r : k.reads) {
            pair->peer.send(r);
            unit::waitPending(f->fd, (int)std::min<size_t>(r.size(), 1000));
            for (int i = 0; i < 20; i++) {
                EXPECT_EQ(f->process(), 0);
                overlong += f->takeOverlongLines();
                if (f->hasLine()) {
                    lines.push_back(f->line());
                    f->consumeLine(f->line());
                }
                if (unit::pendingBytes(f->fd) == 0 && i > 2) break;
            }
        }
        c.stop();
        EXPECT_EQ(lines, k.lines);
        EXPECT_EQ(overlong, k.overlong);
        EXPECT_EQ(f->takeOverlongLines(), 0);
        EXPECT_TRUE(f->isOpen());
        EXPECT_EQ(c.out, "");  // a discarded line is no failed read: no disconnect
        EXPECT_EQ(c.err, "");
    }
}

// In a child: the console's end-of-input state is the whole process's.
TEST(ConsoleLines, OverlongConsoleLineDoesNotStopTheKeys)
{
    EXPECT_EQ(unit::inChild([] {
                  int in[2];
                  if (pipe(in) != 0) return 10;
                  std::string keys = std::string(1100, 'k') + "\r" + "ok\r";
                  if (write(in[1], keys.data(), keys.size()) != (ssize_t)keys.size()) return 11;
                  unit::StdSwap swap(in[0], 0);
                  OutFifo *f = openStdinFifo();
                  int overlong = 0;
                  std::vector<std::string> lines;
                  for (size_t i = 0; i < keys.size() + 5; i++) {
                      if (f->process() != 0) return 12;
                      overlong += f->takeOverlongLines();
                      if (f->hasLine()) {
                          lines.push_back(f->line());
                          f->consumeLine(f->line());
                      }
                  }
                  delete f;
                  return overlong == 1 && lines == std::vector<std::string>{"ok"} ? 0 : 13;
              }),
              0);
}

// ---- no read with zero room ------------------------------------------

TEST_F(Lines, FullRawBufferSkipsTheReadWithoutCountingAFailure)
{
    f->setRaw();
    const std::string data = [] {
        std::string s(3000, 0);
        for (size_t i = 0; i < s.size(); i++) s[i] = (char)(i * 7 % 256);
        return s;
    }();
    pair->peer.send(data);
    unit::waitPending(f->fd, (int)data.size());
    for (int i = 0; i < 5; i++) ASSERT_EQ(f->process(), 0);
    ASSERT_EQ(f->heldBytes(), 1023);
    pair->peerEnds();  // a closed peer: every real read would now fail
    unit::Capture c;
    for (int i = 0; i < 300; i++) ASSERT_EQ(f->process(), 0);
    EXPECT_EQ(f->heldBytes(), 1023);
    EXPECT_TRUE(f->isOpen());

    // Taking the data lets the reads go on: every byte, in order; then the
    // closed peer is counted from the start, none of the skipped reads
    // having counted: a hundred failed reads are absorbed, the next ends it.
    std::string got;
    for (int calls = 0; got.size() < data.size() && calls < 1000; calls++) {
        if (f->hasLine()) {
            got.append(f->line(), (size_t)f->lineLength());
            f->consumeLine(f->line());
        }
        if (got.size() < data.size()) {
            ASSERT_EQ(f->process(), 0);
        }
    }
    int absorbedReads = 0;
    int r = 0;
    while ((r = f->process()) == 0 && absorbedReads < 1000) absorbedReads++;
    c.stop();
    EXPECT_EQ(got, data);
    EXPECT_EQ(absorbedReads, 100);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(c.out.rfind("client disconnected ", 0), 0u) << c.out;
}

}  // namespace
