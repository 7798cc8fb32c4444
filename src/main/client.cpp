#include "client.h"

#include "access.h"
#include "penalties.h"
#include "portshare.h"

#include "../io/kva_assert.h"
#include "../kvb/device_telnet.h"

#include <errno.h>
#include <limits.h>
#include <new>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

const char *expectedIdentifier = "wobex";

static const char greeting[] = "velkor.example.org/velkor\r\n";

// ---- numbers -------------------------------------------------------------------

int parseNumber(const char *text)
{
    errno = 0;
    long long v = strtoll(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return (int)v;
}

bool parseWholeNumber(const char *text, long lo, long hi, long *value)
{
    if (!*text) return false;
    long long v = 0;
    for (const char *p = text; *p; p++) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (*p - '0');
        // Past hi it can only grow: stopping here keeps it from overflowing.
        if (v > hi) return false;
    }
    if (v < lo) return false;
    *value = (long)v;
    return true;
}

// ---- Client: life and output ------------------------------------------------------

// The address of a connection's peer, without its port; empty when the
// endpoint is no connection (the console) or the system cannot tell.
static void addressOf(const OutFifo *e, char out[KVA_ADDRESS_TEXT_SIZE])
{
    char peer[KVA_PEER_TEXT_SIZE];
    kva_peer_text(e->fd, peer);
    out[0] = 0;
    if (strcmp(peer, "unknown") == 0) return;
    // "192.0.2.1:40312" or "[2001:db8::1]:40312".
    const char *from = peer[0] == '[' ? peer + 1 : peer;
    const char *end = peer[0] == '[' ? strchr(from, ']') : strrchr(from, ':');
    if (!end) end = from + strlen(from);
    snprintf(out, KVA_ADDRESS_TEXT_SIZE, "%.*s", (int)(end - from), from);
}

// Password checks under way, which share the rounds of a turn.
static int loginsUnderWay = 0;

Client::Client(OutFifo *endpoint, bool boundToPort)
    : state(AwaitIdentifier), fifo(endpoint), target(nullptr), testing(false), testLinesLeft(0),
      lingerProgressMs(0), lingerQueued(0), portBound(boundToPort), wrongIdentifiers(0),
      rights(userRightsAll()), restricted(false), slot(-1), connectingTo(),
      console(endpoint->device == &consoleDevice), login(nullptr)
{
    addressOf(fifo, address);
    if (console) snprintf(peer, sizeof peer, "console");
    else kva_peer_text(fifo->fd, peer);
    snprintf(who, sizeof who, "%s", peer);
    if (!portBound) send(greeting);
}

bool Client::takePort(const char *name)
{
    // The port's line is the client's to set; it starts at 9600.
    OutFifo *port = portShareWriter(name, 9600, this);
    if (!port) return false;
    beginTelnetPort(fifo, port);
    linkBridge(port);
    return true;
}

Client::~Client()
{
    if (login) {
        delete login;
        loginsUnderWay--;
    }
    portShareUnwatch(this);
    dropTarget();
    delete fifo;
}

void Client::sendBytes(const char *data, int n) { fifo->reply(data, n); }

void Client::send(const char *text) { sendBytes(text, (int)strlen(text)); }

void Client::pump()
{
    if (fifo && fifo->process() < 0) {
        if (state == Bridge && target && target->isOpen()) {
            // What the user sent last still goes to the target, which then
            // writes out everything it holds for the user before it closes.
            if (fifo->hasLine()) {
                char *d = fifo->line();
                target->queue(d, fifo->lineLength());
                fifo->consumeLine(d);
            }
            lingerProgressMs = clockMs();
            lingerQueued = target->queued();
        } else {
            dropTarget();
        }
        if (target) target->relayTo(nullptr, 0);
        portShareUnwatch(this);
        delete fifo;
        fifo = nullptr;
    }
    // A target whose device has closed still holds the bytes it read last:
    // it goes only once the bridge has taken them all (or the user is gone).
    if (target && target->process() < 0 && (target->heldBytes() == 0 || !fifo)) dropTarget();
    if (!fifo && target && target->queued() < lingerQueued) {
        lingerProgressMs = clockMs();
        lingerQueued = target->queued();
    }
}

