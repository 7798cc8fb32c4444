// A telnet connection with the COM-PORT option: reads hand out the client's
// data with the telnet framing taken off, and the commands in it act on the
// serial port at the other end of the bridge and are answered in the same
// step; writes go out with every 0xFF doubled.  The modem lines are looked
// at every modemPollMs while the option is agreed, so a change is told
// without the loop ever spinning on it.
#include "device_telnet.h"

#include "../io/kva_assert.h"
#include "comport.h"

#include <new>
#include <stdio.h>
#include <string.h>
#include <string>

namespace {

// The most data one write takes: its escaped copy is at most twice this.
const int writeMax = 32768;

struct TelnetState : ComPortLine {
    OutFifo *self;
    char name[16];
    ComPortServer server;
    // The answers of the step under way, before they join the endpoint's
    // wire queue (the protocol's own bytes, sent ahead of any data).
    std::string answers;
    std::string decoded;
    std::string escaped;
    long long nextPollMs;
    long long breakEndMs;  // when a telnet BREAK ends; 0: none under way
    bool breakLogged;

    TelnetState(OutFifo *e, const char *portName)
        : self(e), server(*this), nextPollMs(0), breakEndMs(0), breakLogged(false)
    {
        snprintf(name, sizeof name, "%s", portName);
    }

    // The port at the other end of the bridge, while there is one.
    kva_handle handle() const
    {
        OutFifo *peer = self->relayPeer();
        return peer ? peer->port : INVALID_HANDLE_VALUE;
    }
    bool hasPort() const { return handle() != INVALID_HANDLE_VALUE; }

