#pragma once
// Not part of the component's API. The state of a port open in the Linux
// backend and the functions its files share: the events and waits
// (CommLinuxEvents.cpp), the I/O thread with its operation records and
// deadlines (CommLinuxIo.cpp), the seam's transfer calls
// (CommLinuxTransfers.cpp), termios, lines and modem signals
// (CommLinuxLines.cpp), opening with exclusivity (CommLinuxOpen.cpp,
// CommLinuxExclusive.cpp), and the network transport (CommNet.cpp), which
// shares the events and the I/O engine and brings its own TTransport.
#include "CommLinux.h"
#include "CommLinuxExclusive.h"
#include "NetworkUrl.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <linux/serial.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv52804 {

namespace commlinux {

using Clock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;

// Records the error for GetLastError (and errno) and returns false; with a
// detail, that for GetLastErrorDetail too.
bool Fail(int error);
bool Fail(int error, CommApi::TErrorDetail detail);
inline bool Succeed() {
    return true;
}

// Pseudo-terminals and other devices without modem lines answer these.
inline bool NoModemLines(int error) {
    return error == ENOTTY || error == EINVAL;
}

struct TPort;

// An event. Its state is one atomic word, so setting an event that nobody
// sleeps on and waiting for one that is already set cost no system call; a
// wait on it alone sleeps on that word (futex). A descriptor exists only once
// a wait on several objects (poll) has asked for one. The protocol:
// - Set stores Signalled and then looks for sleepers: futex sleepers by the
//   Sleepers bit its store replaced, poll sleepers by their count; it wakes
//   those, and writes the descriptor only when a poll sleeper is there.
// - A futex sleeper puts in Sleepers only while Signalled is clear, and the
//   kernel lets it sleep only while the word is still exactly that value.
// - A poll sleeper makes the descriptor, then counts itself in (Pollers),
//   then looks at the state. The store and the look of each side are
//   sequentially consistent, so either Set sees the count and writes the
//   descriptor, or the sleeper sees Signalled and does not sleep.
// - The descriptor is readable exactly while the event is set (Mirror, under
//   FdMutex, after every change of the state once it exists; waiters never
//   read it), so every poll sleeper on it wakes, and none spins on a
//   descriptor left readable by a set that a reset overtook.
// While the event reports a tty's pending comm-event wait, a thread waiting
// on it also watches that tty's input and moves it into the port itself
// (InputOf): a received byte then wakes the waiter directly, not through the
// port's I/O thread.
struct TEvent {
    static constexpr std::uint32_t Signalled = 1, Sleepers = 2;
    bool ManualReset = true;
    // Setting publishes what the setter wrote before (a record's status, a
    // read's bytes) to whoever the wait releases.
    mutable std::atomic<std::uint32_t> State{0};
    mutable std::atomic<int> Pollers{0};
    mutable std::atomic<int> Fd{-1};
    mutable std::mutex FdMutex; // making the descriptor, and Mirror
    mutable bool Written = false; // the descriptor holds a count; under FdMutex
    // The port whose comm-event wait last took this event (under FdMutex).
    // Only a hint: a waiter checks under the port's lock that the wait is
    // still pending and still this event's.
    mutable std::weak_ptr<TPort> InputOf;
    TEvent() = default;
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;
    ~TEvent() {
        if (int fd = Fd.load(); fd >= 0)
            ::close(fd);
    }
    void Set() const;
    void Reset() const;
    // Whether it is set; takes the signal of an auto-reset event (false when
    // another waiter was first).
    bool TryTake() const;
    // The descriptor, made on first use: -1 with errno when it cannot be.
    int Descriptor() const;

private:
    void Mirror() const;
};
using EventPtr = std::shared_ptr<TEvent>;

// A record's status is written under its port's lock and may be read without
// it (GetOverlappedResult on an operation that has ended): the count first,
// then the status, which publishes it.
inline void SetStatus(OVERLAPPED& ov, std::uintptr_t status, std::uintptr_t count) {
    std::atomic_ref(ov.InternalHigh).store(count, std::memory_order_relaxed);
    std::atomic_ref(ov.Internal).store(status, std::memory_order_release);
}
inline std::uintptr_t Status(OVERLAPPED& ov) {
    return std::atomic_ref(ov.Internal).load(std::memory_order_acquire);
}

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

struct TPort;

// A transport other than the tty (network ports, CommNet.cpp). Where the I/O
// engine would read, write or ask the tty driver, it asks the transport
// instead. Every call runs under the port's lock; those that wait for the far
// side take the lock to wait on TPort::Done.
struct TTransport {
    virtual ~TTransport() = default;
    // Up to `room` received data bytes into `buf`, line errors (CE_*) and
    // events (EV_*) of the far side ORed in. -1 with errno when there is
    // nothing (EAGAIN) or the connection is lost.
    virtual ssize_t Receive(TPort& p, unsigned char* buf, std::size_t room, DWORD& errors,
                            DWORD& events) = 0;
    // Takes up to `n` bytes for sending: how many, or -1 with errno.
    virtual ssize_t Send(TPort& p, const char* data, std::size_t n) = 0;
    // Whether bytes wait for room in the socket, and handing them over then:
    // 0 or errno.
    virtual bool Sending() const = 0;
    virtual int Flush(TPort& p) = 0;
    // Bytes taken by Send that the socket has not taken yet; dropping them.
    virtual int Unsent() const = 0;
    virtual void Discard() = 0;
    // Output held by the far side (flow control) or by SETXOFF.
    virtual bool Held() const = 0;
    // The seam's calls that the protocol answers: 0 or errno.
    virtual int SetState(TPort& p, Lock& lock, const DCB& dcb) = 0;
    virtual int Escape(TPort& p, Lock& lock, DWORD function) = 0;
    virtual int Purge(TPort& p, DWORD flags) = 0;
    virtual DWORD ModemStatus() const = 0;
    // Ends the connection (CloseHandle, after the I/O thread has gone): 0 or
    // the errno of the close.
    virtual int Close(TPort& p, std::chrono::milliseconds answerTime) = 0;
};

// StopNetworkWaits (CommNet.cpp): the flag that waits for a server look at,
// and the descriptors (eventfds) that opens under way watch beside their
// socket, which a stop makes readable.
struct TNetStop {
    std::atomic<bool> Stopped{false};
    std::vector<int> Opening; // under TImpl::Mutex
};

struct TPort {
    int Fd = -1;
    std::unique_ptr<TTransport> Transport; // none: the tty
    int WakeFd = -1;
    // The I/O thread is in poll (or about to be) and has not been woken yet.
    // Every call that changes what it watches holds the lock; while the
    // thread is awake it holds the lock too, or is about to take it and look
    // at everything again, so only a sleeping thread needs the descriptor.
    bool IoAsleep = false;
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
    bool Rs485 = false;       // the driver's RS-485 mode drives RTS (RTS toggle)
    serial_rs485 SavedRs485{}; // its settings before, put back when toggling ends
    bool HasLsr = false;      // the driver tells when the transmitter is empty
    bool UserStopped = false; // output stopped by SETXOFF
    // Watching the output drain: the count at the last look, when the next
    // look is due, and the step that grows while a held line moves nothing.
    int LastOutQ = -1;
    std::optional<Clock::time_point> NextLook;
    Clock::duration LookStep{};
    // Bytes handed to the driver since the open, and of those the ones that
    // have left its output queue (as far as the last look showed).
    std::uint64_t Handed = 0;
    std::uint64_t Left = 0;
    bool IsPty = false;
    CommLinux::TOutputQueue Out;
    std::function<void()> BeforeSleep; // tests: see CommLinux::SetBeforeSleepHook

