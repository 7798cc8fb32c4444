// An endpoint's queue of output chunks.  Output is queued by reserve, copy,
// commit: alloc returns storage at the tail, the sender fills it, commit
// fixes its length.  Senders never block; the queue is written out by
// drain, through whatever device the endpoint stands on.
#ifndef VELKOR_OUTQUEUE_H
#define VELKOR_OUTQUEUE_H

// One chunk of queued output; str[pos .. len) is still to be written.
class Kvb {
public:
    char *str;
    int pos;
    int len;
    // Output the endpoint made of its own (a reply, an echo), as against
    // bytes relayed to it from elsewhere: only its own output holds back
    // its input (see OutFifo).
    bool own;
    Kvb *next;

    explicit Kvb(int n);
    ~Kvb();
    Kvb(const Kvb &) = delete;
    Kvb &operator=(const Kvb &) = delete;
};

class OutQueue {
public:
    OutQueue() = default;
    ~OutQueue();
    OutQueue(const OutQueue &) = delete;
    OutQueue &operator=(const OutQueue &) = delete;

    // own: the chunk is the endpoint's own output (see Kvb::own).
    char *alloc(int n, bool own = false);
    void commit(char *p, int n);
    // A copy of n bytes, queued as one chunk.
    void append(const char *p, int n, bool own = false);
    bool isEmpty() const { return head == nullptr; }
    void pop();
    // Bytes queued and not yet written: lets a bridge hold back when the
    // endpoint falls behind, instead of growing its queue without end.
    long queued() const { return queuedBytes; }
    // Of those, the bytes of chunks queued as the endpoint's own output.
    long ownQueued() const { return ownBytes; }

    // Bytes offered to a device: the count it took, 0 for none now, or a
    // negative failure.
    typedef int (*Writer)(void *device, const char *p, int n);
    // Writes the queue out as far as the device takes it: 0 when the queue
    // is empty, 1 when the device took less than it was offered, or the
    // device's negative failure result (the bytes stay queued).
    int drain(Writer write, void *device);

private:
    Kvb *head = nullptr;
    Kvb *tail = nullptr;
    long queuedBytes = 0;
    long ownBytes = 0;

    // Marks n written bytes off the front of the queue; complete chunks go,
    // empty ones included.
    void written(int n);
};

#endif
