// Password hashes in the form python3-passlib writes for pbkdf2_sha256, so
// that an admin can make one with that tool as well as with velkor:
//
//   $pbkdf2-sha256$<rounds>$<salt>$<checksum>
//
// <rounds> is decimal without a leading zero, 1 to passRoundsMax; <salt>
// (0 to passSaltMax bytes) and <checksum> (32 bytes) are in passlib's
// adapted base64: the standard alphabet with '.' for '+', no padding, and
// no stray bits in the last character.  The checksum is
// PBKDF2-HMAC-SHA256(password, salt, rounds) cut to 32 bytes; the password
// is taken as the bytes given (passlib hashes a text as UTF-8).
//
//   PassHash h;
//   const char *why = passHashParse(text, len, &h);   // null: well formed
//   passHashMake(pw, pwLen, salt, 16, passRoundsDefault, out, sizeof out);
//
// Checking costs `rounds` HMACs, tens of milliseconds at the default: a
// PassCheck does it a bounded number of rounds per call, so that a loop
// serving other clients is never held up for long, and compares the
// checksum in constant time.  passHashCheck() does it all in one call.
#ifndef VELKOR_AUTH_PASSHASH_H
#define VELKOR_AUTH_PASSHASH_H

#include "auth/pbkdf2.h"

#include <stddef.h>
#include <stdint.h>

const uint32_t passRoundsDefault = 29000;  // what passlib 1.7 uses
const uint32_t passRoundsMax = 10000000;   // a check of more would take seconds
const size_t passSaltMax = 64;             // passlib writes 16
const size_t passChecksumSize = sha256Size;
// The longest text form and its NUL.
const size_t passHashTextMax = 15 + 8 + 1 + (passSaltMax * 4 + 2) / 3 + 1 + 43 + 1;

struct PassHash {
    uint32_t rounds;
    int saltLen;
    unsigned char salt[passSaltMax];
    unsigned char checksum[passChecksumSize];
};

// Null when text[0 .. len) is a well-formed hash, which is put in *out;
// otherwise why not (a fixed English phrase), and *out is unspecified.
const char *passHashParse(const char *text, size_t len, PassHash *out);

// The text form, NUL-terminated: its length, or -1 when out is too small.
int passHashFormat(const PassHash *h, char *out, size_t outSize);

// Hashes a password with the salt given (the caller draws it at random):
// the text form's length, or -1 for a salt longer than passSaltMax, rounds
// outside 1 .. passRoundsMax, or an out smaller than the text form.
int passHashMake(const void *password, size_t passwordLen, const unsigned char *salt,
                 size_t saltLen, uint32_t rounds, char *out, size_t outSize);

enum PassResult { PassPending, PassMatch, PassMismatch };

class PassCheck {
public:
    PassCheck() = default;
    ~PassCheck() { wipe(); }
    PassCheck(const PassCheck &) = delete;
    PassCheck &operator=(const PassCheck &) = delete;

    // Begins checking a password against a hash; the password and hash
    // need not outlive the call.  With refuse the check costs the same and
    // ends PassMismatch whatever the password: for a name that is not
    // known, so that the time taken does not tell it apart.
    void start(const void *password, size_t passwordLen, const PassHash &hash,
               bool refuse = false);
    // At most maxRounds more rounds of PBKDF2; PassPending until the last
    // round is done, then the result, which stays.  Before start():
    // PassMismatch.
    PassResult step(uint32_t maxRounds);
    PassResult result() const { return state; }
    uint32_t roundsLeft() const { return block.roundsLeft(); }

private:
    HmacSha256Key key = {};
    Pbkdf2Block block;
    unsigned char expected[passChecksumSize] = {};
    bool refused = false;
    PassResult state = PassMismatch;

    void wipe();
};

// The whole check in one call.
bool passHashCheck(const void *password, size_t passwordLen, const PassHash &hash);

#endif