// A target left behind by its user, still writing out what it holds, and
// not stuck for longer than the limit.
bool Client::lingering() const
{
    return !fifo && target && target->isOpen() && !target->isEmpty() &&
           clockMs() - lingerProgressMs < lingerLimitMs;
}

void Client::bridge(OutFifo *newTarget, const char *errorLine)
{
    if (!newTarget) {
        send(errorLine);
        return;
    }
    enterBridge(newTarget);
}

void Client::enterBridge(OutFifo *newTarget)
{
    send(".\r\n");
    linkBridge(newTarget);
}

void Client::linkBridge(OutFifo *newTarget)
{
    target = newTarget;
    fifo->setRaw();
    fifo->resumeInput();
    target->setRaw();
    // From now on raw input moves straight across, a large step at a time;
    // bytes already held (behind the command line, or a host's first
    // words) are moved by the step first.
    fifo->relayTo(target, bridgeQueueLimit);
    target->relayTo(fifo, bridgeQueueLimit);
    state = Bridge;
    // The console's keys are the board's now, Ctrl-C too.
    if (console) consoleSetBridged(true);
}

// Deletes the target; the user's endpoint no longer relays to it.
void Client::dropTarget()
{
    if (console) consoleSetBridged(false);
    if (fifo) fifo->relayTo(nullptr, 0);
    // A shared port stays with the others who use it.
    if (!target || !portShareRelease(target, this)) delete target;
    target = nullptr;
}

// Whether one endpoint's ready raw data can move into the other's output
// queue now: not while that queue is over its bound (the data stays ready
// and waits), nor into an endpoint whose device has closed.
static bool canMove(const OutFifo *from, const OutFifo *to)
{
    return from->hasLine() && to->isOpen() && to->queued() <= bridgeQueueLimit;
}

void Client::moveData(OutFifo *from, OutFifo *to)
{
    if (!canMove(from, to)) return;
    char *d = from->line();
    to->queue(d, from->lineLength());
    from->consumeLine(d);
}

Client::Action Client::nextAction() const
{
    if (state == Closed) return lingering() ? Idle : ReportDisconnect;
    if (!fifo) return BecomeClosed;
    switch (state) {
    case AwaitIdentifier:
    case Command:
        // A user who does not read the replies gets no further commands
        // taken and no further errors queued, so replies cannot pile up
        // without end.
        if (fifo->queued() > bridgeQueueLimit) return Idle;
        // Lines that follow "t" wait for its last line.
        if (testing) return MakeTestLines;
        // Discarded overlong lines are answered first: they all came before
        // the ready line.
        if (fifo->overlongLines() > 0) return AnswerOverlong;
        return fifo->hasLine() ? TakeLine : Idle;
    case Connecting:
        if (!target) return ReportConnectFailed;
        return target->connecting ? Idle : EnterBridge;
    case Bridge:
        if (!target || (console && consoleLeaveAsked())) return LeaveBridge;
        return canMove(fifo, target) || canMove(target, fifo) ? MoveData : Idle;
    case Watching:
        return fifo->hasLine() ? DiscardInput : Idle;
    case LoggingIn:
        return CheckPassword;
    case Closed:
        break;
    }
    return ReportDisconnect;
}

// A wrong identifier, or a wrong name or password: answered, counted
// against the connection and its address.
void Client::wrongIdentifier(int *result)
{
    fprintf(stderr, "failed, wrong identifier\n");
    fprintf(stderr, "wrong identifier from client %s\n", peer);
    send("! wrong identifier\r\n");
    // Every line counts, a pipelined burst's too: the lines behind the last
    // try go unread with the connection.
    if (!address[0]) return;
    penaltyFailed(address);
    if (++wrongIdentifiers >= identifierTriesMax) {
        fprintf(stderr, "%s: closed after %d wrong identifiers\n", address, wrongIdentifiers);
        *result = DropClient;
    }
}

