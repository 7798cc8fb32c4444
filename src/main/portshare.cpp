#include "portshare.h"

#include "client.h"
#include "portlog.h"

#include "../io/kva_assert.h"
#include "../io/serial_control.h"

#include <new>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// A held port whose device went away is looked for again at this pace.
const int reopenPaceMs = 1000;
// A device's output queue tells no event when it empties: it is looked at
// at this pace while a line waits to be put back.
const int drainLookMs = 5;

enum { maxWatchers = 32 };  // the client table's size

struct Share {
    // A port's name is "COM" and at most three digits.  A longer one a
    // client gives is kept in part: the open refuses it all the same, and
    // its log line shows no more than 32 bytes of it.
    char name[40];
    OutFifo *port;  // null while a held port's device is away
    Client *writer;
    Client *watchers[maxWatchers];
    int watcherCount;
    // Who they are, for the log, taken when they came (a client that
    // leaves has closed its connection by then).
    char writerPeer[Client::whoSize];
    bool writerDropped;  // the writer fell too far behind and was closed
    char watcherPeers[maxWatchers][Client::whoSize];
    // The last bytes the port sent: ring[(ringStart + i) % replayLimit] for
    // i < ringFill.
    char ring[replayLimit];
    long ringStart;
    long ringFill;
    bool held;
    // The writer left a port that stays open: it goes back to the line it
    // is held or watched at once the writer's output has gone out, at the
    // writer's line (bounded by restoreByMs once the device alone holds it).
    bool lineToRestore;
    int drainLimitMs;  // 0 until the device alone holds the output
    long long restoreByMs;
    PortLog *log;
    long loggedBaud;  // the writer's rate the log told last
    long long retryAtMs;
    Share *next;
};

Share *shares = nullptr;

// The speed of a port opened without a "p" (for a watcher or its log):
// -B<baud> for all, -BCOM<n>:<baud> for one.
struct PortSpeed {
    char name[16];
    int baud;
};
enum { maxSpeeds = 64 };
PortSpeed speeds[maxSpeeds];
int speedCount = 0;
int defaultSpeed = 115200;

int speedFor(const char *name)
{
    for (int i = 0; i < speedCount; i++)
        if (strcmp(speeds[i].name, name) == 0) return speeds[i].baud;
    return defaultSpeed;
}

Share *find(const char *name)
{
    for (Share *s = shares; s; s = s->next)
        if (strcmp(s->name, name) == 0) return s;
    return nullptr;
}

// Who a client is, for the port's log.
void peerOf(const Client *c, char out[Client::whoSize])
{
    snprintf(out, Client::whoSize, "%s", c->who);
}

void logClient(Share *s, const char *what, const char *peer)
{
    if (s->log) s->log->event("%s %s", what, peer);
}

// Watcher i goes; the last takes its place.
void removeWatcher(Share *s, int i)
{
    int last = --s->watcherCount;
    s->watchers[i] = s->watchers[last];
    memcpy(s->watcherPeers[i], s->watcherPeers[last], sizeof s->watcherPeers[i]);
}

// A watcher that has not read what it was sent is closed (its output
// dropped with it); the client then leaves as after a disconnect.
void dropWatcher(Share *s, int i)
{
    Client *c = s->watchers[i];
    const char *peer = s->watcherPeers[i];
    fprintf(stderr, "%s: watcher %s dropped, %ld bytes behind\n", s->name, peer, c->fifo->queued());
    logClient(s, "watcher dropped", peer);
    removeWatcher(s, i);
    delete c->fifo;
    c->fifo = nullptr;
    c->state = Closed;
}

// A writer that fell too far behind while others see the port: its
// connection is closed here, and its client leaves as after a disconnect
// (what it sent last still goes to the port).  The endpoint itself goes
// with its client, which may be stepping the port right now.
void dropWriter(Share *s)
{
    OutFifo *w = s->writer->fifo;
    fprintf(stderr, "%s: writer %s dropped, %ld bytes behind\n", s->name, s->writerPeer,
            w->queued());
    logClient(s, "writer dropped", s->writerPeer);
    s->writerDropped = true;
    w->closeDevice();
}

// Others see the port (its log, its watchers): it is read as its device
// sends, and its writer's pace no longer holds it back.
bool seenByOthers(const Share *s) { return s->log || s->watcherCount > 0; }

