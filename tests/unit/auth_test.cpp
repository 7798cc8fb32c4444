// Passwords and named users: SHA-256, HMAC-SHA256 and PBKDF2-HMAC-SHA256
// against published vectors; hashes that python3-passlib made verified and
// made again byte for byte, and ours verified by passlib itself; the check
// in bounded steps; malformed hashes; the users file and the rights it
// gives.
#include "auth/passhash.h"
#include "auth/pbkdf2.h"
#include "auth/sha256.h"
#include "auth/users.h"
#include "unit_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <utility>
#include <vector>

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

// ---- passlib's hashes --------------------------------------------------------------

// Made by Debian's python3-passlib 1.7.4, pbkdf2_sha256.hash(), with its
// default rounds and random salts.
struct PasslibHash {
    const char *hash;
    const char *password;
} passlibRandom[] = {
    {"$pbkdf2-sha256$29000$VeqdM2YM4VxL6b33vhcCIA$Q896tFsaisJ78eL3CpbakwA2wtz9YjnSlJwLt0KzgIs",
     "secret"},
    {"$pbkdf2-sha256$29000$Wqv1fm8NwRjDGEMIoTRGCA$wDdG4qhaIOTVKznYgCgBtzdVRRHRcJgq0/Ao3zvgsro",
     "secret"},
    {"$pbkdf2-sha256$29000$mpMSonRuzdlby7mX8j6ntA$dNW3WE1wGJEGRPyJ3w2iCq/gzKWs964jOE9cBP4bfdo",
     "correct horse battery staple"},
};

// Made by the same with a given salt and rounds (pbkdf2_sha256.using()), so
// that making them here must give the very same text.
struct PasslibFixed {
    const char *hash;
    std::string password;  // passlib hashes a text as UTF-8
    std::string salt;
    uint32_t rounds;
} passlibFixed[] = {
    {"$pbkdf2-sha256$1000$dmVsa29yLXNhbHQtMDEyMw$QtkjIEa9oRD8gbGw5v9i.0DVJagNoeffxHUIEiS8tLQ",
     "secret", "velkor-salt-0123", 1000},
    {"$pbkdf2-sha256$1$AP/.AQI$O.GJ21TbXeICTH9enCVDA0i9.JHMlWBFjgzMv.3pqxc", "",
     std::string("\x00\xff\xfe\x01\x02", 5), 1},
    {"$pbkdf2-sha256$3$$clCKW/zxTfNNz8/SoSOs4X.8px79cKKnKoInXScPv2c", "pw", "", 3},
    {"$pbkdf2-sha256$2$YWI$ehEkRR1L0.owGaXzD9uS2gIcmxuFcP5v6C16jpx6jxc", "p\xc3\xa4ss w:rd",
     "ab", 2},
};

TEST(AuthPassHash, PasslibHashesVerifyTheirPasswordOnly)
{
    std::vector<PasslibHash> all(std::begin(passlibRandom), std::end(passlibRandom));
    for (const PasslibFixed &f : passlibFixed) all.push_back({f.hash, f.password.c_str()});
    for (const PasslibHash &c : all) {
        PassHash h;
        ASSERT_EQ(passHashParse(c.hash, strlen(c.hash), &h), nullptr) << c.hash;
        EXPECT_TRUE(passHashCheck(c.password, strlen(c.password), h)) << c.hash;
        std::string pw = c.password;
        std::vector<std::string> wrong = {pw + "x", pw + " ", "Secret"};
        if (!pw.empty()) wrong.push_back(pw.substr(0, pw.size() - 1));
        for (const std::string &w : wrong)
            EXPECT_FALSE(passHashCheck(w.data(), w.size(), h)) << c.hash << " '" << w << "'";
        // One hash has one text form: it is written back as it was read.
        char text[passHashTextMax];
        ASSERT_GT(passHashFormat(&h, text, sizeof text), 0);
        EXPECT_STREQ(text, c.hash);
    }
}