// "<name> <password>": the password is the rest of the line.  The check
// runs a bounded part a turn (checkPassword); a name nobody has costs the
// same as one that exists.
void Client::beginLogin(const char *line)
{
    const char *space = strchr(line, ' ');
    size_t nameLen = space ? (size_t)(space - line) : strlen(line);
    const char *password = space ? space + 1 : "";
    login = new (std::nothrow) PassCheck();
    if (!login) kva_out_of_memory("a login");
    loginsUnderWay++;
    const User *u = accessUsers().startLogin(line, nameLen, password, strlen(password), login);
    // The user's name and rights as they are now: a reload during the check
    // changes nothing for this login.
    snprintf(loginName, sizeof loginName, "%.*s",
             (int)(nameLen < (size_t)userNameMax ? nameLen : (size_t)userNameMax), line);
    if (u) loginRights = u->rights;
    state = LoggingIn;
}

int Client::checkPassword()
{
    uint32_t rounds = (uint32_t)(loginRoundsPerTurn / (loginsUnderWay > 0 ? loginsUnderWay : 1));
    if (rounds < loginRoundsLeast) rounds = loginRoundsLeast;
    PassResult r = login->step(rounds);
    if (r == PassPending) return 0;
    delete login;
    login = nullptr;
    loginsUnderWay--;
    int result = 0;
    if (r == PassMatch) {
        send(".\r\n");
        state = Command;
        wrongIdentifiers = 0;
        penaltyCleared(address);
        rights = loginRights;
        restricted = true;
        snprintf(who, sizeof who, "%s %s", loginName, peer);
        fprintf(stderr, "login %s\n", who);
    } else {
        state = AwaitIdentifier;
        fprintf(stderr, "%s: wrong name or password for \"%s\"\n", peer, loginName);
        wrongIdentifier(&result);
    }
    return result;
}

// The ready line as the identifier or a command; the interpreter's result.
int Client::takeLine()
{
    int r = 0;
    if (state == AwaitIdentifier) {
        // The console is the operator: it keeps the one identifier.
        if (accessNamedUsers() && address[0]) {
            beginLogin(fifo->line());
        } else if (strcmp(fifo->line(), expectedIdentifier) == 0) {
            send(".\r\n");
            state = Command;
            wrongIdentifiers = 0;
            if (address[0]) penaltyCleared(address);
        } else {
            wrongIdentifier(&r);
        }
    } else {
        r = execute(fifo->line());
    }
    fifo->consumeLine(fifo->line());
    return r;
}

int Client::step()
{
    pump();
    int r = 0;
    switch (nextAction()) {
    case Idle:
        break;
    case BecomeClosed:
        state = Closed;
        break;
    case ReportDisconnect:
        // A target left behind has written out what it could.
        dropTarget();
        printf("disconnected\n");
        return DropClient;
    case MakeTestLines:
        sendTestLines();
        break;
    case AnswerOverlong:
        // One per step; the ready line behind the last one is taken with it.
        fifo->takeOverlongLine();
        send("! line too long\r\n");
        if (fifo->overlongLines() == 0 && fifo->hasLine()) r = takeLine();
        break;
    case TakeLine:
        r = takeLine();
        break;
    case ReportConnectFailed:
        // The connection failed (reported by the layer).  What the user
        // sent behind the command is read as lines again, as if the
        // command had never waited.
        fifo->resumeInput();
        fifo->resumeLines();
        // The reason (refused, timed out, no such host) is the layer's line
        // before.
        fprintf(stderr, "client %s: could not connect to %s\n", peer, connectingTo);
        send("! could not connect\r\n");
        state = Command;
        break;
    case EnterBridge: {
        OutFifo *connected = target;
        target = nullptr;
        enterBridge(connected);
        break;
    }
    case LeaveBridge:
        // A client bound to its port has nothing to go back to.
        if (portBound) {
            state = Closed;
            break;
        }
        // The console's user typed the way out: the target goes, with what
        // was still queued for it.
        if (target) {
            fprintf(stderr, "console left its bridge\n");
            dropTarget();
        }
        // The client is told nothing new (scripts read the identifier step
        // as it is); the log says who lost the target.
        if (!console) fprintf(stderr, "target closed, client %s asked for the identifier again\n", peer);
        // Raw data read for the lost target is dropped with it: it is no
        // line, and taking it as the identifier would read it as text.
        if (fifo->hasLine()) fifo->consumeLine(fifo->line());
        fifo->setLine();
        state = AwaitIdentifier;
        break;
    case MoveData:
        moveData(fifo, target);
        moveData(target, fifo);
        break;
    case DiscardInput:
        fifo->consumeLine(fifo->line());
        break;
    case CheckPassword:
        r = checkPassword();
        break;
    }
    // A disconnect or kill command: its reply goes out with the closing pump.
    pump();
    return r < 0 ? r : KeepClient;
}

