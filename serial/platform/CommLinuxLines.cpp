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

void BeginSending(TPort& p) {
    if (DcbRtsControl(p.Dcb.Flags) == RTS_CONTROL_TOGGLE && !p.RtsToggleOn) {
        p.RtsToggleOn = true;
        SetLines(p.Fd, TIOCM_RTS, true);
    }
    p.TxDraining = true;
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
    if (driveLines) {
        p.DtrHeld = false;
        p.RtsToggleOn = false;
        bool dtr = DcbDtrControl(dcb.Flags) != DTR_CONTROL_DISABLE;
        DWORD rts = DcbRtsControl(dcb.Flags);
        bool rtsOn = rts == RTS_CONTROL_ENABLE || rts == RTS_CONTROL_HANDSHAKE;
        if (int e = SetLines(p.Fd, TIOCM_DTR, dtr))
            return e;
        if (int e = SetLines(p.Fd, TIOCM_RTS, rtsOn))
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
    PortPtr p = FImpl->FindPort(port);
    if (!p)
        return Fail(EBADF);
    Lock lock(p->Mutex);
    if (int e = ApplyDcb(*p, dcb, true))
        return Fail(e);
    return true;
}

bool CommLinux::GetCommState(HANDLE port, DCB& dcb) {
    PortPtr p = FImpl->FindPort(port);
    if (!p)
        return Fail(EBADF);
    Lock lock(p->Mutex);
    dcb = p->Dcb;
    return true;
}

bool CommLinux::GetCommModemStatus(HANDLE port, DWORD* status) {
    PortPtr p = FImpl->FindPort(port);
    if (!p)
        return Fail(EBADF);
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
    PortPtr p = FImpl->FindPort(port);
    if (!p)
        return Fail(EBADF);
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
        e = ::tcflow(p->Fd, TCOOFF) == 0 ? 0 : errno;
        break;
    case SETXON:
        e = ::tcflow(p->Fd, TCOON) == 0 ? 0 : errno;
        break;
    default:
        e = EINVAL;
    }
    return e ? Fail(e) : Succeed();
}
