// The password primitives: SHA-256, HMAC-SHA256 and PBKDF2-HMAC-SHA256
// against published vectors.
#include "auth/pbkdf2.h"
#include "auth/sha256.h"
#include "unit_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string.h>
#include <string>

namespace {

using unit::hex;

// ---- the primitives --------------------------------------------------------------

TEST(AuthSha256, Fips180Examples)
{
    struct Case {
        std::string input;
        const char *digest;
    } cases[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    // In one piece, and in pieces that end inside, on and just past a
    // block's end, so that the partial block is carried between calls.
    const size_t pieces[] = {0, 1, 55, 63, 64, 65, 1000};
    for (const Case &c : cases) {
        for (size_t piece : pieces) {
            Sha256 s;
            sha256Start(&s);
            size_t step = piece == 0 ? c.input.size() : piece;
            for (size_t at = 0; at < c.input.size(); at += step)
                sha256Add(&s, c.input.data() + at, std::min(step, c.input.size() - at));
            unsigned char digest[sha256Size];
            sha256Finish(&s, digest);
            EXPECT_EQ(hex(digest, sizeof digest), c.digest)
                << c.input.size() << " bytes in pieces of " << piece;
        }
    }
}

TEST(AuthHmacSha256, Rfc4231Cases)
{
    const std::string longKey(131, '\xaa');
    struct Case {
        std::string key, data;
        const char *mac;  // case 5 gives the first 128 bits only
    } cases[] = {
        {std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {"\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15"
         "\x16\x17\x18\x19",
         std::string(50, '\xcd'), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {std::string(20, '\x0c'), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
        {longKey, "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {longKey,
         "This is a test using a larger than block-size key and a larger than block-size data. "
         "The key needs to be hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const Case &c : cases) {
        HmacSha256Key key;
        hmacSha256Key(&key, c.key.data(), c.key.size());
        unsigned char mac[sha256Size];
        hmacSha256(&key, c.data.data(), c.data.size(), mac);
        EXPECT_EQ(hex(mac, strlen(c.mac) / 2), c.mac) << c.data;
    }
}

TEST(AuthPbkdf2, PublishedVectors)
{
    struct Case {
        std::string password, salt;
        uint32_t rounds;
        const char *key;
    } cases[] = {
        {"password", "salt", 1, "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
        {"password", "salt", 2, "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43"},
        {"password", "salt", 4096,
         "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
        {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
         "348c89dbcbd32b2f32d814b8116e84cf2b17347ebc1800181c4e2a1fb8dd53e1c635518c7dac47e9"},
        {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096,
         "89b69d0516f829893c696226650a8687"},
        // RFC 7914, section 11: two output blocks.
        {"passwd", "salt", 1,
         "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
         "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
        {"Password", "NaCl", 80000,
         "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
         "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
    };
    for (const Case &c : cases) {
        unsigned char key[64];
        size_t n = strlen(c.key) / 2;
        ASSERT_TRUE(pbkdf2Sha256(c.password.data(), c.password.size(), c.salt.data(),
                                 c.salt.size(), c.rounds, key, n));
        EXPECT_EQ(hex(key, n), c.key) << c.password << " " << c.rounds;
    }
    unsigned char key[32];
    EXPECT_FALSE(pbkdf2Sha256("p", 1, "s", 1, 0, key, sizeof key)) << "0 rounds";
}

}  // namespace
