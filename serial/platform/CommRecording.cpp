#include "CommRecording.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace kv52804 {

namespace {

thread_local DWORD tLastError = 0;
// The call this thread recorded last; a wait may let other threads record
// calls before the outcome of this one is known.
thread_local std::size_t tCallIndex = 0;

bool IsEventCall(const std::string& name) {
    return name == "CreateEvent" || name == "SetEvent" || name == "ResetEvent" ||
           name == "WaitForSingleObject" || name == "WaitForMultipleObjects";
}

CommCall MakeCall(const char* name, HANDLE handle, DWORD arg1, DWORD arg2,
                  bool overlapped = false) {
    CommCall c;
    c.Name = name;
    c.Handle = handle;
    c.Arg1 = arg1;
    c.Arg2 = arg2;
    c.Overlapped = overlapped;
    return c;
}
CommCall WithDcb(CommCall c, const DCB& dcb) {
    c.Dcb = dcb;
    return c;
}
CommCall WithTimeouts(CommCall c, const COMMTIMEOUTS& t) {
    c.Timeouts = t;
    return c;
}
CommCall WithPath(CommCall c, const std::string& path) {
    c.Path = path;
    return c;
}

} // namespace

CommRecording::CommRecording() = default;
CommRecording::~CommRecording() = default;

// --- What was called ---

std::vector<CommCall> CommRecording::Calls() const {
    std::lock_guard lock(FLock);
    return FCalls;
}

std::vector<std::string> CommRecording::CallNames(bool withEvents) const {
    std::lock_guard lock(FLock);
    std::vector<std::string> names;
    for (const auto& c : FCalls)
        if (withEvents || !IsEventCall(c.Name))
            names.push_back(c.Name);
    return names;
}

std::vector<CommCall> CommRecording::CallsNamed(const std::string& name) const {
    std::lock_guard lock(FLock);
    std::vector<CommCall> calls;
    for (const auto& c : FCalls)
        if (c.Name == name)
            calls.push_back(c);
    return calls;
}

int CommRecording::CountCalls(const std::string& name) const {
    std::lock_guard lock(FLock);
    return static_cast<int>(std::count_if(FCalls.begin(), FCalls.end(),
                                          [&](const CommCall& c) { return c.Name == name; }));
}

void CommRecording::ClearCalls() {
    std::lock_guard lock(FLock);
    FCalls.clear();
}

bool CommRecording::WaitForCalls(const std::string& name, int count, int timeoutMs) const {
    Lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return std::count_if(FCalls.begin(), FCalls.end(),
                             [&](const CommCall& c) { return c.Name == name; }) >= count;
    });
}

// --- Failures and scripts ---

void CommRecording::FailAt(const std::string& name, DWORD error, int occurrence) {
    std::lock_guard lock(FLock);
    FFailures[name].push_back({error, std::max(occurrence, 1) - 1});
}

void CommRecording::FailAlways(const std::string& name, DWORD error) {
    std::lock_guard lock(FLock);
    FFailures[name].push_back({error, -1});
}

void CommRecording::ClearFailures() {
    std::lock_guard lock(FLock);
    FFailures.clear();
}

void CommRecording::QueueCommEvent(DWORD mask) {
    std::lock_guard lock(FLock);
    FCommWaitScript.emplace_back(false, mask);
    for (auto& [h, port] : FPorts)
        CompleteWaitLocked(port);
    FChanged.notify_all();
}

void CommRecording::QueueCommEventError(DWORD error) {
    std::lock_guard lock(FLock);
    FCommWaitScript.emplace_back(true, error);
    for (auto& [h, port] : FPorts)
        CompleteWaitLocked(port);
    FChanged.notify_all();
}

void CommRecording::SetModemStatus(DWORD status) {
    std::lock_guard lock(FLock);
    FModemStatus = status;
}

void CommRecording::QueueLineErrors(DWORD errors) {
    std::lock_guard lock(FLock);
    FLineErrors.push_back(errors);
}

void CommRecording::SetComStat(const COMSTAT& stat) {
    std::lock_guard lock(FLock);
    FComStat = stat;
}

