// Termios, modem lines and signals: the DCB applied to the driver, DTR and
// RTS, the line-error and modem-line counters and their waiter thread.
#include "CommLinuxPort.h"

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <linux/serial.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace kv52804 {

namespace commlinux {

namespace {

// The signal that ends a modem waiter's TIOCMIWAIT. TIOCMIWAIT cannot be
// combined with poll, so the only way to get the thread out of it at close is
// a signal whose handler is installed without SA_RESTART.
int WakeSignal() {
    return SIGRTMAX - 1;
}

void NoOpHandler(int) {}

} // namespace

void InstallWakeSignal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_handler = NoOpHandler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0; // no SA_RESTART: the ioctl must return EINTR
        ::sigaction(WakeSignal(), &sa, nullptr);
    });
}

// Drives modem output lines. Devices without them (pseudo-terminals) answer
// ENOTTY or EINVAL, which is not an error for a port that has no such lines.
int SetLines(int fd, int bits, bool on) {
    if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0 && !NoModemLines(errno))
        return errno;
    return 0;
}

bool ReadCounts(int fd, TCounts& c) {
    serial_icounter_struct k{};
    if (::ioctl(fd, TIOCGICOUNT, &k) != 0)
        return false;
    c = TCounts{k.cts, k.dsr, k.rng, k.dcd, k.frame, k.overrun, k.parity, k.brk, k.buf_overrun};
    return true;
}

bool OutputHeld(const TPort& p) {
    if (p.Transport)
        return p.Transport->Held();
    return (p.Dcb.Flags & DCB_OUTX_DSR_FLOW) && p.HasModemLines && !p.DsrOn;
}

// DTR input handshake: the peer is told to stop when the queue has less than
// XoffLim bytes free, and to go on when it holds less than XonLim.
void UpdateInputFlow(TPort& p) {
    if (DcbDtrControl(p.Dcb.Flags) != DTR_CONTROL_HANDSHAKE)
        return;
    std::size_t len = p.InLength();
    std::size_t limit = p.InLimit();
    if (!p.DtrHeld && len + p.Dcb.XoffLim >= limit) {
        p.DtrHeld = true;
        SetLines(p.Fd, TIOCM_DTR, false);
    } else if (p.DtrHeld && len < p.Dcb.XonLim) {
        p.DtrHeld = false;
        SetLines(p.Fd, TIOCM_DTR, true);
    }
}

// Differences of the driver's counters since the last look: line errors and
// modem-line changes.
void TakeCounts(TPort& p, DWORD& errors, DWORD& events, int& breaks) {
    breaks = 0;
    if (!p.HasCounts)
        return;
    TCounts c;
    if (!ReadCounts(p.Fd, c))
        return;
    const TCounts& o = p.Counts;
    if (c.Frame != o.Frame)
        errors |= CE_FRAME;
    if (c.Parity != o.Parity)
        errors |= CE_RXPARITY;
    if (c.Overrun != o.Overrun)
        errors |= CE_OVERRUN;
    if (c.BufOverrun != o.BufOverrun)
        errors |= CE_RXOVER;
    if (c.Brk != o.Brk) {
        errors |= CE_BREAK;
        events |= EV_BREAK;
        breaks = c.Brk - o.Brk;
    }
    if (errors & (CE_FRAME | CE_RXPARITY | CE_OVERRUN | CE_RXOVER))
        events |= EV_ERR;
    if (c.Cts != o.Cts)
        events |= EV_CTS;
    if (c.Dsr != o.Dsr)
        events |= EV_DSR;
    if (c.Dcd != o.Dcd)
        events |= EV_RLSD;
    if (c.Rng != o.Rng)
        events |= EV_RING;
    p.Counts = c;
}

// RTS toggle: RTS goes up before the first byte and down when the
// transmitter has sent the last (EndSending), unless the driver's RS-485
// mode does both.
void BeginSending(TPort& p) {
    if (DcbRtsControl(p.Dcb.Flags) == RTS_CONTROL_TOGGLE && !p.Rs485 && !p.RtsToggleOn) {
        p.RtsToggleOn = true;
        SetLines(p.Fd, TIOCM_RTS, true);
    }
    p.TxDraining = true;
}

