// Fuzz target: the command interpreter.  A client connects through the fake
// seam, sends the identifier, and is then handed arbitrary lines, while the
// fuzzer decides whether each device factory's system calls fail or
// succeed and what the registry holds.  A successful connect or open is
// followed by a short relay both ways and then by the end of the bridge,
// from either side, after which the session goes on.
//
// Checked for every line: splitArgs yields the line's graphic runs in order,
// inside its buffer, for any buffer size and table size; every reply is made
// of lines ending "\r\n", each ":" or "!" or ".", shaped as one "!" line or
// ":" lines closed by "."; only "d" and "k" end the client; a bridge starts
// exactly when the reply is "." to a connect or open, and a failed one
// leaves no descriptor open; relayed bytes arrive unchanged and in order;
// when the session ends no descriptor stays open or watched.
#include "harness.h"
#include "main/client.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

bool isGraphic(unsigned char c) { return c >= 0x21 && c <= 0x7e; }

// The tokens of a line: its runs of graphic bytes, up to its NUL.
std::vector<std::string> tokensOf(const char *line)
{
    std::vector<std::string> tokens;
    const unsigned char *p = (const unsigned char *)line;
    for (;;) {
        while (*p && !isGraphic(*p)) p++;
        if (!*p) return tokens;
        const unsigned char *start = p;
        while (isGraphic(*p)) p++;
        tokens.push_back(std::string((const char *)start, (size_t)(p - start)));
    }
}

// splitArgs with a buffer and a table of the given sizes, on the heap so
// that any access beyond them is caught; tokens are the line's tokensOf.
void checkSplit(const char *line, const std::vector<std::string> &tokens, int bufferSize,
                int maxArgs)
{
    char *buffer = new char[(size_t)bufferSize];
    char **args = new char *[(size_t)maxArgs];
    for (int i = 0; i < maxArgs; i++) args[i] = nullptr;
    int n = splitArgs(line, buffer, bufferSize, args, maxArgs);
    size_t wanted = tokens.size() < (size_t)maxArgs ? tokens.size() : (size_t)maxArgs;
    size_t needed = 0;  // buffer bytes the wanted tokens take with their NULs
    for (size_t i = 0; i < wanted; i++) needed += tokens[i].size() + 1;
    FUZZ_CHECK(n >= 0 && (size_t)n <= wanted);
    if (needed <= (size_t)bufferSize) FUZZ_CHECK((size_t)n == wanted);
    for (int i = 0; i < n; i++) {
        FUZZ_CHECK(args[i] >= buffer && args[i] < buffer + bufferSize);
        size_t room = (size_t)(buffer + bufferSize - args[i]);
        size_t len = strnlen(args[i], room);
        FUZZ_CHECK(len < room);  // NUL-terminated inside the buffer
        FUZZ_CHECK(len > 0);
        // A token that did not fit may be cut short, never changed.
        FUZZ_CHECK(tokens[(size_t)i].compare(0, len, args[i], len) == 0);
        if (needed <= (size_t)bufferSize) FUZZ_CHECK(len == tokens[(size_t)i].size());
    }
    for (int i = n; i < maxArgs; i++) FUZZ_CHECK(args[i] == nullptr);
    delete[] args;
    delete[] buffer;
}

// Splits a reply into its lines; each must end "\r\n" and hold no other CR
// or LF.  A NUL may stand only just before the "\r\n" of a ":" line (data
// from the registry, as stored).
std::vector<std::string> replyLines(const std::string &reply)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < reply.size()) {
        size_t end = reply.find("\r\n", start);
        FUZZ_CHECK(end != std::string::npos);
        std::string l = reply.substr(start, end - start);
        FUZZ_CHECK(l.find_first_of("\r\n") == std::string::npos);
        size_t nul = l.find('\0');
        if (nul != std::string::npos) FUZZ_CHECK(nul == l.size() - 1 && l[0] == ':');
        FUZZ_CHECK(!l.empty() && (l[0] == ':' || l[0] == '!' || l == "."));
        lines.push_back(l);
        start = end + 2;
    }
    return lines;
}

