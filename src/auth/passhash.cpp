// passlib's pbkdf2_sha256 hashes, and checking a password against one in
// bounded steps: see passhash.h.
#include "auth/passhash.h"

#include <string.h>

namespace {

const char prefix[] = "$pbkdf2-sha256$";
const size_t prefixLen = sizeof prefix - 1;

// passlib's adapted base64: '.' where the standard alphabet has '+'.
const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789./";

int digitValue(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '.') return 62;
    if (c == '/') return 63;
    return -1;
}

// Decodes text[0 .. len) into out (room for max bytes): the byte count, or
// -1 for a character outside the alphabet, a length no encoding has, stray
// bits in the last character, or more than max bytes.
int decode64(const char *text, size_t len, unsigned char *out, size_t max)
{
    if (len % 4 == 1) return -1;
    size_t bytes = len / 4 * 3 + (len % 4 == 0 ? 0 : len % 4 - 1);
    if (bytes > max) return -1;
    uint32_t acc = 0;
    int bits = 0;
    size_t o = 0;
    for (size_t i = 0; i < len; i++) {
        int v = digitValue(text[i]);
        if (v < 0) return -1;
        acc = (acc << 6) | (uint32_t)v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[o++] = (unsigned char)(acc >> bits);
        }
        acc &= (1u << bits) - 1;
    }
    // Bits left over must be zero: one hash has one text form.
    if (acc != 0) return -1;
    return (int)o;
}

// The encoding of data[0 .. n), without padding, at out; its length.
size_t encode64(const unsigned char *data, size_t n, char *out)
{
    size_t o = 0;
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = 0; i < n; i++) {
        acc = (acc << 8) | data[i];
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out[o++] = alphabet[(acc >> bits) & 63];
        }
    }
    if (bits > 0) out[o++] = alphabet[(acc << (6 - bits)) & 63];
    return o;
}

// The next '$' in p[0 .. n), or n.
size_t fieldEnd(const char *p, size_t n)
{
    const void *d = memchr(p, '$', n);
    return d ? (size_t)((const char *)d - p) : n;
}

}  // namespace

const char *passHashParse(const char *text, size_t len, PassHash *out)
{
    if (len < prefixLen || memcmp(text, prefix, prefixLen) != 0) return "not $pbkdf2-sha256$";
    const char *p = text + prefixLen;
    size_t rest = len - prefixLen;

    size_t n = fieldEnd(p, rest);
    if (n == rest) return "no $ after the rounds";
    if (n == 0 || n > 8) return "rounds not a number from 1 to 10000000";
    if (p[0] == '0' && n > 1) return "rounds with a leading zero";
    uint32_t rounds = 0;
    for (size_t i = 0; i < n; i++) {
        if (p[i] < '0' || p[i] > '9') return "rounds not a number from 1 to 10000000";
        rounds = rounds * 10 + (uint32_t)(p[i] - '0');
    }
    if (rounds < 1 || rounds > passRoundsMax) return "rounds not a number from 1 to 10000000";
    out->rounds = rounds;
    p += n + 1;
    rest -= n + 1;

    n = fieldEnd(p, rest);
    if (n == rest) return "no $ after the salt";
    int saltLen = decode64(p, n, out->salt, passSaltMax);
    if (saltLen < 0) return "salt not adapted base64 of at most 64 bytes";
    out->saltLen = saltLen;
    p += n + 1;
    rest -= n + 1;

    if (fieldEnd(p, rest) != rest) return "a $ after the checksum";
    unsigned char checksum[passChecksumSize + 3];
    if (decode64(p, rest, checksum, sizeof checksum) != (int)passChecksumSize)
        return "checksum not adapted base64 of 32 bytes";
    memcpy(out->checksum, checksum, passChecksumSize);
    return nullptr;
}

int passHashFormat(const PassHash *h, char *out, size_t outSize)
{
    if (h->rounds < 1 || h->rounds > passRoundsMax || h->saltLen < 0 || (size_t)h->saltLen > passSaltMax)
        return -1;
    char text[passHashTextMax];
    size_t o = prefixLen;
    memcpy(text, prefix, prefixLen);
    char digits[8];
    int d = 0;
    for (uint32_t r = h->rounds; r > 0; r /= 10) digits[d++] = (char)('0' + r % 10);
    while (d > 0) text[o++] = digits[--d];
    text[o++] = '$';
    o += encode64(h->salt, (size_t)h->saltLen, text + o);
    text[o++] = '$';
    o += encode64(h->checksum, passChecksumSize, text + o);
    if (o + 1 > outSize) return -1;
    memcpy(out, text, o);
    out[o] = '\0';
    return (int)o;
}

int passHashMake(const void *password, size_t passwordLen, const unsigned char *salt,
                 size_t saltLen, uint32_t rounds, char *out, size_t outSize)
{
    if (saltLen > passSaltMax || rounds < 1 || rounds > passRoundsMax) return -1;
    PassHash h;
    h.rounds = rounds;
    h.saltLen = (int)saltLen;
    if (saltLen > 0) memcpy(h.salt, salt, saltLen);
    pbkdf2Sha256(password, passwordLen, salt, saltLen, rounds, h.checksum, passChecksumSize);
    return passHashFormat(&h, out, outSize);
}

void PassCheck::start(const void *password, size_t passwordLen, const PassHash &hash, bool refuse)
{
    hmacSha256Key(&key, password, passwordLen);
    memcpy(expected, hash.checksum, sizeof expected);
    refused = refuse;
    // A hash that did not come from passHashParse may say 0 rounds; it
    // matches nothing.
    state = block.start(&key, hash.salt, (size_t)hash.saltLen, 1, hash.rounds) ? PassPending
                                                                               : PassMismatch;
}

PassResult PassCheck::step(uint32_t maxRounds)
{
    if (state != PassPending || !block.step(&key, maxRounds)) return state;
    // Every byte is compared whatever the first difference: how long this
    // takes tells nothing of how much of the checksum was right.
    unsigned char diff = 0;
    const unsigned char *got = block.result();
    for (size_t i = 0; i < passChecksumSize; i++) diff |= (unsigned char)(got[i] ^ expected[i]);
    state = diff == 0 && !refused ? PassMatch : PassMismatch;
    wipe();
    return state;
}

void PassCheck::wipe()
{
    authWipe(&key, sizeof key);
    block.wipe();
}

bool passHashCheck(const void *password, size_t passwordLen, const PassHash &hash)
{
    PassCheck check;
    check.start(password, passwordLen, hash);
    return check.step(passRoundsMax) == PassMatch;
}
