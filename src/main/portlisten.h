// The port listeners (-R<tcpport>=COM<n>): each TCP port leads straight to
// one serial port, whose line its client sets over telnet's COM-PORT option.
#ifndef VELKOR_PORTLISTEN_H
#define VELKOR_PORTLISTEN_H

struct PortListener {
    unsigned short tcpPort;
    char portName[8];  // COM1 to COM999
    int fd;            // the listener once open, else -1
};

enum { maxPortListeners = 16 };

// Reads the value of -R ("<tcpport>=COM<n>", the port 1 to 65535, n 1 to
// 999 without leading zeros); false when it is anything else.
bool parsePortListener(const char *value, PortListener *out);
// Opens each listener as the main one is opened (a failure ends the
// server), with a log line for each.
void openPortListeners(PortListener *listeners, int count);
// Takes a waiting connection of each listener, admitted as the main
// listener admits, into the client table.
void acceptPortClients(const PortListener *listeners, int count, bool localOnly);

#endif
