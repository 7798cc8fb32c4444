// The log file of one held port: what the port sent, line by line, each
// line after the time it began, and events as lines of their own.
//
//   2026-12-11T01:02:03.456Z login:
//   2026-12-11T01:02:04.001Z -- writer attached 127.0.0.1:40312
//
// Times are UTC, ISO 8601 with milliseconds.  A line of output is the bytes
// up to and including its LF, written as they came; an event first ends an
// output line still open (with a LF of its own), and event lines begin with
// "-- " so that they stand apart from the console's own text.
//
// Nothing here waits on the disk in the loop's step beyond one write:
// lines collect in memory and are written out when that holds flushBytes,
// when the oldest unwritten byte is flushAfterMs old (the loop is asked to
// wake for it), and at stop.
//
// A file that cannot be written (a full disk, a directory gone, a reopen at
// rotation refused) never ends the log: what it did not take stays held,
// the file is closed and opened again every retryPaceMs (the loop is woken
// for it), and standard error says so once, naming the port and the
// reason.  Output beyond holdLimit meanwhile is dropped and counted, and
// once the file takes bytes again an event says how much was lost and why
// ("-- 5230 bytes of output lost: the log file could not be written for
// 4.2 s (opening it: No such file or directory)").
#ifndef VELKOR_PORTLOG_H
#define VELKOR_PORTLOG_H

#include "../io/plat.h"

class PortLog {
public:
    enum {
        flushBytes = 32 * 1024,
        flushAfterMs = 1000,
        holdLimit = 1024 * 1024,
        retryPaceMs = 1000,
    };

    // <dir>/<name>.log, appended to; rotated when it reaches rotateBytes,
    // with keepFiles old files (<name>.log.1 the newest).  Null when the
    // file cannot be opened (reported).
    static PortLog *open(const char *dir, const char *name, long rotateBytes, int keepFiles);
    ~PortLog();
    PortLog(const PortLog &) = delete;
    PortLog &operator=(const PortLog &) = delete;

    void output(const char *p, int n);
    // One event line, printf-style.
    void event(const char *format, ...) KVP_PRINTF(2, 3);
    // Writes out what is due; asks the loop to wake when the rest is.
    void poll();
    void watch();
    // Writes out everything now, trying a file that failed once more
    // whatever the pace (at stop); what still cannot be written is
    // reported on standard error and let go.
    void flush();

private:
    PortLog() = default;
    char name[40];
    char path[1100];
    kva_handle file = -1;
    long long fileBytes = 0;
    long rotateBytes = 0;
    int keepFiles = 0;
    char *held = nullptr;  // unwritten bytes: held[0 .. heldBytes)
    long heldBytes = 0;
    long long oldestMs = 0;  // when the oldest unwritten byte came
    bool lineOpen = false;   // the last output byte was no LF

    // Writing has failed since failedAtMs and not yet succeeded again; the
    // file is tried again at retryAtMs.
    bool failing = false;
    long long failedAtMs = 0;
    long long retryAtMs = 0;
    char why[160] = {};         // the failure's reason, as the system words it
    long long lostBytes = 0;    // output dropped since the last loss event
    long lostEvents = 0;        // events dropped likewise

    void append(const char *p, long n);
    void stamp();
    // Appends an event line; one that does not fit in the hold is counted.
    // `always`: the line saying what was lost, which the hold keeps room for.
    void addEvent(const char *text, bool always);
    void rotate();
    bool reopen();
    void fail(const char *doing);
    bool writeHeld();
    void writeOut(bool evenIfPaced);
    long long dueAtMs() const;
};

#endif
