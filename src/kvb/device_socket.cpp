// A TCP socket: an accepted client, or an outgoing connection once made.
// Its bytes go through the endpoint's transport (transport.h): the socket
// itself, or TLS.
#include "device.h"
#include "kvb.h"

#include <stdio.h>

namespace {

// A socket the last wait watched and did not report has nothing to read:
// the loop makes no call for it.  A transport may hold decoded bytes, or
// need a read to go on with its handshake, whatever the wait saw.
int socketRead(OutFifo *e, char *p, int n)
{
    if (!e->transport && !kva_input_reported(KVP_SOCKET, e->fd)) return 0;
    return transportRead(e, p, n);
}

int socketWrite(OutFifo *e, const char *p, int n) { return transportSend(e, p, n); }

void socketWatch(OutFifo *e, int events) { transportWatch(e, events); }

void socketClose(OutFifo *e) { transportClose(e); }

bool socketHoldsInput(const OutFifo *e) { return transportHoldsInput(e); }

}  // namespace

void socketReadGivenUp(OutFifo *e, int r)
{
    if (r == -1) printf("client disconnected %d\n", e->fd);
}

// A peer that closed, or a receive that failed, is read again a hundred
// times before the socket is given up; a failed send closes it at once.
const DeviceOps socketDevice = {
    "socket", socketRead, socketWrite, socketWatch, socketClose,
    100,  // failed reads absorbed
    0,  // failed writes absorbed
    socketReadGivenUp,
    nullptr,  // holds no input of its own
    nullptr,  // no framing, no bytes of its own
};

const DeviceOps transportSocketDevice = {
    "socket over a transport", socketRead, socketWrite, socketWatch, socketClose,
    0,  // failed reads absorbed
    0,  // failed writes absorbed
    socketReadGivenUp,
    socketHoldsInput,
    nullptr,  // no framing, no bytes of its own
};
