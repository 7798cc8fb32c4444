#include "portlog.h"

#include "../io/kva_assert.h"
#include "../kvb/kvb.h"

#include <chrono>
#include <new>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

// Room in the hold beyond holdLimit: one event that came when the hold was
// just under it, and the line saying what was lost, which must always fit.
const long holdReserve = 1024;
const int eventMax = 320;

}  // namespace

PortLog *PortLog::open(const char *dir, const char *name, long rotateBytes, int keepFiles)
{
    PortLog *log = new (std::nothrow) PortLog();
    if (!log) kva_out_of_memory("a port log");
    snprintf(log->name, sizeof log->name, "%.32s", name);
    char file[48];
    snprintf(file, sizeof file, "%.32s.log", name);
    kvp_file_path(dir, file, log->path, sizeof log->path);
    log->file = kvp_file_open_append(log->path);
    if (log->file < 0) {
        fprintf(stderr, "%s: cannot open the log file %s/%s\n", name, dir, file);
        delete log;
        return nullptr;
    }
    log->fileBytes = kvp_file_size(log->file);
    if (log->fileBytes < 0) log->fileBytes = 0;
    log->rotateBytes = rotateBytes;
    log->keepFiles = keepFiles;
    log->held = (char *)malloc(holdLimit + holdReserve);
    if (!log->held) kva_out_of_memory("a port log");
    return log;
}

PortLog::~PortLog()
{
    if (held) flush();
    if (file >= 0) kvp_file_close(file);
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
        // Short of holdLimit by a stamp and more, so that an output line
        // never leaves too little room for its stamp.  Once output was
        // dropped, the rest is too until the line saying so is written
        // (the file took part of the hold, then failed again): what is
        // lost is one run, and the line stands where it was.
        if (lostBytes > 0 || heldBytes + 64 >= holdLimit) {
            lostBytes += n - i;
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
    if (heldBytes >= flushBytes) writeOut(false);
}

void PortLog::event(const char *format, ...)
{
    char text[eventMax];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    addEvent(text, false);
}

void PortLog::addEvent(const char *text, bool always)
{
    if (!always && heldBytes > holdLimit) {
        lostEvents++;
        return;
    }
    if (lineOpen) append("\n", 1);
    lineOpen = false;
    stamp();
    append("-- ", 3);
    append(text, (long)strnlen(text, eventMax - 1));
    append("\n", 1);
}

// When writing is next due: the next try of a file that failed, or the
// oldest held byte's flushAfterMs; -1 when nothing is.
long long PortLog::dueAtMs() const
{
    if (failing) return retryAtMs;
    if (heldBytes > 0) return oldestMs + flushAfterMs;
    return -1;
}

void PortLog::poll()
{
    long long due = dueAtMs();
    if (due >= 0 && clockMs() >= due) writeOut(false);
}

void PortLog::watch()
{
    long long due = dueAtMs();
    if (due < 0) return;
    long long ms = due - clockMs();
    wakeWithin(ms > 0 ? (int)ms : 0);
}

void PortLog::flush()
{
    writeOut(true);
    if (heldBytes == 0 && lostBytes == 0 && lostEvents == 0) return;
    fprintf(stderr,
            "%s: the log file %s still cannot be written at stop (%s): the %ld bytes it held "
            "and %lld bytes of output and %ld events after them are lost\n",
            name, path, why, heldBytes, lostBytes, lostEvents);
    heldBytes = 0;
    lostBytes = 0;
    lostEvents = 0;
    failing = false;
}

// Writing failed while `doing`: the file is let go (a file replaced, a
// directory back or a disk with room again is found by opening the path
// anew) and tried again at the pace; the first failure is reported.
void PortLog::fail(const char *doing)
{
    char reason[120];
    kvp_file_error(reason, sizeof reason);
    if (file >= 0) kvp_file_close(file);
    file = -1;
    retryAtMs = clockMs() + retryPaceMs;
    if (failing) return;
    failing = true;
    failedAtMs = clockMs();
    snprintf(why, sizeof why, "%s: %s", doing, reason);
    fprintf(stderr,
            "%s: the log file %s cannot be written (%s): its output is held, %d KiB at most, "
            "and the file tried again every %d ms\n",
            name, path, why, holdLimit / 1024, (int)retryPaceMs);
}

bool PortLog::reopen()
{
    file = kvp_file_open_append(path);
    if (file < 0) {
        fail("opening it");
        return false;
    }
    // Appended to as it is: a file already at its size is rotated before
    // anything more goes in.
    fileBytes = kvp_file_size(file);
    if (fileBytes < 0) fileBytes = 0;
    return true;
}

// The old files move up by one (the oldest goes) and a new file begins.
void PortLog::rotate()
{
    kvp_file_close(file);
    file = -1;
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
    file = kvp_file_open_append(path);
    // Counted from nothing even when the renaming failed (a file held open
    // elsewhere on Windows): the file then grows past its size until the
    // next rotation, rather than being rotated again at every write.
    fileBytes = 0;
    if (file < 0) fail("opening it");
}

// Every held byte goes to the file; a file that would grow past its size
// is ended at the last line that fits (or at the size, for a line longer
// than a file) and the rest begins the next.  Only what a write reports as
// taken leaves the hold.  True when the hold is empty.
bool PortLog::writeHeld()
{
    long done = 0;
    while (file >= 0 && done < heldBytes) {
        long long room = rotateBytes - fileBytes;
        long n = heldBytes - done;
        if (n > room) {
            const char *start = held + done;
            long cut = room > 0 ? (long)room : 0;
            while (cut > 0 && start[cut - 1] != '\n') cut--;
            n = cut > 0 ? cut : (fileBytes == 0 ? (long)room : 0);
        }
        if (n > 0) {
            int put = kvp_file_write(file, held + done, (int)n);
            if (put <= 0) {
                fail("writing it");
                break;
            }
            fileBytes += put;
            done += put;
            // A short write (the disk just filled): the next one says why.
            if (put < n) continue;
        }
        if (done < heldBytes) rotate();
    }
    memmove(held, held + done, (size_t)(heldBytes - done));
    heldBytes -= done;
    if (heldBytes > 0) oldestMs = clockMs();
    return heldBytes == 0;
}

void PortLog::writeOut(bool evenIfPaced)
{
    if (heldBytes == 0 && !failing && lostBytes == 0 && lostEvents == 0) return;
    if (failing && !evenIfPaced && clockMs() < retryAtMs) return;
    if (file < 0 && !reopen()) return;
    if (!writeHeld()) return;
    if (!failing && lostBytes == 0 && lostEvents == 0) return;

    // Writing resumed: the file says what it missed, after the last bytes
    // held before the loss began.
    char lost[80];
    if (lostEvents > 0)
        snprintf(lost, sizeof lost, "%lld bytes of output and %ld events", lostBytes, lostEvents);
    else if (lostBytes > 0)
        snprintf(lost, sizeof lost, "%lld bytes of output", lostBytes);
    else
        snprintf(lost, sizeof lost, "no output");
    long long ms = clockMs() - failedAtMs;
    char text[eventMax];
    snprintf(text, sizeof text, "%s lost: the log file could not be written for %lld.%lld s (%s)",
             lost, ms / 1000, ms % 1000 / 100, why);
    fprintf(stderr, "%s: the log file %s is written again after %lld.%lld s; %s lost\n", name,
            path, ms / 1000, ms % 1000 / 100, lost);
    failing = false;
    lostBytes = 0;
    lostEvents = 0;
    addEvent(text, true);
    writeHeld();
}
