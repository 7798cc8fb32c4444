// The users file: see users.h.
#include "auth/users.h"

#include <new>
#include <stdio.h>
#include <string.h>

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// A line's content: what is left of text[0 .. len) without its comment and
// the blanks around it.
void content(const char *text, size_t len, const char **start, size_t *n)
{
    size_t b = 0;
    while (b < len && isBlank(text[b])) b++;
    size_t e = b;
    while (e < len && !(text[e] == '#' && (e == b || isBlank(text[e - 1])))) e++;
    while (e > b && isBlank(text[e - 1])) e--;
    *start = text + b;
    *n = e - b;
}

// The next line of text[*pos .. len): its bytes without the '\n' (and a
// '\r' before it) that ends it; *pos moves past it.  False at the end.
bool nextLine(const char *text, size_t len, size_t *pos, const char **line, size_t *lineLen)
{
    if (*pos >= len) return false;
    const char *p = text + *pos;
    const void *nl = memchr(p, '\n', len - *pos);
    size_t n = nl ? (size_t)((const char *)nl - p) : len - *pos;
    *pos += n + (nl ? 1 : 0);
    if (n > 0 && p[n - 1] == '\r') n--;
    *line = p;
    *lineLen = n;
    return true;
}

// The number of COM<n> in name[0 .. len), 1 .. userPortMax, or -1.  With
// prefix, the digits may be none (0) and name the start of numbers.
int portNumber(const char *name, size_t len, bool caseless, bool prefix)
{
    if (len < 3) return -1;
    for (int i = 0; i < 3; i++) {
        char c = name[i];
        if (caseless && c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
        if (c != "COM"[i]) return -1;
    }
    size_t digits = len - 3;
    if (digits > 3 || (digits == 0 && !prefix) || (digits > 0 && name[3] == '0')) return -1;
    int v = 0;
    for (size_t i = 3; i < len; i++) {
        if (name[i] < '0' || name[i] > '9') return -1;
        v = v * 10 + (name[i] - '0');
    }
    return v;
}

void setPort(unsigned char *bits, int n) { bits[n / 8] |= (unsigned char)(1u << (n % 8)); }
bool hasPort(const unsigned char *bits, int n) { return (bits[n / 8] >> (n % 8)) & 1; }

// Sets the bits of one item of a <ports> list; false when it is none.
bool addPorts(unsigned char *bits, const char *item, size_t len)
{
    if (len == 1 && item[0] == '*') {
        for (int n = 1; n <= userPortMax; n++) setPort(bits, n);
        return true;
    }
    if (len > 0 && item[len - 1] == '*') {
        int p = portNumber(item, len - 1, true, true);
        if (p < 0) return false;
        if (p == 0) return addPorts(bits, "*", 1);
        // p itself, then every number with p's digits before one, two ...
        for (int lo = p, width = 1; lo <= userPortMax; lo *= 10, width *= 10)
            for (int n = lo; n < lo + width && n <= userPortMax; n++) setPort(bits, n);
        return true;
    }
    int n = portNumber(item, len, true, false);
    if (n < 0) return false;
    setPort(bits, n);
    return true;
}

// Reads <rights>; null when good, else why, in why[].
const char *parseRights(const char *p, size_t len, UserRights *r, char *why, size_t whySize)
{
    size_t i = 0;
    while (i < len) {
        if (isBlank(p[i])) {
            i++;
            continue;
        }
        size_t e = i;
        while (e < len && !isBlank(p[e])) e++;
        const char *tok = p + i;
        size_t n = e - i;
        i = e;
        if (n == 7 && memcmp(tok, "connect", 7) == 0) {
            r->connect = true;
            continue;
        }
        if (n == 4 && memcmp(tok, "kill", 4) == 0) {
            r->kill = true;
            continue;
        }
        unsigned char *bits = nullptr;
        if (n >= 6 && memcmp(tok, "write=", 6) == 0) bits = r->write;
        else if (n >= 6 && memcmp(tok, "watch=", 6) == 0) bits = r->watch;
        if (!bits) {
            snprintf(why, whySize, "unknown right '%.*s'", n > 40 ? 40 : (int)n, tok);
            return why;
        }
        const char *list = tok + 6;
        size_t listLen = n - 6;
        size_t a = 0;
        do {
            const void *comma = memchr(list + a, ',', listLen - a);
            size_t b = comma ? (size_t)((const char *)comma - list) : listLen;
            if (!addPorts(bits, list + a, b - a)) {
                snprintf(why, whySize, "'%.*s' in '%.*s' is not COM<n>, * or a prefix ending in *",
                         b - a > 40 ? 40 : (int)(b - a), list + a, n > 40 ? 40 : (int)n, tok);
                return why;
            }
            a = b + 1;
        } while (a <= listLen);
    }
    return nullptr;
}

// Reads one line's content into *u; null when good, else why, in why[].
const char *parseUser(const char *p, size_t len, User *u, char *why, size_t whySize)
{
    const void *c1 = memchr(p, ':', len);
    if (!c1) return "no ':' after the name";
    size_t nameLen = (size_t)((const char *)c1 - p);
    if (nameLen == 0 || nameLen > userNameMax) return "a name must have 1 to 64 bytes";
    for (size_t i = 0; i < nameLen; i++)
        if (p[i] <= ' ' || p[i] > '~') return "a name may have only graphic ASCII characters";
    const char *h = p + nameLen + 1;
    size_t rest = len - nameLen - 1;
    const void *c2 = memchr(h, ':', rest);
    if (!c2) return "no ':' after the hash";
    size_t hashLen = (size_t)((const char *)c2 - h);
    const char *bad = passHashParse(h, hashLen, &u->hash);
    if (bad) {
        snprintf(why, whySize, "bad hash: %s", bad);
        return why;
    }
    memcpy(u->name, p, nameLen);
    u->name[nameLen] = '\0';
    memset(&u->rights, 0, sizeof u->rights);
    return parseRights(h + hashLen + 1, rest - hashLen - 1, &u->rights, why, whySize);
}

}  // namespace

