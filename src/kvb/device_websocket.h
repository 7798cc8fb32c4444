// The browser console's endpoints: an HTTP connection that serves the page
// and its assets, or that becomes a WebSocket carrying exactly what a TCP
// client's connection carries.
#ifndef VELKOR_DEVICE_WEBSOCKET_H
#define VELKOR_DEVICE_WEBSOCKET_H

#include "kvb.h"
#include "websocket.h"

extern const DeviceOps websocketDevice;

// How long a request may take to arrive whole before it is closed.
const int webRequestTimeoutMs = 10000;

// Accepts a connection on the HTTP listener; assets is what it serves
// (a table ending at a null path), and must outlive it.  With wrap, its
// bytes go through the transport wrap puts over the socket (TLS: https and
// wss).
OutFifo *acceptWebFifo(int listenSocket, bool localOnly, const WebAsset *assets,
                       TransportWrap wrap = nullptr);

#endif
