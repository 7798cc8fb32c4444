// Source addresses that keep sending wrong identifiers.  Each wrong one
// from an address other than loopback puts the address under a penalty
// that doubles with each further failure, from 1 s up to 60 s: while it
// lasts, every new connection from there is closed at once.  An address
// is forgotten after 10 quiet minutes or a right identifier.  Loopback is
// never penalised: behind a tunnel (ssh -L) every user comes from there.
//
// The table holds at most maxPenalised addresses; when it is full the one
// quiet for longest makes room (said once in the log).
#ifndef VELKOR_PENALTIES_H
#define VELKOR_PENALTIES_H

enum {
    maxPenalised = 1024,
    penaltyFirstMs = 1000,
    penaltyMostMs = 60000,
    penaltyForgetMs = 10 * 60 * 1000,
};

// An address in its text form ("192.0.2.1", "2001:db8::1"), as
// kva_address_text writes it.
// Whether a new connection from `address` is to be closed now; the first
// such close of a penalty is logged.
bool penalised(const char *address);
void penaltyFailed(const char *address);
void penaltyCleared(const char *address);
// Forgets every address (tests).
void penaltiesReset();

#endif
