// PBKDF2-HMAC-SHA256: see pbkdf2.h.
#include "auth/pbkdf2.h"

#include <string.h>

bool Pbkdf2Block::start(const HmacSha256Key *key, const void *salt, size_t saltLen,
                        uint32_t index, uint32_t rounds)
{
    if (rounds == 0 || index == 0) return false;
    const unsigned char indexBytes[4] = {(unsigned char)(index >> 24), (unsigned char)(index >> 16),
                                         (unsigned char)(index >> 8), (unsigned char)index};
    Sha256 s = key->inner;
    sha256Add(&s, salt, saltLen);
    sha256Add(&s, indexBytes, sizeof indexBytes);
    unsigned char innerDigest[sha256Size];
    sha256Finish(&s, innerDigest);
    s = key->outer;
    sha256Add(&s, innerDigest, sizeof innerDigest);
    sha256Finish(&s, u);
    memcpy(sum, u, sizeof sum);
    left = rounds - 1;
    return true;
}

bool Pbkdf2Block::step(const HmacSha256Key *key, uint32_t maxRounds)
{
    for (; left > 0 && maxRounds > 0; left--, maxRounds--) {
        hmacSha256(key, u, sizeof u, u);
        for (size_t i = 0; i < sha256Size; i++) sum[i] ^= u[i];
    }
    return left == 0;
}

void Pbkdf2Block::wipe()
{
    authWipe(u, sizeof u);
    authWipe(sum, sizeof sum);
    left = 0;
}

bool pbkdf2Sha256(const void *password, size_t passwordLen, const void *salt, size_t saltLen,
                  uint32_t rounds, unsigned char *out, size_t outLen)
{
    if (rounds == 0) return false;
    HmacSha256Key key;
    hmacSha256Key(&key, password, passwordLen);
    Pbkdf2Block block;
    for (uint32_t index = 1; outLen > 0; index++) {
        block.start(&key, salt, saltLen, index, rounds);
        block.step(&key, rounds);
        size_t take = outLen < sha256Size ? outLen : sha256Size;
        memcpy(out, block.result(), take);
        out += take;
        outLen -= take;
    }
    block.wipe();
    authWipe(&key, sizeof key);
    return true;
}
