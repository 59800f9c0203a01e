#include "CommLinux.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;

thread_local DWORD tLastError = 0;

bool Fail(int error) {
    tLastError = static_cast<DWORD>(error);
    errno = error;
    return false;
}

bool Succeed() {
    return true;
}

// Pseudo-terminals and other devices without modem lines answer these.
bool NoModemLines(int error) {
    return error == ENOTTY || error == EINVAL;
}

// The signal that ends a modem waiter's TIOCMIWAIT. TIOCMIWAIT cannot be
// combined with poll, so the only way to get the thread out of it at close is
// a signal whose handler is installed without SA_RESTART.
int WakeSignal() {
    return SIGRTMAX - 1;
}

void NoOpHandler(int) {}

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

// An event: an eventfd that stays readable while set (manual reset) or is
// consumed by the one waiter it releases (auto reset).
struct TEvent {
    int Fd = -1;
    bool ManualReset = true;
    // Setting an event publishes what the setter wrote before (a record's
    // status, a read's bytes) to whoever the wait releases, as the memory
    // model sees it: the kernel's eventfd alone orders it only in practice.
    mutable std::atomic<std::uint64_t> Sets{0};
    ~TEvent() {
        if (Fd >= 0)
            ::close(Fd);
    }
    void Acquire() const { Sets.load(std::memory_order_acquire); }
    void Set() const {
        Sets.fetch_add(1, std::memory_order_release);
        std::uint64_t one = 1;
        // Fails only when the counter would overflow, which leaves it set.
        [[maybe_unused]] ssize_t n = ::write(Fd, &one, sizeof one);
    }
    void Reset() const {
        std::uint64_t value;
        [[maybe_unused]] ssize_t n = ::read(Fd, &value, sizeof value);
    }
    // Takes the signal of an auto-reset event; false when another waiter was
    // first.
    bool Consume() const {
        std::uint64_t value;
        return ::read(Fd, &value, sizeof value) == sizeof value;
    }
};
using EventPtr = std::shared_ptr<TEvent>;

// What an overlapped operation reports to its caller.
struct TRecord {
    OVERLAPPED* Ov = nullptr;
    EventPtr Event;
};

struct TWriteOp {
    TRecord Rec;
    std::size_t Size = 0;
    std::string Data;        // the bytes, kept only while some are not handed over
    std::size_t Done = 0;    // handed to the driver
    std::uint64_t Start = 0; // place of its first byte in the port's output
    std::optional<Clock::time_point> Deadline;
    bool Handed() const { return Done == Size; }
};

struct TReadOp {
    TRecord Rec;
    char* Buffer = nullptr;
    DWORD Count = 0;
    DWORD Done = 0;
    std::optional<Clock::time_point> Deadline; // total timeout, counted from the start
    std::optional<Clock::duration> Interval;   // between two bytes, after the first
    bool AnyByte = false;                      // end as soon as one byte is there
    Clock::time_point LastByte;
};

struct TWaitOp {
    TRecord Rec;
    DWORD* Mask = nullptr;
};

// Receive-side error counters of the driver.
struct TCounts {
    int Cts = 0, Dsr = 0, Rng = 0, Dcd = 0, Frame = 0, Overrun = 0, Parity = 0, Brk = 0,
        BufOverrun = 0;
};

constexpr DWORD DefaultQueueSize = 4096;
constexpr int TtyWakeupChars = 256;

// Unix98 pseudo-terminal slaves have this major number, their index as minor;
// masters are opened through /dev/ptmx (5, 2).
constexpr unsigned PtySlaveMajor = 136;
constexpr unsigned PtmxMajor = 5, PtmxMinor = 2;

} // namespace

struct TPort {
    int Fd = -1;
    int WakeFd = -1;
    std::mutex Mutex;
    std::condition_variable Done; // every completion and the I/O thread's start
    bool Closed = false;

    std::thread Io;
    pid_t IoTid = 0;

    std::thread Modem;
    std::atomic<bool> ModemStop{false};
    bool ModemExited = false;
    std::condition_variable ModemCv;

    DCB Dcb;
    COMMTIMEOUTS Timeouts;
    DWORD InSize = DefaultQueueSize;
    DWORD OutSize = DefaultQueueSize; // recorded only: output goes straight to the driver
    DWORD Mask = 0;
    DWORD History = 0; // events seen while no wait was pending
    DWORD Errors = 0;  // CE_* since the last ClearCommError
    int HangupError = 0;

    // The input queue: bytes from InHead on.
    std::string InQ;
    std::size_t InHead = 0;
    int ParseState = 0; // PARMRK marks: 0 plain, 1 after \377, 2 after \377 \0

    std::deque<TWriteOp> Writes;
    std::deque<TReadOp> Reads;
    std::optional<TWaitOp> Wait;

    bool HasModemLines = false;
    bool HasCounts = false;
    TCounts Counts;
    bool DsrOn = false;
    bool DtrHeld = false;     // DTR dropped by the input handshake
    bool TxDraining = false;  // output handed to the driver, not yet seen drained
    bool RtsToggleOn = false; // RTS raised for sending (RTS toggle)
    int LastOutQ = -1;        // driver output count at the last drain check
    std::int64_t DrainCheckUs = 0;
    // Bytes handed to the driver since the open, and of those the ones that
    // have left its output queue (as far as the last look showed).
    std::uint64_t Handed = 0;
    std::uint64_t Left = 0;
    bool IsPty = false;
    CommLinux::TOutputQueue Out;

    std::size_t InLength() const { return InQ.size() - InHead; }
    DWORD InLimit() const { return InSize ? InSize : DefaultQueueSize; }
};

using PortPtr = std::shared_ptr<TPort>;

