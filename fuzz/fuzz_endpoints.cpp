// Fuzz target: every kind of endpoint a client comes in on, driven through
// the client's own steps as the server's loop drives it, with a client that
// may read nothing or little.  The kinds: a socket client in line mode; one
// bridged to a host ("c") or to a shared port ("p") that a second client
// watches ("w"); a port listener's telnet client (-R); a browser console's
// WebSocket client (-W); the console.
//
// The input chooses the kind, how much each write to the client takes (0:
// a client that never reads), the largest piece a read hands out (the
// reads are split at random below it), a body of bytes and how many times
// it is sent over (up to 4,000 times, at most 4 MiB in all, so that every
// bound is crossed), and, for bridges, whether the far side talks as well.
// The harness adds what a kind needs first (the identifier, echo on, a
// connect or open command, the WebSocket handshake) where the input asks
// for it, and may wrap the body in WebSocket frames or pings.
//
// Checked at every turn: the process's heap stays within a fixed bound of
// where the input began, and no endpoint's output queue holds more than a
// few hundred KiB: whatever the client sends, and however little it reads,
// the server's memory for it is bounded.  At the end: a shared port whose
// watcher reads everything was read to the end of what its board sent,
// whatever its writer did.  The sanitizers check the rest.
#include "harness.h"
#include "kvb/device_telnet.h"
#include "kvb/device_websocket.h"
#include "main/client.h"
#include "main/portshare.h"

#include <sanitizer/allocator_interface.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// The heap an input may take beyond where it began: well above what the
// bounded queues and buffers of a few endpoints hold (under 450 KiB in the
// corpus), well below what an unbounded queue reaches from the bytes fed
// here.
const size_t heapBound = 2u << 20;
// The most one endpoint's output queue may hold: a watcher's bound and a
// read's worth beyond it.
const long queueBound = 384 * 1024;
// Bytes fed to one device and not yet read: a client that is not read waits
// with this much in its socket, as the kernel's buffers would hold it.
const size_t pendingMost = 16u << 10;
// The most one input feeds into a device in all: enough that an answer
// queued for every few bytes read, and never sent, crosses heapBound.
const size_t fedMost = 4u << 20;
// A console reads one key a call and looks through its held line at each:
// it is fed less.
const size_t consoleFedMost = 8u << 10;
// Turns that take nothing in before a client counts as held back.
const int stillTurns = 50;
const int maxTurns = 10000;

const unsigned char page[] = "<!DOCTYPE html>";
const WebAsset assets[] = {
    {"/", "text/html", page, sizeof page - 1},
    {nullptr, nullptr, nullptr, 0},
};

const char handshake[] =
    "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

enum Kind { LineSocket, HostBridge, PortBridge, TelnetClient, WebClient, ConsoleClient, Kinds };

// One masked WebSocket frame as a client sends it.
std::string wsFrame(int first, const std::string &payload)
{
    std::string f(1, (char)first);
    const size_t n = payload.size();
    if (n < 126) {
        f += (char)(0x80 | n);
    } else {
        f += (char)(0x80 | 126);
        f += (char)(n >> 8);
        f += (char)n;
    }
    const char mask[4] = {0x37, (char)0xfa, 0x21, 0x3d};
    f.append(mask, 4);
    for (size_t i = 0; i < n; i++) f += (char)(payload[i] ^ mask[i % 4]);
    return f;
}

// How much each write to a client takes, from the input's value: all (-1),
// nothing (0), or 64 bytes times the value.  A queue gathers up to 16 KiB,
// over every chunk it holds, for each write: writes of a byte or two, of a
// queue of one-key chunks, would make most of an input's time and tell
// nothing new.
int writeCap(int value) { return value <= 0 ? value : value * 64; }

// A small generator for the read splits, seeded from the input: the splits
// of a body sent thousands of times cannot all come from the input itself.
struct Splitter {
    uint32_t state;
    size_t most;
    size_t next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return 1 + state % most;
    }
};

// Feeds a device the prefix once, then the body over and over, in pieces
// whose sizes the splitter picks, keeping at most pendingMost unread.
struct Feeder {
    FakeDevice *dev = nullptr;
    std::string prefix;
    std::string body;
    size_t total = 0;     // bytes to feed in all
    size_t fed = 0;
    size_t consumed = 0;  // bytes the device's reads handed out
    Splitter split{1, 1};