TEST(AuthPassHash, MadeAsPasslibMakesThem)
{
    for (const PasslibFixed &f : passlibFixed) {
        char text[passHashTextMax];
        int n = passHashMake(f.password.data(), f.password.size(),
                             (const unsigned char *)f.salt.data(), f.salt.size(), f.rounds, text,
                             sizeof text);
        EXPECT_EQ(n, (int)strlen(f.hash));
        EXPECT_STREQ(text, f.hash);
    }
    const unsigned char salt[passSaltMax + 1] = {};
    char text[passHashTextMax];
    EXPECT_EQ(passHashMake("p", 1, salt, passSaltMax + 1, 1, text, sizeof text), -1);
    EXPECT_EQ(passHashMake("p", 1, salt, 16, 0, text, sizeof text), -1);
    EXPECT_EQ(passHashMake("p", 1, salt, 16, passRoundsMax + 1, text, sizeof text), -1);
    // The longest form fits the room the header promises, and no less will do.
    PassHash longest = {};
    longest.rounds = passRoundsMax;
    longest.saltLen = (int)passSaltMax;
    int n = passHashFormat(&longest, text, sizeof text);
    ASSERT_GT(n, 0);
    EXPECT_EQ(n + 1, (int)passHashTextMax);
    EXPECT_EQ(passHashFormat(&longest, text, (size_t)n), -1);
    PassHash h;
    EXPECT_EQ(passHashParse(text, (size_t)n, &h), nullptr) << text;
}