struct CommLinux::TImpl {
    std::mutex Mutex;
    std::map<HANDLE, PortPtr> Ports;
    std::map<HANDLE, EventPtr> Events;
    TOutputQueue Out;

    PortPtr FindPort(HANDLE h) {
        std::lock_guard lock(Mutex);
        auto it = Ports.find(h);
        return it == Ports.end() ? nullptr : it->second;
    }
    EventPtr FindEvent(HANDLE h) {
        std::lock_guard lock(Mutex);
        auto it = Events.find(h);
        return it == Events.end() ? nullptr : it->second;
    }

    // The common start of WaitCommEvent, WriteFile and ReadFile. The record's
    // event is reset first, so an operation that cannot start leaves it reset
    // and a waiter sleeps instead of seeing an old completion; then the port
    // is found and locked, and a closed or hung-up port refuses with its code.
    struct TStart {
        EventPtr Event;
        PortPtr Port;
        Lock Guard;
        int Error = 0;
    };
    TStart StartOperation(HANDLE port, OVERLAPPED* overlapped) {
        TStart start;
        start.Event = overlapped ? FindEvent(overlapped->hEvent) : nullptr;
        if (start.Event)
            start.Event->Reset();
        start.Port = FindPort(port);
        if (!start.Port) {
            start.Error = EBADF;
            return start;
        }
        start.Guard = Lock(start.Port->Mutex);
        if (start.Port->Closed)
            start.Error = EBADF;
        else if (start.Port->HangupError)
            start.Error = start.Port->HangupError;
        return start;
    }
};

