#include "access.h"

#include "../io/kva_assert.h"
#include "../kvb/kvb.h"

#include <new>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// The most a users file may hold: every user on a line of the longest.
const long usersFileMax = (long)usersMax * (usersLineMax + 2);

Users *users = nullptr;
const char *usersPath = nullptr;

void reportLine(void *ctx, int line, const char *reason)
{
    fprintf(stderr, "%s:%d: %s\n", (const char *)ctx, line, reason);
}

}  // namespace

int accessLoadUsers(const char *path)
{
    usersPath = path;
    FILE *f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "%s: the users file cannot be read\n", path);
        return -1;
    }
    char *text = (char *)malloc((size_t)usersFileMax + 1);
    if (!text) kva_out_of_memory("the users file");
    size_t n = fread(text, 1, (size_t)usersFileMax + 1, f);
    bool failed = ferror(f) != 0;
    fclose(f);
    int r = -1;
    if (failed) {
        fprintf(stderr, "%s: the users file cannot be read\n", path);
    } else if ((long)n > usersFileMax) {
        fprintf(stderr, "%s: the users file is longer than %ld bytes\n", path, usersFileMax);
    } else {
        if (!users) users = new (std::nothrow) Users();
        if (!users) kva_out_of_memory("the users");
        int count = users->load(text, n, reportLine, (void *)path);
        if (count >= 0) {
            fprintf(stderr, "%s: %d users\n", path, count);
            r = 0;
        }
    }
    free(text);
    return r;
}

void accessReloadUsers()
{
    if (!usersPath) return;
    if (accessLoadUsers(usersPath) != 0)
        fprintf(stderr, "%s: not read again; the users read before stay\n", usersPath);
}

bool accessNamedUsers() { return users != nullptr && usersPath != nullptr; }

const Users &accessUsers() { return *users; }

int accessPrintHash()
{
    char password[1024];
    int n = kvp_read_secret("password: ", password, (int)sizeof password);
    if (n < 0) {
        fprintf(stderr, "no password given\n");
        return 1;
    }
    unsigned char salt[16];
    if (kvp_random(salt, (int)sizeof salt) != 0) {
        fprintf(stderr, "no random salt: the system's generator failed\n");
        return 1;
    }
    char hash[passHashTextMax];
    int len = passHashMake(password, (size_t)n, salt, sizeof salt, passRoundsDefault, hash,
                           sizeof hash);
    memset(password, 0, sizeof password);
    if (len < 0) return 1;
    printf("%s\n", hash);
    return 0;
}