// Hashes made here, checked by passlib itself (when Debian's python3-passlib
// is installed): the default rounds and a random-looking salt, passlib's
// largest common salt, one round, and a password of UTF-8 with ':' and a
// space in it.
TEST(AuthPassHash, PasslibVerifiesHashesMadeHere)
{
    if (system("/usr/bin/python3 -c 'import passlib.hash' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no /usr/bin/python3 with passlib (Debian's python3-passlib)";
    struct Case {
        std::string password, salt;
        uint32_t rounds;
    } cases[] = {
        {"secret", "\x8e\x13\xd2\x7f\x00\x41\xaa\x05\x9c\x31\xe0\x7b\x5d\x02\xf4\x66",
         passRoundsDefault},
        {"correct horse battery staple", std::string(passSaltMax, '\xa5'), 1000},
        {"", "s", 1},
        {"p\xc3\xa4ss w:rd", "0123456789abcdef", 2},
    };
    std::string command = "/usr/bin/python3 -c '"
                          "import sys\n"
                          "from passlib.hash import pbkdf2_sha256 as h\n"
                          "a = sys.argv[1:]\n"
                          "for p, x in zip(a[::2], a[1::2]):\n"
                          "    print(h.verify(bytes.fromhex(p), x))\n"
                          "'";
    for (const Case &c : cases) {
        char text[passHashTextMax];
        ASSERT_GT(passHashMake(c.password.data(), c.password.size(),
                               (const unsigned char *)c.salt.data(), c.salt.size(), c.rounds,
                               text, sizeof text),
                  0);
        // Hex for the password, and the hash's alphabet has no quote.
        command += " '" + hex((const unsigned char *)c.password.data(), c.password.size()) +
                   "' '" + text + "'";
    }
    FILE *p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0);
    EXPECT_EQ(out, "True\nTrue\nTrue\nTrue\n");
}

TEST(AuthPassHash, MalformedHashesRefused)
{
    const std::string checksum = "Q896tFsaisJ78eL3CpbakwA2wtz9YjnSlJwLt0KzgIs";
    const std::string salt = "VeqdM2YM4VxL6b33vhcCIA";
    auto make = [&](const std::string &rounds, const std::string &s, const std::string &c) {
        return "$pbkdf2-sha256$" + rounds + "$" + s + "$" + c;
    };
    struct Case {
        std::string text;
        bool good;
    } cases[] = {
        {make("29000", salt, checksum), true},
        {make("1", salt, checksum), true},
        {make("10000000", salt, checksum), true},
        {make("29000", "", checksum), true},
        {make("29000", std::string(86, 'A'), checksum), true},  // 64 bytes of salt
        // the prefix
        {"", false},
        {"$pbkdf2-sha512$29000$" + salt + "$" + checksum, false},
        {"$pbkdf2$29000$" + salt + "$" + checksum, false},
        {"$PBKDF2-SHA256$29000$" + salt + "$" + checksum, false},
        {"pbkdf2-sha256$29000$" + salt + "$" + checksum, false},
        {" " + make("29000", salt, checksum), false},
        // the rounds
        {make("0", salt, checksum), false},
        {make("029000", salt, checksum), false},
        {make("10000001", salt, checksum), false},
        {make("4294967297", salt, checksum), false},
        {make("-1", salt, checksum), false},
        {make("+1", salt, checksum), false},
        {make("1e3", salt, checksum), false},
        {make("", salt, checksum), false},
        {make(" 29000", salt, checksum), false},
        // the salt
        {make("29000", "VeqdM2YM4VxL+b33vhcCIA", checksum), false},   // '+', not '.'
        {make("29000", "VeqdM2YM4VxL6b33vhcCIA==", checksum), false}, // padding
        {make("29000", salt + "AAA", checksum), false},  // 4n+1 characters
        {make("29000", "VeqdM2YM4VxL6b33vhcCIB", checksum), false},   // stray bits
        {make("29000", "Veqd M2YM", checksum), false},
        {make("29000", std::string(87, 'A'), checksum), false},  // 65 bytes
        // the checksum
        {make("29000", salt, checksum.substr(0, 42)), false},
        {make("29000", salt, checksum + "A"), false},
        {make("29000", salt, checksum + "AA"), false},  // 33 bytes
        {make("29000", salt, checksum.substr(0, 42) + "J"), false},  // stray bits
        {make("29000", salt, checksum.substr(0, 20) + "+" + checksum.substr(21)), false},
        {make("29000", salt, checksum) + "$", false},
        {make("29000", salt, checksum) + "\n", false},
        {make("29000", salt, ""), false},
        {"$pbkdf2-sha256$29000$" + salt, false},
        {"$pbkdf2-sha256$29000", false},
    };
    for (const Case &c : cases) {
        PassHash h;
        const char *why = passHashParse(c.text.data(), c.text.size(), &h);
        if (c.good) EXPECT_EQ(why, nullptr) << c.text << ": " << why;
        else EXPECT_NE(why, nullptr) << c.text;
    }
    // The length given is what counts, not a NUL.
    std::string good = make("29000", salt, checksum);
    PassHash h;
    EXPECT_NE(passHashParse(good.data(), good.size() - 1, &h), nullptr);
    std::string withNul = good + std::string(1, '\0');
    EXPECT_NE(passHashParse(withNul.data(), withNul.size(), &h), nullptr);
}

// ---- the check in steps ----------------------------------------------------------

TEST(AuthPassCheck, SameResultWhateverTheStepSize)
{
    const PasslibFixed &f = passlibFixed[0];  // 1000 rounds
    PassHash h;
    ASSERT_EQ(passHashParse(f.hash, strlen(f.hash), &h), nullptr);
    const uint32_t steps[] = {1, 2, 7, 998, 999, 1000, 1001, passRoundsMax};
    const std::pair<std::string, PassResult> passwords[] = {
        {f.password, PassMatch}, {f.password + "!", PassMismatch}, {"", PassMismatch}};
    for (uint32_t step : steps) {
        for (const auto &pw : passwords) {
            PassCheck check;
            check.start(pw.first.data(), pw.first.size(), h);
            EXPECT_EQ(check.step(0), PassPending) << "no round done yet";
            int calls = 0;
            PassResult r = PassPending;
            while (r == PassPending && calls <= 1000) {
                uint32_t before = check.roundsLeft();
                r = check.step(step);
                calls++;
                ASSERT_LE(before - check.roundsLeft(), step) << "a step did more than asked";
            }
            EXPECT_EQ(r, pw.second) << "steps of " << step << ", '" << pw.first << "'";
            // At least as many calls as the rounds need at this size.
            EXPECT_GE((uint64_t)calls * step, (uint64_t)h.rounds - 1) << step;
            EXPECT_EQ(check.step(step), pw.second) << "the result stays";
            EXPECT_EQ(check.result(), pw.second);
        }
    }
}

TEST(AuthPassCheck, RefusedCheckTakesEveryRoundAndFails)
{
    // The right password, in a check started as refused (a name not known).
    const PasslibFixed &f = passlibFixed[0];
    PassHash h;
    ASSERT_EQ(passHashParse(f.hash, strlen(f.hash), &h), nullptr);
    PassCheck check;
    check.start(f.password.data(), f.password.size(), h, true);
    EXPECT_EQ(check.roundsLeft(), h.rounds - 1);
    EXPECT_EQ(check.step(h.rounds - 2), PassPending);
    EXPECT_EQ(check.step(1), PassMismatch);
}

TEST(AuthPassCheck, ZeroRoundsNeverMatch)
{
    // Only from a hash not read by passHashParse, which refuses them.
    PassHash h = {};
    h.rounds = 0;
    PassCheck check;
    check.start("", 0, h);
    EXPECT_EQ(check.step(10), PassMismatch);
}

// ---- the users file --------------------------------------------------------------

const char *const hash1000 = passlibFixed[0].hash;  // "secret"
const char *const hash3 = passlibFixed[2].hash;     // "pw", 3 rounds

struct Loaded {
    int result;
    std::vector<std::pair<int, std::string>> reports;
};

Loaded load(Users &users, const std::string &text)
{
    Loaded l;
    l.result = users.load(text.data(), text.size(), [](void *ctx, int line, const char *why) {
        ((Loaded *)ctx)->reports.emplace_back(line, why);
    }, &l);
    return l;
}

TEST(AuthUsers, ReadsAGoodFile)
{
    std::string text = std::string("# the lab's users\n") +
                       "\n"
                       "alice:" + hash1000 + ":write=COM1,COM2 watch=* connect kill\r\n" +
                       "   # indented comment\n" +
                       "\t \n" +
                       "bob:" + hash3 + ":watch=COM1*   # bob only watches\n" +
                       "  carol#2:" + hash3 + ":  \t\n" +
                       "d:" + hash3 + ":";  // no line end at the end
    Users users;
    Loaded l = load(users, text);
    ASSERT_EQ(l.result, 4);
    EXPECT_TRUE(l.reports.empty());
    ASSERT_EQ(users.count(), 4);
    const User *alice = users.find("alice", 5);
    ASSERT_NE(alice, nullptr);
    EXPECT_STREQ(alice->name, "alice");
    EXPECT_TRUE(passHashCheck("secret", 6, alice->hash));
    EXPECT_TRUE(mayWrite(alice->rights, "COM2"));
    EXPECT_FALSE(mayWrite(alice->rights, "COM3"));
    EXPECT_TRUE(mayWatch(alice->rights, "COM3"));
    EXPECT_TRUE(mayConnect(alice->rights));
    EXPECT_TRUE(mayKill(alice->rights));
    const User *bob = users.find("bob", 3);
    ASSERT_NE(bob, nullptr);
    EXPECT_TRUE(mayWatch(bob->rights, "COM12"));
    EXPECT_FALSE(mayWrite(bob->rights, "COM12"));
    EXPECT_FALSE(mayConnect(bob->rights));
    EXPECT_FALSE(mayKill(bob->rights));
    const User *carol = users.find("carol#2", 7);
    ASSERT_NE(carol, nullptr);
    EXPECT_FALSE(mayWatch(carol->rights, "COM1"));
    EXPECT_NE(users.find("d", 1), nullptr);
    // Names are matched whole and as written.
    EXPECT_EQ(users.find("Alice", 5), nullptr);
    EXPECT_EQ(users.find("alic", 4), nullptr);
    EXPECT_EQ(users.find("alice ", 6), nullptr);
    EXPECT_EQ(users.find("", 0), nullptr);
}

TEST(AuthUsers, EmptyFileHasNoUsers)
{
    Users users;
    EXPECT_EQ(load(users, "").result, 0);
    EXPECT_EQ(load(users, "# nobody yet\n\n").result, 0);
    EXPECT_EQ(users.count(), 0);
}

TEST(AuthUsers, BadLineReportedWithItsNumber)
{
    const std::string h = hash3;
    const char *bad[] = {
        "alice",                                   // no fields
        "alice:",                                  // no hash
        "alice:$pbkdf2-sha256$3$$x",               // no rights field: the hash is not ended
        ":HASH:",                                  // empty name
        "al ice:HASH:",                            // a space in the name
        "al\x01ice:HASH:",                         // a control byte
        "\xc3\xa4lice:HASH:",                      // not ASCII
        "alice:$pbkdf2-sha256$0$$clCKW/zxTfNNz8/SoSOs4X.8px79cKKnKoInXScPv2c:",
        "alice:HASHx:",                            // a checksum too long
        "alice:HASH:read=COM1",                    // unknown right
        "alice:HASH:Write=COM1",                   // rights are lower case
        "alice:HASH:write",                        // no ports
        "alice:HASH:write=",                       // no ports
        "alice:HASH:write=COM1,",                  // an empty item
        "alice:HASH:write=,COM1",
        "alice:HASH:write=COM1 ,COM2",             // blanks separate rights
        "alice:HASH:write=COM0",
        "alice:HASH:write=COM01",
        "alice:HASH:write=COM1000",
        "alice:HASH:write=COM",
        "alice:HASH:write=COMX",
        "alice:HASH:write=/dev/ttyS0",
        "alice:HASH:write=COM1**",
        "alice:HASH:write=COM0*",
        "alice:HASH:write=*COM1",
        "alice:HASH:watch=COM1:",                  // a colon too many
        "alice:HASH:connect=yes",
        "alice:HASH:killall",
        "bob:HASH:",                               // bob is on line 2 already
    };
    for (const char *b : bad) {
        std::string line = b;
        size_t at = line.find("HASH");
        if (at != std::string::npos) line.replace(at, 4, h);
        std::string text = "# users\n"
                           "bob:" + h + ":watch=COM1\n"
                           "\n" +
                           line + "\n"
                           "carol:" + h + ":\n";
        Users users;
        Loaded l = load(users, text);
        EXPECT_EQ(l.result, -1) << line;
        ASSERT_EQ(l.reports.size(), 1u) << line;
        EXPECT_EQ(l.reports[0].first, 4) << line;
        EXPECT_EQ(users.count(), 0) << line;
    }
}

TEST(AuthUsers, EveryBadLineIsReportedAndTheUsersHeldStay)
{
    Users users;
    ASSERT_EQ(load(users, std::string("old:") + hash3 + ":kill\n").result, 1);
    std::string text = std::string("a:") + hash3 + ":\n" +
                       "b:" + hash3 + ":fly\n" +
                       "c:" + hash3 + ":\n" +
                       "d:nohash:\n";
    Loaded l = load(users, text);
    EXPECT_EQ(l.result, -1);
    ASSERT_EQ(l.reports.size(), 2u);
    EXPECT_EQ(l.reports[0].first, 2);
    EXPECT_NE(l.reports[0].second.find("fly"), std::string::npos) << l.reports[0].second;
    EXPECT_EQ(l.reports[1].first, 4);
    EXPECT_EQ(users.count(), 1);
    EXPECT_NE(users.find("old", 3), nullptr);
    EXPECT_EQ(users.find("a", 1), nullptr);
}

TEST(AuthUsers, Bounds)
{
    const std::string h = hash3;
    struct Case {
        std::string text;
        int result;
        int badLine;  // the first line reported, 0 for none
    } cases[] = {
        // a name of 64 bytes, not 65
        {std::string(64, 'n') + ":" + h + ":\n", 1, 0},
        {std::string(65, 'n') + ":" + h + ":\n", -1, 1},
        // a line of 4096 bytes before its end, not 4097; a comment counts
        {"a:" + h + ":" + std::string(4096 - 3 - h.size(), ' ') + "\n", 1, 0},
        {"# x\na:" + h + ":" + std::string(4097 - 3 - h.size(), ' ') + "\n", -1, 2},
        {"#" + std::string(4096, 'x') + "\n", -1, 1},
    };
    for (const Case &c : cases) {
        Users users;
        Loaded l = load(users, c.text);
        EXPECT_EQ(l.result, c.result) << c.text.size();
        int first = l.reports.empty() ? 0 : l.reports[0].first;
        EXPECT_EQ(first, c.badLine) << c.text.size();
    }

    // 1024 users, and the 1025th refused on its own line.
    std::string many;
    for (int i = 1; i <= usersMax; i++) many += "u" + std::to_string(i) + ":" + h + ":\n";
    Users users;
    EXPECT_EQ(load(users, many).result, usersMax);
    EXPECT_NE(users.find("u1024", 5), nullptr);
    Loaded l = load(users, "# one too many\n" + many + "u0:" + h + ":\n");
    EXPECT_EQ(l.result, -1);
    ASSERT_EQ(l.reports.size(), 1u);
    EXPECT_EQ(l.reports[0].first, usersMax + 2);

    // A file of nothing but bad lines is read no further than a screenful.
    std::string junk;
    for (int i = 0; i < 1000; i++) junk += "junk\n";
    l = load(users, junk);
    EXPECT_EQ(l.result, -1);
    ASSERT_EQ(l.reports.size(), (size_t)usersErrorsMax + 1);
    EXPECT_EQ(l.reports.back().first, usersErrorsMax + 1);
    EXPECT_EQ(users.count(), usersMax) << "the users held before stay";
}

// ---- logging in ------------------------------------------------------------------

TEST(AuthUsers, UnknownNameCostsAsMuchAndNeverMatches)
{
    Users users;
    ASSERT_EQ(load(users, std::string("cheap:") + hash3 + ":\nalice:" + hash1000 + ":\n").result,
              2);
    struct Case {
        const char *name, *password;
        bool known;
        PassResult result;
    } cases[] = {
        {"alice", "secret", true, PassMatch},
        {"alice", "pw", true, PassMismatch},
        {"cheap", "pw", true, PassMatch},
        {"nobody", "secret", false, PassMismatch},
        {"nobody", "", false, PassMismatch},
        {"Alice", "secret", false, PassMismatch},
    };
    for (const Case &c : cases) {
        PassCheck check;
        const User *u = users.startLogin(c.name, strlen(c.name), c.password, strlen(c.password),
                                         &check);
        EXPECT_EQ(u != nullptr, c.known) << c.name;
        // A name not known costs the rounds of the dearest user's hash.
        if (!c.known) {
            EXPECT_EQ(check.roundsLeft(), 1000u - 1) << c.name;
        }
        PassResult r;
        while ((r = check.step(100)) == PassPending) {
        }
        EXPECT_EQ(r, c.result) << c.name << " " << c.password;
    }
    // With no users at all the cost is passlib's default.
    Users none;
    PassCheck check;
    EXPECT_EQ(none.startLogin("a", 1, "b", 1, &check), nullptr);
    EXPECT_EQ(check.roundsLeft(), passRoundsDefault - 1);
}

// ---- rights ----------------------------------------------------------------------

TEST(AuthRights, PortsMatched)
{
    struct Case {
        const char *rights, *port;
        bool write, watch;
    } cases[] = {
        {"write=COM1", "COM1", true, true},  // write implies watch
        {"write=COM1", "COM10", false, false},
        {"write=COM1", "COM2", false, false},
        {"watch=COM1", "COM1", false, true},
        {"write=COM1,COM2 watch=COM3", "COM2", true, true},
        {"write=COM1,COM2 watch=COM3", "COM3", false, true},
        {"write=COM1,COM2 watch=COM3", "COM4", false, false},
        {"write=COM1 write=COM7", "COM7", true, true},
        {"write=*", "COM1", true, true},
        {"write=*", "COM999", true, true},
        {"watch=*", "COM42", false, true},
        {"write=COM*", "COM5", true, true},
        {"write=COM1*", "COM1", true, true},
        {"write=COM1*", "COM10", true, true},
        {"write=COM1*", "COM19", true, true},
        {"write=COM1*", "COM100", true, true},
        {"write=COM1*", "COM199", true, true},
        {"write=COM1*", "COM2", false, false},
        {"write=COM1*", "COM21", false, false},
        {"write=COM1*", "COM201", false, false},
        {"write=COM12*", "COM125", true, true},
        {"write=COM12*", "COM13", false, false},
        {"write=COM12*", "COM1", false, false},
        {"write=COM123*", "COM123", true, true},
        {"watch=COM1* write=COM15", "COM15", true, true},
        {"watch=COM1* write=COM15", "COM16", false, true},
        // "com" in the file in either case; a port is named as the server names it
        {"write=com3", "COM3", true, true},
        {"write=Com1*", "COM12", true, true},
        {"write=COM3", "com3", false, false},
        {"write=*", "com3", false, false},
        // names no port has
        {"write=*", "COM03", false, false},
        {"write=*", "COM0", false, false},
        {"write=*", "COM1000", false, false},
        {"write=*", "COM", false, false},
        {"write=*", "", false, false},
        {"write=*", "COM3 ", false, false},
        {"write=*", "LPT1", false, false},
        {"", "COM1", false, false},
        {"connect kill", "COM1", false, false},
    };
    for (const Case &c : cases) {
        Users users;
        std::string text = std::string("u:") + hash3 + ":" + c.rights + "\n";
        ASSERT_EQ(load(users, text).result, 1) << c.rights;
        const UserRights &r = users.at(0)->rights;
        EXPECT_EQ(mayWrite(r, c.port), c.write) << c.rights << " '" << c.port << "'";
        EXPECT_EQ(mayWatch(r, c.port), c.watch) << c.rights << " '" << c.port << "'";
    }
}

TEST(AuthRights, ConnectAndKill)
{
    struct Case {
        const char *rights;
        bool connect, kill;
    } cases[] = {
        {"", false, false},
        {"write=*", false, false},
        {"connect", true, false},
        {"kill", false, true},
        {"kill\tconnect", true, true},
    };
    for (const Case &c : cases) {
        Users users;
        ASSERT_EQ(load(users, std::string("u:") + hash3 + ":" + c.rights).result, 1) << c.rights;
        EXPECT_EQ(mayConnect(users.at(0)->rights), c.connect) << c.rights;
        EXPECT_EQ(mayKill(users.at(0)->rights), c.kill) << c.rights;
    }
    UserRights all = userRightsAll();
    EXPECT_TRUE(mayConnect(all));
    EXPECT_TRUE(mayKill(all));
    EXPECT_TRUE(mayWrite(all, "COM1"));
    EXPECT_TRUE(mayWrite(all, "COM999"));
    EXPECT_FALSE(mayWrite(all, "COM0"));
}

}  // namespace