void CommRecording::ClearComStat() {
    std::lock_guard lock(FLock);
    FComStat.reset();
}

void CommRecording::QueueWriteResult(const CommTransfer& result) {
    std::lock_guard lock(FLock);
    FWriteScript.push_back(result);
}

void CommRecording::QueueReadResult(const CommTransfer& result) {
    std::lock_guard lock(FLock);
    FReadScript.push_back(result);
}

void CommRecording::QueueReadData(const std::string& bytes) {
    std::lock_guard lock(FLock);
    FReadData += bytes;
}

bool CommRecording::IsOpen(HANDLE port) const {
    std::lock_guard lock(FLock);
    return FPorts.count(port) != 0;
}

int CommRecording::OpenEventCount() const {
    std::lock_guard lock(FLock);
    return static_cast<int>(FEvents.size());
}

std::string CommRecording::Written() const {
    std::lock_guard lock(FLock);
    return FWritten;
}

// --- Helpers ---

// Records the call and applies an injected failure. Returns false (with
// *failed set) when the call is to fail; the caller then returns at once.
bool CommRecording::Begin(Lock& lock, CommCall call, bool* failed) {
    (void)lock;
    *failed = false;
    auto it = FFailures.find(call.Name);
    if (it != FFailures.end() && !it->second.empty()) {
        TFailure& f = it->second.front();
        if (f.Remaining == 0 || f.Remaining < 0) {
            call.Result = false;
            call.Error = f.Error;
            tLastError = f.Error;
            *failed = true;
            if (f.Remaining == 0)
                it->second.pop_front();
        } else {
            --f.Remaining;
        }
    }
    FCalls.push_back(std::move(call));
    tCallIndex = FCalls.size() - 1;
    FChanged.notify_all();
    return !*failed;
}

// Marks the last recorded call as failed with `error`.
bool CommRecording::Fail(Lock& lock, DWORD error) {
    (void)lock;
    if (tCallIndex < FCalls.size()) {
        FCalls[tCallIndex].Result = false;
        FCalls[tCallIndex].Error = error;
    }
    tLastError = error;
    return false;
}

bool CommRecording::Succeed() {
    return true;
}

CommRecording::TPort* CommRecording::FindPort(HANDLE port) {
    auto it = FPorts.find(port);
    return it == FPorts.end() ? nullptr : &it->second;
}

void CommRecording::SetEventLocked(HANDLE event) {
    auto it = FEvents.find(event);
    if (it != FEvents.end()) {
        it->second.Signalled = true;
        FChanged.notify_all();
    }
}

void CommRecording::ResetEventLocked(HANDLE event) {
    auto it = FEvents.find(event);
    if (it != FEvents.end())
        it->second.Signalled = false;
}

void CommRecording::Complete(OVERLAPPED* overlapped, DWORD error, DWORD count) {
    overlapped->Internal = error;
    overlapped->InternalHigh = count;
    SetEventLocked(overlapped->hEvent);
}

void CommRecording::CompleteWaitLocked(TPort& port) {
    if (!port.WaitRecord || FCommWaitScript.empty())
        return;
    auto [isError, value] = FCommWaitScript.front();
    FCommWaitScript.pop_front();
    if (!isError && port.WaitMask)
        *port.WaitMask = value;
    Complete(port.WaitRecord, isError ? value : 0, 0);
    port.WaitRecord = nullptr;
    port.WaitMask = nullptr;
}

// Shared by WriteFile and ReadFile once the call is recorded and the port
// found: `count` is what the operation moves unless a script says otherwise.
bool CommRecording::StartTransfer(Lock& lock, std::optional<CommTransfer> script, DWORD count,
                                  DWORD* moved, OVERLAPPED* overlapped, DWORD error) {
    CommTransfer r{count, error, false};
    if (script)
        r = *script;
    if (moved)
        *moved = 0;
    if (overlapped)
        ResetEventLocked(overlapped->hEvent);
    if (r.Error != 0 && !r.Pending)
        return Fail(lock, r.Error);
    if (r.Pending && overlapped) {
        Complete(overlapped, r.Error, r.Error ? 0 : r.Count);
        return Fail(lock, ERROR_IO_PENDING);
    }
    if (moved)
        *moved = r.Count;
    if (overlapped)
        Complete(overlapped, 0, r.Count);
    return r.Error == 0 ? Succeed() : Fail(lock, r.Error);
}

