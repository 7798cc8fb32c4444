// Control of an open serial port's line, for clients that set it up
// themselves: the rate, the framing, flow control, the modem lines, a break
// and the purge of what is queued.  One implementation per platform
// (serial_control_posix.cpp, serial_control_win.cpp).  Each call is 1 when
// the device did what was asked, 0 when it did not (kvs_last_error says
// why); the caller then reads back what is in force.
#ifndef VELKOR_SERIAL_CONTROL_H
#define VELKOR_SERIAL_CONTROL_H

#include "plat.h"

enum KvsParity { KvsParityNone = 1, KvsParityOdd, KvsParityEven, KvsParityMark, KvsParitySpace };
enum KvsStopBits { KvsStopOne = 1, KvsStopTwo = 2, KvsStopOneAndHalf = 3 };
enum KvsFlow { KvsFlowNone = 1, KvsFlowXonXoff = 2, KvsFlowRtsCts = 3 };
// The modem input lines, as a set of bits.
enum { KvsCts = 1, KvsDsr = 2, KvsRing = 4, KvsCd = 8 };

struct KvsLine {
    long baud;
    int dataBits;  // 5 to 8
    int parity;    // KvsParity
    int stopBits;  // KvsStopBits
    int flow;      // KvsFlow
};

int kvs_get_line(kva_handle h, KvsLine *line);
// Sets every field at once: the rate (any the device takes), the framing and
// flow control.  On a refusal the device may keep some of it: read it back.
int kvs_set_line(kva_handle h, const KvsLine *line);
int kvs_set_dtr(kva_handle h, int on);
int kvs_set_rts(kva_handle h, int on);
int kvs_set_break(kva_handle h, int on);
// The modem input lines now (KvsCts...).
int kvs_modem_lines(kva_handle h, int *lines);
// What the line has received since the port was opened, as running counts:
// breaks, and bytes with a framing error, a parity error, or lost to an
// overrun.  0 where the device does not report them.
struct KvsLineCounts {
    unsigned long breaks, framing, parity, overrun;
};
int kvs_line_counts(kva_handle h, KvsLineCounts *counts);
// Drops what is queued in the device: received and not read, written and
// not sent.
int kvs_purge(kva_handle h, int input, int output);
// Bytes the device has taken that have not gone out on the line yet; 0
// where the system does not tell.
long kvs_output_held(kva_handle h);
// The system's error code of the last call that failed.
int kvs_last_error();

#endif
