// SHA-256 and HMAC-SHA256: see sha256.h.
#include "auth/sha256.h"

#include <string.h>

namespace {

const uint32_t roundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2,
};

uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(uint32_t h[8], const unsigned char *b)
{
    uint32_t w[64];
    for (int t = 0; t < 16; t++)
        w[t] = ((uint32_t)b[4 * t] << 24) | ((uint32_t)b[4 * t + 1] << 16) |
               ((uint32_t)b[4 * t + 2] << 8) | b[4 * t + 3];
    for (int t = 16; t < 64; t++) {
        uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
        uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = h[0], bb = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int t = 0; t < 64; t++) {
        uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                      roundConstants[t] + w[t];
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & bb) ^ (a & c) ^ (bb & c));
        hh = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = bb;
        bb = a;
        a = t1 + t2;
    }
    h[0] += a;
    h[1] += bb;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += hh;
}

}  // namespace

void sha256Start(Sha256 *s)
{
    static const uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memcpy(s->h, initial, sizeof initial);
    s->bytes = 0;
}

void sha256Add(Sha256 *s, const void *data, size_t n)
{
    const unsigned char *p = (const unsigned char *)data;
    size_t fill = (size_t)(s->bytes % sha256BlockSize);
    s->bytes += n;
    if (fill > 0) {
        size_t take = sha256BlockSize - fill;
        if (take > n) take = n;
        memcpy(s->block + fill, p, take);
        p += take;
        n -= take;
        if (fill + take < sha256BlockSize) return;
        compress(s->h, s->block);
    }
    for (; n >= sha256BlockSize; p += sha256BlockSize, n -= sha256BlockSize) compress(s->h, p);
    if (n > 0) memcpy(s->block, p, n);
}

void sha256Finish(Sha256 *s, unsigned char out[sha256Size])
{
    uint64_t bits = s->bytes * 8;
    size_t fill = (size_t)(s->bytes % sha256BlockSize);
    s->block[fill++] = 0x80;
    if (fill > sha256BlockSize - 8) {
        memset(s->block + fill, 0, sha256BlockSize - fill);
        compress(s->h, s->block);
        fill = 0;
    }
    memset(s->block + fill, 0, sha256BlockSize - 8 - fill);
    for (int k = 0; k < 8; k++) s->block[sha256BlockSize - 1 - k] = (unsigned char)(bits >> (8 * k));
    compress(s->h, s->block);
    for (int k = 0; k < 8; k++) {
        out[4 * k] = (unsigned char)(s->h[k] >> 24);
        out[4 * k + 1] = (unsigned char)(s->h[k] >> 16);
        out[4 * k + 2] = (unsigned char)(s->h[k] >> 8);
        out[4 * k + 3] = (unsigned char)s->h[k];
    }
}

void sha256(const void *data, size_t n, unsigned char out[sha256Size])
{
    Sha256 s;
    sha256Start(&s);
    sha256Add(&s, data, n);
    sha256Finish(&s, out);
}

void hmacSha256Key(HmacSha256Key *k, const void *key, size_t keyLen)
{
    // A key longer than a block is replaced by its digest (RFC 2104).
    unsigned char padded[sha256BlockSize] = {};
    if (keyLen > sha256BlockSize) sha256(key, keyLen, padded);
    else if (keyLen > 0) memcpy(padded, key, keyLen);
    unsigned char pad[sha256BlockSize];
    for (size_t i = 0; i < sha256BlockSize; i++) pad[i] = (unsigned char)(padded[i] ^ 0x36);
    sha256Start(&k->inner);
    sha256Add(&k->inner, pad, sizeof pad);
    for (size_t i = 0; i < sha256BlockSize; i++) pad[i] = (unsigned char)(padded[i] ^ 0x5c);
    sha256Start(&k->outer);
    sha256Add(&k->outer, pad, sizeof pad);
    authWipe(padded, sizeof padded);
    authWipe(pad, sizeof pad);
}

void hmacSha256(const HmacSha256Key *k, const void *msg, size_t n, unsigned char out[sha256Size])
{
    Sha256 s = k->inner;
    sha256Add(&s, msg, n);
    unsigned char innerDigest[sha256Size];
    sha256Finish(&s, innerDigest);
    s = k->outer;
    sha256Add(&s, innerDigest, sizeof innerDigest);
    sha256Finish(&s, out);
}

void authWipe(void *p, size_t n)
{
    // Through a volatile pointer: a plain memset of memory about to die may
    // be dropped as a dead store.
    volatile unsigned char *v = (volatile unsigned char *)p;
    for (size_t i = 0; i < n; i++) v[i] = 0;
}