// --- CommApi ---

HANDLE CommRecording::CreateFile(const std::string& path, DWORD desiredAccess, DWORD shareMode,
                                 DWORD creationDisposition, DWORD flagsAndAttributes) {
    Lock lock(FLock);
    CommCall c = WithPath(MakeCall("CreateFile", INVALID_HANDLE_VALUE, 0, 0), path);
    c.Arg1 = desiredAccess;
    c.Arg2 = shareMode;
    c.Arg3 = creationDisposition;
    c.Arg4 = flagsAndAttributes;
    bool failed;
    if (!Begin(lock, c, &failed))
        return INVALID_HANDLE_VALUE;
    HANDLE h = FNextHandle++;
    FPorts[h].Path = path;
    FCalls.back().Handle = h;
    return h;
}

bool CommRecording::CloseHandle(HANDLE handle) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("CloseHandle", handle, 0, 0), &failed))
        return false;
    if (TPort* p = FindPort(handle)) {
        if (p->WaitRecord)
            Complete(p->WaitRecord, ECANCELED, 0);
        FPorts.erase(handle);
        return true;
    }
    if (FEvents.erase(handle)) {
        FChanged.notify_all();
        return true;
    }
    return Fail(lock, EBADF);
}

bool CommRecording::SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("SetupComm", port, inQueue, outQueue), &failed))
        return false;
    return FindPort(port) ? Succeed() : Fail(lock, EBADF);
}

bool CommRecording::SetCommState(HANDLE port, const DCB& dcb) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, WithDcb(MakeCall("SetCommState", port, 0, 0), dcb), &failed))
        return false;
    TPort* p = FindPort(port);
    if (!p)
        return Fail(lock, EBADF);
    p->Dcb = dcb;
    return true;
}

bool CommRecording::GetCommState(HANDLE port, DCB& dcb) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("GetCommState", port, 0, 0), &failed))
        return false;
    TPort* p = FindPort(port);
    if (!p)
        return Fail(lock, EBADF);
    dcb = p->Dcb;
    return true;
}

bool CommRecording::SetCommTimeouts(HANDLE port, const COMMTIMEOUTS& timeouts) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, WithTimeouts(MakeCall("SetCommTimeouts", port, 0, 0), timeouts), &failed))
        return false;
    TPort* p = FindPort(port);
    if (!p)
        return Fail(lock, EBADF);
    p->Timeouts = timeouts;
    return true;
}

bool CommRecording::GetCommTimeouts(HANDLE port, COMMTIMEOUTS& timeouts) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("GetCommTimeouts", port, 0, 0), &failed))
        return false;
    TPort* p = FindPort(port);
    if (!p)
        return Fail(lock, EBADF);
    timeouts = p->Timeouts;
    return true;
}

bool CommRecording::SetCommMask(HANDLE port, DWORD mask) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("SetCommMask", port, mask, 0), &failed))
        return false;
    TPort* p = FindPort(port);
    if (!p)
        return Fail(lock, EBADF);
    p->Mask = mask;
    // As the real thing: a new mask ends the wait in progress with mask 0.
    if (p->WaitRecord) {
        if (p->WaitMask)
            *p->WaitMask = 0;
        Complete(p->WaitRecord, 0, 0);
        p->WaitRecord = nullptr;
        p->WaitMask = nullptr;
    }
    return true;
}

bool CommRecording::GetCommMask(HANDLE port, DWORD& mask) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("GetCommMask", port, 0, 0), &failed))
        return false;
    TPort* p = FindPort(port);
    if (!p)
        return Fail(lock, EBADF);
    mask = p->Mask;
    return true;
}

