// The I/O thread of an open port and the records of its operations: it moves
// received bytes into the input queue, hands output to the driver, watches
// the driver's output queue, and ends operations when they are done or their
// time is up.
#include "CommLinuxPort.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace kv52804 {

namespace commlinux {

// Under the port's lock.
void Wake(TPort& p) {
    if (!p.IoAsleep)
        return;
    p.IoAsleep = false;
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(p.WakeFd, &one, sizeof one);
}

void StartRecord(TRecord& rec) {
    if (rec.Ov)
        SetStatus(*rec.Ov, ERROR_IO_PENDING, 0);
}

void Complete(TPort& p, TRecord& rec, DWORD error, DWORD count) {
    if (rec.Ov)
        SetStatus(*rec.Ov, error, count);
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
        // The front write counts what has left by now, not at the last look;
        // only it can have bytes in the driver.
        if (!p.Writes.empty())
            EndFrontWrite(p, error);
        for (auto& w : p.Writes)
            Complete(p, w.Rec, error, 0);
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
    p.Done.notify_all(); // also a call waiting for a network server's answer
    Wake(p);
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
        room = std::min(room, sizeof buf);
        ssize_t n = p.Transport ? p.Transport->Receive(p, buf, room, errors, events)
                                : ::read(p.Fd, buf, room);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) {
            // A terminal read of 0 or EIO means the line hung up.
            HangUp(p, n == 0 ? EIO : errno);
            break;
        }
        if (p.Transport) {
            for (ssize_t i = 0; i < n; ++i)
                Deliver(p, buf[i], events);
        } else {
            Parse(p, buf, static_cast<std::size_t>(n), breaks, errors, events);
        }
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
    bool restarted = false; // a pending read's interval starts anew
    while (!p.Reads.empty()) {
        TReadOp& r = p.Reads.front();
        std::size_t take = std::min<std::size_t>(r.Count - r.Done, p.InLength());
        restarted = take && r.Interval;
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
        restarted = false;
    }
    // Input also comes in on other threads (a comm-event waiter, ClearCommError)
    // while the I/O thread sleeps with a time-out planned before: the new end
    // of the interval is one it does not know of.
    if (restarted)
        Wake(p);
    ExpireWaiting(p, p.Reads, now);
    if (p.InHead > 0 && p.InHead * 2 >= p.InQ.size()) {
        p.InQ.erase(0, p.InHead);
        p.InHead = 0;
    }
    UpdateInputFlow(p);
}

// Bytes the driver still holds for sending. A pseudo-terminal hands what it
// accepts straight to the other end's input, so it holds none.
int OutQueued(TPort& p) {
    if (p.Transport)
        return p.Transport->Unsent();
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
    if (p.Transport)
        p.Transport->Discard();
    else if (p.Out.Discard)
        error = p.Out.Discard(p.Fd);
    else if (!p.IsPty && ::tcflush(p.Fd, TCOFLUSH) != 0)
        error = errno;
    p.Left = p.Handed;
    return error;
}

// Ends the front write with `error` (0: success) and the bytes that have left
// the driver, and drops the rest of it from the driver's queue so that the
// count holds: what is reported as unsent never goes out (a caller may send
// it again), and what is reported as sent is no longer there for a purge to
// drop. The output stands still from the look to the flush, so no byte
// leaves between the two. A flush that fails is the write's error. Only the
// front write can have bytes in the driver.
int EndFrontWrite(TPort& p, int error) {
    TWriteOp& w = p.Writes.front();
    if (HoldsNothing(p))
        p.Left = p.Handed; // also when the line has gone since
    int flushError = 0;
    std::size_t sent = Sent(p, w);
    if (w.Done > 0 && !p.HangupError) {
        bool stopped = StopOutput(p);
        LookAtOutput(p);
        sent = Sent(p, w);
        if (sent < w.Done)
            flushError = DiscardOutput(p);
        if (stopped)
            RestartOutput(p);
    }
    p.Left = p.Handed; // the rest is gone either way
    Complete(p, w.Rec, static_cast<DWORD>(error ? error : flushError), static_cast<DWORD>(sent));
    p.Writes.pop_front();
    p.LastOutQ = -1;
    p.NextLook.reset();
    return flushError;
}

bool HoldsNothing(const TPort& p) {
    return p.IsPty && !p.Transport && !p.Out.Queued && !p.Out.TransmitterEmpty;
}

