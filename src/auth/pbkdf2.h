// PBKDF2 with HMAC-SHA256 as its function (RFC 8018, section 5.2), in one
// call or one output block at a time in bounded steps.
//
//   pbkdf2Sha256(pw, pwLen, salt, saltLen, rounds, out, outLen);
//
//   HmacSha256Key key; hmacSha256Key(&key, pw, pwLen);
//   Pbkdf2Block b; b.start(&key, salt, saltLen, 1, rounds);
//   while (!b.step(&key, 1000)) { ...other work... }
//   b.result()                               // block 1: the first 32 bytes
//
// A password check needs only the first block (a 32-byte checksum); doing
// it a few rounds at a time lets a server's loop share out the work.
#ifndef VELKOR_AUTH_PBKDF2_H
#define VELKOR_AUTH_PBKDF2_H

#include "auth/sha256.h"

#include <stddef.h>
#include <stdint.h>

class Pbkdf2Block {
public:
    // Does the first round, HMAC(password, salt || index), which is the
    // only one that reads the salt: it need not outlive this call.  False
    // (and nothing started) for rounds 0 or index 0.
    bool start(const HmacSha256Key *key, const void *salt, size_t saltLen, uint32_t index,
               uint32_t rounds);
    // Does at most maxRounds more rounds with the same key; true once every
    // round is done (and on each later call).
    bool step(const HmacSha256Key *key, uint32_t maxRounds);
    uint32_t roundsLeft() const { return left; }
    // The block, valid once step() said true.
    const unsigned char *result() const { return sum; }
    // Forgets the state, which tells of the password.
    void wipe();

private:
    unsigned char u[sha256Size] = {};    // the last round's output
    unsigned char sum[sha256Size] = {};  // every round's output XORed
    uint32_t left = 0;
};

// outLen bytes of key from the password and salt; false for rounds 0.
bool pbkdf2Sha256(const void *password, size_t passwordLen, const void *salt, size_t saltLen,
                  uint32_t rounds, unsigned char *out, size_t outLen);

#endif
