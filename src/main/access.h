// Who may do what.  Without a users file (-U) every admitted client that
// sends the identifier may do everything, as it always could.  With one,
// a client logs in as a named user ("<name> <password>") and may use only
// the ports and commands its rights give; the file is read again on a
// reload, and a client already logged in keeps the rights it logged in
// with until it leaves.
#ifndef VELKOR_ACCESS_H
#define VELKOR_ACCESS_H

#include "../auth/users.h"

// Reads the users file; 0, or -1 with each bad line reported (the users
// held before, if any, stay).
int accessLoadUsers(const char *path);
// On a reload: the users file again, when there is one.
void accessReloadUsers();
// Whether clients log in as named users.
bool accessNamedUsers();
const Users &accessUsers();

// PBKDF2 rounds the loop spends on password checks per turn, shared by
// every check under way, so that a storm of logins cannot hold up a bridge
// for more than about a millisecond a turn.
enum { loginRoundsPerTurn = 1024, loginRoundsLeast = 64 };

// `velkor -P`: a password from standard input (without echo on a
// terminal), printed as a hash for the users file; the exit status.
int accessPrintHash();

#endif
