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
// Nothing here waits on the disk in the loop's step: lines collect in
// memory and are written out when that holds flushBytes, when the oldest
// unwritten byte is flushAfterMs old (the loop is asked to wake for it), and
// at stop.  Output beyond holdLimit while the disk takes nothing is dropped,
// with an event saying how much.
#ifndef VELKOR_PORTLOG_H
#define VELKOR_PORTLOG_H

#include <stdio.h>

class PortLog {
public:
    enum { flushBytes = 32 * 1024, flushAfterMs = 1000, holdLimit = 1024 * 1024 };

    // <dir>/<name>.log, appended to; rotated when it reaches rotateBytes,
    // with keepFiles old files (<name>.log.1 the newest).  Null when the
    // file cannot be opened (reported).
    static PortLog *open(const char *dir, const char *name, long rotateBytes, int keepFiles);
    ~PortLog();
    PortLog(const PortLog &) = delete;
    PortLog &operator=(const PortLog &) = delete;

    void output(const char *p, int n);
    // One event line, printf-style.
    void event(const char *format, ...) __attribute__((format(printf, 2, 3)));
    // Writes out what is due; asks the loop to wake when the rest is.
    void poll();
    void watch();
    // Writes out everything now (at stop).
    void flush();

private:
    PortLog() = default;
    char path[1100];
    FILE *file = nullptr;
    long fileBytes = 0;
    long rotateBytes = 0;
    int keepFiles = 0;
    char *held = nullptr;  // unwritten bytes: held[0 .. heldBytes)
    long heldBytes = 0;
    long long oldestMs = 0;  // when the oldest unwritten byte came
    long dropped = 0;        // output bytes dropped since the last write
    bool lineOpen = false;   // the last output byte was no LF

    void append(const char *p, long n);
    void stamp();
    void rotate();
    void writeOut();
};

#endif
