#include "portlog.h"

#include "../io/kva_assert.h"
#include "../kvb/kvb.h"

#include <chrono>
#include <new>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

PortLog *PortLog::open(const char *dir, const char *name, long rotateBytes, int keepFiles)
{
    PortLog *log = new (std::nothrow) PortLog();
    if (!log) kva_out_of_memory("a port log");
    char file[48];
    snprintf(file, sizeof file, "%.32s.log", name);
    kvp_file_path(dir, file, log->path, sizeof log->path);
    log->file = fopen(log->path, "ab");
    if (!log->file) {
        fprintf(stderr, "%s: cannot open the log file %s/%s\n", name, dir, file);
        delete log;
        return nullptr;
    }
    fseek(log->file, 0, SEEK_END);
    log->fileBytes = ftell(log->file);
    if (log->fileBytes < 0) log->fileBytes = 0;
    log->rotateBytes = rotateBytes;
    log->keepFiles = keepFiles;
    log->held = (char *)malloc(holdLimit + 256);
    if (!log->held) kva_out_of_memory("a port log");
    return log;
}

PortLog::~PortLog()
{
    if (file) {
        writeOut();
        fclose(file);
    }
    free(held);
}

// The time now, as each line begins: 2026-12-11T01:02:03.456Z.
void PortLog::stamp()
{
    using namespace std::chrono;
    long long ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    time_t seconds = (time_t)(ms / 1000);
    struct tm t = *gmtime(&seconds);
    char text[40];
    int n = snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ", t.tm_year + 1900,
                     t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, (int)(ms % 1000));
    append(text, n);
}

void PortLog::append(const char *p, long n)
{
    if (heldBytes == 0) oldestMs = clockMs();
    memcpy(held + heldBytes, p, (size_t)n);
    heldBytes += n;
}

void PortLog::output(const char *p, int n)
{
    for (int i = 0; i < n;) {
        // The hold has room for a stamp and an event beyond holdLimit, so
        // that the line saying what was dropped always fits.
        if (heldBytes + 64 >= holdLimit) {
            dropped += n - i;
            return;
        }
        if (!lineOpen) stamp();
        const char *lf = (const char *)memchr(p + i, '\n', (size_t)(n - i));
        long take = lf ? (long)(lf - (p + i)) + 1 : n - i;
        if (take > holdLimit - heldBytes) take = holdLimit - heldBytes;
        append(p + i, take);
        lineOpen = p[i + take - 1] != '\n';
        i += (int)take;
    }
    if (heldBytes >= flushBytes) writeOut();
}

void PortLog::event(const char *format, ...)
{
    char text[200];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (heldBytes > holdLimit) return;
    if (lineOpen) append("\n", 1);
    lineOpen = false;
    stamp();
    append("-- ", 3);
    append(text, (long)strlen(text));
    append("\n", 1);
}

void PortLog::poll()
{
    if (heldBytes > 0 && clockMs() - oldestMs >= flushAfterMs) writeOut();
}

void PortLog::watch()
{
    if (heldBytes == 0) return;
    long long ms = oldestMs + flushAfterMs - clockMs();
    wakeWithin(ms > 0 ? (int)ms : 0);
}

void PortLog::flush()
{
    writeOut();
    if (file) fflush(file);
}

// The old files move up by one (the oldest goes) and a new file begins.
void PortLog::rotate()
{
    fclose(file);
    file = nullptr;
    char from[1120], to[1120];
    for (int k = keepFiles; k >= 1; k--) {
        if (k == 1) snprintf(from, sizeof from, "%s", path);
        else snprintf(from, sizeof from, "%s.%d", path, k - 1);
        snprintf(to, sizeof to, "%s.%d", path, k);
        // rename does not replace a file on every system.
        remove(to);
        rename(from, to);
    }
    if (keepFiles <= 0) remove(path);
    file = fopen(path, "ab");
    fileBytes = 0;
    if (!file) fprintf(stderr, "cannot open the log file %s\n", path);
}

// Every held byte goes to the file; a file that would grow past its size
// is ended at the last line that fits (or at the size, for a line longer
// than a file) and the rest begins the next.
void PortLog::writeOut()
{
    if (dropped > 0) {
        long n = dropped;
        dropped = 0;
        event("%ld bytes of output dropped: the log file took nothing", n);
    }
    long done = 0;
    while (file && done < heldBytes) {
        long room = rotateBytes - fileBytes;
        long n = heldBytes - done;
        if (n > room) {
            const char *start = held + done;
            long cut = room;
            while (cut > 0 && start[cut - 1] != '\n') cut--;
            n = cut > 0 ? cut : (fileBytes == 0 ? room : 0);
        }
        if (n > 0) {
            size_t put = fwrite(held + done, 1, (size_t)n, file);
            fileBytes += (long)put;
            done += (long)put;
            if ((long)put < n) break;  // the disk is full: keep the rest
        }
        if (done < heldBytes) rotate();
    }
    if (file) fflush(file);
    memmove(held, held + done, (size_t)(heldBytes - done));
    heldBytes -= done;
    if (heldBytes > 0) oldestMs = clockMs();
}
