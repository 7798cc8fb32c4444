#include "portlisten.h"

#include "client.h"
#include "kvb/device_telnet.h"

#include <stdio.h>
#include <string.h>

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A run of 1 to `most` digits, no leading zero; the rest of the text after it.
bool readNumber(const char *&p, int most, long *value)
{
    if (!isDigit(*p) || *p == '0') return false;
    long v = 0;
    int n = 0;
    for (; isDigit(*p); p++, n++) {
        if (n == most) return false;
        v = v * 10 + (*p - '0');
    }
    *value = v;
    return true;
}

}  // namespace

bool parsePortListener(const char *value, PortListener *out)
{
    const char *p = value;
    long tcpPort = 0, com = 0;
    if (!readNumber(p, 5, &tcpPort) || tcpPort > 65535) return false;
    if (strncmp(p, "=COM", 4) != 0) return false;
    p += 1;
    const char *name = p;
    p += 3;
    if (!readNumber(p, 3, &com) || *p) return false;
    out->tcpPort = (unsigned short)tcpPort;
    // "COM" and at most three digits: the name as given.
    memcpy(out->portName, name, (size_t)(p - name) + 1);
    out->fd = -1;
    return true;
}

void openPortListeners(PortListener *listeners, int count)
{
    for (int i = 0; i < count; i++) {
        PortListener &l = listeners[i];
        l.fd = openServer(l.tcpPort);
        printf("port socket %d connected to tcpip port %d for %s\n", l.fd, l.tcpPort, l.portName);
    }
}

void acceptPortClients(const PortListener *listeners, int count, bool localOnly)
{
    for (int i = 0; i < count; i++) {
        const char *name = listeners[i].portName;
        OutFifo *client = acceptTelnetClient(listeners[i].fd, localOnly, name);
        if (!client) continue;
        int fd = client->fd;
        char peer[KVA_PEER_TEXT_SIZE];
        kva_peer_text(fd, peer);
        if (clientTable.add(client, name) == ClientTable::PortRefused) {
            fprintf(stderr, "%s: port not opened, telnet client %d closed\n", name, fd);
            // The reason (in use by whom, not there) is the line before.
            fprintf(stderr, "%s: telnet client %s closed, the port could not be opened\n", name,
                    peer);
        }
    }
}