    std::size_t InLength() const { return InQ.size() - InHead; }
    DWORD InLimit() const { return InSize ? InSize : DefaultQueueSize; }

    // What keeps the device ours (flag, lock file), released at close.
    TClaim Claim;
};

using PortPtr = std::shared_ptr<TPort>;

// ------------------------------------------- the I/O thread (CommLinuxIo) --

void Wake(TPort& p);
void StartRecord(TRecord& rec);
void Complete(TPort& p, TRecord& rec, DWORD error, DWORD count);
void SignalEvents(TPort& p, DWORD events);
std::size_t Sent(const TPort& p, const TWriteOp& w);
void FailAll(TPort& p, int error, bool writes, bool reads, bool wait);
void HangUp(TPort& p, int error);
void PullInput(TPort& p);
void ServeReads(TPort& p, Clock::time_point now);
std::uint64_t LookAtOutput(TPort& p);
int DiscardOutput(TPort& p);
int EndFrontWrite(TPort& p, int error);
std::optional<Clock::time_point> WatchOutput(TPort& p, Clock::time_point now);
void OutputDrained(TPort& p);
// A pseudo-terminal passes what it takes straight to the other end's input:
// a write there is done the moment its last byte is handed over.
bool HoldsNothing(const TPort& p);
void IoLoop(TPort& p);
std::optional<Clock::time_point> TotalDeadline(Clock::time_point now, DWORD multiplier, DWORD n,
                                               DWORD constant);
bool WaitLocal(TPort& p, Lock& lock, OVERLAPPED& local, DWORD* moved);

// ------------------------------------- lines and signals (CommLinuxLines) --

int SetLines(int fd, int bits, bool on);
bool ReadCounts(int fd, TCounts& c);
bool OutputHeld(const TPort& p);
void UpdateInputFlow(TPort& p);
void TakeCounts(TPort& p, DWORD& errors, DWORD& events, int& breaks);
void BeginSending(TPort& p);
void EndSending(TPort& p);
bool StopOutput(TPort& p);
void RestartOutput(TPort& p);
bool TransmitterEmpty(TPort& p);
int UseRs485(TPort& p, bool on);
Clock::duration CharTime(const TPort& p);
void InstallWakeSignal();
void ModemLoop(TPort& p);
void StopModemWaiter(TPort& p);
int ApplyDcb(TPort& p, const DCB& dcb, bool driveLines);

// Bytes to the device or the transport: as write(2).
ssize_t HandOver(TPort& p, const char* data, std::size_t n);

// Exclusivity (CommLinuxExclusive) has its own header.

} // namespace commlinux

