// An HTTP connection on the browser console's listener.  It reads one
// request; a page or an asset is sent and the connection ends, a WebSocket
// handshake turns it into a byte stream like a TCP client's: reads hand out
// the payload of the client's frames, writes go out as binary frames.  Until
// then the endpoint takes no output (the greeting waits in its queue), so
// the client behind it cannot tell it from a socket.
#include "device_websocket.h"

#include "../io/kva_assert.h"

#include <new>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

enum Phase {
    Requesting,  // reading the request
    Serving,     // sending a response, then the end
    Open,        // a WebSocket
    Closing,     // sending a close frame, then the end
};

// The largest payload one data frame carries: output beyond it is taken by
// the next write.
const int frameMax = 16384;

struct WebState {
    Phase phase;
    const WebAsset *assets;
    long long deadline;      // kvp_now_ms() by which the request must be whole
    char request[webRequestMax];
    int requestLen;
    // A served body, sent from the binary's own copy behind the head (the
    // protocol's own bytes, the head among them, wait in the endpoint's
    // wire queue).
    const unsigned char *body;
    size_t bodyLen;
    size_t bodyPos;
    WsDecoder decoder;
    // Frame bytes received, not yet decoded.  As large as a request: the
    // frames a client sent right behind its handshake are all kept.
    unsigned char raw[webRequestMax];
    int rawLen;
    int rawPos;
    bool outputFull;  // the last read stopped with undecoded bytes left
};

WebState *state(const OutFifo *e) { return (WebState *)e->deviceData; }

// Sends the served body once the head is out.  1: all of it is out; 0: some
// is still waiting; -1: the send failed.
int sendBody(OutFifo *e)
{
    WebState *w = state(e);
    if (e->wirePending()) return 0;
    while (w->bodyPos < w->bodyLen) {
        size_t chunk = w->bodyLen - w->bodyPos;
        if (chunk > 65536) chunk = 65536;
        int r = transportSend(e, (const char *)w->body + w->bodyPos, (int)chunk);
        if (r < 0) return -1;
        if (r == 0) return 0;
        w->bodyPos += (size_t)r;
    }
    return 1;
}

void sendClose(OutFifo *e, int code)
{
    unsigned char frame[4];
    wsFrameHeader(WsClose, 2, frame);
    frame[2] = (unsigned char)(code >> 8);
    frame[3] = (unsigned char)code;
    e->queueWire(frame, 4);
    state(e)->phase = Closing;
}

// Reads and answers the request; 0 while it goes on, -1 to end.
int readRequest(OutFifo *e)
{
    WebState *w = state(e);
    if (kvp_now_ms() >= w->deadline) return -1;
    int room = webRequestMax - w->requestLen;
    int r = transportRead(e, w->request + w->requestLen, room);
    if (r < 0) return -1;
    w->requestLen += r;
    WebRequest req = {};
    int result = webParseRequest(w->request, w->requestLen, w->assets, &req);
    if (result == WebIncomplete) return 0;
    char head[512];
    int n = webResponseHead(result, &req, head, sizeof head);
    e->queueWire(head, n);
    if (result == WebUpgrade) {
        w->phase = Open;
        // Frames the client sent right behind its handshake are its first.
        int headEnd = 0;
        while (memcmp(w->request + headEnd, "\r\n\r\n", 4) != 0) headEnd++;
        headEnd += 4;
        w->rawLen = w->requestLen - headEnd;
        memcpy(w->raw, w->request + headEnd, (size_t)w->rawLen);
        w->rawPos = 0;
        w->outputFull = w->rawLen > 0;
        return 0;
    }
    if (result == WebServe) {
        w->body = req.asset.data;
        w->bodyLen = req.asset.size;
    }
    w->phase = Serving;
    return 0;
}

