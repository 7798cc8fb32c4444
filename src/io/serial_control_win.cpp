// Line control of a Windows serial port: the device control block for the
// rate, framing and flow control, EscapeCommFunction for DTR and RTS,
// SetCommBreak/ClearCommBreak, GetCommModemStatus and PurgeComm.
#include "serial_control.h"
#include "win_internal.h"

#include <string.h>

namespace {

DWORD controlError = 0;

int fail()
{
    controlError = GetLastError();
    return 0;
}

int readState(kva_handle h, DCB *dcb)
{
    memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    return GetCommState((HANDLE)h, dcb) ? 1 : fail();
}

int escape(kva_handle h, DWORD function) { return EscapeCommFunction((HANDLE)h, function) ? 1 : fail(); }

}  // namespace

int kvs_get_line(kva_handle h, KvsLine *line)
{
    DCB dcb;
    if (!readState(h, &dcb)) return 0;
    line->baud = (long)dcb.BaudRate;
    line->dataBits = dcb.ByteSize;
    switch (dcb.Parity) {
    case ODDPARITY: line->parity = KvsParityOdd; break;
    case EVENPARITY: line->parity = KvsParityEven; break;
    case MARKPARITY: line->parity = KvsParityMark; break;
    case SPACEPARITY: line->parity = KvsParitySpace; break;
    default: line->parity = KvsParityNone; break;
    }
    line->stopBits = dcb.StopBits == TWOSTOPBITS    ? KvsStopTwo
                     : dcb.StopBits == ONE5STOPBITS ? KvsStopOneAndHalf
                                                    : KvsStopOne;
    line->flow = KvsFlowNone;
    if (dcb.fOutX || dcb.fInX) line->flow = KvsFlowXonXoff;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) line->flow = KvsFlowRtsCts;
    return 1;
}

int kvs_set_line(kva_handle h, const KvsLine *line)
{
    DCB dcb;
    if (!readState(h, &dcb)) return 0;
    dcb.BaudRate = (DWORD)line->baud;
    dcb.ByteSize = (BYTE)line->dataBits;
    static const BYTE parities[] = {NOPARITY, NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY,
                                    SPACEPARITY};
    dcb.Parity = line->parity >= 1 && line->parity <= 5 ? parities[line->parity] : NOPARITY;
    dcb.fParity = dcb.Parity != NOPARITY;
    dcb.StopBits = line->stopBits == KvsStopTwo          ? TWOSTOPBITS
                   : line->stopBits == KvsStopOneAndHalf ? ONE5STOPBITS
                                                         : ONESTOPBIT;
    bool xon = line->flow == KvsFlowXonXoff;
    bool rtscts = line->flow == KvsFlowRtsCts;
    dcb.fOutX = dcb.fInX = xon;
    dcb.fOutxCtsFlow = rtscts;
    // RTS is the client's to set unless the handshake drives it; it is not
    // lowered when the handshake ends.
    if (rtscts) dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) dcb.fRtsControl = RTS_CONTROL_ENABLE;
    return SetCommState((HANDLE)h, &dcb) ? 1 : fail();
}

int kvs_set_dtr(kva_handle h, int on) { return escape(h, on ? SETDTR : CLRDTR); }

int kvs_set_rts(kva_handle h, int on) { return escape(h, on ? SETRTS : CLRRTS); }

int kvs_set_break(kva_handle h, int on)
{
    BOOL ok = on ? SetCommBreak((HANDLE)h) : ClearCommBreak((HANDLE)h);
    return ok ? 1 : fail();
}

int kvs_modem_lines(kva_handle h, int *lines)
{
    DWORD status = 0;
    *lines = 0;
    if (!GetCommModemStatus((HANDLE)h, &status)) return fail();
    if (status & MS_CTS_ON) *lines |= KvsCts;
    if (status & MS_DSR_ON) *lines |= KvsDsr;
    if (status & MS_RING_ON) *lines |= KvsRing;
    if (status & MS_RLSD_ON) *lines |= KvsCd;
    return 1;
}

int kvs_line_counts(kva_handle h, KvsLineCounts *counts)
{
    unsigned long c[4] = {0, 0, 0, 0};
    if (!win_com_line_errors((HANDLE)h, c)) {
        controlError = ERROR_INVALID_HANDLE;
        *counts = KvsLineCounts{0, 0, 0, 0};
        return 0;
    }
    *counts = KvsLineCounts{c[0], c[1], c[2], c[3]};
    return 1;
}

int kvs_purge(kva_handle h, int input, int output)
{
    // Only the queues: a read or write under way is the port's own and is
    // not aborted.  What the port read ahead goes with the input.
    DWORD flags = (input ? PURGE_RXCLEAR : 0) | (output ? PURGE_TXCLEAR : 0);
    if (input) win_com_drop_input((HANDLE)h);
    if (!flags) return 1;
    return PurgeComm((HANDLE)h, flags) ? 1 : fail();
}

long kvs_output_held(kva_handle h) { return (long)win_com_output_held((HANDLE)h); }

int kvs_last_error() { return (int)controlError; }