void Client::watch()
{
    if (fifo) fifo->watch();
    if (target) target->watch();
    if (lingering()) wakeWithin((int)(lingerProgressMs + lingerLimitMs - clockMs()));
    if (nextAction() != Idle) workPending();
}

void Client::releasePorts()
{
    if (fifo) fifo->releasePort();
    if (target) target->releasePort();
}

// ---- command interpreter -------------------------------------------------------------

static bool isGraphic(unsigned char c) { return c >= 0x21 && c <= 0x7e; }

int splitArgs(const char *line, char *buffer, int bufferSize, char **args, int maxArgs)
{
    int i = 0;
    int bufferIndex = 0;
    const unsigned char *p = (const unsigned char *)line;
    for (;;) {
        while (*p && !isGraphic(*p)) p++;
        if (!*p) return i;
        // Tokens past the table's end are ignored: no command uses them.
        if (i == maxArgs) return i;
        // So are tokens once the buffer has no room for one more byte and
        // its NUL: every token handed out lies inside the buffer.
        if (bufferIndex > bufferSize - 2) return i;
        KVA_ASSERT(i<maxArgs);
        args[i] = buffer + bufferIndex;
        while (isGraphic(*p)) {
            if (bufferIndex < bufferSize - 1) buffer[bufferIndex++] = (char)*p;
            p++;
        }
        if (bufferIndex < bufferSize) buffer[bufferIndex++] = 0;
        i++;
    }
}

// Queues the next test lines, counting down, while the queue is below its
// bound, and the closing "." after the last.
void Client::sendTestLines()
{
    while (testLinesLeft > 0 && fifo->queued() <= bridgeQueueLimit) {
        char text[64];
        int len = snprintf(text, sizeof text, ": testing sending many lines %d\r\n", testLinesLeft);
        sendBytes(text, len);
        testLinesLeft--;
    }
    if (testLinesLeft == 0) {
        send(".\r\n");
        testing = false;
    }
}

void Client::notSupported(const char *) { send("! not supported in this version\r\n"); }

void Client::sendHelp()
{
    static const char *const lines[] = {
        ":commands:\r\n",
        ":? : help\r\n",
        ":c <host> <port> : connect to tcp/ip port:\r\n",
        ":p <comport> <baudrate> : connect to serial port\r\n",
        ":w <comport> [bytes] : watch a serial port, replaying its last bytes\r\n",
        ":d : disconnect\r\n",
        ":e : echo on\r\n",
        ":s : echo off\r\n",
        ":k : kill server\r\n",
        ":v : give server version\r\n",
        ":l [class]: list all class device names, class can be \"Ports\"\r\n",
        ":r : list available serial comm ports\r\n",
        ":n : list available serial comm ports (only name)\r\n",
        ":i : show server os\r\n",
        ".\r\n",
    };
    for (const char *l : lines) send(l);
}