struct CommLinux::TImpl {
    using PortPtr = commlinux::PortPtr;
    using EventPtr = commlinux::EventPtr;
    using Lock = commlinux::Lock;

    std::mutex Mutex;
    std::map<HANDLE, PortPtr> Ports;
    std::vector<EventPtr> Events; // by number: handle -2 - i; closed ones empty
    TOutputQueue Out;
    commlinux::TClaimSettings Claims; // how ports opened from now on are claimed

    static std::size_t EventSlot(HANDLE h) {
        return h <= -2 ? static_cast<std::size_t>(-2 - h) : SIZE_MAX;
    }
    // Under Mutex.
    PortPtr PortOf(HANDLE h) const {
        auto it = Ports.find(h);
        return it == Ports.end() ? nullptr : it->second;
    }
    EventPtr EventOf(HANDLE h) const {
        std::size_t i = EventSlot(h);
        return i < Events.size() ? Events[i] : nullptr;
    }
    PortPtr FindPort(HANDLE h) {
        std::lock_guard lock(Mutex);
        return PortOf(h);
    }
    EventPtr FindEvent(HANDLE h) {
        std::lock_guard lock(Mutex);
        return EventOf(h);
    }

    // Events are numbered from -2 down, apart from the ports (which are their
    // descriptors), so that an event has a handle without a descriptor of its
    // own. A closed event's number is given out again, as descriptors are,
    // and so is the event itself when nobody else held it and it never made
    // a descriptor: a transfer that makes and closes one each time allocates
    // nothing.
    std::vector<HANDLE> FreeEventHandles;
    std::vector<EventPtr> SpareEvents;
    static constexpr std::size_t SpareEventsKept = 8;
    HANDLE AddEvent(bool manualReset, bool initialState) {
        std::lock_guard lock(Mutex);
        EventPtr ev;
        if (SpareEvents.empty()) {
            ev = std::make_shared<commlinux::TEvent>();
            SpareEvents.reserve(SpareEventsKept);
        } else {
            ev = std::move(SpareEvents.back());
            SpareEvents.pop_back();
        }
        ev->ManualReset = manualReset;
        ev->State.store(initialState ? commlinux::TEvent::Signalled : 0);
        // Room for every number to come back, so that closing never allocates.
        FreeEventHandles.reserve(Events.size() + 1);
        HANDLE h;
        if (FreeEventHandles.empty()) {
            Events.push_back(std::move(ev));
            h = -1 - static_cast<HANDLE>(Events.size());
        } else {
            h = FreeEventHandles.back();
            FreeEventHandles.pop_back();
            Events[EventSlot(h)] = std::move(ev);
        }
        return h;
    }
    // Under Mutex. Whoever still waits on the event keeps it alive.
    bool DropEvent(HANDLE h) {
        std::size_t i = EventSlot(h);
        if (i >= Events.size() || !Events[i])
            return false;
        EventPtr ev = std::move(Events[i]);
        FreeEventHandles.push_back(h);
        if (ev.use_count() == 1 && ev->Fd.load() < 0 && SpareEvents.size() < SpareEvents.capacity()) {
            ev->InputOf.reset();
            SpareEvents.push_back(std::move(ev));
        }
        return true;
    }

