#include "penalties.h"

#include "../kvb/kvb.h"

#include <stdio.h>
#include <string.h>

namespace {

struct Penalised {
    char address[KVA_ADDRESS_TEXT_SIZE];
    int failures;
    long long lastFailureMs;
    long long untilMs;
    bool closeLogged;  // a connection was closed under the current penalty
};

Penalised table[maxPenalised];
int used = 0;
bool fullLogged = false;

bool isLoopback(const char *a)
{
    return strcmp(a, "127.0.0.1") == 0 || strcmp(a, "::1") == 0 ||
           strcmp(a, "::ffff:127.0.0.1") == 0;
}

// An entry quiet for longer than the forget time is dropped as it is met.
Penalised *find(const char *address, long long now)
{
    for (int i = 0; i < used; i++) {
        Penalised &p = table[i];
        if (now - p.lastFailureMs >= penaltyForgetMs) {
            p = table[--used];
            i--;
            continue;
        }
        if (strcmp(p.address, address) == 0) return &p;
    }
    return nullptr;
}

Penalised *add(const char *address, long long now)
{
    Penalised *p = nullptr;
    if (used < maxPenalised) {
        p = &table[used++];
    } else {
        if (!fullLogged) {
            fprintf(stderr, "penalised addresses: table of %d full, the quietest is forgotten\n",
                    maxPenalised);
            fullLogged = true;
        }
        p = &table[0];
        for (int i = 1; i < used; i++)
            if (table[i].lastFailureMs < p->lastFailureMs) p = &table[i];
    }
    *p = Penalised();
    snprintf(p->address, sizeof p->address, "%s", address);
    p->lastFailureMs = now;
    return p;
}

}  // namespace

bool penalised(const char *address)
{
    long long now = clockMs();
    Penalised *p = find(address, now);
    if (!p || now >= p->untilMs) return false;
    if (!p->closeLogged) {
        p->closeLogged = true;
        fprintf(stderr, "rejected connection from %s for %lld ms: %d wrong identifiers\n",
                address, p->untilMs - now, p->failures);
    }
    return true;
}

void penaltyFailed(const char *address)
{
    if (isLoopback(address)) return;
    long long now = clockMs();
    Penalised *p = find(address, now);
    if (!p) p = add(address, now);
    p->failures++;
    p->lastFailureMs = now;
    long long ms = penaltyFirstMs;
    for (int i = 1; i < p->failures && ms < penaltyMostMs; i++) ms *= 2;
    if (ms > penaltyMostMs) ms = penaltyMostMs;
    p->untilMs = now + ms;
    p->closeLogged = false;
}

void penaltyCleared(const char *address)
{
    long long now = clockMs();
    Penalised *p = find(address, now);
    if (p) *p = table[--used];
}

void penaltiesReset()
{
    used = 0;
    fullLogged = false;
}
