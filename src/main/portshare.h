// Serial ports shared between clients: one writer (a "p" bridge, or a port
// listener's client) and any number of watchers ("w") per open port, a
// replay buffer of what the port sent last, and ports held open from
// start-up for their log (-L).
//
// A port opened through here stays open while it has a writer, a watcher
// or a log, and is released when the last of them goes.  The writer is an
// ordinary bridge: its client holds the port as its target and steps it;
// every byte the port sends is also handed, as it is read, to the replay
// buffer, the log and each watcher's output queue.  A watcher's input is
// discarded.
#ifndef VELKOR_PORTSHARE_H
#define VELKOR_PORTSHARE_H

class Client;
class OutFifo;

// What the port sent last, kept per open port for a watcher's replay.
const long replayLimit = 64 * 1024;
// A watcher whose output queue holds more than this when the port sends
// again is dropped: a watcher that does not read must not hold back the
// port or its writer, nor make the server's memory grow.
const long watcherQueueLimit = 256 * 1024;
// While a port has a log or watchers it is read as its device sends,
// whatever its writer takes: they see every byte.  A writer whose output
// queue then holds more than this is dropped as a watcher would be.
const long writerLagLimit = watcherQueueLimit;

// The port `name` for `writer` at `baud`: opened, or taken over from its
// watchers or its log at that speed.  Null when it cannot be opened or has
// a writer already (logged).
OutFifo *portShareWriter(const char *name, int baud, Client *writer);
// The writer lets go of `port`: true when it is a shared port, which the
// caller must then not delete.
bool portShareRelease(OutFifo *port, Client *writer);
// `watcher` watches `name`: its "." reply, then the last `replayBytes`
// bytes the port sent (at most replayLimit), then the port's output as it
// comes.  False when the port cannot be opened (nothing sent).
bool portShareWatch(const char *name, long replayBytes, Client *watcher);
// `watcher` stops watching (no-op for a client that does not watch).
void portShareUnwatch(Client *watcher);

// Ports held open from start-up, each line logged to <dir>/COM<n>.log.
struct PortLogSettings {
    const char *dir;     // null: no ports are held
    long rotateBytes;    // a file is rotated once it reaches this size
    int keepFiles;       // old files kept: COM<n>.log.1 .. .<keepFiles>
};
// The speed of ports opened for watchers or held for their log: "<baud>"
// for every port, "COM<n>:<baud>" for one (115200 unless set).  -1 for a
// setting that cannot be read.
int portShareSetSpeed(const char *setting);
// Opens every port of the port map and logs it; 0, or -1 when the
// directory cannot be written (reported).
int portShareHoldAll(const PortLogSettings &settings);

// Each turn before the clients' steps: ports with no writer to step them
// are read here, held ports whose device went away are tried again, and
// ports nobody uses any more are released.
void portSharePoll();
// Before each wait: what the shared ports wait for.
void portShareWatchAll();
// At shutdown: every shared port is released and every log written out.
void portShareReleaseAll();

#endif
