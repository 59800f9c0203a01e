#pragma once
// The recording fake of the serial seam, for tests of the port component.
//
// It records every call with its arguments in order, can make any named call
// fail with a chosen errno at its nth occurrence, and plays back scripted
// results: comm-event masks, modem status, line-error words and queue counts,
// transfer results. It does not imitate the OS beyond that: writes go nowhere,
// reads return scripted bytes.
//
// Events are real (manual or auto reset) and waits block on a condition
// variable, so the port's event thread runs against it as against the real
// backend. Everything is guarded by one mutex; any thread may call in.
#include "CommApi.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kv52804 {

struct CommCall {
    std::string Name; // operation name, e.g. "SetCommState"
    HANDLE Handle = INVALID_HANDLE_VALUE;
    std::string Path;       // CreateFile
    DWORD Arg1 = 0;         // CreateFile access; SetupComm input size; SetCommMask mask;
                            // PurgeComm flags; EscapeCommFunction function; Write/ReadFile
                            // count; CreateEvent manual reset; WaitFor* timeout
    DWORD Arg2 = 0;         // CreateFile share mode; SetupComm output size; CreateEvent
                            // initial state; GetOverlappedResult wait flag
    DWORD Arg3 = 0;         // CreateFile creation disposition
    DWORD Arg4 = 0;         // CreateFile flags
    std::optional<DCB> Dcb; // SetCommState
    std::optional<COMMTIMEOUTS> Timeouts; // SetCommTimeouts
    std::string Data;                     // WriteFile bytes
    bool Overlapped = false;              // an OVERLAPPED record was passed
    bool Result = true;
    DWORD Error = 0; // GetLastError after a failed call
};

// How a scripted write or read ends.
struct CommTransfer {
    DWORD Count = 0;      // bytes moved (writes: capped at the request)
    DWORD Error = 0;      // non-zero: the operation fails with this code
    bool Pending = false; // start with ERROR_IO_PENDING and end right away,
                          // so the caller goes through the overlapped path
};

class CommRecording : public CommApi {
public:
    CommRecording();
    ~CommRecording() override;

    // --- What was called ---
    std::vector<CommCall> Calls() const;
    // Names of the recorded calls in order, leaving out the event and wait
    // calls (CreateEvent, SetEvent, ResetEvent, WaitFor*, GetLastError) unless
    // `withEvents` is set.
    std::vector<std::string> CallNames(bool withEvents = false) const;
    std::vector<CommCall> CallsNamed(const std::string& name) const;
    int CountCalls(const std::string& name) const;
    void ClearCalls();
    // Blocks until `name` has been called at least `count` times in all (or
    // the timeout passes); true when reached. For tests that wait for the
    // event thread.
    bool WaitForCalls(const std::string& name, int count, int timeoutMs = 5000) const;

    // --- Failures ---
    // The `occurrence`-th call (1 = next) of `name` from now on fails with
    // `error` (an errno value) and does nothing else.
    void FailAt(const std::string& name, DWORD error, int occurrence = 1);
    // Every call of `name` fails with `error` until ClearFailures.
    void FailAlways(const std::string& name, DWORD error);
    void ClearFailures();

    // --- Scripted results ---
    // A comm wait ends with this mask (queued; a pending wait takes it at once).
    void QueueCommEvent(DWORD mask);
    // A comm wait ends with this error (GetOverlappedResult false).
    void QueueCommEventError(DWORD error);
    void SetModemStatus(DWORD status);
    // Line-error words handed out one per ClearCommError; then 0.
    void QueueLineErrors(DWORD errors);
    // Queue counts reported by ClearCommError. Without a fixed value cbInQue
    // is the number of scripted read bytes not yet read.
    void SetComStat(const COMSTAT& stat);
    void ClearComStat();
    // Results of the next writes / reads, one per call; without a script a
    // write moves everything at once and a read returns queued bytes at once.
    void QueueWriteResult(const CommTransfer& result);
    void QueueReadResult(const CommTransfer& result);
    // Bytes that reads return.
    void QueueReadData(const std::string& bytes);

    // --- State a test may look at ---
    bool IsOpen(HANDLE port) const;
    int OpenEventCount() const;  // events not yet closed (leak check)
    std::string Written() const; // every byte written so far, in order

    // --- CommApi ---
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

private:
    struct TEvent {
        bool ManualReset = true;
        bool Signalled = false;
    };
    struct TPort {
        std::string Path;
        DCB Dcb;
        COMMTIMEOUTS Timeouts;
        DWORD Mask = 0;
        // The pending comm wait, if any.
        OVERLAPPED* WaitRecord = nullptr;
        DWORD* WaitMask = nullptr;
    };
    struct TFailure {
        DWORD Error = 0;
        int Remaining = 0; // calls to let pass first; -1 = fail always
    };
    using Lock = std::unique_lock<std::mutex>;

    bool Begin(Lock& lock, CommCall call, bool* failed);
    bool Fail(Lock& lock, DWORD error);
    bool Succeed();
    TPort* FindPort(HANDLE port);
    void SetEventLocked(HANDLE event);
    void ResetEventLocked(HANDLE event);
    void Complete(OVERLAPPED* overlapped, DWORD error, DWORD count);
    void CompleteWaitLocked(TPort& port);
    bool StartTransfer(Lock& lock, std::optional<CommTransfer> script, DWORD count, DWORD* moved,
                       OVERLAPPED* overlapped, DWORD error);
    DWORD WaitLocked(Lock& lock, DWORD count, const HANDLE* events, DWORD milliseconds);

    mutable std::mutex FLock;
    mutable std::condition_variable FChanged;
    std::vector<CommCall> FCalls;
    std::map<std::string, std::deque<TFailure>> FFailures;
    std::map<HANDLE, TPort> FPorts;
    std::map<HANDLE, TEvent> FEvents;
    HANDLE FNextHandle = 100;
    std::deque<std::pair<bool, DWORD>> FCommWaitScript; // (is error, mask or error code)
    DWORD FModemStatus = 0;
    std::deque<DWORD> FLineErrors;
    std::optional<COMSTAT> FComStat;
    std::deque<CommTransfer> FWriteScript;
    std::deque<CommTransfer> FReadScript;
    std::string FReadData;
    std::string FWritten;
};

} // namespace kv52804
