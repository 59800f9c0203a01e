#pragma once
// The Linux backend of the serial seam: termios2, serial ioctls, one I/O
// thread per open port and eventfd events. LinuxCommApi() returns the
// process-wide instance; tests may make their own.
//
// How the classic model maps onto Linux:
// - CreateFile opens O_RDWR|O_NOCTTY|O_NONBLOCK|O_CLOEXEC, refuses anything
//   that is not a terminal (ENOTTY), and takes the device exclusively (EBUSY),
//   in this order: a lock on the open file that makes our own openers take
//   turns; TIOCEXCL, so that from then on nobody but root opens it;
//   an advisory flock; the lock file serial programs share (LCK..<name> in
//   /run/lock, else /var/lock: one naming a live process refuses, a stale one
//   is taken over, ours is written while the port is open); and last a look
//   through /proc for holders from before the flag that use neither lock (a
//   process holding the master of the same pseudo-terminal, in the same
//   devpts instance, is the line's far end, not a competitor). Every failure
//   gives all of it back; a flag that was set before is left set. The README
//   lists who cannot be seen.
// - A write ends when its bytes have left the driver's output queue (TIOCOUTQ)
//   and, where the driver tells (TIOCSERGETLSR on serial-core UARTs), the
//   transmitter has sent the last of them, or when its write time-out
//   expires. The queue is looked at when its bytes should be out at the set
//   rate and frame; wake-ups before that look at nothing. A write that runs
//   out of time or is aborted stops the output (TCOOFF), reports the bytes
//   that left and drops the rest from the driver, so nothing reported as
//   written is purged later and nothing reported as unsent goes out. One
//   write at a time is in the driver. A pseudo-terminal passes what it
//   accepts straight to the other end: its output is never purged there.
// - A transfer that fails at once completes its record with the error and
//   sets its event, so nobody waits for it. Every call on a port that is
//   closing fails with EBADF and does its device work under the port's lock.
// - Every open port has one I/O thread that sleeps in poll() on the device and
//   a wake-up eventfd. It moves received bytes into the port's own input queue
//   (bounded by the SetupComm input size; when full it stops reading so the
//   kernel's flow control can throttle the peer), completes pending reads,
//   writes and the comm-event wait within their COMMTIMEOUTS deadlines, and
//   sets the records' events. With nothing pending it has no deadline and
//   sleeps until the device or a caller wakes it.
// - Modem-line events (EV_CTS, EV_DSR, EV_RLSD, EV_RING) come from a second
//   thread that blocks in TIOCMIWAIT; it exists only when the driver has modem
//   lines and interrupt counters (not on pseudo-terminals). A signal without
//   SA_RESTART ends its wait at close.
// - Line errors: breaks and, with parity checking, bad bytes are marked in
//   the input stream by the kernel (PARMRK) and taken out by the backend;
//   frame, parity, overrun and buffer-overrun counts come from TIOCGICOUNT
//   differences where the driver has them.
// - Done in the backend's queues because termios cannot: NUL discarding
//   (fNull), replacing bytes with parity errors (fErrorChar), the event
//   character (EV_RXFLAG), DSR sensitivity and DSR output flow (only on
//   devices with modem lines), DTR input handshake (DTR dropped above
//   XoffLim free space, raised again below XonLim queued bytes), RTS toggle
//   (RTS raised while output is under way and dropped when the transmitter
//   is empty; where the driver has an RS-485 mode, that mode drives RTS).
// - Not available: fTXContinueOnXoff (the kernel always keeps sending after
//   it sends XOFF), EofChar, separate CTS output flow and RTS input handshake
//   (the kernel's CRTSCTS does both; either flag turns it on).
#include "CommApi.h"
#include "Termios2.h"

#include <linux/serial.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace kv52804 {

class CommLinux : public CommApi {
public:
    CommLinux();
    ~CommLinux() override;
    CommLinux(const CommLinux&) = delete;
    CommLinux& operator=(const CommLinux&) = delete;

    // The termios record a DCB stands for (speed bits aside: the rate goes to
    // WriteTermios2), starting from `t` so the line discipline is kept.
    // Returns 0, or an errno value for a DCB the device cannot take.
    static int DcbToTermios(const DCB& dcb, KernelTermios& t);

    // Kernel thread id of the port's I/O thread (0 for an unknown handle), so
    // tests can watch its scheduling in /proc.
    pid_t IoThreadId(HANDLE port);
    // Whether the port has a modem-line waiter (the driver has TIOCMIWAIT).
    bool HasModemWaiter(HANDLE port);