void setPace(Share *s)
{
    if (s->port) s->port->readAtDevicePace(seenByOthers(s));
}

// Every byte the port sends, as it is read.
void portOutput(void *context, const char *p, int n)
{
    Share *s = static_cast<Share *>(context);
    for (int i = 0; i < n; i++) {
        if (s->ringFill < replayLimit) {
            s->ring[(s->ringStart + s->ringFill) % replayLimit] = p[i];
            s->ringFill++;
        } else {
            s->ring[s->ringStart] = p[i];
            s->ringStart = (s->ringStart + 1) % replayLimit;
        }
    }
    if (s->log) s->log->output(p, n);
    for (int i = s->watcherCount - 1; i >= 0; i--) {
        OutFifo *w = s->watchers[i]->fifo;
        if (w->queued() > watcherQueueLimit) dropWatcher(s, i);
        else w->queue(p, n);
    }
    OutFifo *writer = s->writer && !s->writerDropped ? s->writer->fifo : nullptr;
    if (writer && writer->isOpen() && writer->queued() > writerLagLimit) dropWriter(s);
}

// A port opened by "p" keeps the frame its device has, as it always did;
// one opened for watchers or its log is set to 8N1, with its speed from -B.
// A rate the writer set over its bridge (RFC 2217), logged when it changes.
void portRate(void *context, long baud)
{
    Share *s = static_cast<Share *>(context);
    if (!s->writer || baud == s->loggedBaud) return;
    s->loggedBaud = baud;
    if (s->log) s->log->event("speed %ld baud, set by %s", baud, s->writerPeer);
}

bool openPort(Share *s, int baud, bool frame8n1)
{
    s->port = openComFifo(s->name, baud);
    if (!s->port) return false;
    if (frame8n1) kva_com_8n1(s->port->port);
    s->port->tapWith(portOutput, s);
    setPace(s);
    s->port->tapRatesWith(portRate);
    return true;
}

Share *newShare(const char *name)
{
    Share *s = new (std::nothrow) Share();
    if (!s) kva_out_of_memory("a shared port");
    snprintf(s->name, sizeof s->name, "%.*s", (int)sizeof s->name - 1, name);
    s->next = shares;
    shares = s;
    return s;
}

void freeShare(Share *s)
{
    for (Share **p = &shares; *p; p = &(*p)->next) {
        if (*p != s) continue;
        *p = s->next;
        break;
    }
    delete s->port;
    delete s->log;
    delete s;
}

// A port whose device has closed, once no writer holds it any more.
void portGone(Share *s)
{
    delete s->port;
    s->port = nullptr;
    if (s->held) {
        // Its watchers stay: they see the port again when it is back.
        fprintf(stderr, "%s: gone, looked for again every %d ms\n", s->name, reopenPaceMs);
        if (s->log) s->log->event("gone");
        s->retryAtMs = clockMs() + reopenPaceMs;
        return;
    }
    // As for a bridge whose target closed: back to the identifier.
    for (int i = 0; i < s->watcherCount; i++) {
        Client *c = s->watchers[i];
        if (!c->console)
            fprintf(stderr, "%s gone, watcher %s asked for the identifier again\n", s->name, c->peer);
        if (c->fifo->hasLine()) c->fifo->consumeLine(c->fifo->line());
        c->fifo->setLine();
        c->state = AwaitIdentifier;
    }
    s->watcherCount = 0;
}

// The share's port is there and open, opened again if it had gone.
bool present(Share *s, int baud, bool frame8n1)
{
    if (s->port && !s->port->isOpen() && !s->writer) portGone(s);
    if (s->port) return s->port->isOpen();
    if (!openPort(s, baud, frame8n1)) return false;
    // Only a held port is looked for while it is away; any other is opened
    // afresh by its next user, as it always was.
    if (s->held) {
        fprintf(stderr, "%s: back\n", s->name);
        if (s->log) s->log->event("back, opened at %d baud", baud);
    }
    return true;
}

void restoreHeldLine(Share *s)
{
    KvsLine held = {speedFor(s->name), 8, KvsParityNone, KvsStopOne, KvsFlowNone};
    if (!kvs_set_line(s->port->port, &held))
        fprintf(stderr, "%s: %ld 8N1 not set (error %d)\n", s->name, held.baud, kvs_last_error());
}

bool unused(const Share *s) { return !s->held && !s->writer && s->watcherCount == 0; }