// Hands the front write's bytes to the driver as far as it takes them now; a
// device failure hangs the port up. The next write's bytes follow only when
// the front write has ended (WatchOutput), which on a device that holds
// nothing is at once, without another turn of the loop.
void PushOutput(TPort& p) {
    while (!p.Writes.empty() && !p.HangupError && !OutputHeld(p)) {
        TWriteOp& w = p.Writes.front();
        if (w.Handed()) {
            std::size_t before = p.Writes.size();
            if (HoldsNothing(p))
                WatchOutput(p, Clock::now());
            if (p.Writes.size() == before)
                return;
            continue;
        }
        if (w.Done == 0)
            w.Start = p.Handed;
        BeginSending(p);
        ssize_t n = HandOver(p, w.Data.data() + w.Done, w.Size - w.Done);
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
        p.NextLook.reset(); // new bytes in the queue: look, and plan anew
    }
}

ssize_t HandOver(TPort& p, const char* data, std::size_t n) {
    return p.Transport ? p.Transport->Send(p, data, n) : ::write(p.Fd, data, n);
}

// Ends writes whose time is up (success with the count sent) and reads.
void CheckDeadlines(TPort& p, Clock::time_point now) {
    while (!p.Writes.empty() && p.Writes.front().Deadline && now >= *p.Writes.front().Deadline)
        EndFrontWrite(p, 0);
    ExpireWaiting(p, p.Writes, now);
    ServeReads(p, now);
}

// Nothing is left to send: RTS toggle drops RTS, and EV_TXEMPTY is raised.
void OutputDrained(TPort& p) {
    p.TxDraining = false;
    p.LastOutQ = -1;
    p.NextLook.reset();
    EndSending(p);
    SignalEvents(p, EV_TXEMPTY);
}

// Watches the driver's output: ends the front write when all its bytes have
// left and the transmitter has sent them, reports EV_TXEMPTY (output
// drained) when nothing is left at all, and says when to look again while
// bytes are still going out; nothing when there is nothing to watch.
//
// There is no poll event for "transmitter empty". The queue is looked at
// when what it held at the last look should be out at the set rate and
// frame; a wake-up before that (received bytes, another call) looks at
// nothing and keeps the time. A look that finds the line moved nothing (held
// by flow control) waits twice as long for the next, up to a second.
std::optional<Clock::time_point> WatchOutput(TPort& p, Clock::time_point now) {
    bool writing = !p.Writes.empty() && p.Writes.front().Handed();
    if (p.HangupError || !(writing || (p.TxDraining && p.Writes.empty()))) {
        p.NextLook.reset();
        return std::nullopt;
    }
    if (p.NextLook && now < *p.NextLook)
        return p.NextLook;
    std::uint64_t unsent = LookAtOutput(p);
    bool empty = unsent == 0 && TransmitterEmpty(p);
    if (writing && empty) {
        Complete(p, p.Writes.front().Rec, 0, static_cast<DWORD>(p.Writes.front().Size));
        p.Writes.pop_front();
        p.LastOutQ = -1;
        p.NextLook.reset();
        if (!p.Writes.empty())
            return now; // the next write may go now
    }
    if (p.Writes.empty()) {
        if (empty) {
            OutputDrained(p);
            return std::nullopt;
        }
        if (!(p.Mask & EV_TXEMPTY) && !p.RtsToggleOn) {
            // Nobody is waiting for the end of the output; forget it.
            p.TxDraining = false;
            p.NextLook.reset();
            return std::nullopt;
        }
    }
    constexpr Clock::duration shortest = std::chrono::milliseconds(1), longest = std::chrono::seconds(1);
    int queued = static_cast<int>(std::min<std::uint64_t>(unsent, 1u << 30));
    if (queued == p.LastOutQ) {
        p.LookStep = std::min<Clock::duration>(p.LookStep * 2, longest);
    } else {
        // What is queued, or (queue empty) the character in the transmitter.
        p.LookStep = std::clamp<Clock::duration>(CharTime(p) * std::max(queued, 1), shortest, longest);
        p.LastOutQ = queued;
    }
    p.NextLook = now + p.LookStep;
    return p.NextLook;
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
        if (p.Transport) {
            if (p.Transport->Sending() || (!p.Writes.empty() && !p.Writes.front().Handed() && !OutputHeld(p)))
                events |= POLLOUT;
        } else if (!p.Writes.empty()) {
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
        p.IoAsleep = true;
        lock.unlock();
        if (p.BeforeSleep)
            p.BeforeSleep();
        int r = ::poll(fds, count, timeout);
        lock.lock();
        p.IoAsleep = false;
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
            if ((rev & POLLOUT) && p.Transport && !p.HangupError) {
                if (int e = p.Transport->Flush(p))
                    HangUp(p, e);
            }
            if (rev & POLLOUT) {
                if (!p.Writes.empty() && p.Writes.front().Handed())
                    p.NextLook.reset(); // the queue went down: look now
                PushOutput(p);
            }
        }
    }
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

} // namespace commlinux

} // namespace kv52804