    bool done() const { return fed >= total; }
    size_t pending() const { return fed - consumed; }
    void turn()
    {
        if (!dev) return;
        consumed += dev->taken.size();
        dev->taken.clear();
        dev->out.clear();
        while (!done() && pending() < pendingMost) {
            size_t n = std::min(split.next(), total - fed);
            std::string piece;
            piece.reserve(n);
            while (piece.size() < n) {
                if (fed + piece.size() < prefix.size()) {
                    size_t at = fed + piece.size();
                    piece.append(prefix, at, std::min(n - piece.size(), prefix.size() - at));
                } else {
                    size_t at = (fed + piece.size() - prefix.size()) % body.size();
                    piece.append(body, at, std::min(n - piece.size(), body.size() - at));
                }
            }
            dev->push(piece);
            fed += n;
        }
    }
};

class EndpointHarness {
public:
    explicit EndpointHarness(FuzzedDataProvider &input) : in(input) {}
    ~EndpointHarness();

    void run();

private:
    FuzzedDataProvider &in;
    std::vector<Client *> clients;
    Feeder user;
    Feeder far;
    Feeder watcher;  // a shared port's watcher
    size_t heapStart = 0;
    size_t heapMost = 0;  // the most the heap grew, for traces
    bool firstGone = false;  // the client under test has ended
    static const int listenFd = 3;

    OutFifo *accept(Kind kind);
    void checkBounds(int turn);
    void turn();
};

EndpointHarness::~EndpointHarness()
{
    for (Client *c : clients) delete c;
    // A port nobody uses any more is released by the next poll.
    portSharePoll();
    portShareReleaseAll();
}

OutFifo *EndpointHarness::accept(Kind kind)
{
    readySet.count = 1;
    readySet.fds[0] = listenFd;
    switch (kind) {
    case TelnetClient:
        return acceptTelnetClient(listenFd, true, "COM1");
    case WebClient:
        return acceptWebFifo(listenFd, true, assets);
    case ConsoleClient:
        return new OutFifo(consoleDevice, 1);
    default:
        return acceptFifo(listenFd, true);
    }
}

void EndpointHarness::checkBounds(int turnNumber)
{
    const size_t heap = __sanitizer_get_current_allocated_bytes();
    if (heap > heapStart) heapMost = std::max(heapMost, heap - heapStart);
    if (heap > heapStart + heapBound) {
        fprintf(stderr, "fuzz_endpoints: heap %zu bytes above the start at turn %d (%zu fed)\n",
                heap - heapStart, turnNumber, user.fed);
        FUZZ_CHECK(heap <= heapStart + heapBound);
    }
    for (Client *c : clients) {
        if (c->fifo && c->fifo->queued() > queueBound)
            fprintf(stderr, "fuzz_endpoints: client queue %ld at turn %d\n", c->fifo->queued(),
                    turnNumber);
        FUZZ_CHECK(!c->fifo || c->fifo->queued() <= queueBound);
        FUZZ_CHECK(!c->target || c->target->queued() <= queueBound);
    }
}

// One turn of the loop: feed, poll the shared ports, step every client.
void EndpointHarness::turn()
{
    user.turn();
    far.turn();
    watcher.turn();
    fake_advance_ms(1 + (long long)(user.split.state % 64));
    portSharePoll();
    for (size_t i = 0; i < clients.size(); i++) {
        int r = clients[i]->step();
        if (r >= 0) continue;
        FUZZ_TRACE("client %zu ends: %d\n", i, r);
        if (i == 0 && !firstGone) {
            firstGone = true;
            user.dev = nullptr;
        }
        delete clients[i];
        clients.erase(clients.begin() + (long)i);
        i--;
    }
}

