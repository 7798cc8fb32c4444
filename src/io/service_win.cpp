// The process on Windows: a service when the service manager started it, a
// console program otherwise, and the stop requests of both.
//
// kvp_run first offers the process to the service manager
// (StartServiceCtrlDispatcher).  A program started from a prompt is refused
// (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) and runs as the console
// program.  The offer is not made where the process cannot be a service: one
// in a visible window station outside session 0 was started by a user (the
// service manager starts services in session 0, in a window station of
// their own without a display; Wine, whose processes are all in session 1,
// in "__wineservice_winstation").  Under Wine a refused offer can take 10 s.  A service runs the server on the dispatcher's thread with the
// arguments of its command line (the binPath it was created with), writes
// its diagnostic lines into a log file beside the program (velkor.exe ->
// velkor.log, appended to), since a service has no console, and reports:
// start pending, running once the server listens (kvp_stop_watch), stopped
// when it ends.  A stop from the service manager, like Ctrl-C or Ctrl-Break
// at the console, ends the server's wait through the stop event; the server
// then releases its ports and closes its sockets as the kill command does.
#include "win_internal.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace {

volatile LONG stopFlag = 0;
volatile LONG reloadFlag = 0;
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

// ---- the service ---------------------------------------------------------------------

int (*body)(int argc, char **argv) = NULL;
int bodyArgc = 0;
char **bodyArgv = NULL;
int bodyResult = 0;

SERVICE_STATUS_HANDLE statusHandle = NULL;
volatile LONG stoppedReported = 0;
DWORD checkPoint = 0;

void report(DWORD state, int exitCode, DWORD waitHint)
{
    SERVICE_STATUS st;
    memset(&st, 0, sizeof st);
    st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    st.dwCurrentState = state;
    st.dwControlsAccepted =
        state == SERVICE_RUNNING
            ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE
            : 0;
    st.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    st.dwServiceSpecificExitCode = (DWORD)exitCode;
    bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    st.dwCheckPoint = pending ? ++checkPoint : 0;
    st.dwWaitHint = waitHint;
    SetServiceStatus(statusHandle, &st);
}

void reportStopped(int exitCode)
{
    if (InterlockedExchange(&stoppedReported, 1) == 0) report(SERVICE_STOPPED, exitCode, 0);
}

// The server ends early only through exit(1): a usage error, a port that
// cannot be bound.  The service manager then learns of a stop with that
// code instead of a service that vanished.
void onExitInService() { reportStopped(1); }

DWORD WINAPI onServiceControl(DWORD control, DWORD, LPVOID, LPVOID)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        report(SERVICE_STOP_PENDING, 0, 10000);
        requestStop();
        return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:
        // The files the server reads are read again at its next turn; the
        // socket event ends the wait, which then sees the request.
        InterlockedExchange(&reloadFlag, 1);
        if (win_socket_event()) SetEvent(win_socket_event());
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Standard output and error into the log file beside the program.  A
// service starts without standard handles; freopen gives such a stream a
// file.  A runtime that will not reopen a stream without a descriptor (Wine's
// msvcrt) gets descriptors 1 and 2 on the file and its streams pointed at
// them, where the stream's layout is msvcrt's.  Both streams stay unbuffered
// as at start-up; the console client writes to descriptor 1.
void openLog()
{
    char path[MAX_PATH + 8];
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    char *name = strrchr(path, '\\');
    char *dot = strrchr(name ? name : path, '.');
    strcpy(dot ? dot : path + n, ".log");
    if (freopen(path, "ab", stdout)) {
        if (!freopen(path, "ab", stderr)) _dup2(_fileno(stdout), 2);
        if (_fileno(stdout) != 1) _dup2(_fileno(stdout), 1);
    } else {
        int fd = _open(path, _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd < 0) return;
        _dup2(fd, 1);
        _dup2(fd, 2);
        _close(fd);
#if defined(__MSVCRT__) && !defined(_UCRT)
        if (_fileno(stdout) < 0) stdout->_file = 1;
        if (_fileno(stderr) < 0) stderr->_file = 2;
#endif
    }
    setvbuf(stdout, NULL, _IONBF, 0);
    setvbuf(stderr, NULL, _IONBF, 0);
}

void WINAPI serviceMain(DWORD, LPSTR *)
{
    // One service in its own process: the name is not looked at.
    statusHandle = RegisterServiceCtrlHandlerExA("", onServiceControl, NULL);
    if (!statusHandle) return;
    report(SERVICE_START_PENDING, 0, 10000);
    openLog();
    atexit(onExitInService);
    bodyResult = body(bodyArgc, bodyArgv);
    SetEvent(bodyEnded);
    reportStopped(bodyResult);
}

// Whether the service manager may have started this process (see above).
bool maybeService()
{
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session) || session == 0) return true;
    HWINSTA station = GetProcessWindowStation();
    USEROBJECTFLAGS flags;
    memset(&flags, 0, sizeof flags);
    DWORD need = 0;
    if (!station || !GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &need))
        return true;
    return (flags.dwFlags & WSF_VISIBLE) == 0;
}

}  // namespace

void kvp_stop_watch()
{
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    // The server listens and takes stop requests: a service is running now.
    if (statusHandle) report(SERVICE_RUNNING, 0, 0);
}

int kvp_stop_requested() { return InterlockedCompareExchange(&stopFlag, 0, 0) != 0; }

int win_reload_pending() { return InterlockedCompareExchange(&reloadFlag, 0, 0) != 0; }

int kvp_reload_requested() { return InterlockedExchange(&reloadFlag, 0) != 0; }

HANDLE win_stop_event() { return stopEvent; }

int kvp_run(int (*serverMain)(int argc, char **argv), int argc, char **argv)
{
    kvp_process_start();
    body = serverMain;
    bodyArgc = argc;
    bodyArgv = argv;
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, serviceMain}, {NULL, NULL}};
    if (maybeService() && StartServiceCtrlDispatcherA(table)) return bodyResult;
    // Not started by the service manager: the console program.
    int r = serverMain(argc, argv);
    if (bodyEnded) SetEvent(bodyEnded);
    return r;
}
