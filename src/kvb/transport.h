// What carries a connection's bytes under its framing (the protocol's
// lines, a WebSocket): the socket itself, or a layer such as TLS that has
// records, a handshake and buffers of its own.  An endpoint over a socket
// holds its transport (null: the socket as it is, through kva_read_socket
// and kva_send), and its kind reads, sends and watches through the calls
// below, so that a framing never knows which it stands on.
#ifndef VELKOR_TRANSPORT_H
#define VELKOR_TRANSPORT_H

class OutFifo;

struct Transport;

struct TransportOps {
    // As kva_read_socket: bytes read, 0 for nothing now, -1 for a peer that
    // closed, -2 for a failure (logged by the transport).
    int (*read)(Transport *t, int fd, char *p, int n);
    // As kva_send: bytes taken, 0 for none now, -1 for a failure (logged).
    // Bytes not taken are offered again from the start, and never fewer of
    // them: a record the transport began is finished from them.
    int (*send)(Transport *t, int fd, const char *p, int n);
    // What the socket must be watched for, given what the endpoint waits
    // for (KVP_IN, KVP_OUT): a handshake or a record under way may need
    // either whatever the endpoint holds.  It also asks for the wake-ups of
    // its own deadlines (kva_wake_within).
    int (*events)(Transport *t, int events);
    // Bytes it has decoded that the endpoint has not read: the wait cannot
    // see them.
    bool (*holdsInput)(const Transport *t);
    // Ends the transport on the socket (a last word to the peer, never
    // waited for) and frees it; the socket is closed by the caller.
    void (*end)(Transport *t, int fd);
};

struct Transport {
    const TransportOps *ops;
};

// Puts a new transport over an accepted socket; null when none can be made
// (logged), and the connection is then closed.
typedef Transport *(*TransportWrap)(int fd);

// The calls an endpoint's kind makes on its socket, through its transport.
int transportRead(OutFifo *e, char *p, int n);
int transportSend(OutFifo *e, const char *p, int n);
// Watches the socket for these events and what the transport adds.
void transportWatch(OutFifo *e, int events);
bool transportHoldsInput(const OutFifo *e);
// Ends the transport and closes the socket; e->fd is -1 afterwards.
void transportClose(OutFifo *e);

#endif