bool CommRecording::WaitCommEvent(HANDLE port, DWORD* mask, OVERLAPPED* overlapped) {
    Lock lock(FLock);
    bool failed;
    if (overlapped)
        ResetEventLocked(overlapped->hEvent);
    if (!Begin(lock, MakeCall("WaitCommEvent", port, 0, 0, overlapped != nullptr), &failed))
        return false;
    TPort* p = FindPort(port);
    if (!p)
        return Fail(lock, EBADF);
    if (!overlapped || p->WaitRecord)
        return Fail(lock, EINVAL);
    overlapped->Internal = ERROR_IO_PENDING;
    overlapped->InternalHigh = 0;
    p->WaitRecord = overlapped;
    p->WaitMask = mask;
    CompleteWaitLocked(*p);
    return Fail(lock, ERROR_IO_PENDING);
}

bool CommRecording::WriteFile(HANDLE port, const void* buffer, DWORD count, DWORD* written,
                              OVERLAPPED* overlapped) {
    Lock lock(FLock);
    CommCall c = MakeCall("WriteFile", port, count, 0, overlapped != nullptr);
    if (buffer && count)
        c.Data.assign(static_cast<const char*>(buffer), count);
    bool failed;
    if (overlapped)
        ResetEventLocked(overlapped->hEvent);
    if (!Begin(lock, c, &failed))
        return false;
    if (!FindPort(port))
        return Fail(lock, EBADF);
    std::optional<CommTransfer> script;
    if (!FWriteScript.empty()) {
        script = FWriteScript.front();
        FWriteScript.pop_front();
        script->Count = std::min(script->Count, count);
    }
    DWORD sent = script ? (script->Error ? 0 : script->Count) : count;
    if (buffer)
        FWritten.append(static_cast<const char*>(buffer), sent);
    return StartTransfer(lock, script, count, written, overlapped, 0);
}

bool CommRecording::ReadFile(HANDLE port, void* buffer, DWORD count, DWORD* read,
                             OVERLAPPED* overlapped) {
    Lock lock(FLock);
    bool failed;
    if (overlapped)
        ResetEventLocked(overlapped->hEvent);
    if (!Begin(lock, MakeCall("ReadFile", port, count, 0, overlapped != nullptr), &failed))
        return false;
    if (!FindPort(port))
        return Fail(lock, EBADF);
    std::optional<CommTransfer> script;
    if (!FReadScript.empty()) {
        script = FReadScript.front();
        FReadScript.pop_front();
    }
    DWORD n = std::min<DWORD>(count, static_cast<DWORD>(FReadData.size()));
    if (script && !script->Error)
        n = std::min(n, script->Count);
    if (script && script->Error)
        n = 0;
    if (buffer && n)
        std::memcpy(buffer, FReadData.data(), n);
    FReadData.erase(0, n);
    if (script)
        script->Count = n;
    return StartTransfer(lock, script, n, read, overlapped, 0);
}

bool CommRecording::GetOverlappedResult(HANDLE port, OVERLAPPED* overlapped, DWORD* transferred,
                                        bool wait) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("GetOverlappedResult", port, 0, wait), &failed))
        return false;
    if (!overlapped)
        return Fail(lock, EINVAL);
    if (overlapped->Internal == ERROR_IO_PENDING) {
        if (!wait)
            return Fail(lock, ERROR_IO_INCOMPLETE);
        FChanged.wait(lock, [&] { return overlapped->Internal != ERROR_IO_PENDING; });
    }
    if (transferred)
        *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (overlapped->Internal != 0)
        return Fail(lock, static_cast<DWORD>(overlapped->Internal));
    return true;
}

bool CommRecording::CancelIo(HANDLE port) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("CancelIo", port, 0, 0), &failed))
        return false;
    TPort* p = FindPort(port);
    if (!p)
        return Fail(lock, EBADF);
    if (p->WaitRecord) {
        Complete(p->WaitRecord, ECANCELED, 0);
        p->WaitRecord = nullptr;
        p->WaitMask = nullptr;
    }
    return true;
}