UserRights userRightsAll()
{
    UserRights r;
    memset(r.write, 0xff, sizeof r.write);
    memset(r.watch, 0xff, sizeof r.watch);
    r.connect = true;
    r.kill = true;
    return r;
}

bool mayWrite(const UserRights &r, const char *port)
{
    int n = portNumber(port, strlen(port), false, false);
    return n > 0 && hasPort(r.write, n);
}

bool mayWatch(const UserRights &r, const char *port)
{
    int n = portNumber(port, strlen(port), false, false);
    return n > 0 && (hasPort(r.watch, n) || hasPort(r.write, n));
}

Users::~Users() { delete[] users; }

int Users::load(const char *text, size_t len, UsersReportFn report, void *ctx)
{
    // The table is made for the lines that have content, counted first.
    int lines = 0;
    size_t pos = 0;
    const char *line;
    size_t lineLen;
    while (nextLine(text, len, &pos, &line, &lineLen) && lines < usersMax) {
        const char *c;
        size_t cn;
        content(line, lineLen, &c, &cn);
        if (cn > 0) lines++;
    }
    User *table = lines > 0 ? new (std::nothrow) User[lines] : nullptr;
    if (lines > 0 && !table) {
        if (report) report(ctx, 0, "no memory for the users");
        return -1;
    }

    int count = 0;
    int errors = 0;
    uint32_t mostRounds = 0;
    int number = 0;
    pos = 0;
    while (nextLine(text, len, &pos, &line, &lineLen)) {
        number++;
        char why[200];
        const char *bad = nullptr;
        const char *c;
        size_t cn;
        content(line, lineLen, &c, &cn);
        if (lineLen > usersLineMax) {
            bad = "longer than 4096 bytes";
        } else if (cn == 0) {
            continue;
        } else if (count == usersMax) {
            bad = "more than 1024 users";
        } else {
            User *u = &table[count];
            bad = parseUser(c, cn, u, why, sizeof why);
            for (int i = 0; !bad && i < count; i++)
                if (strcmp(table[i].name, u->name) == 0) {
                    snprintf(why, sizeof why, "'%s' is also the name on an earlier line", u->name);
                    bad = why;
                }
            if (!bad) {
                if (u->hash.rounds > mostRounds) mostRounds = u->hash.rounds;
                count++;
            }
        }
        if (!bad) continue;
        if (errors == usersErrorsMax) {
            if (report) report(ctx, number, "too many bad lines: the rest is not read");
            break;
        }
        errors++;
        if (report) report(ctx, number, bad);
    }

    if (errors > 0) {
        delete[] table;
        return -1;
    }
    delete[] users;
    users = table;
    n = count;
    dummyRounds = count > 0 ? mostRounds : passRoundsDefault;
    return count;
}

const User *Users::find(const char *name, size_t nameLen) const
{
    if (nameLen == 0 || nameLen > userNameMax) return nullptr;
    for (int i = 0; i < n; i++)
        if (memcmp(users[i].name, name, nameLen) == 0 && users[i].name[nameLen] == '\0')
            return &users[i];
    return nullptr;
}

const User *Users::startLogin(const char *name, size_t nameLen, const void *password,
                              size_t passwordLen, PassCheck *check) const
{
    const User *u = find(name, nameLen);
    if (u) {
        check->start(password, passwordLen, u->hash);
        return u;
    }
    // Any fixed salt and checksum do: the check is refused whatever it finds.
    PassHash dummy = {};
    dummy.rounds = dummyRounds;
    dummy.saltLen = 16;
    memcpy(dummy.salt, "velkor-no-user!!", 16);
    memset(dummy.checksum, 0, sizeof dummy.checksum);
    check->start(password, passwordLen, dummy, true);
    return nullptr;
}
