// Buffered endpoints: one socket, serial port or the console, with an input
// buffer (line assembly or raw pass-through) and a queue of output chunks.
#ifndef VELKOR_KVB_H
#define VELKOR_KVB_H

#include "../io/kva.h"

class OutFifo;

// One chunk of queued output; str[pos .. len) is still to be written.
class Kvb {
public:
    char *str;
    int pos;
    int len;
    Kvb *next;

    explicit Kvb(int n);
    ~Kvb();
    Kvb(const Kvb &) = delete;
    Kvb &operator=(const Kvb &) = delete;

    // Writes the unwritten rest through the endpoint; the bytes still
    // unwritten afterwards, or the endpoint's negative failure result.
    int write(OutFifo *endpoint);
};

class OutFifo {
public:
    kva_handle port;
    int failCount;
    int fd;
    Kvb *head;
    Kvb *tail;
    char buf[1024];
    char *lineEnd;
    int bufIndex;
    bool raw;
    bool echo;
    // Bytes queued and not yet written: lets a bridge hold back when the
    // endpoint falls behind, instead of growing its queue without end.
    long queued;
    // A line mode line that did not fit the buffer is being discarded up to
    // its terminator; overlongLines counts such lines for the protocol layer.
    bool discarding;
    int overlongLines;

    explicit OutFifo(kva_handle serialPort);
    explicit OutFifo(int descriptor);
    ~OutFifo();
    OutFifo(const OutFifo &) = delete;
    OutFifo &operator=(const OutFifo &) = delete;

    int process();
    int write(const char *p, int n);
    int read(char *p, int n);
    bool isOpen() const;
    void echoOn() { echo = true; }
    void echoOff() { echo = false; }

    // Output chunk queue.
    char *alloc(int n);
    void commit(char *p, int n);
    bool isEmpty() const { return head == nullptr; }
    void pop();

    // Input line assembly.
    bool hasLine() const { return lineEnd != nullptr; }
    char *line() { return buf; }
    int lineLength() const { return bufIndex; }
    void consumeLine(char *p);
    void setLine() { raw = false; }
    void setRaw() { raw = true; }
    // Reports (and forgets) how many overlong lines were discarded.
    int takeOverlongLines();

private:
    void assemble();
};

OutFifo *openComFifo(const char *name, int baud);
OutFifo *openStdinFifo();
OutFifo *connectFifo(const char *host, unsigned short port);
OutFifo *acceptFifo(int listenSocket, bool localOnly);

// The pass-through functions by which the server core reaches the layer.
void initIo();
int openServer(unsigned short port);
int waitIo(int timeoutUs);
void closeIo();

#endif
