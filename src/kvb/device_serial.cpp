// A serial port, opened through the device layer's port names.
#include "device.h"
#include "kvb.h"

namespace {

// A port is read on every step that wants its input, whatever the last wait
// said: a tty's input can become readable without waking a wait that began
// before (a line discipline put back while bytes were pending), and such a
// port would otherwise sit on them.
int serialRead(OutFifo *e, char *p, int n) { return kva_read_com(e->port, p, n); }

int serialWrite(OutFifo *e, const char *p, int n) { return kva_write_com(e->port, p, n); }

void serialWatch(OutFifo *e, int events) { kva_watch_com(e->port, events); }

void serialClose(OutFifo *e)
{
    kva_close_com(e->port);
    e->port = INVALID_HANDLE_VALUE;
}

}  // namespace

// A port whose transfers keep failing (a USB adapter pulled, the other side
// of a pseudo-terminal gone) is given up as a socket is: a hundred failures
// in a row are absorbed, reads or writes alike, and the next closes it.  A
// failed write keeps its bytes queued for the next try.
const DeviceOps serialDevice = {
    "serial", serialRead, serialWrite, serialWatch, serialClose,
    100,  // failed reads absorbed
    100,  // failed writes absorbed
    nullptr,
    nullptr,  // holds no input of its own
    nullptr,  // no framing, no bytes of its own
};
