// The browser console's wire formats: SHA-1 against the FIPS 180 examples,
// the handshake's accept key against RFC 6455's example, and the frame
// decoder over input cut at every byte.
#include "kvb/websocket.h"
#include "unit_helpers.h"

#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <vector>

namespace {

TEST(WebSha1, Fips180Examples)
{
    struct Case {
        std::string input;
        const char *digest;
    } cases[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const Case &c : cases) {
        unsigned char digest[20];
        webSha1((const unsigned char *)c.input.data(), c.input.size(), digest);
        EXPECT_EQ(unit::hex(digest, 20), c.digest) << c.input.size() << " bytes";
    }
}

TEST(WebRequest, AcceptKeyOfTheRfcExample)
{
    const char req[] =
        "GET /ws HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\n"
        "Connection: keep-alive, Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
        "Origin: http://server.example.com\r\nSec-WebSocket-Version: 13\r\n\r\n";
    WebRequest out = {};
    // The example's server is known by its name (as -N gives one).
    webAllowHostName("server.example.com");
    ASSERT_EQ(webParseRequest(req, (int)strlen(req), nullptr, &out), WebUpgrade);
    EXPECT_STREQ(out.accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

// Masked frames from a client, fed to the decoder in pieces of every size.
std::vector<unsigned char> clientFrame(int first, const std::string &payload, size_t lenField)
{
    std::vector<unsigned char> f = {(unsigned char)first};
    const unsigned char mask[4] = {0x37, 0xfa, 0x21, 0x3d};
    if (lenField < 126) {
        f.push_back((unsigned char)(0x80 | payload.size()));
    } else if (lenField == 126) {
        f.push_back(0x80 | 126);
        f.push_back((unsigned char)(payload.size() >> 8));
        f.push_back((unsigned char)payload.size());
    } else {
        f.push_back(0x80 | 127);
        for (int k = 7; k >= 0; k--) f.push_back((unsigned char)((uint64_t)payload.size() >> (8 * k)));
    }
    f.insert(f.end(), mask, mask + 4);
    for (size_t i = 0; i < payload.size(); i++) f.push_back((unsigned char)(payload[i] ^ mask[i & 3]));
    return f;
}

TEST(WsDecoder, DataOfFragmentsAndEveryLengthFormInAnyPieces)
{
    std::string big(70000, 'x');
    for (size_t i = 0; i < big.size(); i++) big[i] = (char)(i * 7);
    std::vector<unsigned char> in;
    auto add = [&](std::vector<unsigned char> f) { in.insert(in.end(), f.begin(), f.end()); };
    add(clientFrame(0x82, "short", 0));           // binary, whole
    add(clientFrame(0x01, "te", 0));              // text, first fragment
    add(clientFrame(0x89, "hi", 0));              // a ping between fragments
    add(clientFrame(0x80, "xt", 0));              // its last fragment
    add(clientFrame(0x82, std::string(300, 'm'), 126));
    add(clientFrame(0x82, big, 127));
    std::string want = "short" "text" + std::string(300, 'm') + big;

    for (int piece : {1, 3, 7, 1000, 1 << 20}) {
        WsDecoder d;
        wsDecoderInit(&d);
        std::string got;
        int pings = 0;
        for (size_t at = 0; at < in.size();) {
            int n = (int)std::min<size_t>((size_t)piece, in.size() - at);
            unsigned char out[513];
            int used = 0, produced = 0;
            int event = wsDecode(&d, in.data() + at, n, &used, out, (int)sizeof out, &produced);
            ASSERT_NE(event, WsFailed);
            if (event == WsGotPing) {
                pings++;
                EXPECT_EQ(std::string((char *)d.control, (size_t)d.controlLen), "hi");
            }
            got.append((char *)out, (size_t)produced);
            at += (size_t)used;
        }
        EXPECT_EQ(pings, 1) << "pieces of " << piece;
        EXPECT_TRUE(got == want) << "pieces of " << piece;
    }
}

}  // namespace
