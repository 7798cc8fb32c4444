#include "lineinput.h"

#include "../io/kva_assert.h"

#include <string.h>

namespace {

bool isGraphic(unsigned char c) { return c >= 0x21 && c <= 0x7e; }
bool isPrintable(unsigned char c) { return c >= 0x20 && c <= 0x7e; }

}  // namespace

LineInput::LineInput()
    : buf(), lineEnd(nullptr), bufIndex(0), raw(false), discarding(false), overlong(0),
      lineTerminator(0), dropLf(false)
{
}

void LineInput::received(int n)
{
    if (dropLf && n > 0) {
        // The LF of the CR LF that ended the command line, arriving later.
        dropLf = false;
        char *fresh = buf + bufIndex;
        if (fresh[0] == '\n') memmove(fresh, fresh + 1, (size_t)--n);
    }
    bufIndex += n;
    assemble();
}

void LineInput::assemble()
{
    if (raw) {
        lineEnd = buf + bufIndex;
        lineTerminator = 0;
        return;
    }
    KVA_ASSERT(bufIndex>=0);
    KVA_ASSERT(bufIndex<(int)sizeof(buf));
    // Line mode finds the ready line afresh in the held bytes every time (a
    // line not yet consumed is found again at its NUL), so nothing stays
    // ready from before: raw data still ready when the endpoint went back
    // to line mode must not outlive bytes that this assembly drops.
    lineEnd = nullptr;

    if (discarding) {
        // The rest of a line that did not fit: drop it through its terminator.
        int k = 0;
        while (k < bufIndex && isPrintable((unsigned char)buf[k])) k++;
        if (k == bufIndex) {
            bufIndex = 0;
            return;
        }
        discarding = false;
        memmove(buf, buf + k + 1, (size_t)(bufIndex - k - 1));
        bufIndex -= k + 1;
    }

    int k = 0;
    while (k < bufIndex && !isGraphic((unsigned char)buf[k])) k++;
    if (k == bufIndex) {
        bufIndex = 0;
        return;
    }
    if (k > 0) {
        memmove(buf, buf + k, (size_t)(bufIndex - k));
        bufIndex -= k;
    }

    for (int i = 0; i < bufIndex; i++) {
        if (!isPrintable((unsigned char)buf[i])) {
            lineTerminator = buf[i];
            lineEnd = buf + i;
            buf[i] = 0;
            return;
        }
    }
    lineEnd = nullptr;
    if (bufIndex == capacity) {
        // Longer than any line the buffer can hold: it can never complete.
        // Discard it whole, up to and including its terminator, so that
        // neither this endpoint stalls nor the line's tail reads as a line.
        bufIndex = 0;
        discarding = true;
        overlong++;
    }
}

void LineInput::consumeLine(char *p)
{
    char *str = p;
    KVA_ASSERT(str==buf);
    KVA_ASSERT(lineEnd != nullptr);
    int used = (int)(lineEnd - buf);
    int rest = bufIndex - used - 1;
    if (rest > 0) {
        memmove(buf, buf + used + 1, (size_t)(rest));
        bufIndex = rest;
    } else {
        bufIndex = 0;
    }
    lineEnd = nullptr;
    // A command line ended by CR LF (telnet, Windows clients, printf) that
    // switched to raw mode: its LF is part of the line end, not the first
    // byte for the target, whether it came with the line or comes later.
    // Bytes after it pass unchanged.
    dropLf = raw && lineTerminator == '\r';
    lineTerminator = 0;
    if (dropLf && bufIndex > 0) {
        dropLf = false;
        if (buf[0] == '\n') memmove(buf, buf + 1, (size_t)--bufIndex);
    }
    // What followed the line was received already: a further line, or the
    // first raw bytes behind a command that switched to raw mode, is ready
    // now, not only after some later byte arrives.
    if (bufIndex > 0) assemble();
}

void LineInput::resumeLines()
{
    raw = false;
    dropLf = false;
    lineEnd = nullptr;
    if (bufIndex > 0) assemble();
}

bool LineInput::takeOverlongLine()
{
    if (overlong == 0) return false;
    overlong--;
    return true;
}

int LineInput::takeOverlongLines()
{
    int n = overlong;
    overlong = 0;
    return n;
}
