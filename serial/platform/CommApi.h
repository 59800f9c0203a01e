#pragma once
// The operating-system seam of the serial port component.
//
// The port talks to the OS only through CommApi. Its operations and records
// carry the names of the classic overlapped serial API, so the port fills
// every record exactly once, in one place, and a test can read back every
// flag word and call order from the recording fake (CommRecording.h). The
// Linux backend (CommLinux.h, LinuxCommApi()) turns the calls into termios and
// ioctl work; a backend for another OS would pass them straight through.
//
// Error codes are the OS's own: GetLastError() returns the errno value that
// the failing call left for the calling thread (a missing device gives ENOENT
// = 2, a handle that is not open EBADF = 9, a device held elsewhere EBUSY =
// 16, a hung-up line EIO = 5). Three codes have no errno counterpart and keep
// the classic values, outside errno's range so they never collide:
// ERROR_IO_PENDING (997), ERROR_IO_INCOMPLETE (996) and WAIT_TIMEOUT (258).
// An operation aborted by PurgeComm(PURGE_TXABORT/PURGE_RXABORT), CancelIo or
// CloseHandle ends with ECANCELED.
//
// Network ports. CreateFile also takes "rfc2217://HOST:PORT" (Telnet with the
// Com Port Control Option) and "socket://HOST:PORT" (raw TCP, bytes only).
// Their codes:
// - open: a URL the ports file would refuse (NetworkUrl.h: no host, a
//   host that is no DNS name, dotted-quad IPv4 or bracketed IPv6 address, a
//   port outside 1..65535 or with a leading zero) EINVAL; a host that does not resolve EHOSTUNREACH (the resolver has no
//   errno); a refused connection ECONNREFUSED; no route EHOSTUNREACH or
//   ENETUNREACH; no connection, or (rfc2217) no agreement on BINARY both ways
//   and COM-PORT-OPTION, within the open time (5 s) ETIMEDOUT; a server that
//   refuses one of those options EPROTONOSUPPORT; stopped by
//   CommLinux::StopNetworkWaits ECANCELED.
// - SetCommState (rfc2217): a rate, data size, parity, stop size or flow
//   control that the server answers with another value, i.e. did not take,
//   EINVAL; one it does not answer ETIMEDOUT. Either way the settings the
//   port had are sent back (at the open: the server's own, which the port
//   asks for), and GetCommState keeps the old record.
//   With socket:// the settings are kept here only.
// - DTR, RTS and break (rfc2217): a server that does not answer within the
//   answer time has no such line: the call succeeds, as on a device without
//   modem lines, and later calls do not ask again. An answer with another
//   value is EINVAL. Modem status reads the server's last notice (0 before
//   any, and always 0 with socket://).
// - The connection lost (the server closed or reset it): every pending and
//   later transfer and wait fails with ECONNRESET, settings and lines too,
//   and a call waiting for an answer ends at once; CloseHandle still
//   succeeds.
// - A server that sends something other than Telnet before the options are
//   agreed is no RFC 2217 server: the open fails with EPROTONOSUPPORT and
//   nothing is sent; one that sends a text and closes (a busy port) fails
//   with ECONNRESET. GetLastErrorDetail then quotes what the server said; it
//   also names a setting the server did not take and what it answered.
// Time limits, whatever the server sends or withholds: an open ends within
// the open time (5 s); a setting or line request within the answer time
// (2 s), restoring the old settings included; CloseHandle within the answer
// time. A server that is silent at first is given a second to speak before
// the port starts the negotiation (a raw TCP port is then sent the Telnet
// requests).
//
// Output on a network port is kept to the line: the socket holds about
// 100 ms of the set rate (at least 4 KiB), so a write ends roughly when the
// line could have taken its bytes, not when a deep socket queue has them.
// FLOWCONTROL-SUSPEND from the server holds the output (writes wait and end
// by their time-outs) until FLOWCONTROL-RESUME. CloseHandle ends our side of
// the connection first and waits until the server has everything, so bytes
// the socket took are delivered; after an aborted write or a purge of the
// output with bytes still queued it resets the connection instead, so what
// was dropped never arrives.
#include "kv_serial_export.h"
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "NamesBegin.h"