// Whether the client may run the command `line`: logged with who asked
// either way, and answered "! not allowed" when not.
bool Client::allowed(bool right, const char *line)
{
    if (restricted && !right) {
        fprintf(stderr, "%s: not allowed: %.200s\n", who, line);
        send("! not allowed\r\n");
        return false;
    }
    // Named users' commands are told in the log (to the error stream: the
    // console's own replies go to standard output).
    if (restricted) fprintf(stderr, "%s: %.200s\n", who, line);
    return true;
}

int Client::execute(const char *line)
{
    enum { bufferSize = 2000, maxArgs = 64 };
    char buffer[bufferSize];
    char *args[maxArgs];
    for (int i = 0; i < maxArgs; i++) args[i] = nullptr;
    int n = splitArgs(line, buffer, bufferSize, args, maxArgs);
    if (n == 0) return 0;

    switch (args[0][0]) {
    case '?':
        sendHelp();
        return 0;
    case 'c': {
        if (n < 3) break;
        if (!allowed(mayConnect(rights), line)) return 0;
        OutFifo *connection = connectFifo(args[1], (unsigned short)parseNumber(args[2]));
        if (!connection) {
            fprintf(stderr, "client %s: could not connect to %.256s port %.32s\n", peer, args[1],
                    args[2]);
            send("! could not connect\r\n");
            return 0;
        }
        snprintf(connectingTo, sizeof connectingTo, "%.256s port %.32s", args[1], args[2]);
        // The reply comes when the connection is made or has failed.  What
        // the user sent behind the command is held unchanged, in raw mode;
        // what the user sends meanwhile is not read until the reply is
        // queued, so that nothing (an echo) can come before the reply.
        target = connection;
        fifo->setRaw();
        fifo->pauseInput();
        state = Connecting;
        return 0;
    }
    case 'd':
        send(":disconnect\r\n.\r\n");
        return DropClient;
    case 'e':
        fifo->echoOn();
        send(":echo on\r\n.\r\n");
        return 0;
    case 'i':
        showOs();
        return 0;
    case 'k':
        if (!allowed(mayKill(rights), line)) return 0;
        send(":kill\r\n.\r\n");
        return StopServer;
    case 'l':
        notSupported(args[1]);
        return 0;
    case 'n':
        listPortNames();
        return 0;
    case 'p': {
        if (n < 3) break;
        if (!allowed(mayWrite(rights, args[1]), line)) return 0;
        long baud = 0;
        if (!parseWholeNumber(args[2], 1, maxBaud, &baud)) {
            fprintf(stderr, "%.32s: speed %.32s refused, not a positive whole number\n", args[1],
                    args[2]);
            send("! could not open port\r\n");
            return 0;
        }
        OutFifo *port = portShareWriter(args[1], (int)baud, this);
        // The reason is the line before, from the port.
        if (!port) fprintf(stderr, "client %s: could not open port %.32s\n", peer, args[1]);
        bridge(port, "! could not open port\r\n");
        return 0;
    }
    case 'r':
        listPorts();
        return 0;
    case 's':
        fifo->echoOff();
        send(":echo off\r\n.\r\n");
        return 0;
    case 't': {
        if (n < 2) break;
        int k = parseNumber(args[1]);
        testing = true;
        testLinesLeft = k > 0 ? k : 0;
        sendTestLines();
        return 0;
    }
    case 'v':
        send(":1.19\r\n.\r\n");
        return 0;
    case 'w':
        if (n < 2) break;
        if (!allowed(mayWatch(rights, args[1]), line)) return 0;
        if (!portShareWatch(args[1], n > 2 ? parseNumber(args[2]) : 0, this)) {
            fprintf(stderr, "client %s: could not watch port %.32s\n", peer, args[1]);
            send("! could not open port\r\n");
        }
        return 0;
    default: {
        char reply[19 + 256 + 3 + 1];
        snprintf(reply, sizeof reply, "! unknown command '%.256s'\r\n", args[0]);
        send(reply);
        return 0;
    }
    }
    send("! to few arguments\r\n");
    return 0;
}