// Puts a port its writer left back at its line once the writer's bytes are
// out: first those still queued here, then those the device holds, for at
// most the time they take on the line (then they are flushed, as at a
// close).  A new writer sets its own line instead.
void restoreLineWhenDrained(Share *s)
{
    if (s->writer || !s->port || !s->port->isOpen()) {
        s->lineToRestore = false;
        return;
    }
    if (s->port->queued() > 0) return;
    long held = kvs_output_held(s->port->port);
    if (held > 0) {
        long long now = clockMs();
        if (s->drainLimitMs == 0) {
            KvsLine line;
            long baud = kvs_get_line(s->port->port, &line) ? line.baud : 0;
            s->drainLimitMs = kvp_com_drain_ms(held, baud);
            s->restoreByMs = now + s->drainLimitMs;
        }
        if (now < s->restoreByMs) return;
        kvs_purge(s->port->port, 0, 1);
        fprintf(stderr, "%s: output not drained within %d ms, flushed %ld bytes\n", s->name,
                s->drainLimitMs, held);
    }
    s->lineToRestore = false;
    s->drainLimitMs = 0;
    restoreHeldLine(s);
}

// No writer steps the port: input is read here and, once the watchers,
// replay buffer and log have it, let go.
bool steppedHere(const Share *s) { return s->port && (!s->writer || !s->writer->fifo); }

}  // namespace

int portShareSetSpeed(const char *arg)
{
    const char *colon = strchr(arg, ':');
    long baud = 0;
    if (!colon) {
        if (!parseWholeNumber(arg, 1, maxBaud, &baud)) return -1;
        defaultSpeed = (int)baud;
        return 0;
    }
    if (speedCount == maxSpeeds || colon - arg >= (long)sizeof speeds[0].name) return -1;
    PortSpeed &p = speeds[speedCount];
    snprintf(p.name, sizeof p.name, "%.*s", (int)(colon - arg), arg);
    if (!parseWholeNumber(colon + 1, 1, maxBaud, &baud)) return -1;
    p.baud = (int)baud;
    speedCount++;
    return 0;
}

OutFifo *portShareWriter(const char *name, int baud, Client *writer)
{
    Share *s = find(name);
    if (s && s->writer) {
        fprintf(stderr, "%s: in use, another client writes to it\n", name);
        fprintf(stderr, "%s: in use by client %s, refused to client %s\n", name, s->writerPeer,
                writer->peer);
        return nullptr;
    }
    bool fresh = !s;
    if (fresh) s = newShare(name);
    if (!present(s, baud, s->held)) {
        if (fresh) freeShare(s);
        return nullptr;
    }
    if (!fresh) {
        // A rate the device refuses leaves the port as it was, its writer
        // refused.
        if (!kva_com_speed(s->port->port, baud)) {
            fprintf(stderr, "%s: speed %d refused (error %d)\n", name, baud, kvp_com_last_error());
            return nullptr;
        }
        s->lineToRestore = false;
        s->drainLimitMs = 0;
        // Output read before the writer came went to the watchers alone.
        if (s->port->hasLine()) s->port->consumeLine(s->port->line());
    }
    s->writer = writer;
    s->writerDropped = false;
    peerOf(writer, s->writerPeer);
    logClient(s, "writer attached", s->writerPeer);
    s->loggedBaud = baud;
    if (s->log) s->log->event("speed %d baud, set by %s", baud, s->writerPeer);
    return s->port;
}

bool portShareRelease(OutFifo *port, Client *writer)
{
    for (Share *s = shares; s; s = s->next) {
        if (s->port != port || s->writer != writer) continue;
        if (!s->writerDropped) logClient(s, "writer left", s->writerPeer);
        s->writer = nullptr;
        port->relayTo(nullptr, 0);
        // The last user gone: the port is released now, as a bridge's port
        // always was when its bridge ended.
        if (unused(s)) {
            freeShare(s);
            return true;
        }
        // The writer set the line as it liked; a port that stays open for
        // its log or its watchers goes back to the line they read it at.
        if (port->isOpen()) s->lineToRestore = true;
        return true;
    }
    return false;
}