char key(const std::vector<std::string> &tokens) { return tokens.empty() ? 0 : tokens[0][0]; }

bool isKnownKey(char key) { return key != 0 && strchr("?cdeiklnprstvw", key) != nullptr; }

// Registry text as the fake stores it: printable bytes, so that whatever
// breaks the framing is the server's doing.
std::string registryText(FuzzedDataProvider &in, size_t maxLen)
{
    std::string s = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, maxLen));
    for (char &c : s) c = (char)(0x20 + (unsigned char)c % 0x5f);
    if (in.ConsumeBool()) s.push_back('\0');
    return s;
}

class CommandHarness {
public:
    explicit CommandHarness(FuzzedDataProvider &input) : in(input) {}

    void run();

private:
    FuzzedDataProvider &in;
    Client *c = nullptr;
    FakeDevice *user = nullptr;
    static const int listenFd = 3;

    void connect();
    void identify();
    std::string drain();
    void setOutcomes();
    void setRegistry();
    void command();
    void checkReply(const std::vector<std::string> &tokens, int r, const std::string &reply,
                    int opened);
    void checkTestLines(const std::vector<std::string> &tokens, const std::string &reply,
                        bool whole);
    void bridgeSession(const std::string &greeting);
    void endSession();
};

// Pumps until the user's output queue is empty; what the user received.
std::string CommandHarness::drain()
{
    const size_t before = user->out.size();
    // Short writes, except for long replies, which would take too long.
    int cap = in.ConsumeIntegralInRange(-1, 64);
    user->writeCap = cap == 0 || (c->fifo && c->fifo->queued() > 4096) ? -1 : cap;
    for (int i = 0; c->fifo && !c->fifo->isEmpty(); i++) {
        FUZZ_CHECK(i < 1000000);
        c->pump();
    }
    user->writeCap = -1;
    return user->out.substr(before);
}

void CommandHarness::identify()
{
    const bool echo = c->fifo->echoing();
    const std::string line = std::string(expectedIdentifier) + "\n";
    const size_t before = user->out.size();
    user->push(line);
    FUZZ_CHECK(c->step() == 0);
    drain();
    FUZZ_CHECK(user->out.substr(before) == (echo ? line : std::string()) + ".\r\n");
    FUZZ_CHECK(c->state == Command && c->fifo->heldBytes() == 0);
}

void CommandHarness::connect()
{
    readySet.count = 1;
    readySet.fds[0] = listenFd;
    OutFifo *f = acceptFifo(listenFd, true);
    FUZZ_CHECK(f != nullptr && kva_set_has(&watchedSet, f->fd));
    user = fake_device(f->fd);
    c = new Client(f);
    // The greeting: one line, a host name and "/velkor".
    std::string greeting = drain();
    FUZZ_CHECK(greeting.size() > 9 && greeting.find("\r\n") == greeting.size() - 2);
    FUZZ_CHECK(greeting.compare(greeting.size() - 9, 9, "/velkor\r\n") == 0);
    identify();
}

void CommandHarness::endSession()
{
    delete c;
    c = nullptr;
    FUZZ_CHECK(fake_open_count() == 0);
    FUZZ_CHECK(watchedSet.count == 0);
}

void CommandHarness::setOutcomes()
{
    uint8_t bits = in.ConsumeIntegral<uint8_t>();
    fakeOutcomes.lookupOk = bits & 1;
    fakeOutcomes.socketOk = bits & 2;
    fakeOutcomes.connectOk = bits & 4;
    fakeOutcomes.comOpenOk = bits & 8;
    fakeOutcomes.comTimeoutsOk = bits & 16;
    fakeOutcomes.serialCommOk = bits & 32;
    fakeOutcomes.productOk = bits & 64;
    fakeOutcomes.productTypeOk = bits & 128;
    // 0 to 2: a connect takes that many looks; 3: it is never answered.
    int steps = in.ConsumeIntegralInRange(0, 3);
    fakeOutcomes.connectSteps = steps < 3 ? steps : 1000000;
    // A host that talks first, in the same look that makes the connect.
    fakeOutcomes.hostGreeting.clear();
    if (in.ConsumeBool())
        fakeOutcomes.hostGreeting =
            in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 2500));
}

