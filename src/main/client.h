// One user of the server (an accepted connection or the console) with its
// protocol state, the command interpreter, and the table of all clients.
#ifndef VELKOR_CLIENT_H
#define VELKOR_CLIENT_H

#include "../kvb/kvb.h"

extern const char *expectedIdentifier;

enum ClientState { AwaitIdentifier = 0, Command = 1, Bridge = 2, Closed = 3 };

// A bridge copies into an endpoint only while that endpoint has less than
// this much output waiting: enough to keep a fast line busy, small enough
// that 32 clients cannot run the server out of memory.  Data held back waits
// in the source's input buffer, and the source's sender is held back by TCP
// flow control or the tty.
const long bridgeQueueLimit = 64 * 1024;

// Largest count the test-lines command produces (it queues every line at
// once, so the count bounds the memory one command can take).
const int maxTestLines = 10000;

class Client {
public:
    int state;
    OutFifo *fifo;
    OutFifo *target;

    explicit Client(OutFifo *endpoint);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    int step();
    void pump();
    void send(const char *text);
    void sendBytes(const char *data, int n);
    void bridge(OutFifo *newTarget, const char *errorLine);

    int execute(const char *line);
    void sendHelp();
    void sendNumber(int n);
    void notSupported(const char *arg);

    void listPorts();
    void listPortNames();
    void showOs();

private:
    void listSerialComm(bool withNames);
    void moveData(OutFifo *from, OutFifo *to);
};

int splitArgs(const char *line, char *buffer, int bufferSize, char **args, int maxArgs);

// Reads a decimal number as atoi does (white space, sign, digits up to the
// first other byte; 0 without digits), with values beyond an int clamped
// instead of undefined.
int parseNumber(const char *text);

class ClientTable {
public:
    Client *slots[32];

    ClientTable();
    void add(OutFifo *endpoint);
    int poll();
};

extern ClientTable clientTable;

#endif