    int getLine(KvsLine *l) override { return hasPort() && kvs_get_line(handle(), l); }
    int setLine(const KvsLine *l) override
    {
        if (!hasPort()) return 0;
        int ok = kvs_set_line(handle(), l);
        // The rate in force afterwards, whether or not all was taken.
        KvsLine now;
        if (kvs_get_line(handle(), &now)) self->relayPeer()->rateSet(now.baud);
        return ok;
    }
    int setDtr(int on) override { return hasPort() && kvs_set_dtr(handle(), on); }
    int setRts(int on) override { return hasPort() && kvs_set_rts(handle(), on); }
    int setBreak(int on) override { return hasPort() && kvs_set_break(handle(), on); }
    int modemLines(int *lines) override { return hasPort() && kvs_modem_lines(handle(), lines); }
    int lineCounts(KvsLineCounts *c) override { return hasPort() && kvs_line_counts(handle(), c); }
    int purge(int input, int output) override
    {
        return hasPort() && kvs_purge(handle(), input, output);
    }
    int lastError() override { return kvs_last_error(); }
    void sendBreak() override
    {
        // The break is ended by a later step, not waited for here: the loop
        // serves everyone else meanwhile.
        if (setBreak(1)) {
            breakEndMs = kvp_now_ms() + telnetBreakMs;
        } else if (!breakLogged) {
            breakLogged = true;
            fprintf(stderr, "%s: break not sent (error %d)\n", name, kvs_last_error());
        }
    }
    void log(const char *what) override { fprintf(stderr, "%s: %s\n", name, what); }
};

TelnetState *state(const OutFifo *e) { return (TelnetState *)e->deviceData; }

// Answers join the endpoint's wire queue, and go out ahead of any data.
void queueAnswers(TelnetState *t)
{
    if (t->answers.empty()) return;
    t->self->queueWire(t->answers.data(), (int)t->answers.size());
    t->answers.clear();
}

// What is due by the clock: the end of a break, a look at the modem lines.
void timedWork(TelnetState *t)
{
    long long now = kvp_now_ms();
    if (t->breakEndMs && now >= t->breakEndMs) {
        t->breakEndMs = 0;
        t->setBreak(0);
    }
    // A client that does not read its answers gets no more notices until
    // it does: the next look tells the lines as they are then.
    if (now >= t->nextPollMs) {
        t->nextPollMs = now + modemPollMs;
        if (!t->self->ownOutputFull()) t->server.pollLines(t->answers);
        queueAnswers(t);
    }
}

int telnetRead(OutFifo *e, char *p, int n)
{
    TelnetState *t = state(e);
    // One loop, one thread: a single buffer serves every endpoint.  Decoded
    // data is never longer than what was received, so it all fits in p.
    static char raw[64 * 1024];
    int want = n < (int)sizeof raw ? n : (int)sizeof raw;
    int r = kva_read_socket(e->fd, raw, want);
    if (r < 0) return r;
    t->decoded.clear();
    t->server.feed((const uint8_t *)raw, (size_t)r, t->decoded, t->answers);
    queueAnswers(t);
    timedWork(t);
    memcpy(p, t->decoded.data(), t->decoded.size());
    return (int)t->decoded.size();
}

// Called only once the protocol's own bytes are all out (the endpoint sends
// them first).
int telnetWrite(OutFifo *e, const char *p, int n)
{
    TelnetState *t = state(e);
    if (t->server.suspended()) return 0;
    if (n > writeMax) n = writeMax;
    t->escaped.clear();
    telnetEscape((const uint8_t *)p, (size_t)n, t->escaped);
    int r = kva_send(e->fd, t->escaped.data(), (int)t->escaped.size());
    if (r < 0) return -1;
    if (r == 0) return 0;
    // An escaped byte pair once begun is finished before anything else.
    if ((size_t)r < t->escaped.size())
        e->queueWire(t->escaped.data() + r, (int)(t->escaped.size() - (size_t)r));
    return n;
}

int telnetSendWire(OutFifo *e, const char *p, int n) { return kva_send(e->fd, p, n); }

void telnetWatch(OutFifo *e, int events)
{
    TelnetState *t = state(e);
    // What is due by the clock is done here as well as in a read: no read
    // comes while the port's queue is full, and a deadline left in the past
    // would keep the wait from sleeping.
    long long now = kvp_now_ms();
    if (now >= t->nextPollMs || (t->breakEndMs && now >= t->breakEndMs)) timedWork(t);
    // A client that asked for a pause gets nothing but answers; its output
    // waits in the queue without waking the loop.
    if (t->server.suspended()) events &= ~KVP_OUT;
    if (e->wirePending()) events |= KVP_OUT;
    long long due = t->nextPollMs;
    if (t->breakEndMs && t->breakEndMs < due) due = t->breakEndMs;
    kva_wake_within(due > now ? (int)(due - now) : 0);
    kva_watch_socket(e->fd, events);
}

void telnetClose(OutFifo *e)
{
    TelnetState *t = state(e);
    kva_close_socket(e->fd);
    e->fd = -1;
    if (t) {
        // A break is not left on the line for the next user.
        if (t->breakEndMs || t->server.breakOn()) t->setBreak(0);
        delete t;
        e->deviceData = nullptr;
    }
}

}  // namespace

// As a socket: a peer that closed is read again a hundred times before the
// connection is given up, a failed send closes it at once.
const DeviceOps telnetDevice = {
    "telnet", telnetRead, telnetWrite, telnetWatch, telnetClose,
    100,  // failed reads absorbed
    0,    // failed writes absorbed
    socketReadGivenUp,
    nullptr,  // decoded data is handed out whole
    telnetSendWire,
};

OutFifo *acceptTelnetClient(int listenSocket, bool localOnly, const char *portName)
{
    int fd = kva_accept(listenSocket, localOnly);
    if (fd == -1) return nullptr;
    OutFifo *f = new (std::nothrow) OutFifo(telnetDevice, fd);
    if (!f) kva_out_of_memory("an endpoint");
    TelnetState *t = new (std::nothrow) TelnetState(f, portName);
    if (!t) kva_out_of_memory("a telnet connection");
    f->deviceData = t;
    f->setRaw();
    return f;
}

void beginTelnetPort(OutFifo *client, OutFifo *port)
{
    TelnetState *t = state(client);
    // Every client starts on the same line, whatever the last one left.
    KvsLine start = {9600, 8, KvsParityNone, KvsStopOne, KvsFlowNone};
    if (!kvs_set_line(port->port, &start))
        fprintf(stderr, "%s: 9600 8N1 not set (error %d)\n", t->name, kvs_last_error());
    t->server.start(t->answers);
    queueAnswers(t);
}