void CommandHarness::setRegistry()
{
    fakeOutcomes.ports.clear();
    for (int n = in.ConsumeIntegralInRange(0, 6); n > 0; n--) {
        // Now and then a value too large for the reader's buffers.
        size_t most = in.ConsumeIntegralInRange(0, 15) == 0 ? 2100 : 40;
        std::string name = registryText(in, most);
        name.erase(std::find(name.begin(), name.end(), '\0'), name.end());
        fakeOutcomes.ports.push_back(std::make_pair(name, registryText(in, most)));
    }
    fakeOutcomes.productType = registryText(in, in.ConsumeBool() ? 1100 : 20);
}

void CommandHarness::checkReply(const std::vector<std::string> &tokens, int r,
                                const std::string &reply, int opened)
{
    const bool bridged = c->state == Bridge;
    const bool watching = c->state == Watching;
    if (tokens.empty()) {
        FUZZ_CHECK(r == 0 && reply.empty() && !bridged && !watching && opened == 0);
        return;
    }
    const char key = tokens[0][0];
    FUZZ_CHECK(r == 0 || r == -1 || r == -2);
    FUZZ_CHECK((r == -1) == (key == 'd'));
    FUZZ_CHECK((r == -2) == (key == 'k'));

    std::vector<std::string> lines = replyLines(reply);
    FUZZ_CHECK(!lines.empty());
    if (lines[0][0] == '!') {
        // An error is one line; the port listings close theirs with ".".
        FUZZ_CHECK(lines.size() == 1 ||
                   (lines.size() == 2 && lines[1] == "." && (key == 'r' || key == 'n')));
    } else {
        for (size_t i = 0; i + 1 < lines.size(); i++) FUZZ_CHECK(lines[i][0] == ':');
        FUZZ_CHECK(lines.back() == ".");
    }
    if (!isKnownKey(key)) {
        FUZZ_CHECK(reply == "! unknown command '" + tokens[0].substr(0, 256) + "'\r\n");
    }
    if (key == 't' && tokens.size() >= 2) checkTestLines(tokens, reply, true);

    // A bridge exactly when a connect or open answers "."; the target is
    // the one descriptor the command left open.
    FUZZ_CHECK(bridged == ((key == 'c' || key == 'p') && reply == ".\r\n"));
    // A watch exactly when "w" answers "." (a port just opened has nothing
    // to replay); the port is then the one descriptor the command left open.
    FUZZ_CHECK(watching == (key == 'w' && reply == ".\r\n"));
    FUZZ_CHECK(opened == (bridged || watching ? 1 : 0));
    FUZZ_CHECK((c->target != nullptr) == bridged);
    if (c->fifo) FUZZ_CHECK(c->fifo->isRaw() == (bridged || watching));
    if (bridged) FUZZ_CHECK(c->target->isRaw());
    if (bridged && key == 'p') FUZZ_CHECK(fake_last_com_path() == "\\\\.\\" + tokens[1]);
}

