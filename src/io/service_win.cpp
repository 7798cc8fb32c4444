// The process on Windows and its stop requests: Ctrl-C or Ctrl-Break at the
// console ends the server's wait through the stop event, and the server
// then releases its ports and closes its sockets as the kill command does.
#include "win_internal.h"

namespace {

volatile LONG stopFlag = 0;
// Manual reset: once set it stays set, so every later wait ends at once.
HANDLE stopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
// Set when the server's body has returned (its ports and sockets released).
HANDLE bodyEnded = CreateEventA(NULL, TRUE, FALSE, NULL);

void requestStop()
{
    InterlockedExchange(&stopFlag, 1);
    if (stopEvent) SetEvent(stopEvent);
}

BOOL WINAPI onConsoleControl(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        requestStop();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The system ends the process when this handler returns: give the
        // loop a moment to release the ports first.
        requestStop();
        if (bodyEnded) WaitForSingleObject(bodyEnded, 4000);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

void kvp_stop_watch() { SetConsoleCtrlHandler(onConsoleControl, TRUE); }

int kvp_stop_requested() { return InterlockedCompareExchange(&stopFlag, 0, 0) != 0; }

HANDLE win_stop_event() { return stopEvent; }

int kvp_run(int (*serverMain)(int argc, char **argv), int argc, char **argv)
{
    int r = serverMain(argc, argv);
    if (bodyEnded) SetEvent(bodyEnded);
    return r;
}