void EndSending(TPort& p) {
    if (p.RtsToggleOn) {
        p.RtsToggleOn = false;
        SetLines(p.Fd, TIOCM_RTS, false);
    }
}

// Stops the driver's output (TCOOFF) so that nothing leaves while a count is
// read and the rest dropped; false when it is not stopped. Not on a
// pseudo-terminal (it holds nothing back), not when the caller stopped it
// (SETXOFF: the restart would undo that), and not with XON/XOFF output flow:
// TCOON would also end a stop that the peer's XOFF made.
bool StopOutput(TPort& p) {
    if (p.UserStopped || (p.Dcb.Flags & DCB_OUTX) || p.Transport)
        return false;
    if (p.Out.Flow)
        return p.Out.Flow(p.Fd, false) == 0;
    return !p.IsPty && ::tcflow(p.Fd, TCOOFF) == 0;
}

void RestartOutput(TPort& p) {
    if (p.Out.Flow)
        p.Out.Flow(p.Fd, true);
    else
        ::tcflow(p.Fd, TCOON);
}

// Whether the transmitter has sent its last bit. Bytes that have left the
// driver's queue may still wait in the UART's FIFO and shift register
// (TIOCSERGETLSR tells on serial-core UARTs); where the driver cannot tell,
// an empty queue has to do.
bool TransmitterEmpty(TPort& p) {
    if (p.Out.TransmitterEmpty)
        return p.Out.TransmitterEmpty(p.Fd) != 0;
    unsigned int lsr = 0;
    if (!p.HasLsr || ::ioctl(p.Fd, TIOCSERGETLSR, &lsr) != 0)
        return true;
    return lsr & TIOCSER_TEMT;
}

namespace {

int SetRs485(TPort& p, const serial_rs485& set, serial_rs485* old) {
    if (p.Out.Rs485)
        return p.Out.Rs485(p.Fd, set, old);
    if (p.IsPty)
        return ENOTTY;
    if (old && ::ioctl(p.Fd, TIOCGRS485, old) != 0)
        return errno;
    return ::ioctl(p.Fd, TIOCSRS485, &set) == 0 ? 0 : errno;
}

} // namespace

// Puts the driver into RS-485 mode, RTS up while sending and down after the
// last bit (the driver times that exactly), or back to the mode it had.
// Returns 0, or an errno value (ENOTTY: the driver has no such mode).
int UseRs485(TPort& p, bool on) {
    if (on == p.Rs485)
        return 0;
    if (on) {
        serial_rs485 set{}, old{};
        set.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        if (int e = SetRs485(p, set, &old))
            return e;
        p.SavedRs485 = old;
        p.Rs485 = true;
        return 0;
    }
    p.Rs485 = false;
    return SetRs485(p, p.SavedRs485, nullptr);
}

// The time one character takes on the line: start bit, data, parity and stop
// bits (one and a half counted as two) at the set rate.
Clock::duration CharTime(const TPort& p) {
    std::int64_t baud = p.Dcb.BaudRate ? p.Dcb.BaudRate : 9600;
    std::int64_t bits = 1 + p.Dcb.ByteSize + (p.Dcb.Parity != NOPARITY ? 1 : 0) +
                        (p.Dcb.StopBits == ONESTOPBIT ? 1 : 2);
    return std::chrono::nanoseconds(bits * 1000000000 / baud);
}

// Modem-line changes. TIOCMIWAIT returns when one of the lines changes;
// TIOCGICOUNT differences tell which, so a change between two waits still
// shows in the counters at the next look.
void ModemChanged(TPort& p) {
    DWORD errors = 0, events = 0;
    int breaks = 0;
    TakeCounts(p, errors, events, breaks);
    int bits = 0;
    if (::ioctl(p.Fd, TIOCMGET, &bits) == 0) {
        bool dsr = bits & TIOCM_DSR;
        if (dsr != p.DsrOn) {
            p.DsrOn = dsr;
            Wake(p); // DSR output flow may go on
        }
    }
    p.Errors |= errors;
    SignalEvents(p, events);
}

void ModemLoop(TPort& p) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, WakeSignal());
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    while (!p.ModemStop.load()) {
        {
            // Look at the counters before every wait: a change that came
            // while the last one was being handled shows there, not as a
            // return of the next wait.
            Lock lock(p.Mutex);
            ModemChanged(p);
        }
        int r = ::ioctl(p.Fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG);
        if (r != 0 && errno != EINTR)
            break; // no TIOCMIWAIT after all, or the line hung up
    }
    Lock lock(p.Mutex);
    p.ModemExited = true;
    p.ModemCv.notify_all();
}