void CommandHarness::command()
{
    setOutcomes();
    if (in.ConsumeIntegralInRange(0, 7) == 0) setRegistry();

    std::string line = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 2100));
    line = line.c_str();  // up to its first NUL, as a line is handed over

    const std::vector<std::string> tokens = tokensOf(line.c_str());
    checkSplit(line.c_str(), tokens, 2000, 64);
    const int bufferSize = in.ConsumeIntegralInRange(1, 80);
    const int maxArgs = in.ConsumeIntegralInRange(1, 70);
    checkSplit(line.c_str(), tokens, bufferSize, maxArgs);

    FUZZ_CHECK(c->state == Command);
    const int openBefore = fake_open_count();
    int r = c->execute(line.c_str());
    std::string reply = drain();
    // A connect answers once it has been made or has failed, on a later
    // step; one that is never answered fails when its time is up.
    // A step's own pumps write too: the reply is all the user received.
    for (int i = 0; r == 0 && c->state == Connecting; i++) {
        FUZZ_CHECK(i < 100 && reply.empty());
        fake_advance_ms(2000);
        const size_t mark = user->out.size();
        FUZZ_CHECK(c->step() == 0);
        drain();
        reply += user->out.substr(mark);
    }
    // Test lines are made as the user's queue drains, over later steps.  A
    // count too large to wait for is read in part, and then the user goes.
    bool cut = false;
    for (int i = 0; r == 0 && c->testing; i++) {
        if (reply.size() > 300000) {
            cut = true;
            break;
        }
        const size_t mark = user->out.size();
        FUZZ_CHECK(c->step() == 0);
        drain();
        reply += user->out.substr(mark);
    }
    const int opened = fake_open_count() - openBefore;
    FUZZ_TRACE("line \"%s\" -> %d \"%s\"\n", fuzz_escaped(line).c_str(), r,
               fuzz_escaped(reply).c_str());
    if (cut) {
        checkTestLines(tokens, reply, false);
        endSession();
        connect();
        return;
    }
    checkReply(tokens, r, reply, opened);
    if (r < 0) {
        endSession();
        connect();
    } else if (c->state == Bridge) {
        bridgeSession(key(tokens) == 'c' ? fakeOutcomes.hostGreeting : std::string());
    } else if (c->state == Watching) {
        // The watcher leaves, and its port is released with it.
        endSession();
        connect();
    }
}

// The reply to "t <count>": the lines counting down from the count, each
// whole and in order, then "." (when `whole`; otherwise a first part of it).
void CommandHarness::checkTestLines(const std::vector<std::string> &tokens,
                                    const std::string &reply, bool whole)
{
    int next = parseNumber(tokens[1].c_str());
    size_t at = 0;
    char want[64];
    for (; next > 0; next--) {
        int n = snprintf(want, sizeof want, ": testing sending many lines %d\r\n", next);
        if (reply.size() - at < (size_t)n) break;
        FUZZ_CHECK(reply.compare(at, (size_t)n, want) == 0);
        at += (size_t)n;
    }
    if (whole) {
        FUZZ_CHECK(next <= 0 && reply.substr(at) == ".\r\n");
    } else {
        // A line cut short is the start of the next one.
        snprintf(want, sizeof want, ": testing sending many lines %d\r\n", next);
        FUZZ_CHECK(next > 0 && std::string(want).compare(0, reply.size() - at, reply, at,
                                                         std::string::npos) == 0);
    }
}

