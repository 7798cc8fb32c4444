// The entry point: command line, start-up, the main loop and shutdown.
#include "client.h"
#include "portshare.h"
#include "kvb/device_websocket.h"
#include "portlisten.h"
#include "tls/tls.h"

#include <stdio.h>
#include <stdlib.h>

// The browser console's page and assets, embedded at build time.
extern const WebAsset webAssets[];

static void usage(const char *program)
{
    printf("usage %s [switches]\n\n", program);
    printf("switches:\n");
    printf("-p<port>      TCP/IP port number to use\n");
    printf("-w<pw>        Set expected identifier to <pw>\n");
    printf("-W<port>      also serve the browser console over HTTP on this TCP port\n");
    printf("-N<name>      a name the browser console answers to besides this host's (may repeat)\n");
    printf("-T<file>      TLS on the main port and the browser console: certificate and key (PEM)\n");
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
    printf("reloading\n");
    if (tlsServerActive()) tlsServerReload();
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
    const char *tlsFile = nullptr;

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
            listenPort = parseNumber(arg + 2);
            break;
        case 'w':
            expectedIdentifier = arg + 2;
            break;
        case 'W':
            webPort = parseNumber(arg + 2);
            break;
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
        case 'T':
            tlsFile = arg + 2;
            break;
        case 'L':
            logs.dir = arg + 2;
            break;
        case 'S':
            // Below this a file would hold a few lines at most.
            logs.rotateBytes = parseNumber(arg + 2);
            if (logs.rotateBytes < 1024) logs.rotateBytes = 1024;
            break;
        case 'K':
            logs.keepFiles = parseNumber(arg + 2);
            if (logs.keepFiles < 0) logs.keepFiles = 0;
            break;
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
    // A certificate that cannot serve stops the server before it listens:
    // without it every client would be refused, or spoken to in clear.
    if (tlsFile && tlsServerStart(tlsFile) != 0) return 1;
    TransportWrap wrap = tlsServerActive() ? tlsServerWrap : nullptr;

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
        OutFifo *incoming = acceptFifo(serverFd, localOnly, wrap);
        if (incoming) clientTable.add(incoming);
        if (webFd != -1) {
            OutFifo *web = acceptWebFifo(webFd, localOnly, webAssets, wrap);
            if (web) clientTable.add(web);
        }
        acceptPortClients(portListeners, portListenerCount, localOnly);
        portSharePoll();
        if (clientTable.poll() == -2) break;
    }

    // Serial ports are released before the process ends: their settings go
    // back and their exclusive hold, which a terminal keeps beyond this
    // process, is dropped.
    clientTable.releasePorts();
    portShareReleaseAll();
    closeIo();
    tlsServerStop();
    return 0;
}

int main(int argc, char **argv) { return runServer(serverMain, argc, argv); }