    // The driver's output side: how many bytes it still holds for sending
    // (TIOCOUTQ), dropping them (tcflush), stopping and restarting output
    // (tcflow), whether the transmitter has sent its last bit
    // (TIOCSERGETLSR) and its RS-485 mode (TIOCSRS485). Tests put a UART's in
    // for the pseudo-terminal's, whose queue is always empty and which has
    // neither a transmitter nor RS-485. Applies to ports opened after the
    // call; empty members mean the device's own.
    struct TOutputQueue {
        std::function<int(int fd)> Queued;           // bytes unsent, < 0 when unknown
        std::function<int(int fd)> Discard;          // 0, or an errno value
        std::function<int(int fd, bool on)> Flow;    // 0, or an errno value
        std::function<int(int fd)> TransmitterEmpty; // 1 empty, 0 sending, < 0 unknown
        // Sets the RS-485 mode, and reads it first into `old` when given: 0,
        // or an errno value (ENOTTY: the driver has none).
        std::function<int(int fd, const serial_rs485& set, serial_rs485* old)> Rs485;
    };
    void SetOutputQueue(TOutputQueue queue);

    // How long a network port may take to connect and agree on its options
    // (5 s), and the far side to answer a request (2 s); for ports opened
    // after the call.
    void SetNetworkTimes(std::chrono::milliseconds open, std::chrono::milliseconds answer);
    // Ends every wait for a network server, now and from now on: a network
    // open under way or begun later, and a setting or line request waiting
    // for its answer, fail at once with ECANCELED. Transfers are left alone
    // (PurgeComm and CancelIo end them). For a program that is being stopped;
    // there is no way back. Safe from any thread.
    void StopNetworkWaits();

    // Runs in every call on an open port after the port was found and before
    // it is locked (nothing when empty): tests close the port there.
    void SetFoundHook(std::function<void()> hook);
    // Runs in the I/O thread of ports opened after the call each time it has
    // planned its sleep and let go of the port, right before it sleeps:
    // tests act on the port there, as other threads may at that moment.
    void SetBeforeSleepHook(std::function<void()> hook);
    // Where ports opened after the call write their lock files; empty: the
    // system's (/run/lock, else /var/lock). A directory we may not write to
    // is only read: a live lock there still refuses.
    void SetLockDirectory(std::string dir);
    // Runs in CreateFile right after the exclusive flag is taken, before the
    // look for other holders (tests race a competitor there).
    void SetAfterFlagHook(std::function<void()> hook);
    // Runs in CreateFile after the flag was read and before it is taken.
    void SetBeforeFlagHook(std::function<void()> hook);

    HANDLE CreateFile(const std::string& path, DWORD desiredAccess, DWORD shareMode,
                      DWORD creationDisposition, DWORD flagsAndAttributes) override;
    bool CloseHandle(HANDLE handle) override;
    bool SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue) override;
    bool SetCommState(HANDLE port, const DCB& dcb) override;
    bool GetCommState(HANDLE port, DCB& dcb) override;
    bool SetCommTimeouts(HANDLE port, const COMMTIMEOUTS& timeouts) override;
    bool GetCommTimeouts(HANDLE port, COMMTIMEOUTS& timeouts) override;
    bool SetCommMask(HANDLE port, DWORD mask) override;
    bool GetCommMask(HANDLE port, DWORD& mask) override;
    bool WaitCommEvent(HANDLE port, DWORD* mask, OVERLAPPED* overlapped) override;
    bool WriteFile(HANDLE port, const void* buffer, DWORD count, DWORD* written,
                   OVERLAPPED* overlapped) override;
    bool ReadFile(HANDLE port, void* buffer, DWORD count, DWORD* read,
                  OVERLAPPED* overlapped) override;
    bool GetOverlappedResult(HANDLE port, OVERLAPPED* overlapped, DWORD* transferred,
                             bool wait) override;
    bool CancelIo(HANDLE port) override;
    bool ClearCommError(HANDLE port, DWORD* errors, COMSTAT* stat) override;
    bool PurgeComm(HANDLE port, DWORD flags) override;
    bool GetCommModemStatus(HANDLE port, DWORD* status) override;
    bool EscapeCommFunction(HANDLE port, DWORD function) override;
    HANDLE CreateEvent(bool manualReset, bool initialState) override;
    bool SetEvent(HANDLE event) override;
    bool ResetEvent(HANDLE event) override;
    DWORD WaitForSingleObject(HANDLE event, DWORD milliseconds) override;
    DWORD WaitForMultipleObjects(DWORD count, const HANDLE* events, bool waitAll,
                                 DWORD milliseconds) override;
    DWORD GetLastError() override;
    TErrorDetail GetLastErrorDetail() override;

    struct TImpl;

private:
    std::unique_ptr<TImpl> FImpl;
};

} // namespace kv52804