// Relays bytes both ways, then ends the bridge: the target goes away (a
// socket's peer closes, or the target's reads keep failing) and the user
// signs in again, or the user goes away and a new one connects.  A host
// that talked first has its greeting arrive ahead of everything else.
void CommandHarness::bridgeSession(const std::string &greeting)
{
    OutFifo *t = c->target;
    FakeDevice *far = fake_device(t->fd > 1 ? (intptr_t)t->fd : t->port);
    FUZZ_CHECK(far != nullptr && far->open);

    std::string up = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 3000));
    std::string down = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 3000));
    const bool echo = c->fifo->echoing();
    // With echo the user receives its own bytes back, in an order with the
    // greeting's that depends on when each was read: the greeting is then
    // taken out of the way unchecked.
    std::string first = greeting;
    if (echo) {
        down.clear();
        for (int i = 0; i < 10000 && far->pending() > 0; i++) FUZZ_CHECK(c->step() == 0);
        FUZZ_CHECK(far->pending() == 0);
        const size_t mark = user->out.size();
        for (int i = 0; i < 10000 && user->out.size() - mark < greeting.size(); i++)
            FUZZ_CHECK(c->step() == 0);
        FUZZ_CHECK(user->out.substr(mark) == greeting);
        first.clear();
    }
    for (size_t at = 0; at < up.size();) {
        size_t n = in.ConsumeIntegralInRange<size_t>(1, up.size() - at);
        user->push(up.substr(at, n));
        at += n;
    }
    far->push(down);
    const size_t upBefore = far->out.size();
    const size_t downBefore = user->out.size();
    const std::string toUser = first + (echo ? up : down);
    for (int i = 0; i < 10000; i++) {
        if (far->out.size() - upBefore >= up.size() &&
            user->out.size() - downBefore >= toUser.size())
            break;
        FUZZ_CHECK(c->step() == 0);
    }
    FUZZ_CHECK(far->out.substr(upBefore) == up);
    FUZZ_CHECK(user->out.substr(downBefore) == toUser);

    if (in.ConsumeBool()) {
        // A socket's peer sends a last part and closes, or its reads fail;
        // a serial line's reads fail (the adapter was pulled).  A user who
        // reads nothing meanwhile has its queue full while the end is read:
        // the last part still arrives whole once the user reads again.
        std::string last;
        const bool slowUser = in.ConsumeBool();
        const size_t quietFrom = user->out.size();
        if (t->fd > 1 && in.ConsumeBool()) {
            last = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 3000));
            if (slowUser) {
                // Enough to take the user's queue over its bound, read apart
                // from the last part, which may then be held for the user.
                user->writeCap = 0;
                const size_t over = in.ConsumeIntegralInRange<size_t>(1, 2048);
                const std::string flood((size_t)bridgeQueueLimit + over, 'F');
                far->push(flood);
                far->push(last);
                last = flood + last;
            } else {
                far->push(last);
            }
            far->eof = true;
        } else {
            far->readError = true;
        }
        FUZZ_TRACE("target ends: %zu last bytes, the user %s\n", last.size(),
                   slowUser ? "reading nothing meanwhile" : "reading");
        for (int i = 0; i < 300 && c->state == Bridge; i++) FUZZ_CHECK(c->step() == 0);
        user->writeCap = -1;
        for (int i = 0; i < 10000 && c->state == Bridge; i++) FUZZ_CHECK(c->step() == 0);
        drain();
        // Back to line mode without a word; the user must sign in again.
        FUZZ_CHECK(c->state == AwaitIdentifier && c->target == nullptr && !c->fifo->isRaw());
        FUZZ_CHECK(!far->open && user->out.substr(quietFrom) == last);
        identify();
        return;
    }
    // The user sends a last part and leaves.  The target still writes out
    // all it holds for the user, at its own pace; one that takes nothing is
    // given up once the linger time has passed.
    const std::string lastUp = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 3000));
    user->push(lastUp);
    user->eof = true;
    const int cap = in.ConsumeIntegralInRange(-1, 64);
    far->writeCap = cap;
    const size_t lastFrom = far->out.size();
    int r = 0;
    for (int i = 0; i < 100000 && r == 0; i++) {
        r = c->step();
        if (cap == 0 && i % 100 == 99) fake_advance_ms(2000);
    }
    FUZZ_CHECK(r == -1 && !far->open && !user->open);
    if (cap != 0) FUZZ_CHECK(far->out.substr(lastFrom) == lastUp);
    endSession();
    connect();
}

void CommandHarness::run()
{
    FUZZ_CHECK(watchedSet.count == 0);
    connect();
    for (int n = 0; n < 200 && in.remaining_bytes() > 0; n++) command();
    endSession();
}

}  // namespace

VELKOR_FUZZ_TARGET(CommandHarness)
