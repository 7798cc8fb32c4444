// A client on a port listener (-R): a telnet connection with the COM-PORT
// option, bridged straight to one serial port, whose line the client sets.
#ifndef VELKOR_DEVICE_TELNET_H
#define VELKOR_DEVICE_TELNET_H

#include "kvb.h"

extern const DeviceOps telnetDevice;

// How often the modem lines are looked at for a change to tell.
const int modemPollMs = 50;
// How long the line is held in a break for a telnet BREAK.
const int telnetBreakMs = 250;

// Accepts a connection on a port listener: the client's endpoint, whose
// telnet side begins once it has its port (beginTelnetPort).  Null when
// there was no connection.
OutFifo *acceptTelnetClient(int listenSocket, bool localOnly, const char *portName);
// The client has its port: the line is set to 9600 8N1 without flow
// control, whatever the last user left, and the telnet side's first words
// are queued.
void beginTelnetPort(OutFifo *client, OutFifo *port);

#endif
