// The entry point: command line, start-up, the main loop and shutdown.
#include "access.h"
#include "client.h"
#include "portshare.h"
#include "kvb/device_websocket.h"
#include "portlisten.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The browser console's page and assets, embedded at build time.
extern const WebAsset webAssets[];

static void usage(const char *program)
{
    printf("usage %s [switches]\n\n", program);
    printf("switches:\n");
    printf("-p<port>      TCP/IP port number to use\n");
    printf("-w<pw>        Set expected identifier to <pw>\n");
    printf("-W<port>      also serve the browser console over HTTP on this TCP port\n");
    printf("-U<file>      named users and their rights (<name>:<hash>:<rights> lines)\n");
    printf("-P            read a password from standard input and print its hash for -U\n");
    printf("-N<name>      a name the browser console answers to besides this host's (may repeat)\n");
    printf("-R<port>=COM<n> also listen on this TCP port for RFC 2217 clients of COM<n>\n");
    printf("-a            accept connections from other computers\n");
    printf("-L<dir>       hold every port open and log it to <dir>/COM<n>.log\n");
    printf("-S<bytes>     rotate a port's log at this size (default 10485760)\n");
    printf("-K<count>     old log files kept per port (default 5)\n");
    printf("-B<baud>      speed of ports opened for -L or w (default 115200)\n");
    printf("-BCOM<n>:<baud> the same for one port\n");
    printf("\nexample:\n");
    printf("%s -p9998 -a -wpapaya\n", program);
    printf("This will tell server to use port 9998\n");
    printf("Allow connections from any computer\n");
    printf("Set password to papaya\n");
    printf("\n");
    printf("velkor.example.org\n");
    closeIo();
    exit(1);
}

// SIGHUP, or a service's "paramchange": the files the server reads are read
// again, for the clients that come next; those connected keep what they had.
static void reloadFiles()
{
    fprintf(stderr, "reloading\n");
    accessReloadUsers();
}

// A switch whose value is wrong: one line naming it and why, then the usage
// text, as for an unknown switch.
static void badValue(const char *program, const char *arg, const char *why)
{
    fprintf(stderr, "Bad switch %s: %s\n", arg, why);
    usage(program);
}

// A TCP port number: a whole number 1 to 65535.
static int tcpPortValue(const char *program, const char *arg)
{
    long v = 0;
    if (!parseWholeNumber(arg + 2, 1, 65535, &v)) badValue(program, arg, "not a TCP port (1 to 65535)");
    return (int)v;
}

// A listener's TCP port and the switch that asked for it.
struct TcpPortUse {
    int port;
    char arg[32];
};

// Two listeners on one TCP port would end in a bind error once the first is
// open: the later switch is refused at once instead.
static void takeTcpPort(const char *program, TcpPortUse *uses, int *count, int port,
                        const char *arg)
{
    for (int k = 0; k < *count; k++) {
        if (uses[k].port != port) continue;
        char why[80];
        snprintf(why, sizeof why, "TCP port %d is taken by %s", port, uses[k].arg);
        badValue(program, arg, why);
    }
    uses[*count].port = port;
    snprintf(uses[*count].arg, sizeof uses[*count].arg, "%s", arg);
    (*count)++;
}

// More old files than this per port is no rotation but a second store.
enum { maxKeptLogs = 1000 };

// Whether the port list (the registry's on Windows, the port map on POSIX)
// names the port today.
static bool portListed(const char *name)
{
    kvp_key key;
    if (kvp_reg_open("HARDWARE\\DEVICEMAP\\SERIALCOMM", &key) != 0) return false;
    bool found = false;
    char device[2048];
    unsigned char data[2048];
    for (unsigned long index = 0; !found; index++) {
        unsigned long deviceLen = sizeof device, dataLen = sizeof data - 1;
        if (kvp_reg_enum(key, index, device, &deviceLen, data, &dataLen) != 0) break;
        data[dataLen] = 0;
        found = strcmp((const char *)data, name) == 0;
    }
    kvp_reg_close(key);
    return found;
}

// What is wrong with the serial ports at start-up, said once: a ports
// directory that cannot be read (no port can be opened), a port listener for
// a port that is not there (yet: a board may be plugged in later).
static void reportPortList(const PortListener *listeners, int count)
{
    kvp_key key;
    const char *dir = getenv("VELKOR_PORTS");
    if (kvp_reg_open("HARDWARE\\DEVICEMAP\\SERIALCOMM", &key) == 0) kvp_reg_close(key);
    else if (dir && *dir)
        fprintf(stderr, "VELKOR_PORTS=%s is not a directory that can be read: no port opens\n",
                dir);
    for (int i = 0; i < count; i++)
        if (!portListed(listeners[i].portName))
            fprintf(stderr, "-R%d=%s: %s is not there now; its clients are closed until it is\n",
                    listeners[i].tcpPort, listeners[i].portName, listeners[i].portName);
}

