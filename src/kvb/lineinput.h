// An endpoint's input buffer: the bytes read and not yet taken, assembled
// into lines (line mode) or handed on as they came (raw mode).
//
// Line mode: control bytes and spaces before a line's first graphic byte
// are dropped; the line runs up to its first byte that is not printable,
// which is its terminator and becomes NUL.  A line that cannot complete in
// the buffer (1022 bytes before its terminator at most) is discarded up to
// and including its terminator, and counted.  Raw mode: every byte held is
// ready as it is.
#ifndef VELKOR_LINEINPUT_H
#define VELKOR_LINEINPUT_H

class LineInput {
public:
    // At most this many bytes are held; the buffer's last byte stays free.
    enum { capacity = 1023 };

    LineInput();

    // Room for the next read, and where it goes; then received() with the
    // count read.
    int room() const { return capacity - bufIndex; }
    char *space() { return buf + bufIndex; }
    void received(int n);

    bool hasLine() const { return lineEnd != nullptr; }
    char *line() { return buf; }
    const char *data() const { return buf; }
    // The bytes held (in raw mode, the ready data's length).
    int lineLength() const { return bufIndex; }
    int held() const { return bufIndex; }
    // Where the ready line ends (its NUL), or the ready data ends; null
    // when nothing is ready.
    const char *readyEnd() const { return lineEnd; }
    void consumeLine(char *p);

    bool isRaw() const { return raw; }
    // Whether an LF that comes next is to be dropped: the line taken last
    // ended with CR and switched the input to raw (see consumeLine).
    bool dropsNextLf() const { return dropLf; }
    void setLine()
    {
        raw = false;
        dropLf = false;
    }
    void setRaw() { raw = true; }
    // Back to line mode with the held bytes assembled as lines now.
    void resumeLines();

    // Discarded overlong lines not yet reported.
    int overlongLines() const { return overlong; }
    // Reports one of them (false when there is none), or all of them.
    bool takeOverlongLine();
    int takeOverlongLines();

private:
    char buf[capacity + 1];
    char *lineEnd;
    int bufIndex;
    bool raw;
    // The rest of a line that did not fit is being dropped up to its
    // terminator.
    bool discarding;
    int overlong;
    // The byte that ended the ready line (0 for raw data), and whether an LF
    // that directly follows a CR-ended command line is still to be dropped.
    char lineTerminator;
    bool dropLf;

    void assemble();
};

#endif
