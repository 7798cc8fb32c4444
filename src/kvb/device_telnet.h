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

// Accepts a connection on a port listener and opens the port at 9600 8N1
// without flow control.  True with both endpoints (the client's, and the
// port's); false when there was no connection, or when the port could not
// be opened (the connection is then closed, with one log line).
bool acceptTelnetPort(int listenSocket, bool localOnly, const char *portName, OutFifo **client,
                      OutFifo **port);

#endif