static int serverMain(int argc, char **argv)
{
    const char *program = argc > 0 && argv[0] ? argv[0] : "velkor";
    int listenPort = 9999;
    bool localOnly = true;
    bool noConsole = false;
    int webPort = 0;
    PortListener portListeners[maxPortListeners];
    int portListenerCount = 0;
    PortLogSettings logs = {nullptr, 10L * 1024 * 1024, 5};
    const char *usersFile = nullptr;

    // A word on the command line is shown to every local user in the process
    // list; one from the environment is not.  -w still wins.  An empty value
    // (an environment file's "VELKOR_IDENTIFIER=") counts as not set.
    const char *identifierFromEnvironment = getenv("VELKOR_IDENTIFIER");
    if (identifierFromEnvironment && *identifierFromEnvironment)
        expectedIdentifier = identifierFromEnvironment;

    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *arg = argv[i];
        switch (arg[1]) {
        case '?':
        case 'h':
            usage(program);
            break;
        case 'a':
            localOnly = false;
            break;
        case 'b':
            noConsole = true;
            break;
        case 'l':
            localOnly = true;
            break;
        case 'p':
            listenPort = tcpPortValue(program, arg);
            break;
        case 'w':
            expectedIdentifier = arg + 2;
            break;
        case 'W':
            webPort = tcpPortValue(program, arg);
            break;
        case 'U':
            usersFile = arg + 2;
            break;
        case 'P':
            return accessPrintHash();
        case 'N':
            if (webAllowHostName(arg + 2) != 0) {
                fprintf(stderr, "Bad switch %s\n", arg);
                usage(program);
            }
            break;
        case 'R':
            if (portListenerCount == maxPortListeners ||
                !parsePortListener(arg + 2, &portListeners[portListenerCount])) {
                fprintf(stderr, "Bad switch %s\n", arg);
                usage(program);
            }
            portListenerCount++;
            break;
        case 'L':
            // An empty value would put every log at the root of the file
            // system.
            if (!arg[2]) badValue(program, arg, "no directory given");
            logs.dir = arg + 2;
            break;
        case 'S':
            // Below 1 KiB a file would hold a few lines at most.
            if (!parseWholeNumber(arg + 2, 1024, 2147483647L, &logs.rotateBytes))
                badValue(program, arg, "not a size in bytes (1024 to 2147483647)");
            break;
        case 'K': {
            long keep = 0;
            if (!parseWholeNumber(arg + 2, 0, maxKeptLogs, &keep))
                badValue(program, arg, "not a count of old log files (0 to 1000)");
            logs.keepFiles = (int)keep;
            break;
        }
        case 'B':
            if (portShareSetSpeed(arg + 2) != 0) {
                fprintf(stderr, "Unknown speed %s\n", arg);
                usage(program);
            }
            break;
        default:
            fprintf(stderr, "Unknown switch %s\n", arg);
            usage(program);
        }
    }
    if (i < argc) usage(program);

    // Every listener on a TCP port of its own.
    TcpPortUse uses[2 + maxPortListeners];
    int useCount = 0;
    char arg[32];
    snprintf(arg, sizeof arg, "-p%d", listenPort);
    takeTcpPort(program, uses, &useCount, listenPort, arg);
    if (webPort > 0) {
        snprintf(arg, sizeof arg, "-W%d", webPort);
        takeTcpPort(program, uses, &useCount, webPort, arg);
    }
    for (int k = 0; k < portListenerCount; k++) {
        const PortListener &l = portListeners[k];
        snprintf(arg, sizeof arg, "-R%d=%s", l.tcpPort, l.portName);
        takeTcpPort(program, uses, &useCount, l.tcpPort, arg);
    }

    if (usersFile && accessLoadUsers(usersFile) != 0) return 1;

    initIo();
    int serverFd = openServer((unsigned short)listenPort);
    // Stop requests are taken before the next line says the server is
    // there: a signal that came before the handlers were in place would end
    // the process at once instead of stopping it cleanly.
    watchStopRequests();
    printf("server socket %d connected to tcpip port %d\n", serverFd, listenPort);
    int webFd = -1;
    if (webPort > 0) {
        // The page is served under this host's name too, as a browser on
        // the network reaches it.
        char hostName[256];
        if (kvp_host_name(hostName, (int)sizeof hostName) == 0) webAllowHostName(hostName);
        webFd = openServer((unsigned short)webPort);
        printf("web socket %d connected to tcpip port %d\n", webFd, webPort);
    }
    openPortListeners(portListeners, portListenerCount);
    reportPortList(portListeners, portListenerCount);

    if (logs.dir && portShareHoldAll(logs) != 0) {
        portShareReleaseAll();
        closeIo();
        return 1;
    }

    if (!noConsole) {
        OutFifo *console = openStdinFifo();
        if (console) clientTable.add(console);
        else fprintf(stderr, "not using standard input\n");
    }

    for (;;) {
        clientTable.watch();
        portShareWatchAll();
        waitIo(-1);
        // A stop request (SIGTERM, SIGINT, a service stop) ends the server
        // as a kill command does.
        if (stopRequested()) break;
        if (reloadRequested()) reloadFiles();
        OutFifo *incoming = acceptFifo(serverFd, localOnly);
        if (incoming) clientTable.add(incoming);
        if (webFd != -1) {
            OutFifo *web = acceptWebFifo(webFd, localOnly, webAssets);
            if (web) clientTable.add(web);
        }
        // A port listener's clients cannot log in: with named users they are
        // admitted from loopback alone (a tunnel), whatever -a says.
        acceptPortClients(portListeners, portListenerCount, localOnly || usersFile != nullptr);
        portSharePoll();
        if (clientTable.poll() == -2) break;
    }

    // Serial ports are released before the process ends: their settings go
    // back and their exclusive hold, which a terminal keeps beyond this
    // process, is dropped.
    clientTable.releasePorts();
    portShareReleaseAll();
    closeIo();
    return 0;
}

int main(int argc, char **argv) { return runServer(serverMain, argc, argv); }
