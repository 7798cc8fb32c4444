// A TCP socket: an accepted client, or an outgoing connection once made.
#include "device.h"
#include "kvb.h"

#include <stdio.h>

namespace {

// A socket the last wait watched and did not report has nothing to read:
// the loop makes no call for it.
int socketRead(OutFifo *e, char *p, int n)
{
    if (!kva_input_reported(KVP_SOCKET, e->fd)) return 0;
    return kva_read_socket(e->fd, p, n);
}

int socketWrite(OutFifo *e, const char *p, int n) { return kva_send(e->fd, p, n); }

void socketWatch(OutFifo *e, int events) { kva_watch_socket(e->fd, events); }

void socketClose(OutFifo *e)
{
    kva_close_socket(e->fd);
    e->fd = -1;
}

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
