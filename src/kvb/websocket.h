// The browser console's wire formats, free of any device: the HTTP request
// that opens a connection (a page, an asset, or the WebSocket handshake),
// the WebSocket frames (RFC 6455) that follow, and the SHA-1 and base64 the
// handshake's accept key is made of.  Every input is bounded: a request
// may not outgrow webRequestMax, and frames are decoded as a stream, so a
// huge or fragmented message never grows memory.
#ifndef VELKOR_WEBSOCKET_H
#define VELKOR_WEBSOCKET_H

#include <stddef.h>
#include <stdint.h>

const int webRequestMax = 8192;

// ---- the request --------------------------------------------------------------

enum WebRequestResult {
    WebIncomplete = 0,   // the blank line that ends the headers has not come yet
    WebServe,            // GET of a page or asset: *asset is set
    WebUpgrade,          // a valid handshake: accept holds Sec-WebSocket-Accept
    WebBadRequest,       // 400: not HTTP, or a handshake with a field missing
    WebForbidden,        // 403: a handshake from another site's page
    WebNotFound,         // 404
    WebMethodNotAllowed, // 405: anything but GET
    WebTooLarge,         // 431: no end of the headers within webRequestMax
};

struct WebAsset {
    const char *path;         // "/", "/xterm.js", ...
    const char *contentType;
    const unsigned char *data;
    size_t size;
};

struct WebRequest {
    WebAsset asset;
    char accept[29];  // base64 of a SHA-1, NUL-terminated
};

// Looks at the request held so far (req[0 .. len)).  assets: the table the
// server serves, ending at an entry whose path is null.  A request whose
// Host is not one of this server's names (an address literal, "localhost",
// a name given to webAllowHostName) is WebForbidden, whatever it asks for.
int webParseRequest(const char *req, int len, const WebAsset *assets, WebRequest *out);

// One more name the server answers to (its host name, -N); 0, or -1 when
// the name is empty, longer than 255 bytes or the table of 16 is full.
int webAllowHostName(const char *name);

// The response head for a result other than WebIncomplete, NUL-terminated
// in out (at least 512 bytes); its length.  For WebServe it announces the
// asset's body, which follows it.
int webResponseHead(int result, const WebRequest *req, char *out, int room);

// ---- frames --------------------------------------------------------------------

enum {
    WsContinuation = 0x0,
    WsText = 0x1,
    WsBinary = 0x2,
    WsClose = 0x8,
    WsPing = 0x9,
    WsPong = 0xA,
};

// Close codes sent back.
enum { WsCloseNormal = 1000, WsCloseProtocolError = 1002 };

// A stream decoder for frames from a client.  Data payloads (text, binary
// and their continuations) go straight to the caller's buffer; a control
// frame's payload (at most 125 bytes) is held until it is whole.
struct WsDecoder {
    unsigned char head[14];
    int headLen;
    int opcode;              // of the frame under way
    bool fin;
    unsigned char mask[4];
    uint64_t left;           // payload bytes of the frame under way still to come
    uint64_t done;           // payload bytes of it decoded (the mask's phase)
    bool inPayload;
    bool inMessage;          // a fragmented data message is under way
    unsigned char control[125];
    int controlLen;
};

enum WsEvent {
    WsNone = 0,      // the input is used up (or the output is full)
    WsGotPing,       // control[0 .. controlLen) is the ping's payload
    WsGotClose,      // control[0 .. controlLen) is the close frame's payload
    WsFailed,        // a protocol error: close with WsCloseProtocolError
};

void wsDecoderInit(WsDecoder *d);
// Decodes in[0 .. inLen) into out (room bytes); *used and *produced say how
// far it got.  It stops at the first control event, which it returns.
int wsDecode(WsDecoder *d, const unsigned char *in, int inLen, int *used,
             unsigned char *out, int room, int *produced);

// Writes a server frame's header (unmasked) for a payload of n bytes into
// out (at least 10 bytes); its length.
int wsFrameHeader(int opcode, size_t n, unsigned char *out);

// ---- SHA-1 and base64 ---------------------------------------------------------

void webSha1(const unsigned char *data, size_t n, unsigned char digest[20]);
// Base64 of n bytes into out (at least 4 * ((n + 2) / 3) + 1 bytes); its length.
int webBase64(const unsigned char *data, int n, char *out);

#endif