namespace kv52804 {

using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;
// Ports and events are small integers; -1 is never a valid one.
using HANDLE = std::intptr_t;

inline constexpr HANDLE INVALID_HANDLE_VALUE = -1;
inline constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;

// Results of GetLastError that are not errno values.
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;

// CreateFile arguments (the only combination the port uses is
// GENERIC_READ | GENERIC_WRITE, share 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED).
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

// Waits.
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// Device control block. The one-bit fields of the classic record are one
// flag word here (Flags) so that a caller sets and a test compares exact
// masks. Layout and size (28 bytes) are those of the classic record.
struct KV_SERIAL_EXPORT DCB {
    DWORD DCBlength = sizeof(DCB);
    DWORD BaudRate = 0;
    DWORD Flags = 0; // DCB_* bits below
    WORD wReserved = 0;
    WORD XonLim = 0;
    WORD XoffLim = 0;
    BYTE ByteSize = 0; // 5..8
    BYTE Parity = 0;   // NOPARITY..SPACEPARITY
    BYTE StopBits = 0; // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    WORD wReserved1 = 0;
};
static_assert(sizeof(DCB) == 28, "DCB must keep the classic 28-byte layout");

// DCB::Flags bits.
inline constexpr DWORD DCB_BINARY = 0x0001;              // fBinary
inline constexpr DWORD DCB_PARITY = 0x0002;              // fParity: check received parity
inline constexpr DWORD DCB_OUTX_CTS_FLOW = 0x0004;       // fOutxCtsFlow
inline constexpr DWORD DCB_OUTX_DSR_FLOW = 0x0008;       // fOutxDsrFlow
inline constexpr DWORD DCB_DTR_CONTROL_MASK = 0x0030;    // fDtrControl (2 bits)
inline constexpr int DCB_DTR_CONTROL_SHIFT = 4;          //
inline constexpr DWORD DCB_DSR_SENSITIVITY = 0x0040;     // fDsrSensitivity
inline constexpr DWORD DCB_TX_CONTINUE_ON_XOFF = 0x0080; // fTXContinueOnXoff
inline constexpr DWORD DCB_OUTX = 0x0100;                // fOutX: obey XON/XOFF on output
inline constexpr DWORD DCB_INX = 0x0200;                 // fInX: send XON/XOFF for input
inline constexpr DWORD DCB_ERROR_CHAR = 0x0400;          // fErrorChar: replace parity errors
inline constexpr DWORD DCB_NULL = 0x0800;                // fNull: discard received NUL
inline constexpr DWORD DCB_RTS_CONTROL_MASK = 0x3000;    // fRtsControl (2 bits)
inline constexpr int DCB_RTS_CONTROL_SHIFT = 12;         //
inline constexpr DWORD DCB_ABORT_ON_ERROR = 0x4000;      // fAbortOnError (never used)

// Values of the two-bit line-control fields (before shifting).
inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_TOGGLE = 3;

inline constexpr DWORD DcbDtrControl(DWORD flags) {
    return (flags & DCB_DTR_CONTROL_MASK) >> DCB_DTR_CONTROL_SHIFT;
}
inline constexpr DWORD DcbRtsControl(DWORD flags) {
    return (flags & DCB_RTS_CONTROL_MASK) >> DCB_RTS_CONTROL_SHIFT;
}

// DCB::Parity and DCB::StopBits.
inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;
inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;

// Timeouts in milliseconds, with the classic meanings:
// - read: Interval = MAXDWORD, Multiplier = 0, Constant = 0 returns at once
//   with what is queued (possibly nothing); Interval = MAXDWORD, Multiplier =
//   MAXDWORD, 0 < Constant < MAXDWORD returns as soon as one byte is there, or
//   after Constant ms with nothing; otherwise the read ends when the request is
//   filled, when Interval ms pass between two bytes (Interval 0 = unused; the
//   interval runs only after the first byte), or when Multiplier * count +
//   Constant ms have passed (both 0 = no total limit).
// - write: ends when every byte has gone to the driver, or after Multiplier *
//   count + Constant ms (both 0 = no limit) with the short count and success.
struct KV_SERIAL_EXPORT COMMTIMEOUTS {
    DWORD ReadIntervalTimeout = 0;
    DWORD ReadTotalTimeoutMultiplier = 0;
    DWORD ReadTotalTimeoutConstant = 0;
    DWORD WriteTotalTimeoutMultiplier = 0;
    DWORD WriteTotalTimeoutConstant = 0;
};

// Queue status from ClearCommError. Flags holds the classic hold bits
// (unused on Linux, always 0).
struct KV_SERIAL_EXPORT COMSTAT {
    DWORD Flags = 0;
    DWORD cbInQue = 0;  // received bytes waiting to be read
    DWORD cbOutQue = 0; // bytes not yet sent
};

// One overlapped operation. The caller zeroes it and sets hEvent (a manual
// reset event from CreateEvent). The backend resets hEvent when an operation
// starts and sets it when the operation ends; Internal (the status: 0 or an
// error code, ERROR_IO_PENDING while running) and InternalHigh (bytes moved)
// belong to the backend and are read through GetOverlappedResult. The record,
// the buffer and the mask variable must stay valid until the operation has
// ended. Offsets are unused for serial devices.
struct KV_SERIAL_EXPORT OVERLAPPED {
    std::uintptr_t Internal = 0;
    std::uintptr_t InternalHigh = 0;
    DWORD Offset = 0;
    DWORD OffsetHigh = 0;
    HANDLE hEvent = INVALID_HANDLE_VALUE;
};

// Comm events (SetCommMask, WaitCommEvent).
inline constexpr DWORD EV_RXCHAR = 0x0001;
inline constexpr DWORD EV_RXFLAG = 0x0002;
inline constexpr DWORD EV_TXEMPTY = 0x0004;
inline constexpr DWORD EV_CTS = 0x0008;
inline constexpr DWORD EV_DSR = 0x0010;
inline constexpr DWORD EV_RLSD = 0x0020;
inline constexpr DWORD EV_BREAK = 0x0040;
inline constexpr DWORD EV_ERR = 0x0080;
inline constexpr DWORD EV_RING = 0x0100;
inline constexpr DWORD EV_RX80FULL = 0x0400;
inline constexpr DWORD EV_ALL = 0x05FF;

// Line errors (ClearCommError).
inline constexpr DWORD CE_RXOVER = 0x0001;
inline constexpr DWORD CE_OVERRUN = 0x0002;
inline constexpr DWORD CE_RXPARITY = 0x0004;
inline constexpr DWORD CE_FRAME = 0x0008;
inline constexpr DWORD CE_BREAK = 0x0010;
inline constexpr DWORD CE_TXFULL = 0x0100;
inline constexpr DWORD CE_IOE = 0x0400;
inline constexpr DWORD CE_MODE = 0x8000;

// PurgeComm flags.
inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

// Modem status (GetCommModemStatus).
inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;

// EscapeCommFunction functions.
inline constexpr DWORD SETXOFF = 1;
inline constexpr DWORD SETXON = 2;
inline constexpr DWORD SETRTS = 3;
inline constexpr DWORD CLRRTS = 4;
inline constexpr DWORD SETDTR = 5;
inline constexpr DWORD CLRDTR = 6;
inline constexpr DWORD SETBREAK = 8;
inline constexpr DWORD CLRBREAK = 9;

// Every operation returns true on success. On failure it returns false (or
// INVALID_HANDLE_VALUE / WAIT_FAILED) and GetLastError() on the same thread
// gives the code. All operations may be called from several threads at once
// on the same handle (the event thread waits while the window thread writes).
class KV_SERIAL_EXPORT CommApi {
public:
    virtual ~CommApi() = default;