void StopModemWaiter(TPort& p) {
    if (!p.Modem.joinable())
        return;
    p.ModemStop.store(true);
    pthread_t handle = p.Modem.native_handle();
    {
        Lock lock(p.Mutex);
        // The signal may land just before the thread enters TIOCMIWAIT and be
        // lost; send it again until the thread says it has left.
        while (!p.ModemExited) {
            pthread_kill(handle, WakeSignal());
            p.ModemCv.wait_for(lock, std::chrono::milliseconds(20), [&] { return p.ModemExited; });
        }
    }
    p.Modem.join();
}

// Applies a DCB. Nothing changes when it fails.
int ApplyDcb(TPort& p, const DCB& dcb, bool driveLines) {
    KernelTermios old;
    if (ReadTermios2(p.Fd, old) != 0)
        return errno;
    KernelTermios t = old;
    if (int e = CommLinux::DcbToTermios(dcb, t))
        return e;
    if (WriteTermios2(p.Fd, t, dcb.BaudRate) != 0)
        return errno;
    // The driver may round or refuse the rate, or keep a character frame it
    // cannot make (ftdi_sio keeps the old size when asked for six data bits),
    // without saying so; a port that silently runs otherwise would garble
    // every byte. Rates within the usual 2 % UART tolerance pass.
    // (Pseudo-terminals keep any rate and always report 8 bits, no parity.)
    KernelTermios now;
    if (ReadTermios2(p.Fd, now) != 0)
        return errno;
    std::uint64_t want = dcb.BaudRate, got = now.c_ospeed;
    std::uint64_t diff = want > got ? want - got : got - want;
    constexpr std::uint32_t frame = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    if (diff * 50 > want || (!p.IsPty && (now.c_cflag & frame) != (t.c_cflag & frame))) {
        WriteTermios2(p.Fd, old, old.c_ospeed);
        return EINVAL;
    }
    p.Dcb = dcb;
    p.Dcb.DCBlength = sizeof(DCB);
    p.NextLook.reset(); // another rate: plan the next look anew
    if (driveLines) {
        p.DtrHeld = false;
        p.RtsToggleOn = false;
        bool dtr = DcbDtrControl(dcb.Flags) != DTR_CONTROL_DISABLE;
        DWORD rts = DcbRtsControl(dcb.Flags);
        bool rtsOn = rts == RTS_CONTROL_ENABLE || rts == RTS_CONTROL_HANDSHAKE;
        // RTS toggle by the driver's RS-485 mode where it has one; without
        // it the backend raises and drops RTS itself.
        int rs485 = UseRs485(p, rts == RTS_CONTROL_TOGGLE);
        if (rs485 && rts != RTS_CONTROL_TOGGLE)
            return rs485; // the driver's RS-485 mode could not be ended
        if (int e = SetLines(p.Fd, TIOCM_DTR, dtr))
            return e;
        if (int e = p.Rs485 ? 0 : SetLines(p.Fd, TIOCM_RTS, rtsOn))
            return e;
        int bits = 0;
        if (p.HasModemLines && ::ioctl(p.Fd, TIOCMGET, &bits) == 0)
            p.DsrOn = bits & TIOCM_DSR;
        UpdateInputFlow(p);
    }
    Wake(p);
    return 0;
}

} // namespace commlinux

using namespace commlinux;

