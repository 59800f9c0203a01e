// The seam's calls on an open port: queue sizes, time-outs, the comm-event
// mask and wait, overlapped transfers, status and purges.
#include "CommLinuxPort.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <termios.h>
#include <unistd.h>

namespace kv52804 {

using namespace commlinux;

namespace {

// A transfer that fails before it starts: its record says so and its event is
// set, so nobody waits for it (nobody can be waiting on the port's condition:
// the record was not pending).
bool FailAtOnce(OVERLAPPED* overlapped, const EventPtr& event, int error) {
    if (overlapped)
        SetStatus(*overlapped, static_cast<DWORD>(error), 0);
    if (event)
        event->Set();
    return Fail(error);
}

} // namespace

// --------------------------------------------------------- configuration --

bool CommLinux::SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue) {
    auto [p, lock, error] = FImpl->Enter(port);
    if (error)
        return Fail(error);
    p->InSize = inQueue;
    p->OutSize = outQueue;
    Wake(*p);
    return true;
}

bool CommLinux::SetCommTimeouts(HANDLE port, const COMMTIMEOUTS& timeouts) {
    auto [p, lock, error] = FImpl->Enter(port);
    if (error)
        return Fail(error);
    p->Timeouts = timeouts;
    return true;
}

bool CommLinux::GetCommTimeouts(HANDLE port, COMMTIMEOUTS& timeouts) {
    auto [p, lock, error] = FImpl->Enter(port);
    if (error)
        return Fail(error);
    timeouts = p->Timeouts;
    return true;
}

// ------------------------------------------------------------ comm events --

bool CommLinux::SetCommMask(HANDLE port, DWORD mask) {
    auto [p, lock, error] = FImpl->Enter(port);
    if (error)
        return Fail(error);
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
    auto [p, lock, error] = FImpl->Enter(port);
    if (error)
        return Fail(error);
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
    if (ev && !p->Transport) {
        std::lock_guard evLock(ev->FdMutex);
        ev->InputOf = p;
    }
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
    if (!error && !buffer && count)
        error = EFAULT;
    if (error)
        return FailAtOnce(overlapped, ev, error);
    OVERLAPPED local;
    OVERLAPPED* ov = overlapped ? overlapped : &local;
    const auto now = Clock::now();
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
            ssize_t n = HandOver(*p, static_cast<const char*>(buffer) + op.Done, count - op.Done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (n < 0) {
                // It ends as any write the line's failure ends: with the
                // bytes that went before.
                const int e = errno;
                p->Writes.push_back(std::move(op));
                HangUp(*p, e);
                if (written)
                    *written = static_cast<DWORD>(ov->InternalHigh);
                return Fail(e);
            }
            op.Done += static_cast<std::size_t>(n);
            p->Handed += static_cast<std::size_t>(n);
            p->NextLook.reset();
        }
    }
    if (direct && op.Handed() && HoldsNothing(*p)) {
        // Nothing was queued before it and the device has passed everything
        // on: the write ends here, and with it the output.
        p->Left = p->Handed;
        Complete(*p, op.Rec, 0, count);
        OutputDrained(*p);
        if (written)
            *written = count;
        return true;
    }
    if (!op.Handed())
        op.Data.assign(static_cast<const char*>(buffer), count);
    const COMMTIMEOUTS& t = p->Timeouts;
    op.Deadline =
        TotalDeadline(now, t.WriteTotalTimeoutMultiplier, count, t.WriteTotalTimeoutConstant);
    p->Writes.push_back(std::move(op));
    if (direct && p->Writes.front().Handed()) {
        // All of it is in the driver: the write ends here when the driver
        // has sent it already, and otherwise the I/O thread is woken to look
        // again while the bytes go out (a look planned from the start of the
        // call comes a little early).
        std::optional<Clock::time_point> next = WatchOutput(*p, now);
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
    if (!error && !buffer && count)
        error = EFAULT;
    if (!error) {
        PullInput(*p);
        error = p->HangupError;
    }
    if (error)
        return FailAtOnce(overlapped, ev, error);
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
    auto report = [&] {
        if (transferred)
            *transferred = static_cast<DWORD>(overlapped->InternalHigh);
        return overlapped->Internal == 0 ? Succeed() : Fail(static_cast<int>(overlapped->Internal));
    };
    // An operation that has ended can be asked about even when its handle
    // is not open any more; a pending one cannot belong to a handle that is
    // not open.
    if (Status(*overlapped) != ERROR_IO_PENDING)
        return report();
    PortPtr p = FImpl->FindPort(port);
    // A close ends every operation of the port before the handle goes, so
    // one that was pending at the first look has its own code by now.
    if (!p)
        return Status(*overlapped) != ERROR_IO_PENDING ? report() : Fail(EBADF);
    Lock lock(p->Mutex);
    if (overlapped->Internal == ERROR_IO_PENDING) {
        if (!wait)
            return Fail(ERROR_IO_INCOMPLETE);
        p->Done.wait(lock, [&] { return overlapped->Internal != ERROR_IO_PENDING; });
    }
    return report();
}

bool CommLinux::CancelIo(HANDLE port) {
    auto [p, lock, error] = FImpl->Enter(port);
    if (error)
        return Fail(error);
    FailAll(*p, ECANCELED, true, true, true);
    Wake(*p);
    return true;
}

bool CommLinux::ClearCommError(HANDLE port, DWORD* errors, COMSTAT* stat) {
    auto [p, lock, error] = FImpl->Enter(port);
    if (error)
        return Fail(error);
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
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return Fail(EINVAL);
    auto [p, lock, entryError] = FImpl->Enter(port);
    if (entryError)
        return Fail(entryError);
    // An aborted write counts the bytes that have left by now; the rest of
    // it is dropped from the driver, so none of what it reports unsent goes.
    FailAll(*p, ECANCELED, flags & PURGE_TXABORT, flags & PURGE_RXABORT, false);
    int error = 0;
    if ((flags & PURGE_TXCLEAR) && !p->HangupError) {
        // A write under way loses its bytes in the driver: it ends with those
        // that went, as when its time runs out.
        if (!p->Writes.empty() && p->Writes.front().Done > 0)
            error = EndFrontWrite(*p, 0);
        else
            error = DiscardOutput(*p);
    }
    if (flags & PURGE_RXCLEAR) {
        p->InQ.clear();
        p->InHead = 0;
        p->ParseState = 0;
        if (!p->HangupError && !p->Transport && ::tcflush(p->Fd, TCIFLUSH) != 0)
            error = errno;
        UpdateInputFlow(*p);
    }
    if (p->Transport && !p->HangupError && !error)
        error = p->Transport->Purge(*p, flags);
    Wake(*p);
    return error ? Fail(error) : Succeed();
}

} // namespace kv52804