    // Opens a serial device. `path` is a file-system path (the port resolves
    // its port name first) or a network port's URL (see above). The device is opened for exclusive use: it fails
    // with EBUSY when another process holds it open (the far end of the line
    // aside) or a live lock file names another holder, and a second opener,
    // in this or another process, fails with EBUSY. Missing device: ENOENT.
    virtual HANDLE CreateFile(const std::string& path, DWORD desiredAccess, DWORD shareMode,
                              DWORD creationDisposition, DWORD flagsAndAttributes) = 0;
    // Closes a port or an event. Closing a port ends its pending operations
    // with ECANCELED, discards unsent output (it never waits for a stalled
    // line to drain) and drops DTR/RTS as the driver does on close.
    virtual bool CloseHandle(HANDLE handle) = 0;

    // Recommended input and output queue sizes (bytes). The input size also
    // sets the EV_RX80FULL threshold.
    virtual bool SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue) = 0;
    // Applies a whole DCB. A setting the device cannot take fails with EINVAL
    // (1.5 stop bits with more than 5 data bits, a byte size outside 5..8, a
    // parity above 4) and nothing is changed; a baud rate the driver does not
    // apply exactly fails as well rather than running at another rate.
    virtual bool SetCommState(HANDLE port, const DCB& dcb) = 0;
    virtual bool GetCommState(HANDLE port, DCB& dcb) = 0;
    virtual bool SetCommTimeouts(HANDLE port, const COMMTIMEOUTS& timeouts) = 0;
    virtual bool GetCommTimeouts(HANDLE port, COMMTIMEOUTS& timeouts) = 0;

