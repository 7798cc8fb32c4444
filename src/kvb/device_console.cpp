// The local console: keys in, one per read, and raw bytes to standard
// output, outside the buffered stream that carries the log lines.
#include "device.h"
#include "kvb.h"

namespace {

int consoleRead(OutFifo *, char *p, int n)
{
    if (n > 0 && kvp_kbhit()) {
        p[0] = (char)kvp_getch();
        return 1;
    }
    return 0;
}

int consoleWrite(OutFifo *, const char *p, int n) { return kvp_write_stdout(p, n); }

void consoleWatch(OutFifo *, int events) { kva_watch_console(events); }

// Standard input and output stay usable: only the endpoint closes.
void consoleClose(OutFifo *e) { e->fd = -1; }

}  // namespace

const DeviceOps consoleDevice = {
    "console", consoleRead, consoleWrite, consoleWatch, consoleClose,
    0,  // failed reads absorbed
    0,  // failed writes absorbed
    nullptr,
    nullptr,  // holds no input of its own
    nullptr,  // no framing, no bytes of its own
};