bool CommRecording::ClearCommError(HANDLE port, DWORD* errors, COMSTAT* stat) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("ClearCommError", port, 0, 0), &failed))
        return false;
    if (!FindPort(port))
        return Fail(lock, EBADF);
    DWORD e = 0;
    if (!FLineErrors.empty()) {
        e = FLineErrors.front();
        FLineErrors.pop_front();
    }
    if (errors)
        *errors = e;
    if (stat) {
        if (FComStat)
            *stat = *FComStat;
        else
            *stat = COMSTAT{0, static_cast<DWORD>(FReadData.size()), 0};
    }
    return true;
}

bool CommRecording::PurgeComm(HANDLE port, DWORD flags) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("PurgeComm", port, flags, 0), &failed))
        return false;
    if (!FindPort(port))
        return Fail(lock, EBADF);
    if (flags & PURGE_RXCLEAR)
        FReadData.clear();
    return true;
}

bool CommRecording::GetCommModemStatus(HANDLE port, DWORD* status) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("GetCommModemStatus", port, 0, 0), &failed))
        return false;
    if (!FindPort(port))
        return Fail(lock, EBADF);
    if (status)
        *status = FModemStatus;
    return true;
}

bool CommRecording::EscapeCommFunction(HANDLE port, DWORD function) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("EscapeCommFunction", port, function, 0), &failed))
        return false;
    return FindPort(port) ? Succeed() : Fail(lock, EBADF);
}

HANDLE CommRecording::CreateEvent(bool manualReset, bool initialState) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("CreateEvent", INVALID_HANDLE_VALUE, manualReset, initialState),
               &failed))
        return INVALID_HANDLE_VALUE;
    HANDLE h = FNextHandle++;
    FEvents[h] = TEvent{manualReset, initialState};
    FCalls.back().Handle = h;
    return h;
}

bool CommRecording::SetEvent(HANDLE event) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("SetEvent", event, 0, 0), &failed))
        return false;
    if (!FEvents.count(event))
        return Fail(lock, EBADF);
    SetEventLocked(event);
    return true;
}

bool CommRecording::ResetEvent(HANDLE event) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("ResetEvent", event, 0, 0), &failed))
        return false;
    if (!FEvents.count(event))
        return Fail(lock, EBADF);
    ResetEventLocked(event);
    return true;
}

// Waits on the condition variable until one of the events is signalled, one
// of them is closed (WAIT_FAILED, EBADF) or the time is up.
DWORD CommRecording::WaitLocked(Lock& lock, DWORD count, const HANDLE* events, DWORD milliseconds) {
    DWORD result = WAIT_TIMEOUT;
    auto ready = [&] {
        for (DWORD i = 0; i < count; ++i) {
            auto it = FEvents.find(events[i]);
            if (it == FEvents.end()) {
                result = WAIT_FAILED;
                return true;
            }
            if (it->second.Signalled) {
                if (!it->second.ManualReset)
                    it->second.Signalled = false;
                result = WAIT_OBJECT_0 + i;
                return true;
            }
        }
        return false;
    };
    if (milliseconds == INFINITE)
        FChanged.wait(lock, ready);
    else
        FChanged.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
    if (result == WAIT_FAILED) {
        Fail(lock, EBADF);
    }
    return result;
}

DWORD CommRecording::WaitForSingleObject(HANDLE event, DWORD milliseconds) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("WaitForSingleObject", event, milliseconds, 0), &failed))
        return WAIT_FAILED;
    return WaitLocked(lock, 1, &event, milliseconds);
}

DWORD CommRecording::WaitForMultipleObjects(DWORD count, const HANDLE* events, bool waitAll,
                                            DWORD milliseconds) {
    Lock lock(FLock);
    bool failed;
    if (!Begin(lock, MakeCall("WaitForMultipleObjects", INVALID_HANDLE_VALUE, milliseconds, count),
               &failed))
        return WAIT_FAILED;
    if (waitAll || count == 0 || !events) {
        Fail(lock, EINVAL);
        return WAIT_FAILED;
    }
    return WaitLocked(lock, count, events, milliseconds);
}

DWORD CommRecording::GetLastError() {
    return tLastError;
}

} // namespace kv52804