namespace {

// ---------------------------------------------------------------- helpers --

void Wake(TPort& p) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(p.WakeFd, &one, sizeof one);
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

void StartRecord(TRecord& rec) {
    if (rec.Ov) {
        rec.Ov->Internal = ERROR_IO_PENDING;
        rec.Ov->InternalHigh = 0;
    }
}

void Complete(TPort& p, TRecord& rec, DWORD error, DWORD count) {
    if (rec.Ov) {
        rec.Ov->InternalHigh = count;
        rec.Ov->Internal = error;
    }
    if (rec.Event)
        rec.Event->Set();
    p.Done.notify_all();
}

// Reports events: they go to the pending wait or into the history that the
// next wait returns at once. Only events of the mask count.
void SignalEvents(TPort& p, DWORD events) {
    p.History |= events & p.Mask;
    if (p.History && p.Wait) {
        if (p.Wait->Mask)
            *p.Wait->Mask = p.History;
        p.History = 0;
        Complete(p, p.Wait->Rec, 0, 0);
        p.Wait.reset();
    }
}

// Bytes of a write that have left the driver, as far as the last look showed.
std::size_t Sent(const TPort& p, const TWriteOp& w) {
    if (w.Done == 0 || p.Left <= w.Start)
        return 0;
    return static_cast<std::size_t>(std::min<std::uint64_t>(p.Left - w.Start, w.Done));
}

// Operations waiting behind the first have moved nothing; their time may run
// out while they wait.
template <typename Op> void ExpireWaiting(TPort& p, std::deque<Op>& ops, Clock::time_point now) {
    for (auto it = ops.begin(); it != ops.end();) {
        if (it != ops.begin() && it->Deadline && now >= *it->Deadline) {
            Complete(p, it->Rec, 0, 0);
            it = ops.erase(it);
        } else {
            ++it;
        }
    }
}

void FailAll(TPort& p, int error, bool writes, bool reads, bool wait) {
    if (writes) {
        for (auto& w : p.Writes)
            Complete(p, w.Rec, error, static_cast<DWORD>(Sent(p, w)));
        p.Writes.clear();
    }
    if (reads) {
        for (auto& r : p.Reads)
            Complete(p, r.Rec, error, r.Done);
        p.Reads.clear();
    }
    if (wait && p.Wait) {
        Complete(p, p.Wait->Rec, error, 0);
        p.Wait.reset();
    }
}

// The line is gone (pseudo-terminal master closed, adapter unplugged): every
// pending and later transfer fails with the OS code and the I/O thread stops
// watching the device, which would otherwise report POLLHUP forever.
void HangUp(TPort& p, int error) {
    if (p.HangupError)
        return;
    p.HangupError = error ? error : EIO;
    FailAll(p, p.HangupError, true, true, true);
    Wake(p);
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

void Deliver(TPort& p, unsigned char c, DWORD& events) {
    if ((p.Dcb.Flags & DCB_NULL) && c == 0)
        return;
    if ((p.Dcb.Flags & DCB_DSR_SENSITIVITY) && p.HasModemLines && !p.DsrOn)
        return;
    p.InQ.push_back(static_cast<char>(c));
    events |= EV_RXCHAR;
    if (c == static_cast<unsigned char>(p.Dcb.EvtChar))
        events |= EV_RXFLAG;
}

// Takes the kernel's marks out of the byte stream (PARMRK is always on):
// \377 \377 is a real \377, \377 \0 \0 a break (as many as the counters say;
// all of them without counters, where a NUL with a bad parity cannot be told
// from a break), \377 \0 c a byte with a parity or framing error.
void Parse(TPort& p, const unsigned char* data, std::size_t n, int breaks, DWORD& errors,
           DWORD& events) {
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = data[i];
        switch (p.ParseState) {
        case 0:
            if (c == 0xFF)
                p.ParseState = 1;
            else
                Deliver(p, c, events);
            break;
        case 1:
            p.ParseState = 0;
            if (c == 0)
                p.ParseState = 2;
            else
                Deliver(p, 0xFF, events); // \377 \377
            break;
        default:
            p.ParseState = 0;
            if (c == 0 && (breaks > 0 || !p.HasCounts)) {
                --breaks;
                errors |= CE_BREAK;
                events |= EV_BREAK;
                break;
            }
            if (!p.HasCounts) {
                errors |= CE_RXPARITY;
                events |= EV_ERR;
            }
            if (p.Dcb.Flags & DCB_ERROR_CHAR)
                c = static_cast<unsigned char>(p.Dcb.ErrorChar);
            Deliver(p, c, events);
            break;
        }
    }
}

void ServeReads(TPort& p, Clock::time_point now);

// Moves what the kernel has received into the input queue, as far as the
// queue has room.
void PullInput(TPort& p) {
    if (p.HangupError || p.Closed)
        return;
    DWORD events = 0, errors = 0;
    int breaks = 0;
    TakeCounts(p, errors, events, breaks);
    std::size_t before = p.InLength();
    unsigned char buf[4096];
    for (;;) {
        std::size_t room = p.InLimit() > p.InLength() ? p.InLimit() - p.InLength() : 0;
        if (room == 0)
            break;
        ssize_t n = ::read(p.Fd, buf, std::min(room, sizeof buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) {
            // A terminal read of 0 or EIO means the line hung up.
            HangUp(p, n == 0 ? EIO : errno);
            break;
        }
        Parse(p, buf, static_cast<std::size_t>(n), breaks, errors, events);
        breaks = 0;
    }
    std::size_t threshold = static_cast<std::size_t>(p.InLimit()) * 8 / 10;
    if (before < threshold && p.InLength() >= threshold)
        events |= EV_RX80FULL;
    p.Errors |= errors;
    SignalEvents(p, events);
    UpdateInputFlow(p);
    ServeReads(p, Clock::now());
}

// Hands queued bytes to the pending reads and ends those that are complete
// or whose time is up.
void ServeReads(TPort& p, Clock::time_point now) {
    while (!p.Reads.empty()) {
        TReadOp& r = p.Reads.front();
        std::size_t take = std::min<std::size_t>(r.Count - r.Done, p.InLength());
        if (take) {
            bool wasFull = p.InLength() >= p.InLimit();
            std::memcpy(r.Buffer + r.Done, p.InQ.data() + p.InHead, take);
            p.InHead += take;
            r.Done += static_cast<DWORD>(take);
            r.LastByte = now;
            if (wasFull)
                Wake(p); // the I/O thread stopped reading the device
        }
        bool done = r.Done == r.Count || (r.AnyByte && r.Done > 0) ||
                    (r.Interval && r.Done > 0 && now - r.LastByte >= *r.Interval) ||
                    (r.Deadline && now >= *r.Deadline);
        if (!done)
            break;
        Complete(p, r.Rec, 0, r.Done);
        p.Reads.pop_front();
    }
    ExpireWaiting(p, p.Reads, now);
    if (p.InHead > 0 && p.InHead * 2 >= p.InQ.size()) {
        p.InQ.erase(0, p.InHead);
        p.InHead = 0;
    }
    UpdateInputFlow(p);
}

void BeginSending(TPort& p) {
    if (DcbRtsControl(p.Dcb.Flags) == RTS_CONTROL_TOGGLE && !p.RtsToggleOn) {
        p.RtsToggleOn = true;
        SetLines(p.Fd, TIOCM_RTS, true);
    }
    p.TxDraining = true;
}

// Bytes the driver still holds for sending. A pseudo-terminal hands what it
// accepts straight to the other end's input, so it holds none.
int OutQueued(TPort& p) {
    if (p.Out.Queued)
        return p.Out.Queued(p.Fd);
    int queued = 0;
    if (p.IsPty || ::ioctl(p.Fd, TIOCOUTQ, &queued) != 0)
        return 0;
    return queued;
}

// Looks at the driver's output queue: what is not in it any more has left.
// Returns the bytes still there.
std::uint64_t LookAtOutput(TPort& p) {
    int queued = OutQueued(p);
    std::uint64_t unsent = std::min<std::uint64_t>(queued > 0 ? queued : 0, p.Handed - p.Left);
    p.Left = p.Handed - unsent;
    return unsent;
}

// Drops what the driver still holds for sending. Not on a pseudo-terminal:
// there a flush reaches into the other end's input and takes bytes that have
// already arrived.
int DiscardOutput(TPort& p) {
    int error = 0;
    if (p.Out.Discard)
        error = p.Out.Discard(p.Fd);
    else if (!p.IsPty && ::tcflush(p.Fd, TCOFLUSH) != 0)
        error = errno;
    p.Left = p.Handed;
    return error;
}

// Ends the front write with the bytes that have left the driver, and drops the
// rest of it from the driver's queue so that the count holds: what is reported
// as unsent never goes out (a caller may send it again), and what is reported
// as sent is no longer there for a purge to drop. Only the front write can
// have bytes in the driver.
int EndFrontWrite(TPort& p) {
    TWriteOp& w = p.Writes.front();
    LookAtOutput(p);
    std::size_t sent = Sent(p, w);
    int error = sent < w.Done ? DiscardOutput(p) : 0;
    Complete(p, w.Rec, 0, static_cast<DWORD>(sent));
    p.Writes.pop_front();
    return error;
}

// Hands the front write's bytes to the driver as far as it takes them now; a
// device failure hangs the port up. The next write's bytes follow only when
// the front write has ended (WatchOutput).
void PushOutput(TPort& p) {
    while (!p.Writes.empty() && !p.Writes.front().Handed() && !p.HangupError && !OutputHeld(p)) {
        TWriteOp& w = p.Writes.front();
        if (w.Done == 0)
            w.Start = p.Handed;
        BeginSending(p);
        ssize_t n = ::write(p.Fd, w.Data.data() + w.Done, w.Size - w.Done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n < 0) {
            HangUp(p, errno);
            return;
        }
        w.Done += static_cast<std::size_t>(n);
        p.Handed += static_cast<std::size_t>(n);
    }
}

// Ends writes whose time is up (success with the count sent) and reads.
void CheckDeadlines(TPort& p, Clock::time_point now) {
    while (!p.Writes.empty() && p.Writes.front().Deadline && now >= *p.Writes.front().Deadline)
        EndFrontWrite(p);
    ExpireWaiting(p, p.Writes, now);
    ServeReads(p, now);
}

// Watches the driver's output queue: ends the front write when all its bytes
// have left, reports EV_TXEMPTY (output drained) when nothing is left at all,
// and says when to look again while bytes are still going out; nothing when
// there is nothing to watch.
std::optional<Clock::time_point> WatchOutput(TPort& p, Clock::time_point now) {
    bool writing = !p.Writes.empty() && p.Writes.front().Handed();
    if (p.HangupError || !(writing || (p.TxDraining && p.Writes.empty())))
        return std::nullopt;
    std::uint64_t unsent = LookAtOutput(p);
    if (writing && p.Left >= p.Writes.front().Start + p.Writes.front().Size) {
        Complete(p, p.Writes.front().Rec, 0, static_cast<DWORD>(p.Writes.front().Size));
        p.Writes.pop_front();
        p.LastOutQ = -1;
        if (!p.Writes.empty())
            return now; // the next write may go now
    }
    if (p.Writes.empty()) {
        if (unsent == 0) {
            p.TxDraining = false;
            p.LastOutQ = -1;
            if (p.RtsToggleOn) {
                p.RtsToggleOn = false;
                SetLines(p.Fd, TIOCM_RTS, false);
            }
            SignalEvents(p, EV_TXEMPTY);
            return std::nullopt;
        }
        if (!(p.Mask & EV_TXEMPTY) && DcbRtsControl(p.Dcb.Flags) != RTS_CONTROL_TOGGLE) {
            // Nobody is waiting for the end of the output; forget it.
            p.TxDraining = false;
            return std::nullopt;
        }
    }
    // There is no poll event for "transmitter empty": look again after the
    // time the queued characters take on the line (10 bits each). A line held
    // by flow control moves nothing; then the looks get rarer, up to one a
    // second, instead of ticking every millisecond.
    int queued = static_cast<int>(std::min<std::uint64_t>(unsent, 1u << 30));
    if (queued == p.LastOutQ) {
        p.DrainCheckUs = std::min<std::int64_t>(p.DrainCheckUs * 2, 1000000);
    } else {
        DWORD baud = p.Dcb.BaudRate ? p.Dcb.BaudRate : 9600;
        p.DrainCheckUs = std::clamp<std::int64_t>(
            static_cast<std::int64_t>(queued) * 10 * 1000000 / baud, 1000, 1000000);
        p.LastOutQ = queued;
    }
    return now + std::chrono::microseconds(p.DrainCheckUs);
}

void ConsiderDeadline(std::optional<Clock::time_point>& next, Clock::time_point t) {
    if (!next || t < *next)
        next = t;
}

void IoLoop(TPort& p) {
    Lock lock(p.Mutex);
    p.IoTid = ::gettid();
    p.Done.notify_all();
    while (!p.Closed) {
        auto now = Clock::now();
        PushOutput(p);
        CheckDeadlines(p, now);
        std::optional<Clock::time_point> next = WatchOutput(p, now);
        for (const TWriteOp& w : p.Writes)
            if (w.Deadline)
                ConsiderDeadline(next, *w.Deadline);
        for (const TReadOp& r : p.Reads)
            if (r.Deadline)
                ConsiderDeadline(next, *r.Deadline);
        if (!p.Reads.empty() && p.Reads.front().Interval && p.Reads.front().Done > 0)
            ConsiderDeadline(next, p.Reads.front().LastByte + *p.Reads.front().Interval);
        short events = 0;
        if (p.InLength() < p.InLimit())
            events |= POLLIN;
        // A tty reports room (POLLOUT) while fewer than 256 bytes wait in its
        // queue: needed while bytes wait to be handed over, and while more
        // than that drain it is the kernel's notice that the queue went down,
        // sooner than the look at the set rate where the line runs faster. (A
        // stand-in queue has no such notice.)
        if (!p.Writes.empty()) {
            if (!p.Writes.front().Handed() ? !OutputHeld(p)
                                           : !p.Out.Queued && p.LastOutQ >= TtyWakeupChars)
                events |= POLLOUT;
        }
        pollfd fds[2] = {{p.WakeFd, POLLIN, 0}, {p.Fd, events, 0}};
        nfds_t count = p.HangupError ? 1 : 2;
        int timeout = -1;
        if (next) {
            auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
            timeout = static_cast<int>(std::clamp<std::int64_t>(ms, 0, 1 << 30));
        }
        lock.unlock();
        int r = ::poll(fds, count, timeout);
        lock.lock();
        if (r <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            std::uint64_t value;
            [[maybe_unused]] ssize_t n = ::read(p.WakeFd, &value, sizeof value);
        }
        if (count == 2 && fds[1].revents) {
            short rev = fds[1].revents;
            if (rev & (POLLIN | POLLHUP | POLLERR))
                PullInput(p);
            if (rev & POLLNVAL)
                HangUp(p, EBADF);
            else if (rev & (POLLHUP | POLLERR))
                HangUp(p, EIO);
            if (rev & POLLOUT)
                PushOutput(p);
        }
    }
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

// Milliseconds a * n + b as a deadline from now; none when both are 0.
std::optional<Clock::time_point> TotalDeadline(Clock::time_point now, DWORD multiplier, DWORD n,
                                               DWORD constant) {
    if (multiplier == 0 && constant == 0)
        return std::nullopt;
    std::uint64_t ms = static_cast<std::uint64_t>(multiplier) * n + constant;
    ms = std::min<std::uint64_t>(ms, 1ull << 40);
    return now + std::chrono::milliseconds(ms);
}

// Waits until an operation started without a record has ended.
bool WaitLocal(TPort& p, Lock& lock, OVERLAPPED& local, DWORD* moved) {
    p.Done.wait(lock, [&] { return local.Internal != ERROR_IO_PENDING; });
    if (moved)
        *moved = static_cast<DWORD>(local.InternalHigh);
    return local.Internal == 0 ? Succeed() : Fail(static_cast<int>(local.Internal));
}

} // namespace

// ------------------------------------------------------------------ setup --

CommLinux::CommLinux() : FImpl(std::make_unique<TImpl>()) {}

CommLinux::~CommLinux() {
    std::vector<HANDLE> ports;
    {
        std::lock_guard lock(FImpl->Mutex);
        for (auto& [h, p] : FImpl->Ports)
            ports.push_back(h);
    }
    for (HANDLE h : ports)
        CloseHandle(h);
}

CommApi& LinuxCommApi() {
    // Never destroyed: ports may still be closed from static destructors.
    static CommLinux* instance = new CommLinux;
    return *instance;
}

DWORD CommLinux::GetLastError() {
    return tLastError;
}

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

pid_t CommLinux::IoThreadId(HANDLE port) {
    PortPtr p = FImpl->FindPort(port);
    if (!p)
        return 0;
    std::lock_guard lock(p->Mutex);
    return p->IoTid;
}

bool CommLinux::HasModemWaiter(HANDLE port) {
    PortPtr p = FImpl->FindPort(port);
    return p && p->Modem.joinable();
}

void CommLinux::SetOutputQueue(TOutputQueue queue) {
    std::lock_guard lock(FImpl->Mutex);
    FImpl->Out = std::move(queue);
}

// ------------------------------------------------------------ open, close --

namespace {

// The pseudo-terminal whose master a descriptor is, from its fdinfo
// ("tty-index:"); -1 when it says none.
long MasterIndex(const std::string& fdinfo) {
    int fd = ::open(fdinfo.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[1024];
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return -1;
    text[n] = 0;
    const char* at = std::strstr(text, "tty-index:");
    return at ? std::strtol(at + 10, nullptr, 10) : -1;
}

// Whether the process /proc/<pid> (`dir`) holds the device open and is not
// the other end of its line: the holder of the master of pseudo-terminal
// `ptyIndex` (-1: the device is none).
bool Competes(const std::string& dir, const struct stat& device, long ptyIndex) {
    DIR* fds = ::opendir((dir + "/fd").c_str());
    if (!fds)
        return false; // gone, or not ours to look into
    bool holds = false, peer = false;
    const dev_t ptmx = makedev(PtmxMajor, PtmxMinor);
    while (dirent* e = ::readdir(fds)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string link = dir + "/fd/" + e->d_name;
        // Device nodes only: a stat of a file on a network file system could
        // hang.
        char target[8];
        if (::readlink(link.c_str(), target, sizeof target) < 5 ||
            std::memcmp(target, "/dev/", 5) != 0)
            continue;
        struct stat st;
        if (::stat(link.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
            continue;
        // Every pseudo-terminal file system numbers its own from 0.
        if (st.st_rdev == device.st_rdev && (ptyIndex < 0 || st.st_dev == device.st_dev))
            holds = true;
        else if (ptyIndex >= 0 && st.st_rdev == ptmx &&
                 MasterIndex(dir + "/fdinfo/" + e->d_name) == ptyIndex)
            peer = true;
    }
    ::closedir(fds);
    return holds && !peer;
}

// Whether another process holds the device open, found as fuser finds it:
// through the descriptors in /proc/<pid>/fd, which shows only the processes
// this user may look into. This process is left out: a second open through
// this backend is stopped by the lock, and whatever else it holds of the
// device it holds on purpose (a pseudo-terminal it made, the far end of the
// line in a test).
bool HeldElsewhere(const struct stat& device) {
    const long ptyIndex =
        major(device.st_rdev) == PtySlaveMajor ? static_cast<long>(minor(device.st_rdev)) : -1;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return false;
    const std::string self = std::to_string(::getpid());
    bool held = false;
    while (!held) {
        dirent* e = ::readdir(proc);
        if (!e)
            break;
        if (e->d_name[0] >= '1' && e->d_name[0] <= '9' && self != e->d_name)
            held = Competes(std::string("/proc/") + e->d_name, device, ptyIndex);
    }
    ::closedir(proc);
    return held;
}

} // namespace

HANDLE CommLinux::CreateFile(const std::string& path, DWORD, DWORD, DWORD, DWORD) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail(errno);
        return INVALID_HANDLE_VALUE;
    }
    auto fail = [&](int error) {
        ::close(fd);
        Fail(error);
        return INVALID_HANDLE_VALUE;
    };
    if (!::isatty(fd))
        return fail(ENOTTY);
    struct stat device;
    if (::fstat(fd, &device) != 0)
        return fail(errno);
    // The lock keeps out everyone who asks, root and this process included;
    // the look into /proc finds those who hold the device without asking;
    // TIOCEXCL keeps out later opens by anyone but root. It comes last: a
    // failed open clears it, which must not undo the flag of a process that
    // holds the device.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(errno == EWOULDBLOCK ? EBUSY : errno);
    if (HeldElsewhere(device))
        return fail(EBUSY);
    if (::ioctl(fd, TIOCEXCL) != 0)
        return fail(errno);

    auto p = std::make_shared<TPort>();
    p->Fd = fd;
    p->IsPty = major(device.st_rdev) == PtySlaveMajor;
    {
        std::lock_guard lock(FImpl->Mutex);
        p->Out = FImpl->Out;
    }
    p->WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (p->WakeFd < 0) {
        int e = errno;
        ::ioctl(fd, TIOCNXCL);
        return fail(e);
    }
    int bits = 0;
    p->HasModemLines = ::ioctl(fd, TIOCMGET, &bits) == 0;
    p->DsrOn = p->HasModemLines && (bits & TIOCM_DSR);
    p->HasCounts = ReadCounts(fd, p->Counts);

    // Raw from the start, keeping the current rate: every byte passes
    // unchanged even before the first SetCommState. The lines stay as they are.
    KernelTermios cur;
    DCB start;
    start.BaudRate = 9600;
    if (ReadTermios2(fd, cur) == 0 && cur.c_ospeed > 0)
        start.BaudRate = cur.c_ospeed;
    start.Flags = DCB_BINARY;
    start.ByteSize = 8;
    start.XonChar = 17;
    start.XoffChar = 19;
    if (int e = ApplyDcb(*p, start, false)) {
        ::close(p->WakeFd);
        ::ioctl(fd, TIOCNXCL);
        return fail(e);
    }

    try {
        p->Io = std::thread([raw = p.get()] { IoLoop(*raw); });
        if (p->HasModemLines && p->HasCounts) {
            InstallWakeSignal();
            p->Modem = std::thread([raw = p.get()] { ModemLoop(*raw); });
        }
    } catch (const std::system_error& e) {
        {
            Lock lock(p->Mutex);
            p->Closed = true;
            Wake(*p);
        }
        if (p->Io.joinable())
            p->Io.join();
        ::close(p->WakeFd);
        ::ioctl(fd, TIOCNXCL);
        return fail(e.code().value() ? e.code().value() : EAGAIN);
    }
    {
        Lock lock(p->Mutex);
        p->Done.wait(lock, [&] { return p->IoTid != 0; });
    }
    std::lock_guard lock(FImpl->Mutex);
    FImpl->Ports[fd] = p;
    return fd;
}

bool CommLinux::CloseHandle(HANDLE handle) {
    PortPtr p;
    {
        std::lock_guard lock(FImpl->Mutex);
        auto ev = FImpl->Events.find(handle);
        if (ev != FImpl->Events.end()) {
            // The descriptor closes when the last waiter lets go of it.
            FImpl->Events.erase(ev);
            return true;
        }
        auto it = FImpl->Ports.find(handle);
        if (it == FImpl->Ports.end())
            return Fail(EBADF);
        p = it->second;
    }
    {
        // Pending operations end before the handle disappears, so whoever asks
        // for their results finds them complete.
        Lock lock(p->Mutex);
        if (p->Closed)
            return Fail(EBADF); // another thread is closing it
        p->Closed = true;
        FailAll(*p, ECANCELED, true, true, true);
        Wake(*p);
    }
    {
        std::lock_guard lock(FImpl->Mutex);
        FImpl->Ports.erase(handle);
    }
    p->Io.join();
    StopModemWaiter(*p);
    // Unsent output is dropped first: a tty close otherwise waits up to the
    // driver's closing_wait (30 s by default) for a stalled line to drain.
    // Every write has ended by now, so it belongs to writes that were aborted.
    DiscardOutput(*p);
    SetLines(p->Fd, TIOCM_DTR | TIOCM_RTS, false);
    ::ioctl(p->Fd, TIOCNXCL); // the tty may stay open elsewhere
    ::close(p->WakeFd);
    int r = ::close(p->Fd); // also drops the lock
    return r == 0 || errno == EINTR ? Succeed() : Fail(errno);
}

// --------------------------------------------------------- configuration --

bool CommLinux::SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue) {
    PortPtr p = FImpl->FindPort(port);
    if (!p)
        return Fail(EBADF);
    Lock lock(p->Mutex);
    p->InSize = inQueue;
    p->OutSize = outQueue;
    Wake(*p);
    return true;
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

bool CommLinux::SetCommTimeouts(HANDLE port, const COMMTIMEOUTS& timeouts) {
    PortPtr p = FImpl->FindPort(port);
    if (!p)
        return Fail(EBADF);
    Lock lock(p->Mutex);
    p->Timeouts = timeouts;
    return true;
}

bool CommLinux::GetCommTimeouts(HANDLE port, COMMTIMEOUTS& timeouts) {
    PortPtr p = FImpl->FindPort(port);
    if (!p)
        return Fail(EBADF);
    Lock lock(p->Mutex);
    timeouts = p->Timeouts;
    return true;
}

// ------------------------------------------------------------ comm events --

bool CommLinux::SetCommMask(HANDLE port, DWORD mask) {
    PortPtr p = FImpl->FindPort(port);
    if (!p)
        return Fail(EBADF);
    Lock lock(p->Mutex);
    p->Mask = mask;
    p->History = 0;
    // Bytes that arrived before anyone watched raised no event; without one
    // nobody reads them, and a full input queue stops the reading of the
    // device, so no later byte would raise one either.
    if ((mask & EV_RXCHAR) && p->InLength() > 0)
        p->History = EV_RXCHAR;
    if (p->Wait) {
        if (p->Wait->Mask)
            *p->Wait->Mask = 0;
        Complete(*p, p->Wait->Rec, 0, 0);
        p->Wait.reset();
    }
    Wake(*p);
    return true;
}

bool CommLinux::GetCommMask(HANDLE port, DWORD& mask) {
    PortPtr p = FImpl->FindPort(port);
    if (!p)
        return Fail(EBADF);
    Lock lock(p->Mutex);
    mask = p->Mask;
    return true;
}

bool CommLinux::WaitCommEvent(HANDLE port, DWORD* mask, OVERLAPPED* overlapped) {
    auto [ev, p, lock, error] = FImpl->StartOperation(port, overlapped);
    if (error)
        return Fail(error);
    if (p->Wait || p->Mask == 0)
        return Fail(EINVAL);
    OVERLAPPED local;
    TWaitOp op{{overlapped ? overlapped : &local, ev}, mask};
    StartRecord(op.Rec);
    if (p->History) {
        if (mask)
            *mask = p->History;
        p->History = 0;
        Complete(*p, op.Rec, 0, 0);
        return true;
    }
    p->Wait = op;
    if (!overlapped)
        return WaitLocal(*p, lock, local, nullptr);
    return Fail(ERROR_IO_PENDING);
}

// -------------------------------------------------------------- transfers --

bool CommLinux::WriteFile(HANDLE port, const void* buffer, DWORD count, DWORD* written,
                          OVERLAPPED* overlapped) {
    if (written)
        *written = 0;
    auto [ev, p, lock, error] = FImpl->StartOperation(port, overlapped);
    if (error)
        return Fail(error);
    if (!buffer && count)
        return Fail(EFAULT);
    OVERLAPPED local;
    OVERLAPPED* ov = overlapped ? overlapped : &local;
    auto now = Clock::now();
    TWriteOp op;
    op.Rec = {ov, ev};
    op.Size = count;
    StartRecord(op.Rec);
    if (count == 0) {
        Complete(*p, op.Rec, 0, 0);
        return true;
    }
    // Straight to the driver when nothing is queued before it.
    bool direct = p->Writes.empty() && !OutputHeld(*p);
    if (direct) {
        op.Start = p->Handed;
        BeginSending(*p);
        while (op.Done < count) {
            ssize_t n = ::write(p->Fd, static_cast<const char*>(buffer) + op.Done, count - op.Done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (n < 0) {
                int e = errno;
                HangUp(*p, e);
                return Fail(e);
            }
            op.Done += static_cast<std::size_t>(n);
            p->Handed += static_cast<std::size_t>(n);
        }
    }
    if (!op.Handed())
        op.Data.assign(static_cast<const char*>(buffer), count);
    const COMMTIMEOUTS& t = p->Timeouts;
    op.Deadline =
        TotalDeadline(now, t.WriteTotalTimeoutMultiplier, count, t.WriteTotalTimeoutConstant);
    p->Writes.push_back(std::move(op));
    if (direct && p->Writes.front().Handed()) {
        // Usually the driver has passed everything on already (a
        // pseudo-terminal always has): then the write ends here, and the I/O
        // thread is woken only to look again while bytes are still going out.
        std::optional<Clock::time_point> next = WatchOutput(*p, Clock::now());
        if (next)
            Wake(*p);
        if (ov->Internal != ERROR_IO_PENDING) {
            if (written)
                *written = count;
            return true;
        }
    } else {
        Wake(*p);
    }
    if (!overlapped)
        return WaitLocal(*p, lock, local, written);
    return Fail(ERROR_IO_PENDING);
}

bool CommLinux::ReadFile(HANDLE port, void* buffer, DWORD count, DWORD* read,
                         OVERLAPPED* overlapped) {
    if (read)
        *read = 0;
    auto [ev, p, lock, error] = FImpl->StartOperation(port, overlapped);
    if (error)
        return Fail(error);
    if (!buffer && count)
        return Fail(EFAULT);
    PullInput(*p);
    if (p->HangupError)
        return Fail(p->HangupError);
    OVERLAPPED local;
    auto now = Clock::now();
    TReadOp op;
    op.Rec = {overlapped ? overlapped : &local, ev};
    op.Buffer = static_cast<char*>(buffer);
    op.Count = count;
    StartRecord(op.Rec);
    const COMMTIMEOUTS& t = p->Timeouts;
    bool immediate = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                     t.ReadTotalTimeoutConstant == 0;
    op.AnyByte = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                 t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD;
    if (op.AnyByte)
        op.Deadline = now + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
    else
        op.Deadline =
            TotalDeadline(now, t.ReadTotalTimeoutMultiplier, count, t.ReadTotalTimeoutConstant);
    if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD)
        op.Interval = std::chrono::milliseconds(t.ReadIntervalTimeout);
    // Queued bytes go to the reads in their order: behind a pending read
    // there are none left.
    if (p->Reads.empty()) {
        std::size_t take = std::min<std::size_t>(count, p->InLength());
        if (take) {
            bool wasFull = p->InLength() >= p->InLimit();
            std::memcpy(op.Buffer, p->InQ.data() + p->InHead, take);
            p->InHead += take;
            op.Done = static_cast<DWORD>(take);
            op.LastByte = now;
            if (wasFull)
                Wake(*p);
            UpdateInputFlow(*p);
        }
    }
    if (immediate || op.Done == count || (op.AnyByte && op.Done > 0)) {
        if (read)
            *read = op.Done;
        Complete(*p, op.Rec, 0, op.Done);
        return true;
    }
    p->Reads.push_back(op);
    Wake(*p);
    if (!overlapped)
        return WaitLocal(*p, lock, local, read);
    return Fail(ERROR_IO_PENDING);
}

bool CommLinux::GetOverlappedResult(HANDLE port, OVERLAPPED* overlapped, DWORD* transferred,
                                    bool wait) {
    if (!overlapped)
        return Fail(EINVAL);
    PortPtr p = FImpl->FindPort(port);
    if (!p) {
        // An operation that has ended can still be asked about; a pending one
        // cannot belong to a handle that is not open.
        if (overlapped->Internal == ERROR_IO_PENDING)
            return Fail(EBADF);
    }
    auto report = [&] {
        if (transferred)
            *transferred = static_cast<DWORD>(overlapped->InternalHigh);
        return overlapped->Internal == 0 ? Succeed() : Fail(static_cast<int>(overlapped->Internal));
    };
    if (!p)
        return report();
    Lock lock(p->Mutex);
    if (overlapped->Internal == ERROR_IO_PENDING) {
        if (!wait)
            return Fail(ERROR_IO_INCOMPLETE);
        p->Done.wait(lock, [&] { return overlapped->Internal != ERROR_IO_PENDING; });
    }
    return report();
}

bool CommLinux::CancelIo(HANDLE port) {
    PortPtr p = FImpl->FindPort(port);
    if (!p)
        return Fail(EBADF);
    Lock lock(p->Mutex);
    FailAll(*p, ECANCELED, true, true, true);
    Wake(*p);
    return true;
}

// ------------------------------------------------------- status and lines --

bool CommLinux::ClearCommError(HANDLE port, DWORD* errors, COMSTAT* stat) {
    PortPtr p = FImpl->FindPort(port);
    if (!p)
        return Fail(EBADF);
    Lock lock(p->Mutex);
    PullInput(*p);
    if (errors)
        *errors = p->Errors;
    p->Errors = 0;
    if (stat) {
        *stat = COMSTAT{};
        stat->cbInQue = static_cast<DWORD>(p->InLength());
        std::uint64_t out = 0;
        for (const auto& w : p->Writes)
            out += w.Size - w.Done;
        if (!p->HangupError)
            out += LookAtOutput(*p);
        stat->cbOutQue = static_cast<DWORD>(out);
    }
    return true;
}

bool CommLinux::PurgeComm(HANDLE port, DWORD flags) {
    PortPtr p = FImpl->FindPort(port);
    if (!p)
        return Fail(EBADF);
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return Fail(EINVAL);
    Lock lock(p->Mutex);
    FailAll(*p, ECANCELED, flags & PURGE_TXABORT, flags & PURGE_RXABORT, false);
    int error = 0;
    if ((flags & PURGE_TXCLEAR) && !p->HangupError) {
        // A write under way loses its bytes in the driver: it ends with those
        // that went, as when its time runs out.
        if (!p->Writes.empty() && p->Writes.front().Done > 0)
            error = EndFrontWrite(*p);
        else
            error = DiscardOutput(*p);
    }
    if (flags & PURGE_RXCLEAR) {
        p->InQ.clear();
        p->InHead = 0;
        p->ParseState = 0;
        if (!p->HangupError && ::tcflush(p->Fd, TCIFLUSH) != 0)
            error = errno;
        UpdateInputFlow(*p);
    }
    Wake(*p);
    return error ? Fail(error) : Succeed();
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

// ----------------------------------------------------------------- events --

HANDLE CommLinux::CreateEvent(bool manualReset, bool initialState) {
    auto ev = std::make_shared<TEvent>();
    ev->ManualReset = manualReset;
    ev->Fd = ::eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ev->Fd < 0) {
        Fail(errno);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard lock(FImpl->Mutex);
    FImpl->Events[ev->Fd] = ev;
    return ev->Fd;
}

bool CommLinux::SetEvent(HANDLE event) {
    EventPtr ev = FImpl->FindEvent(event);
    if (!ev)
        return Fail(EBADF);
    ev->Set();
    return true;
}

bool CommLinux::ResetEvent(HANDLE event) {
    EventPtr ev = FImpl->FindEvent(event);
    if (!ev)
        return Fail(EBADF);
    ev->Reset();
    return true;
}

DWORD CommLinux::WaitForSingleObject(HANDLE event, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &event, false, milliseconds);
}

DWORD CommLinux::WaitForMultipleObjects(DWORD count, const HANDLE* events, bool waitAll,
                                        DWORD milliseconds) {
    if (count == 0 || count > 64 || !events || waitAll) {
        Fail(EINVAL);
        return WAIT_FAILED;
    }
    std::vector<EventPtr> evs;
    std::vector<pollfd> fds;
    for (DWORD i = 0; i < count; ++i) {
        EventPtr ev = FImpl->FindEvent(events[i]);
        if (!ev) {
            Fail(EBADF);
            return WAIT_FAILED;
        }
        fds.push_back({ev->Fd, POLLIN, 0});
        evs.push_back(std::move(ev));
    }
    std::optional<Clock::time_point> end;
    if (milliseconds != INFINITE)
        end = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int timeout = -1;
        if (end) {
            auto ms = std::chrono::ceil<std::chrono::milliseconds>(*end - Clock::now()).count();
            timeout = static_cast<int>(std::max<std::int64_t>(ms, 0));
        }
        int r = ::poll(fds.data(), fds.size(), timeout);
        if (r < 0 && errno != EINTR) {
            Fail(errno);
            return WAIT_FAILED;
        }
        for (DWORD i = 0; r > 0 && i < count; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            // An auto-reset event releases one waiter; if another took it,
            // wait again.
            if (evs[i]->ManualReset || evs[i]->Consume()) {
                evs[i]->Acquire();
                return WAIT_OBJECT_0 + i;
            }
        }
        if (r == 0 || (end && Clock::now() >= *end))
            return WAIT_TIMEOUT;
    }
}