// ---- system information queries -------------------------------------------------------

void Client::listSerialComm(bool withNames)
{
    kvp_key key;
    if (kvp_reg_open("HARDWARE\\DEVICEMAP\\SERIALCOMM", &key) != 0) {
        send("! RegOpenKeyEx\r\n");
    } else {
        char name[2048];
        unsigned char data[2048];
        for (unsigned long index = 0;; index++) {
            unsigned long nameLen = sizeof name;
            unsigned long dataLen = sizeof data;
            if (kvp_reg_enum(key, index, name, &nameLen, data, &dataLen) != 0) break;
            // A named user sees only the ports it may watch or write.
            char port[sizeof data + 1];
            snprintf(port, sizeof port, "%.*s", (int)dataLen, (const char *)data);
            if (restricted && !mayWatch(rights, port)) continue;
            send(":");
            if (withNames) {
                sendBytes(name, (int)nameLen);
                send(" ");
            }
            sendBytes((const char *)data, (int)dataLen);
            send("\r\n");
        }
        kvp_reg_close(key);
    }
    send(".\r\n");
}

void Client::listPorts() { listSerialComm(true); }

void Client::listPortNames() { listSerialComm(false); }

void Client::showOs()
{
    kvp_key key;
    if (kvp_reg_open("SYSTEM\\CurrentControlSet\\Control\\ProductOptions", &key) != 0) {
        send("! RegOpenKeyEx\r\n");
        return;
    }
    unsigned char data[1024];
    unsigned long dataLen = sizeof data;
    if (kvp_reg_query(key, "ProductType", data, &dataLen) != 0) {
        send("! RegQueryValueEx\r\n");
    } else {
        send(":WIN32 ");
        sendBytes((const char *)data, (int)dataLen);
        send("\r\n.\r\n");
    }
    kvp_reg_close(key);
}

// ---- client table -------------------------------------------------------------------------

ClientTable clientTable;

ClientTable::ClientTable()
{
    for (Client *&s : slots) s = nullptr;
}

ClientTable::AddResult ClientTable::add(OutFifo *endpoint, const char *portName)
{
    // A source that keeps sending wrong identifiers is not heard for a while.
    if (!portName) {
        char address[KVA_ADDRESS_TEXT_SIZE];
        addressOf(endpoint, address);
        if (address[0] && penalised(address)) {
            delete endpoint;
            return SourcePenalised;
        }
    }
    for (Client *&s : slots) {
        if (s) continue;
        s = new (std::nothrow) Client(endpoint, portName != nullptr);
        if (!s) kva_out_of_memory("a client");
        s->slot = (int)(&s - slots);
        if (s->console) return Added;
        // On standard error, as every other line about clients that is not
        // the protocol's own: standard output may be the console's terminal.
        if (portName)
            fprintf(stderr, "client %s in slot %d for %s\n", s->peer, s->slot, portName);
        else fprintf(stderr, "client %s in slot %d\n", s->peer, s->slot);
        if (portName && !s->takePort(portName)) {
            delete s;
            s = nullptr;
            return PortRefused;
        }
        return Added;
    }
    fprintf(stderr, "to many clients\n");
    char peer[KVA_PEER_TEXT_SIZE];
    kva_peer_text(endpoint->fd, peer);
    fprintf(stderr, "client %s closed: all %d slots are taken\n", peer, (int)maxClients);
    delete endpoint;
    return TableFull;
}

void ClientTable::watch()
{
    for (Client *s : slots)
        if (s) s->watch();
}

void ClientTable::releasePorts()
{
    for (Client *s : slots)
        if (s) s->releasePorts();
}

int ClientTable::poll()
{
    for (Client *&s : slots) {
        if (!s) continue;
        int r = s->step();
        if (r == DropClient || r == StopServer) {
            if (!s->console) fprintf(stderr, "client %s left slot %d\n", s->peer, s->slot);
            delete s;
            s = nullptr;
            if (r == StopServer) return StopServer;
        }
    }
    return 0;
}
