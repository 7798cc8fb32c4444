// SHA-256 (FIPS 180-4) and HMAC-SHA256 (RFC 2104), for the password hashes
// of the users file.  Plain C++: the Windows build has no crypto library,
// and both builds share this one implementation and its tests.
//
//   Sha256 s; sha256Start(&s); sha256Add(&s, p, n); ...; sha256Finish(&s, out);
//   sha256(p, n, out);                       // the same in one call
//
//   HmacSha256Key k; hmacSha256Key(&k, key, keyLen);
//   hmacSha256(&k, msg, n, out);             // as often as wanted per key
//
// A key is kept as the two hash states after its padded blocks, so each
// HMAC with it costs only the message's blocks and one more: PBKDF2 uses
// one key for every round.  Nothing allocates; every call takes any length.
#ifndef VELKOR_AUTH_SHA256_H
#define VELKOR_AUTH_SHA256_H

#include <stddef.h>
#include <stdint.h>

const size_t sha256Size = 32;
const size_t sha256BlockSize = 64;

struct Sha256 {
    uint32_t h[8];
    uint64_t bytes;                     // taken so far
    unsigned char block[sha256BlockSize];  // the partial block: bytes % 64 of them
};

void sha256Start(Sha256 *s);
void sha256Add(Sha256 *s, const void *data, size_t n);
// Writes the digest; s is spent (start it again to reuse it).
void sha256Finish(Sha256 *s, unsigned char out[sha256Size]);
void sha256(const void *data, size_t n, unsigned char out[sha256Size]);

struct HmacSha256Key {
    Sha256 inner;  // after key ^ ipad
    Sha256 outer;  // after key ^ opad
};

void hmacSha256Key(HmacSha256Key *k, const void *key, size_t keyLen);
// out may be msg itself.
void hmacSha256(const HmacSha256Key *k, const void *msg, size_t n, unsigned char out[sha256Size]);

// Overwrites n bytes with zeros in a way the compiler may not leave out:
// keys and passwords do not stay in memory that is freed or reused.
void authWipe(void *p, size_t n);

#endif