bool portShareWatch(const char *name, long replayBytes, Client *watcher)
{
    Share *s = find(name);
    bool fresh = !s;
    if (fresh) s = newShare(name);
    if (!present(s, speedFor(name), true) || s->watcherCount == maxWatchers) {
        if (fresh) freeShare(s);
        return false;
    }
    watcher->send(".\r\n");
    watcher->fifo->setRaw();
    watcher->state = Watching;
    long n = replayBytes < 0 ? 0 : replayBytes;
    if (n > s->ringFill) n = s->ringFill;
    long from = (s->ringStart + s->ringFill - n) % replayLimit;
    long first = n < replayLimit - from ? n : replayLimit - from;
    if (first > 0) watcher->fifo->queue(s->ring + from, (int)first);
    if (n > first) watcher->fifo->queue(s->ring, (int)(n - first));
    int i = s->watcherCount++;
    s->watchers[i] = watcher;
    peerOf(watcher, s->watcherPeers[i]);
    logClient(s, "watcher attached", s->watcherPeers[i]);
    setPace(s);
    return true;
}

void portShareUnwatch(Client *watcher)
{
    for (Share *s = shares; s; s = s->next) {
        for (int i = 0; i < s->watcherCount; i++) {
            if (s->watchers[i] != watcher) continue;
            logClient(s, "watcher left", s->watcherPeers[i]);
            removeWatcher(s, i);
            if (unused(s)) freeShare(s);
            return;
        }
    }
}

int portShareHoldAll(const PortLogSettings &settings)
{
    kvp_key key;
    if (kvp_reg_open("HARDWARE\\DEVICEMAP\\SERIALCOMM", &key) != 0) {
        fprintf(stderr, "no port map: no port is held\n");
        return 0;
    }
    int r = 0;
    for (unsigned long index = 0;; index++) {
        char valueName[2048];
        char data[2048];
        unsigned long nameLen = sizeof valueName;
        unsigned long dataLen = sizeof data - 1;
        if (kvp_reg_enum(key, index, valueName, &nameLen, (unsigned char *)data, &dataLen) != 0)
            break;
        data[dataLen] = 0;  // the port's name, stored with its NUL
        if (find(data)) continue;
        PortLog *log = PortLog::open(settings.dir, data, settings.rotateBytes, settings.keepFiles);
        if (!log) {
            r = -1;
            break;
        }
        Share *s = newShare(data);
        s->held = true;
        s->log = log;
        int baud = speedFor(data);
        if (openPort(s, baud, true)) {
            printf("%s: held, logged to %s/%s.log\n", data, settings.dir, data);
            log->event("opened at %d baud", baud);
        } else {
            fprintf(stderr, "%s: cannot be opened, looked for again every %d ms\n", data,
                    reopenPaceMs);
            log->event("cannot be opened");
            s->retryAtMs = clockMs() + reopenPaceMs;
        }
    }
    kvp_reg_close(key);
    return r;
}

void portSharePoll()
{
    for (Share *s = shares, *next = nullptr; s; s = next) {
        next = s->next;
        setPace(s);
        if (steppedHere(s)) {
            s->port->process();
            if (s->port->hasLine()) s->port->consumeLine(s->port->line());
        }
        if (s->lineToRestore) restoreLineWhenDrained(s);
        if (s->port && !s->port->isOpen() && !s->writer) portGone(s);
        if (s->held && !s->port && clockMs() >= s->retryAtMs) {
            if (!present(s, speedFor(s->name), true)) s->retryAtMs = clockMs() + reopenPaceMs;
        }
        if (s->log) s->log->poll();
        if (unused(s)) freeShare(s);
    }
}

void portShareWatchAll()
{
    for (Share *s = shares; s; s = s->next) {
        if (steppedHere(s)) s->port->watch();
        // Output still queued here wakes the wait as the device takes it.
        if (s->lineToRestore && s->port && s->port->queued() == 0) wakeWithin(drainLookMs);
        // A share that changed in the clients' steps (its writer left, its
        // port closed) is seen to at once, not at the next device event.
        if (unused(s) || (s->port && !s->port->isOpen() && !s->writer)) workPending();
        if (s->held && !s->port) {
            long long ms = s->retryAtMs - clockMs();
            wakeWithin(ms > 0 ? (int)ms : 0);
        }
        if (s->log) s->log->watch();
    }
}

void portShareReleaseAll()
{
    for (Share *s = shares; s; s = s->next) {
        if (s->port) s->port->releasePort();
        if (s->log) {
            s->log->event("closed");
            s->log->flush();
        }
    }
}
