// Named users, their password hashes and their rights, read from the text
// of a users file:
//
//   # comment                       a line whose first graphic byte is '#'
//   alice:$pbkdf2-sha256$29000$...$...:write=COM1,COM2 watch=* connect
//   bob:$pbkdf2-sha256$29000$...$...:watch=COM1*   # a trailing comment
//
// One user a line, <name>:<hash>:<rights>; blank lines are skipped, and a
// '#' at a line's start or after a space or tab begins a comment.  <name>
// is 1 to userNameMax graphic ASCII bytes without ':' (a login line splits
// at the first space); <hash> is passhash.h's form.  <rights> is a list
// separated by spaces of
//   write=<ports>   p on those ports (and w: write implies watch)
//   watch=<ports>   w on those ports
//   connect         c, a TCP connection from the server's host
//   kill            k, stopping the server
// <ports> is a comma list of COM<n> names, '*' (every port) or a prefix
// ending in '*' ("COM1*": COM1, COM10 to COM19 and COM100 to COM199);
// "com" may be written in either case.  The rights are kept as one bit per
// port COM1 to COM999 (the names a port can have), so a user's rights are
// a value of fixed size that a session can keep after a reload.
//
// load() reads a whole file or none of it: each bad line is reported with
// its number and reason, and the users held before stay.  A name that is
// not known still costs a full password check (startLogin), so that the
// time an answer takes does not tell which names exist.
#ifndef VELKOR_AUTH_USERS_H
#define VELKOR_AUTH_USERS_H

#include "auth/passhash.h"

#include <stddef.h>

enum {
    usersMax = 1024,
    userNameMax = 64,
    usersLineMax = 4096,     // bytes before the line's end
    usersErrorsMax = 32,     // bad lines reported; reading stops after them
    userPortMax = 999,       // COM1 .. COM999
};

struct UserRights {
    unsigned char write[userPortMax / 8 + 1];  // bit n % 8 of byte n / 8: COMn
    unsigned char watch[userPortMax / 8 + 1];
    bool connect;
    bool kill;
};

// Every right: the operator at the server's console.
UserRights userRightsAll();

// port is a NUL-terminated name as the server names ports ("COM3"); any
// other name (lower case, a leading zero, "COM1000") is never allowed.
bool mayWrite(const UserRights &r, const char *port);
bool mayWatch(const UserRights &r, const char *port);  // watch or write
inline bool mayConnect(const UserRights &r) { return r.connect; }
inline bool mayKill(const UserRights &r) { return r.kill; }

struct User {
    char name[userNameMax + 1];  // NUL-terminated
    PassHash hash;
    UserRights rights;
};

// line: 1 for the text's first line.
typedef void (*UsersReportFn)(void *ctx, int line, const char *reason);

class Users {
public:
    Users() = default;
    ~Users();
    Users(const Users &) = delete;
    Users &operator=(const Users &) = delete;

    // Reads the text of a users file.  When every line is good the users
    // it names replace those held and their count is returned; otherwise
    // -1, each bad line reported through report (which may be null) up to
    // usersErrorsMax of them, and the users held before stay.  Also -1,
    // reported as line 0, when there is no memory for the table.
    int load(const char *text, size_t len, UsersReportFn report, void *ctx);

    int count() const { return n; }
    const User *at(int i) const { return users + i; }  // 0 <= i < count()
    const User *find(const char *name, size_t nameLen) const;

    // Looks the name up and starts checking the password: against the
    // user's hash, or, for a name not known, against a fixed hash of the
    // most rounds any user has, which the check then refuses.  The user
    // (who is logged in only once the check says PassMatch), or null.
    const User *startLogin(const char *name, size_t nameLen, const void *password,
                           size_t passwordLen, PassCheck *check) const;

private:
    User *users = nullptr;
    int n = 0;
    uint32_t dummyRounds = passRoundsDefault;
};

#endif