    // Runs when an entry point has found its port and before it locks it:
    // tests close the port there to force the race with CloseHandle.
    std::function<void()> FoundHook;
    std::function<void()> BeforeSleep;

    // How long a network port may take to connect and agree on its options,
    // and to answer a request (CommNet.cpp), and whether waits for servers
    // have been stopped (StopNetworkWaits).
    std::chrono::milliseconds NetOpenTime{5000};
    std::chrono::milliseconds NetAnswerTime{2000};
    std::shared_ptr<commlinux::TNetStop> NetStop = std::make_shared<commlinux::TNetStop>();

    // The one guard at the top of every call on a port: the port is found
    // and locked, and a port that is closing refuses with EBADF. Whatever the
    // call does with the descriptor it does under the lock, so it can never
    // touch a number that CloseHandle has given back and another port reuses.
    struct TEntry {
        PortPtr Port;
        Lock Guard;
        int Error = 0;
    };
    TEntry Enter(HANDLE port) { return Enter(FindPort(port)); }
    TEntry Enter(PortPtr found) {
        TEntry entry;
        entry.Port = std::move(found);
        if (!entry.Port) {
            entry.Error = EBADF;
            return entry;
        }
        if (FoundHook)
            FoundHook();
        entry.Guard = Lock(entry.Port->Mutex);
        if (entry.Port->Closed)
            entry.Error = EBADF;
        return entry;
    }

    // The common start of WaitCommEvent, WriteFile and ReadFile: the record's
    // event and the port are looked up together, the port is entered, the
    // event is reset, and a hung-up port refuses with its code. The reset
    // comes under the port's lock: a caller that saw the record's last
    // operation end (its status is published first) and at once starts the
    // next on the same record would otherwise have its reset overtaken by
    // that operation's setting of the event, which comes right after.
    struct TStart {
        EventPtr Event;
        PortPtr Port;
        Lock Guard;
        int Error = 0;
    };
    TStart StartOperation(HANDLE port, OVERLAPPED* overlapped) {
        TStart start;
        PortPtr found;
        {
            std::lock_guard lock(Mutex);
            if (overlapped)
                start.Event = EventOf(overlapped->hEvent);
            found = PortOf(port);
        }
        auto [p, guard, error] = Enter(std::move(found));
        if (start.Event)
            start.Event->Reset();
        start.Port = std::move(p);
        start.Guard = std::move(guard);
        start.Error = error;
        if (!error && start.Port->HangupError)
            start.Error = start.Port->HangupError;
        return start;
    }
};

namespace commlinux {

// Network ports (CommNet.cpp; IsNetworkName in NetworkUrl.h): opening one.
HANDLE OpenNetworkPort(CommLinux::TImpl& impl, const std::string& url);
// What the network port's last failed request knows beyond its code (under
// the port's lock).
CommApi::TErrorDetail NetworkDetail(TPort& p);

} // namespace commlinux

} // namespace kv52804
