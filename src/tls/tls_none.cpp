// A build without TLS (the Windows build: its own library, SChannel, is not
// used yet): -T is refused at start-up.
#include "tls.h"

#include <stdio.h>

int tlsServerStart(const char *pemPath)
{
    fprintf(stderr, "-T%s: TLS is not available in this build\n", pemPath);
    return -1;
}

int tlsServerReload() { return 0; }

bool tlsServerActive() { return false; }

Transport *tlsServerWrap(int) { return nullptr; }

void tlsServerStop() {}
