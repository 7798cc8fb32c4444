// The local console: keys in, one per read, and raw bytes to standard
// output, outside the buffered stream that carries the log lines.
#include "device.h"
#include "kvb.h"

namespace {

bool bridged = false;
bool escapeTyped = false;  // Ctrl-] came, the next key decides
bool leaveAsked = false;
// A key that came behind Ctrl-] when the read had room for one byte only.
bool keyHeld = false;
char heldKey = 0;

int consoleRead(OutFifo *, char *p, int n)
{
    if (n <= 0) return 0;
    if (keyHeld) {
        keyHeld = false;
        p[0] = heldKey;
        return 1;
    }
    if (!kvp_kbhit()) return 0;
    char key = (char)kvp_getch();
    if (!bridged) {
        p[0] = key;
        return 1;
    }
    if (!escapeTyped) {
        if (key == consoleEscapeKey) {
            escapeTyped = true;
            return 0;
        }
        p[0] = key;
        return 1;
    }
    escapeTyped = false;
    if (key == 'q') {
        leaveAsked = true;
        return 0;
    }
    p[0] = consoleEscapeKey;
    if (key == consoleEscapeKey) return 1;
    // Ctrl-] and the other key both go to the board; with room for one
    // byte only, the key is held for the next read.
    if (n < 2) {
        keyHeld = true;
        heldKey = key;
        return 1;
    }
    p[1] = key;
    return 2;
}

bool consoleHoldsInput(const OutFifo *) { return keyHeld; }

int consoleWrite(OutFifo *, const char *p, int n) { return kvp_write_stdout(p, n); }

void consoleWatch(OutFifo *, int events) { kva_watch_console(events); }

// Standard input and output stay usable: only the endpoint closes.
void consoleClose(OutFifo *e) { e->fd = -1; }

}  // namespace

void consoleSetBridged(bool on)
{
    if (on == bridged) return;
    bridged = on;
    escapeTyped = false;
    leaveAsked = false;
    keyHeld = false;
    kvp_console_keys_raw(on ? 1 : 0);
}

bool consoleLeaveAsked() { return leaveAsked; }

const DeviceOps consoleDevice = {
    "console", consoleRead, consoleWrite, consoleWatch, consoleClose,
    0,  // failed reads absorbed
    0,  // failed writes absorbed
    nullptr,
    consoleHoldsInput,  // a key held behind the escape key
    nullptr,  // no framing, no bytes of its own
};