void EndpointHarness::run()
{
    const Kind kind = (Kind)in.ConsumeIntegralInRange<int>(0, Kinds - 1);
    const int userCap = writeCap(in.ConsumeIntegralInRange<int>(-1, 64));
    const int otherCap = writeCap(in.ConsumeIntegralInRange<int>(-1, 64));
    const size_t piece = in.ConsumeIntegralInRange<size_t>(1, 16384);
    const size_t repeat = in.ConsumeIntegralInRange<size_t>(1, 4000);
    const uint32_t seed = in.ConsumeIntegral<uint32_t>() | 1;
    const bool introduce = in.ConsumeBool();  // the identifier, the handshake
    const bool farTalks = in.ConsumeBool();
    const int framing = in.ConsumeIntegralInRange<int>(0, 2);  // WebSocket: none, data, pings
    std::string body = in.ConsumeRemainingBytesAsString();
    if (body.empty()) body = "\r\n";
    FUZZ_TRACE("kind %d, caps %d/%d, pieces up to %zu, body of %zu x %zu\n", (int)kind, userCap,
               otherCap, piece, body.size(), repeat);

    std::string prefix;
    const std::string identifier = std::string(expectedIdentifier) + "\r\n";
    switch (kind) {
    case LineSocket:
    case ConsoleClient:
        if (introduce) prefix = identifier;
        break;
    case HostBridge:
        // Echo on first, where the input asks for it: the echo of what is
        // bridged comes back to the client.
        prefix = identifier + (introduce ? "e\n" : "") + "c 127.0.0.1 23\n";
        break;
    case PortBridge:
        prefix = identifier + "p COM1 9600\n";
        break;
    case TelnetClient:
        if (introduce) prefix = std::string("\xff\xfb\x2c", 3);
        break;
    case WebClient:
        prefix = handshake;
        if (introduce) prefix += wsFrame(0x81, identifier);
        if (framing) {
            // The body as frames: data frames of any size, or pings, whose
            // payload is at most 125 bytes.
            const size_t most = framing == 1 ? 4000 : 125;
            std::string frames;
            for (size_t at = 0; at < body.size(); at += most)
                frames += wsFrame(framing == 1 ? 0x82 : 0x89, body.substr(at, most));
            body = frames;
        }
        break;
    default:
        break;
    }

    heapStart = __sanitizer_get_current_allocated_bytes();
    OutFifo *endpoint = accept(kind);
    FUZZ_CHECK(endpoint != nullptr);
    Client *c = new Client(endpoint, kind == TelnetClient);
    clients.push_back(c);
    if (kind == TelnetClient && !c->takePort("COM1")) return;
    user.dev = kind == ConsoleClient ? &fake_console() : fake_device(endpoint->fd);
    FUZZ_CHECK(user.dev != nullptr);
    user.dev->writeCap = userCap;
    user.prefix = prefix;
    user.body = body;
    const size_t most = kind == ConsoleClient ? consoleFedMost : fedMost;
    user.total = prefix.size() + std::min(body.size() * repeat, most);
    user.split = Splitter{seed, piece};

    // A shared port's writer has a watcher beside it, which reads as the
    // input says.
    if (kind == PortBridge) {
        Client *w = new Client(accept(LineSocket));
        clients.push_back(w);
        watcher.dev = fake_device(w->fifo->fd);
        watcher.dev->writeCap = otherCap;
        watcher.prefix = identifier + "w COM1\n";
        watcher.body = "\n";
        watcher.total = watcher.prefix.size();
        watcher.split = Splitter{seed, piece};
    }

    int still = 0;
    size_t lastConsumed = 0;
    int t = 0;
    for (; t < maxTurns; t++) {
        turn();
        // A shared port goes on for its watcher once its writer has gone.
        if (firstGone && (kind != PortBridge || !far.dev || clients.empty())) break;
        checkBounds(t);
        // The far side of a bridge, once there is one, talks if the input
        // says so: a host or a board sending the body over and over.
        if (!far.dev && !firstGone && c->target) {
            far.dev = fake_device(c->target->fd > 1 ? (intptr_t)c->target->fd : c->target->port);
            if (far.dev) {
                far.body = body;
                far.total = farTalks ? std::min(body.size() * repeat, fedMost) : 0;
                far.split = Splitter{seed * 2654435761u | 1, piece};
                if (kind == HostBridge) far.dev->writeCap = otherCap;
            }
        }
        const bool feeding = !user.done() || (far.dev && !far.done());
        const bool quiet = user.pending() == 0 && (!far.dev || far.pending() == 0);
        if (!feeding && quiet) break;
        // Held back: nothing more is taken from either side (a client that
        // reads nothing is not read either).
        const size_t consumed = user.consumed + far.consumed;
        still = consumed == lastConsumed ? still + 1 : 0;
        lastConsumed = consumed;
        if (still > stillTurns) break;
    }
    // A watcher that reads everything holds the port: it is read to the end
    // whatever the writer does (one that stopped reading is dropped).
    const bool watcherReads = kind == PortBridge && otherCap == -1 && !clients.empty() &&
                              clients.back()->state == Watching;
    if (t < maxTurns && far.dev && watcherReads) {
        if (far.consumed != far.fed)
            fprintf(stderr, "fuzz_endpoints: the board sent %zu bytes, the port was read %zu\n",
                    far.fed, far.consumed);
        FUZZ_CHECK(far.consumed == far.fed);
    }
    FUZZ_TRACE("fed %zu, read %zu; far fed %zu, read %zu; heap grew %zu at most\n", user.fed,
               user.consumed, far.fed, far.consumed, heapMost);
}

}  // namespace

VELKOR_FUZZ_TARGET(EndpointHarness)