int webRead(OutFifo *e, char *p, int n)
{
    WebState *w = state(e);
    switch (w->phase) {
    case Requesting:
        return readRequest(e) < 0 ? -1 : 0;
    case Serving:
    case Closing: {
        int f = sendBody(e);
        if (f < 0) return -1;
        // What the client still sends is dropped: unread input at the close
        // would make the system reset the connection, and the client could
        // lose the response it has not read yet.
        char drop[4096];
        if (transportRead(e, drop, (int)sizeof drop) < 0 && f != 1) return -1;
        return f == 1 ? -1 : 0;
    }
    case Open:
        break;
    }
    // One receive per call, as a socket's read, when nothing is held.
    if (w->rawPos == w->rawLen) {
        int r = transportRead(e, (char *)w->raw, (int)sizeof w->raw);
        if (r < 0) return -1;
        w->rawLen = r;
        w->rawPos = 0;
    }
    int used = 0, produced = 0;
    int event = wsDecode(&w->decoder, w->raw + w->rawPos, w->rawLen - w->rawPos, &used,
                         (unsigned char *)p, n, &produced);
    w->rawPos += used;
    w->outputFull = w->rawPos < w->rawLen;
    if (event == WsFailed) {
        sendClose(e, WsCloseProtocolError);
    } else if (event == WsGotClose) {
        // The close is answered with the status it gave, or a plain one.
        if (w->decoder.controlLen >= 2)
            sendClose(e, (w->decoder.control[0] << 8) | w->decoder.control[1]);
        else
            sendClose(e, WsCloseNormal);
    } else if (event == WsGotPing) {
        unsigned char frame[10 + 125];
        int h = wsFrameHeader(WsPong, (size_t)w->decoder.controlLen, frame);
        memcpy(frame + h, w->decoder.control, (size_t)w->decoder.controlLen);
        e->queueWire(frame, h + w->decoder.controlLen);
    }
    if (w->phase == Closing) {
        w->rawPos = w->rawLen;
        w->outputFull = false;
    }
    return produced;
}

// Called only once the protocol's own bytes are all out (the endpoint sends
// them first).
int webWrite(OutFifo *e, const char *p, int n)
{
    WebState *w = state(e);
    // Output waits for the handshake.
    if (w->phase != Open) return 0;
    if (n > frameMax) n = frameMax;
    unsigned char frame[10 + frameMax];
    int h = wsFrameHeader(WsBinary, (size_t)n, frame);
    memcpy(frame + h, p, (size_t)n);
    int r = transportSend(e, (const char *)frame, h + n);
    if (r < 0) return -1;
    if (r == 0) return 0;
    // A frame once begun is finished before anything else goes out.
    if (r < h + n) e->queueWire(frame + r, h + n - r);
    return n;
}

int webSendWire(OutFifo *e, const char *p, int n) { return transportSend(e, p, n); }

void webWatch(OutFifo *e, int events)
{
    WebState *w = state(e);
    int own = e->wirePending() || w->bodyPos < w->bodyLen;
    switch (w->phase) {
    case Requesting: {
        events = KVP_IN | (own ? KVP_OUT : 0);
        long long left = w->deadline - kvp_now_ms();
        kva_wake_within(left > 0 ? (int)left : 0);
        break;
    }
    case Serving:
    case Closing:
        // Once all is sent the next read ends the connection.
        if (!own) kva_work_pending();
        events = own ? KVP_OUT : 0;
        break;
    case Open:
        if (own) events |= KVP_OUT;
        break;
    }
    transportWatch(e, events);
}

void webClose(OutFifo *e)
{
    WebState *w = state(e);
    transportClose(e);
    if (w) {
        delete w;
        e->deviceData = nullptr;
    }
}

void webReadGivenUp(OutFifo *e, int)
{
    if (state(e)->phase == Open || state(e)->phase == Closing)
        printf("client disconnected %d\n", e->fd);
}

// Frame bytes received and not decoded, or bytes the transport decoded and
// the request or the frames have not taken.
bool webHoldsInput(const OutFifo *e)
{
    const WebState *w = state(e);
    if (w->phase == Open && w->outputFull) return true;
    return (w->phase == Open || w->phase == Requesting) && transportHoldsInput(e);
}

}  // namespace

// A failed read or send ends the connection at once: a WebSocket closes
// with a frame, and anything before it is one request.
const DeviceOps websocketDevice = {
    "websocket", webRead, webWrite, webWatch, webClose,
    0,  // failed reads absorbed
    0,  // failed writes absorbed
    webReadGivenUp,
    webHoldsInput,
    webSendWire,
};

OutFifo *acceptWebFifo(int listenSocket, bool localOnly, const WebAsset *assets,
                       TransportWrap wrap)
{
    int fd = kva_accept(listenSocket, localOnly);
    if (fd == -1) return nullptr;
    Transport *t = nullptr;
    if (wrap && !(t = wrap(fd))) {
        kva_close_socket(fd);
        return nullptr;
    }
    WebState *w = new (std::nothrow) WebState();
    if (!w) kva_out_of_memory("a web connection");
    w->phase = Requesting;
    w->assets = assets;
    w->deadline = kvp_now_ms() + webRequestTimeoutMs;
    wsDecoderInit(&w->decoder);
    OutFifo *f = new (std::nothrow) OutFifo(websocketDevice, fd);
    if (!f) kva_out_of_memory("an endpoint");
    f->deviceData = w;
    f->transport = t;
    return f;
}