    // Sets the events a WaitCommEvent waits for. A wait in progress ends at
    // once with success and mask 0.
    virtual bool SetCommMask(HANDLE port, DWORD mask) = 0;
    virtual bool GetCommMask(HANDLE port, DWORD& mask) = 0;
    // Waits for one of the events of the mask. With an OVERLAPPED record it
    // returns false with ERROR_IO_PENDING and later sets *mask, completes the
    // record and sets its event. Events that happened since the last wait
    // ended are kept and reported by the next wait at once (then the result
    // is true, *mask is set and the event is set too).
    // When the wait cannot start (the line hung up or was unplugged, the
    // handle is not open, a wait is already pending) it returns false with the
    // OS code at once and leaves the record's event reset: a caller that
    // ignores the result and waits on the event blocks (until its own stop
    // event) instead of spinning. A pending wait that the line's hang-up ends
    // completes with an error (GetOverlappedResult false, EIO) and reports no
    // events.
    virtual bool WaitCommEvent(HANDLE port, DWORD* mask, OVERLAPPED* overlapped) = 0;

    // Transfers. With an OVERLAPPED record: true when the operation ended at
    // once (*moved set, event set); false with ERROR_IO_PENDING while it runs
    // (the count then comes from GetOverlappedResult); false with another code
    // when it could not start (event left reset). Without a record the call
    // blocks until the timeouts end it. Writes copy the caller's bytes. A
    // write ends when its bytes have left the driver's output queue; one that
    // its time-outs end reports the bytes that left, and the rest never go.
    // A read queued behind another keeps its own time-outs.
    virtual bool WriteFile(HANDLE port, const void* buffer, DWORD count, DWORD* written,
                           OVERLAPPED* overlapped) = 0;
    virtual bool ReadFile(HANDLE port, void* buffer, DWORD count, DWORD* read,
                          OVERLAPPED* overlapped) = 0;
    // Result of an overlapped operation: true with the bytes moved when it
    // ended well; false with its error code when it failed; false with
    // ERROR_IO_INCOMPLETE while it runs and `wait` is false. With `wait` true
    // it blocks until the end.
    virtual bool GetOverlappedResult(HANDLE port, OVERLAPPED* overlapped, DWORD* transferred,
                                     bool wait) = 0;
    // Ends every pending read, write and comm wait on the port with ECANCELED.
    virtual bool CancelIo(HANDLE port) = 0;

    // Reads and clears the line errors (CE_* bits) collected since the last
    // call, and reports the queue counts. Either pointer may be null.
    virtual bool ClearCommError(HANDLE port, DWORD* errors, COMSTAT* stat) = 0;
    // PURGE_TXABORT / PURGE_RXABORT end pending writes / reads (ECANCELED)
    // without touching the queues; PURGE_TXCLEAR / PURGE_RXCLEAR empty them.
    virtual bool PurgeComm(HANDLE port, DWORD flags) = 0;
    // MS_*_ON bits of the modem input lines; a device without modem lines
    // reports 0.
    virtual bool GetCommModemStatus(HANDLE port, DWORD* status) = 0;
    // Switches DTR, RTS, XON/XOFF state or break (SETDTR ... CLRBREAK).
    virtual bool EscapeCommFunction(HANDLE port, DWORD function) = 0;

    // Events. Only manual-reset events are needed by the port; auto-reset ones
    // are available and released to one waiter per SetEvent.
    virtual HANDLE CreateEvent(bool manualReset, bool initialState) = 0;
    virtual bool SetEvent(HANDLE event) = 0;
    virtual bool ResetEvent(HANDLE event) = 0;
    // WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
    virtual DWORD WaitForSingleObject(HANDLE event, DWORD milliseconds) = 0;
    // Waits for any of `count` events (waitAll true is refused with EINVAL):
    // WAIT_OBJECT_0 + index of the first signalled one in list order,
    // WAIT_TIMEOUT or WAIT_FAILED.
    virtual DWORD WaitForMultipleObjects(DWORD count, const HANDLE* events, bool waitAll,
                                         DWORD milliseconds) = 0;

    // The code of the last failing call of this thread.
    virtual DWORD GetLastError() = 0;

    // What the backend knows beyond the code about the last failing call of
    // this thread (which lock file, what a network server said or answered):
    // an English text with %s where each of the values goes, so that a
    // caller can translate it before filling them in. Empty when it has
    // nothing to add.
    struct TErrorDetail {
        std::string Text;
        std::vector<std::string> Values;
    };
    virtual TErrorDetail GetLastErrorDetail() { return {}; }
};

// The process-wide Linux backend (created on first use, never destroyed).
KV_SERIAL_EXPORT CommApi& LinuxCommApi();

} // namespace kv52804

#include "NamesEnd.h"
