#include "websocket.h"

#include <stdio.h>
#include <string.h>

namespace {

// ---- header fields ----------------------------------------------------------------

char lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

bool sameText(const char *a, int n, const char *b)
{
    if ((int)strlen(b) != n) return false;
    for (int i = 0; i < n; i++)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool sameSpan(const char *a, const char *b, int n)
{
    for (int i = 0; i < n; i++)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// Whether the comma-separated list v[0 .. n) holds the token t (any case).
bool listHas(const char *v, int n, const char *t)
{
    int i = 0;
    while (i < n) {
        int j = i;
        while (j < n && v[j] != ',') j++;
        int a = i, b = j;
        while (a < b && (v[a] == ' ' || v[a] == '\t')) a++;
        while (b > a && (v[b - 1] == ' ' || v[b - 1] == '\t')) b--;
        if (sameText(v + a, b - a, t)) return true;
        i = j + 1;
    }
    return false;
}

struct Field {
    const char *v;
    int n;
    bool seen;
};

// The request's fields that matter here; every other one is skipped.
struct Fields {
    Field host, upgrade, connection, key, version, origin;
};

// The names this server answers to besides address literals and
// "localhost": its host name and those given on the command line.
enum { maxHostNames = 16, hostNameMax = 255 };
char hostNames[maxHostNames][hostNameMax + 1];
int hostNameCount = 0;

// The name in a Host value, without its port: "[::1]:9980" is "[::1]".
int hostNameLength(const char *v, int n)
{
    if (n > 0 && v[0] == '[') {
        for (int i = 0; i < n; i++)
            if (v[i] == ']') return i + 1;
        return n;
    }
    for (int i = 0; i < n; i++)
        if (v[i] == ':') return i;
    return n;
}

// Dotted IPv4 (four numbers) or a bracketed IPv6 literal.
bool isAddressLiteral(const char *v, int n)
{
    if (n >= 2 && v[0] == '[' && v[n - 1] == ']') return true;
    int dots = 0, digits = 0;
    for (int i = 0; i < n; i++) {
        if (v[i] == '.') {
            if (digits == 0) return false;
            dots++;
            digits = 0;
        } else if (v[i] >= '0' && v[i] <= '9') {
            if (++digits > 3) return false;
        } else {
            return false;
        }
    }
    return dots == 3 && digits > 0;
}

// A page from another site whose name was made to lead to this server (DNS
// rebinding) sends its own name as Host: only this server's names pass.
bool ownHost(const Field &host)
{
    if (!host.seen) return true;  // no browser leaves it out
    int n = hostNameLength(host.v, host.n);
    if (n > 0 && host.v[n - 1] == '.') n--;  // "localhost." is localhost
    if (isAddressLiteral(host.v, n) || sameText(host.v, n, "localhost")) return true;
    for (int i = 0; i < hostNameCount; i++)
        if (sameText(host.v, n, hostNames[i])) return true;
    return false;
}

}  // namespace

int webAllowHostName(const char *name)
{
    size_t n = strlen(name);
    if (n == 0 || n > hostNameMax) return -1;
    if (hostNameCount == maxHostNames) return -1;
    memcpy(hostNames[hostNameCount++], name, n + 1);
    return 0;
}

// ---- the request ------------------------------------------------------------------

int webParseRequest(const char *req, int len, const WebAsset *assets, WebRequest *out)
{
    int end = -1;
    for (int i = 0; i + 3 < len; i++) {
        if (req[i] == '\r' && req[i + 1] == '\n' && req[i + 2] == '\r' && req[i + 3] == '\n') {
            end = i + 2;  // the headers' last line ends here
            break;
        }
    }
    if (end < 0) return len >= webRequestMax ? WebTooLarge : WebIncomplete;

    // Request line: METHOD SP target SP HTTP/1.x
    int lineEnd = 0;
    while (req[lineEnd] != '\r') lineEnd++;
    int sp1 = 0;
    while (sp1 < lineEnd && req[sp1] != ' ') sp1++;
    int sp2 = sp1 + 1;
    while (sp2 < lineEnd && req[sp2] != ' ') sp2++;
    if (sp1 == 0 || sp2 >= lineEnd || sp2 == sp1 + 1) return WebBadRequest;
    const char *version = req + sp2 + 1;
    int versionLen = lineEnd - sp2 - 1;
    if (versionLen != 8 || memcmp(version, "HTTP/1.", 7) != 0) return WebBadRequest;

    Fields f = {};
    for (int i = lineEnd + 2; i < end;) {
        int e = i;
        while (req[e] != '\r') e++;
        int colon = i;
        while (colon < e && req[colon] != ':') colon++;
        if (colon == e || colon == i) return WebBadRequest;
        int v = colon + 1;
        while (v < e && (req[v] == ' ' || req[v] == '\t')) v++;
        int ve = e;
        while (ve > v && (req[ve - 1] == ' ' || req[ve - 1] == '\t')) ve--;
        Field value = {req + v, ve - v, true};
        const char *name = req + i;
        int nameLen = colon - i;
        if (sameText(name, nameLen, "host")) f.host = value;
        else if (sameText(name, nameLen, "upgrade")) f.upgrade = value;
        else if (sameText(name, nameLen, "connection")) f.connection = value;
        else if (sameText(name, nameLen, "sec-websocket-key")) f.key = value;
        else if (sameText(name, nameLen, "sec-websocket-version")) f.version = value;
        else if (sameText(name, nameLen, "origin")) f.origin = value;
        i = e + 2;
    }

    if (!(sp1 == 3 && memcmp(req, "GET", 3) == 0)) return WebMethodNotAllowed;
    if (!ownHost(f.host)) return WebForbidden;
    const char *target = req + sp1 + 1;
    int targetLen = sp2 - sp1 - 1;
    // A query string does not choose another page.
    for (int i = 0; i < targetLen; i++)
        if (target[i] == '?') targetLen = i;

    if (targetLen == 3 && memcmp(target, "/ws", 3) == 0) {
        if (!f.host.seen || !f.upgrade.seen || !listHas(f.upgrade.v, f.upgrade.n, "websocket") ||
            !f.connection.seen || !listHas(f.connection.v, f.connection.n, "upgrade") ||
            !f.version.seen || !sameText(f.version.v, f.version.n, "13") || !f.key.seen ||
            f.key.n != 24)
            return WebBadRequest;
        // A browser names the page that opens the socket; only this
        // server's own page may.  Clients other than browsers name none.
        if (f.origin.seen) {
            bool own = false;
            const char *schemes[] = {"http://", "https://"};
            for (const char *s : schemes) {
                int sl = (int)strlen(s);
                if (f.origin.n == sl + f.host.n && sameText(f.origin.v, sl, s) &&
                    sameSpan(f.origin.v + sl, f.host.v, f.host.n))
                    own = true;
            }
            if (!own) return WebForbidden;
        }
        static const char guid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
        unsigned char keyed[24 + sizeof guid - 1];
        memcpy(keyed, f.key.v, 24);
        memcpy(keyed + 24, guid, sizeof guid - 1);
        unsigned char digest[20];
        webSha1(keyed, sizeof keyed, digest);
        webBase64(digest, 20, out->accept);
        return WebUpgrade;
    }
    for (const WebAsset *a = assets; a && a->path; a++) {
        if ((int)strlen(a->path) == targetLen && memcmp(a->path, target, (size_t)targetLen) == 0) {
            out->asset = *a;
            return WebServe;
        }
    }
    return WebNotFound;
}

int webResponseHead(int result, const WebRequest *req, char *out, int room)
{
    const char *status = "400 Bad Request";
    switch (result) {
    case WebServe:
        return snprintf(out, (size_t)room,
                        "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %lu\r\n"
                        "Cache-Control: no-cache\r\nX-Content-Type-Options: nosniff\r\n"
                        "Connection: close\r\n\r\n",
                        req->asset.contentType, (unsigned long)req->asset.size);
    case WebUpgrade:
        return snprintf(out, (size_t)room,
                        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                        "Connection: Upgrade\r\nSec-WebSocket-Accept: %s\r\n\r\n",
                        req->accept);
    case WebForbidden: status = "403 Forbidden"; break;
    case WebNotFound: status = "404 Not Found"; break;
    case WebMethodNotAllowed: status = "405 Method Not Allowed"; break;
    case WebTooLarge: status = "431 Request Header Fields Too Large"; break;
    default: break;
    }
    const char *allow = result == WebMethodNotAllowed ? "Allow: GET\r\n" : "";
    return snprintf(out, (size_t)room,
                    "HTTP/1.1 %s\r\n%sContent-Type: text/plain\r\nContent-Length: %d\r\n"
                    "Connection: close\r\n\r\n%s\n",
                    status, allow, (int)strlen(status) + 1, status);
}

// ---- frames ------------------------------------------------------------------------

void wsDecoderInit(WsDecoder *d) { memset(d, 0, sizeof *d); }

int wsDecode(WsDecoder *d, const unsigned char *in, int inLen, int *used,
             unsigned char *out, int room, int *produced)
{
    int i = 0, o = 0;
    int event = WsNone;
    while (i < inLen) {
        if (!d->inPayload) {
            d->head[d->headLen++] = in[i++];
            if (d->headLen < 2) continue;
            // Clients must mask: a frame without a mask key is refused
            // before its length is even read.
            if ((d->head[1] & 0x80) == 0) {
                event = WsFailed;
                break;
            }
            int lenCode = d->head[1] & 0x7f;
            int need = 2 + (lenCode == 126 ? 2 : lenCode == 127 ? 8 : 0) + 4;
            if (d->headLen < need) continue;
            d->fin = (d->head[0] & 0x80) != 0;
            d->opcode = d->head[0] & 0x0f;
            uint64_t n = (uint64_t)lenCode;
            if (lenCode == 126) n = ((uint64_t)d->head[2] << 8) | d->head[3];
            if (lenCode == 127) {
                n = 0;
                for (int k = 2; k < 10; k++) n = (n << 8) | d->head[k];
            }
            memcpy(d->mask, d->head + need - 4, 4);
            d->headLen = 0;
            bool control = (d->opcode & 0x8) != 0;
            // Extensions were not negotiated, lengths have their top bit clear, control frames are short and whole,
            // and continuations continue something.
            if ((d->head[0] & 0x70) != 0 || (n >> 63) != 0 ||
                (control && (n > 125 || !d->fin)) ||
                (d->opcode != WsContinuation && d->opcode != WsText && d->opcode != WsBinary &&
                 d->opcode != WsClose && d->opcode != WsPing && d->opcode != WsPong) ||
                (d->opcode == WsContinuation && !d->inMessage) ||
                ((d->opcode == WsText || d->opcode == WsBinary) && d->inMessage)) {
                event = WsFailed;
                break;
            }
            if (!control) d->inMessage = !d->fin;
            d->left = n;
            d->done = 0;
            d->controlLen = 0;
            d->inPayload = true;
        }
        bool control = (d->opcode & 0x8) != 0;
        while (i < inLen && d->left > 0) {
            unsigned char c = (unsigned char)(in[i] ^ d->mask[d->done & 3]);
            if (control) {
                d->control[d->controlLen++] = c;
            } else {
                if (o == room) break;
                out[o++] = c;
            }
            i++;
            d->left--;
            d->done++;
        }
        if (d->left > 0) break;  // the input, or the room, is used up
        d->inPayload = false;
        if (d->opcode == WsPing) event = WsGotPing;
        if (d->opcode == WsClose) event = WsGotClose;
        if (event != WsNone) break;
    }
    *used = i;
    *produced = o;
    return event;
}

int wsFrameHeader(int opcode, size_t n, unsigned char *out)
{
    out[0] = (unsigned char)(0x80 | opcode);
    if (n < 126) {
        out[1] = (unsigned char)n;
        return 2;
    }
    if (n < 65536) {
        out[1] = 126;
        out[2] = (unsigned char)(n >> 8);
        out[3] = (unsigned char)n;
        return 4;
    }
    out[1] = 127;
    for (int k = 0; k < 8; k++) out[2 + k] = (unsigned char)((uint64_t)n >> (56 - 8 * k));
    return 10;
}

// ---- SHA-1 (FIPS 180-4) and base64 ----------------------------------------------

namespace {

uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void sha1Block(uint32_t h[5], const unsigned char *b)
{
    uint32_t w[80];
    for (int t = 0; t < 16; t++)
        w[t] = ((uint32_t)b[4 * t] << 24) | ((uint32_t)b[4 * t + 1] << 16) |
               ((uint32_t)b[4 * t + 2] << 8) | b[4 * t + 3];
    for (int t = 16; t < 80; t++) w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    uint32_t a = h[0], bb = h[1], c = h[2], d = h[3], e = h[4];
    for (int t = 0; t < 80; t++) {
        uint32_t f, k;
        if (t < 20) f = (bb & c) | (~bb & d), k = 0x5a827999;
        else if (t < 40) f = bb ^ c ^ d, k = 0x6ed9eba1;
        else if (t < 60) f = (bb & c) | (bb & d) | (c & d), k = 0x8f1bbcdc;
        else f = bb ^ c ^ d, k = 0xca62c1d6;
        uint32_t temp = rotl(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = rotl(bb, 30);
        bb = a;
        a = temp;
    }
    h[0] += a;
    h[1] += bb;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

}  // namespace

void webSha1(const unsigned char *data, size_t n, unsigned char digest[20])
{
    uint32_t h[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
    size_t i = 0;
    for (; n - i >= 64; i += 64) sha1Block(h, data + i);
    unsigned char last[128] = {};
    size_t rest = n - i;
    memcpy(last, data + i, rest);
    last[rest] = 0x80;
    size_t total = rest + 9 <= 64 ? 64 : 128;
    uint64_t bits = (uint64_t)n * 8;
    for (int k = 0; k < 8; k++) last[total - 1 - k] = (unsigned char)(bits >> (8 * k));
    sha1Block(h, last);
    if (total == 128) sha1Block(h, last + 64);
    for (int k = 0; k < 5; k++) {
        digest[4 * k] = (unsigned char)(h[k] >> 24);
        digest[4 * k + 1] = (unsigned char)(h[k] >> 16);
        digest[4 * k + 2] = (unsigned char)(h[k] >> 8);
        digest[4 * k + 3] = (unsigned char)h[k];
    }
}

int webBase64(const unsigned char *data, int n, char *out)
{
    static const char digits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    int o = 0;
    for (int i = 0; i < n; i += 3) {
        uint32_t v = (uint32_t)data[i] << 16;
        if (i + 1 < n) v |= (uint32_t)data[i + 1] << 8;
        if (i + 2 < n) v |= data[i + 2];
        out[o++] = digits[(v >> 18) & 63];
        out[o++] = digits[(v >> 12) & 63];
        out[o++] = i + 1 < n ? digits[(v >> 6) & 63] : '=';
        out[o++] = i + 2 < n ? digits[v & 63] : '=';
    }
    out[o] = 0;
    return o;
}
