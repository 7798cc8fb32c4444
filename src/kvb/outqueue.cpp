#include "outqueue.h"

#include "../io/kva_assert.h"

#include <new>
#include <stdlib.h>
#include <string.h>

Kvb::Kvb(int n)
    : str((char *)malloc(n > 0 ? (size_t)n : 1)), pos(0), len(n), own(false), next(nullptr)
{
    if (!str) kva_out_of_memory("queued output");
}

Kvb::~Kvb()
{
    free(str);
    str = nullptr;
}

OutQueue::~OutQueue()
{
    while (!isEmpty()) pop();
}

char *OutQueue::alloc(int n, bool own)
{
    Kvb *k = new (std::nothrow) Kvb(n);
    if (!k) kva_out_of_memory("queued output");
    k->own = own;
    if (head == nullptr) head = k;
    else tail->next = k;
    tail = k;
    return k->str;
}

void OutQueue::commit(char *p, int n)
{
    char *str = p;
    int len = n;
    KVA_ASSERT(str==tail->str);
    KVA_ASSERT(len<=tail->len);
    tail->len = n;
    queuedBytes += n;
    if (tail->own) ownBytes += n;
}

void OutQueue::append(const char *p, int n, bool own)
{
    char *storage = alloc(n, own);
    memcpy(storage, p, (size_t)n);
    commit(storage, n);
}

void OutQueue::pop()
{
    Kvb *k = head;
    head = k->next;
    if (!head) tail = nullptr;  // never left pointing at a freed chunk
    queuedBytes -= k->len - k->pos;
    if (k->own) ownBytes -= k->len - k->pos;
    delete k;
}

void OutQueue::written(int n)
{
    for (int left = n;;) {
        while (head && head->pos == head->len) pop();
        if (left == 0 || !head) return;
        int part = head->len - head->pos;
        if (part > left) part = left;
        head->pos += part;
        queuedBytes -= part;
        if (head->own) ownBytes -= part;
        left -= part;
    }
}

// Small chunks are gathered into one write: replies and relayed data often
// come as many small chunks, and a system call for each would cost more
// than the bytes.
int OutQueue::drain(Writer write, void *device)
{
    enum { gatherSize = 16384 };
    while (!isEmpty()) {
        const char *from = head->str + head->pos;
        int n = head->len - head->pos;
        char staged[gatherSize];
        if (head->next && n < gatherSize) {
            n = 0;
            for (Kvb *k = head; k && n < gatherSize; k = k->next) {
                int part = k->len - k->pos;
                if (part > gatherSize - n) part = gatherSize - n;
                memcpy(staged + n, k->str + k->pos, (size_t)part);
                n += part;
            }
            from = staged;
        }
        int r = write(device, from, n);
        if (r < 0) return r;
        written(r);
        if (r < n) return 1;
    }
    return 0;
}
