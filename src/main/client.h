// One user of the server (an accepted connection or the console) with its
// protocol state, the command interpreter, and the table of all clients.
#ifndef VELKOR_CLIENT_H
#define VELKOR_CLIENT_H

#include "../auth/users.h"
#include "../kvb/kvb.h"

extern const char *expectedIdentifier;

// Connecting: a "c" command waits for its connection, without holding the
// loop; the client's reply comes when it succeeds or fails.
// Watching: output of a shared port comes in (portshare.h), and what the
// user sends is discarded.
enum ClientState {
    AwaitIdentifier = 0,
    Command = 1,
    Bridge = 2,
    Closed = 3,
    Connecting = 4,
    Watching = 5,
    // A named user's password is being checked, a bounded part each turn
    // (access.h); lines sent meanwhile wait their turn.
    LoggingIn = 6
};

// What a step tells the client table.
enum StepResult { KeepClient = 0, DropClient = -1, StopServer = -2 };

// A bridge copies into an endpoint only while that endpoint has less than
// this much output waiting (the endpoint's queue bound, kvb.h): enough to
// keep a fast line busy, small enough that 32 clients cannot run the server
// out of memory.  Data held back waits in the source's input buffer, and the
// source's sender is held back by TCP flow control or the tty.
const long bridgeQueueLimit = queueLimit;

// A user who leaves a bridge has what it sent written out to the target
// first; a target that takes nothing of it for this long is closed with
// the rest.
const int lingerLimitMs = 10000;

// A connection that sends this many wrong identifiers in a row is closed
// after the last one's reply (see penalties.h for what its address gets).
const int identifierTriesMax = 3;


class Client {
public:
    ClientState state;
    OutFifo *fifo;
    OutFifo *target;
    // Test lines still to be made: they are queued as the client's queue
    // drains, so a count of any size holds no more than the queue bound.
    bool testing;
    int testLinesLeft;
    // The user has left a bridge: the target is writing out what it still
    // holds for it (see lingerLimitMs); when it last took any, and how much
    // it held then.
    long long lingerProgressMs;
    long lingerQueued;
    bool portBound;
    // The peer's address ("192.0.2.1", "::1"); empty for the console,
    // which is the operator and has no tries to count.
    char address[KVA_ADDRESS_TEXT_SIZE];
    int wrongIdentifiers;  // in a row
    // Who it is for the logs: "127.0.0.1:40312", "alice 127.0.0.1:40312"
    // once a named user has logged in, or "console"; taken when it came.
    enum { whoSize = userNameMax + 1 + KVA_PEER_TEXT_SIZE };
    char who[whoSize];
    // What it may do: everything, unless it logged in as a named user
    // (restricted).
    UserRights rights;
    bool restricted;
    // Who it is, for the log ("127.0.0.1:40312", "[::1]:40312", "console"),
    // taken when it came: a client that leaves has closed its connection.
    char peer[KVA_PEER_TEXT_SIZE];
    int slot;  // its place in the client table, for the log
    // The host and port of the "c" under way, for the log.
    char connectingTo[300];
    // The console: its log lines would land on its own terminal.
    bool console;

    // A client on a port listener (-R) is bound to its port: no greeting and
    // no identifier; it takes the port (takePort) and is bridged to it from
    // the start, and it ends when either side does.
    explicit Client(OutFifo *endpoint, bool boundToPort = false);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    int step();
    void pump();
    // Tells the layer what this client's endpoints wait for next, and
    // whether its next step can act at once.
    void watch();
    // Closes its serial ports now (at shutdown).
    void releasePorts();
    void send(const char *text);
    void sendBytes(const char *data, int n);
    void bridge(OutFifo *newTarget, const char *errorLine);
    // A client bound to a port becomes the writer of the shared port `name`
    // (portshare.h); false when the port cannot be opened or has a writer.
    bool takePort(const char *name);

    int execute(const char *line);
    void sendHelp();
    void notSupported(const char *arg);

    void listPorts();
    void listPortNames();
    void showOs();

private:
    // What the next step does.  The step acts on it, and the wait asks it
    // whether the step can act without waiting: one decision for both, so
    // that the loop can neither spin nor stall on a disagreement.
    enum Action {
        Idle,               // nothing until a device has something
        BecomeClosed,       // the user's endpoint has gone
        ReportDisconnect,   // the last step of a closed client
        MakeTestLines,      // "t" lines, as the queue drains
        AnswerOverlong,     // "! line too long" for a discarded line
        TakeLine,           // the identifier or a command
        ReportConnectFailed,
        EnterBridge,        // the connect has been made
        LeaveBridge,        // the target has gone and handed on all it held
        MoveData,           // bridged data can move one way or both
        DiscardInput,       // a watcher typed something
        CheckPassword       // a part of a named user's login
    };
    Action nextAction() const;
    bool lingering() const;
    int takeLine();
    void wrongIdentifier(int *result);
    void beginLogin(const char *line);
    int checkPassword();
    bool allowed(bool right, const char *command);
    // The named user's login under way (LoggingIn): the check, and who it
    // will be once it matches.
    PassCheck *login;
    char loginName[userNameMax + 1];
    UserRights loginRights;
    void listSerialComm(bool withNames);
    void moveData(OutFifo *from, OutFifo *to);
    void enterBridge(OutFifo *newTarget);
    void linkBridge(OutFifo *newTarget);
    void dropTarget();
    void sendTestLines();
};

int splitArgs(const char *line, char *buffer, int bufferSize, char **args, int maxArgs);

// Reads a decimal number as atoi does (white space, sign, digits up to the
// first other byte; 0 without digits), with values beyond an int clamped
// instead of undefined.
int parseNumber(const char *text);
// A whole number written as decimal digits alone (no sign, no space, nothing
// after them) in lo..hi: true and *value, or false for anything else.
bool parseWholeNumber(const char *text, long lo, long hi, long *value);
// The highest serial rate a command or switch may ask for (the device decides
// which it takes).
const long maxBaud = 2147483647L;

class ClientTable {
public:
    enum { maxClients = 32 };
    Client *slots[maxClients];

    ClientTable();
    // A client over the endpoint; with a port's name, one bound to that
    // port (see Client).  The endpoint is the table's: on anything but
    // Added it has been closed.
    enum AddResult { Added, TableFull, PortRefused, SourcePenalised };
    AddResult add(OutFifo *endpoint, const char *portName = nullptr);
    int poll();
    // Before each wait: what every client waits for.
    void watch();
    // At shutdown: every serial port still open is released.
    void releasePorts();
};

extern ClientTable clientTable;

#endif
