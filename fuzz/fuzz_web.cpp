// Fuzz target: the browser console's wire formats (src/kvb/websocket.cpp).
// The input is two bytes that choose the chunking (how many bytes each read
// brings, and how much room each decode has for payload) and then the byte
// stream a client sends: its request, then frames.
//
// The request is parsed as it grows, as the device does, and never beyond
// webRequestMax; its result, once there is one, is the same as the whole
// request's, and its response head fits.  After a handshake, the frames are
// decoded in the chosen pieces: no decode uses more than it was given or
// writes beyond its room, a control payload stays within 125 bytes, every
// call makes progress, and the payload bytes and control events come out
// exactly as they do when the whole stream is decoded at once.
#include "kvb/websocket.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

const unsigned char page[] = "<!DOCTYPE html>";
const WebAsset assets[] = {
    {"/", "text/html", page, sizeof page - 1},
    {"/xterm.js", "text/javascript", page, 1},
    {nullptr, nullptr, nullptr, 0},
};

void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "fuzz_web: %s\n", what);
        abort();
    }
}

// Decodes the stream in pieces of `piece` input bytes with `room` bytes of
// room; the payload bytes, with a mark for each control event.
std::string decode(const unsigned char *in, size_t n, int piece, int room)
{
    WsDecoder d;
    wsDecoderInit(&d);
    std::string out;
    unsigned char buf[256 + 1];
    buf[room] = 0xa5;
    size_t at = 0;
    while (at < n) {
        int give = (int)(n - at < (size_t)piece ? n - at : (size_t)piece);
        int used = -1, produced = -1;
        int event = wsDecode(&d, in + at, give, &used, buf, room, &produced);
        check(used >= 0 && used <= give, "used beyond what it was given");
        check(produced >= 0 && produced <= room, "produced beyond its room");
        check(buf[room] == 0xa5, "wrote past its room");
        check(d.controlLen >= 0 && d.controlLen <= 125, "control payload beyond 125 bytes");
        check(used > 0 || produced > 0 || event != WsNone, "no progress");
        out.append((const char *)buf, (size_t)produced);
        at += (size_t)used;
        if (event == WsGotPing) out += "<ping:" + std::string((const char *)d.control, (size_t)d.controlLen) + ">";
        if (event == WsGotClose) {
            out += "<close>";
            break;
        }
        if (event == WsFailed) {
            out += "<failed>";
            break;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2) return 0;
    int piece = 1 + data[0];
    int room = 1 + data[1];
    const char *stream = (const char *)data + 2;
    int n = (int)(size - 2);

    // The request, as it arrives.
    int len = 0, result = WebIncomplete;
    WebRequest req = {};
    while (result == WebIncomplete && len < n && len < webRequestMax) {
        len += piece;
        if (len > n) len = n;
        if (len > webRequestMax) len = webRequestMax;
        memset(&req, 0, sizeof req);
        result = webParseRequest(stream, len, assets, &req);
    }
    if (result == WebIncomplete) return 0;
    WebRequest whole = {};
    int end = 0;
    while (memcmp(stream + end, "\r\n\r\n", 4) != 0 && end + 4 <= len) end++;
    if (result != WebTooLarge) {
        check(webParseRequest(stream, end + 4, assets, &whole) == result, "result depends on chunking");
    }
    char head[512];
    int h = webResponseHead(result, &req, head, sizeof head);
    check(h > 0 && h < (int)sizeof head && head[h] == 0, "response head does not fit");
    if (result == WebUpgrade) check(strlen(req.accept) == 28, "accept key is not 28 characters");
    if (result != WebUpgrade) return 0;

    const unsigned char *frames = (const unsigned char *)stream + end + 4;
    size_t frameBytes = (size_t)n - (size_t)(end + 4);
    std::string chunked = decode(frames, frameBytes, piece, room);
    std::string atOnce = decode(frames, frameBytes, 1 << 30, 256);
    check(chunked == atOnce, "decoded differently in pieces");
    return 0;
}