int CommLinux::DcbToTermios(const DCB& dcb, KernelTermios& t) {
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS || dcb.BaudRate == 0)
        return EINVAL;
    // With 5 data bits the UART's "two stop bits" setting gives one and a
    // half; anywhere else one and a half does not exist. Neither is replaced
    // by something the caller did not ask for.
    if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5)
        return EINVAL;
    if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5)
        return EINVAL;
    if ((dcb.Flags & (DCB_OUTX | DCB_INX)) && dcb.XonChar == dcb.XoffChar)
        return EINVAL;

    // Input: nothing may alter a byte. PARMRK makes the kernel mark breaks and
    // (with checking) bad bytes in-band; the backend takes the marks out.
    t.c_iflag = PARMRK;
    if (dcb.Flags & DCB_PARITY)
        t.c_iflag |= INPCK;
    if (dcb.Flags & DCB_OUTX)
        t.c_iflag |= IXON;
    if (dcb.Flags & DCB_INX)
        t.c_iflag |= IXOFF;
    t.c_oflag = 0;
    t.c_lflag = 0;

    std::uint32_t c = (t.c_cflag & Termios2SpeedBits()) | CREAD | CLOCAL;
    static constexpr std::uint32_t sizes[] = {CS5, CS6, CS7, CS8};
    c |= sizes[dcb.ByteSize - 5];
    if (dcb.StopBits != ONESTOPBIT)
        c |= CSTOPB;
    switch (dcb.Parity) {
    case ODDPARITY:
        c |= PARENB | PARODD;
        break;
    case EVENPARITY:
        c |= PARENB;
        break;
    case MARKPARITY:
        c |= PARENB | CMSPAR | PARODD;
        break;
    case SPACEPARITY:
        c |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if ((dcb.Flags & DCB_OUTX_CTS_FLOW) || DcbRtsControl(dcb.Flags) == RTS_CONTROL_HANDSHAKE)
        c |= CRTSCTS;
    t.c_cflag = c;

    std::fill(std::begin(t.c_cc), std::end(t.c_cc), 0);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = static_cast<std::uint8_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<std::uint8_t>(dcb.XoffChar);
    return 0;
}

bool CommLinux::SetCommState(HANDLE port, const DCB& dcb) {
    auto [p, lock, error] = FImpl->Enter(port);
    if (error)
        return Fail(error);
    if (int e = p->Transport ? p->Transport->SetState(*p, lock, dcb) : ApplyDcb(*p, dcb, true))
        return p->Transport ? Fail(e, NetworkDetail(*p)) : Fail(e);
    return true;
}

bool CommLinux::GetCommState(HANDLE port, DCB& dcb) {
    auto [p, lock, error] = FImpl->Enter(port);
    if (error)
        return Fail(error);
    dcb = p->Dcb;
    return true;
}

bool CommLinux::GetCommModemStatus(HANDLE port, DWORD* status) {
    auto [p, lock, error] = FImpl->Enter(port);
    if (error)
        return Fail(error);
    if (p->Transport) {
        if (status)
            *status = p->Transport->ModemStatus();
        return true;
    }
    int bits = 0;
    if (::ioctl(p->Fd, TIOCMGET, &bits) != 0) {
        if (!NoModemLines(errno))
            return Fail(errno);
        bits = 0; // no modem lines: all of them read as off
    }
    if (status) {
        *status = ((bits & TIOCM_CTS) ? MS_CTS_ON : 0) | ((bits & TIOCM_DSR) ? MS_DSR_ON : 0) |
                  ((bits & TIOCM_RNG) ? MS_RING_ON : 0) | ((bits & TIOCM_CD) ? MS_RLSD_ON : 0);
    }
    return true;
}

bool CommLinux::EscapeCommFunction(HANDLE port, DWORD function) {
    auto [p, lock, error] = FImpl->Enter(port);
    if (error)
        return Fail(error);
    if (p->Transport) {
        int e = p->Transport->Escape(*p, lock, function);
        return e ? Fail(e) : Succeed();
    }
    int e = 0;
    switch (function) {
    case SETDTR:
    case CLRDTR:
        e = SetLines(p->Fd, TIOCM_DTR, function == SETDTR);
        break;
    case SETRTS:
    case CLRRTS:
        e = SetLines(p->Fd, TIOCM_RTS, function == SETRTS);
        break;
    case SETBREAK:
        e = ::ioctl(p->Fd, TIOCSBRK) == 0 ? 0 : errno;
        break;
    case CLRBREAK:
        e = ::ioctl(p->Fd, TIOCCBRK) == 0 ? 0 : errno;
        break;
    case SETXOFF:
    case SETXON:
        e = ::tcflow(p->Fd, function == SETXOFF ? TCOOFF : TCOON) == 0 ? 0 : errno;
        if (!e)
            p->UserStopped = function == SETXOFF;
        break;
    default:
        e = EINVAL;
    }
    return e ? Fail(e) : Succeed();
}

} // namespace kv52804
