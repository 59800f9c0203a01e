// Overlapped transfers: every write and read is one OS operation described by
// a TComAsync record; the waiting forms start one and wait for it.
#include "CPort.h"

#include <cstring>
#include <new>

namespace kv52804 {

void NewAsyncRecord(PAsync& Async, CommApi& Api) {
    auto* rec = new TComAsync;
    rec->Overlapped = OVERLAPPED{};
    // Signalled from the start: awaiting a record that never started an
    // operation returns at once instead of blocking forever.
    rec->Overlapped.hEvent = Api.CreateEvent(true, true);
    if (rec->Overlapped.hEvent == INVALID_HANDLE_VALUE) {
        const DWORD err = Api.GetLastError();
        delete rec;
        throw EComPort(CError_AsyncCheck, static_cast<int32_t>(err));
    }
    rec->Api = &Api;
    rec->WriteCopy = nullptr;
    rec->WriteCopySize = 0;
    rec->WriteCopyCapacity = 0;
    rec->EndedAtStart = false;
    Async = rec;
}

void FreeAsyncRecord(PAsync& Async) {
    if (!Async)
        return;
    if (Async->Overlapped.hEvent != INVALID_HANDLE_VALUE)
        Async->Api->CloseHandle(Async->Overlapped.hEvent);
    delete[] Async->WriteCopy;
    delete Async;
    Async = nullptr;
}

namespace {
// The record of a waiting transfer: the port's kept one when it is free,
// else one of its own. It goes back to the port only when the transfer has
// ended normally; a record whose wait failed may still be in the system's
// hands and is released as before.
class TAsyncGuard {
public:
    TAsyncGuard(std::atomic<PAsync>& Kept, const std::atomic<HANDLE>& Handle, CommApi& Api)
        : FKept(Kept), FHandle(Handle) {
        FAsync = Kept.exchange(nullptr);
        if (FAsync && FAsync->Api != &Api)
            FreeAsyncRecord(FAsync);
        if (FAsync) {
            FAsync->Overlapped.Internal = 0;
            FAsync->Overlapped.InternalHigh = 0;
            FAsync->EndedAtStart = false;
        } else {
            NewAsyncRecord(FAsync, Api);
        }
    }
    ~TAsyncGuard() {
        // A large write's copy is not kept for the next transfer.
        if (FAsync->WriteCopyCapacity > 64 * 1024) {
            delete[] FAsync->WriteCopy;
            FAsync->WriteCopy = nullptr;
            FAsync->WriteCopyCapacity = 0;
        }
        PAsync empty = nullptr;
        if (!FKeep || !FKept.compare_exchange_strong(empty, FAsync)) {
            FreeAsyncRecord(FAsync);
            return;
        }
        // A close that ran meanwhile may have looked for a kept record before
        // this one was back: it goes with the handle all the same. (The
        // handle is released before the kept record is taken, so either the
        // close finds the record or this finds the handle gone.)
        if (FHandle.load() == INVALID_HANDLE_VALUE) {
            PAsync kept = FKept.exchange(nullptr);
            FreeAsyncRecord(kept);
        }
    }
    TAsyncGuard(const TAsyncGuard&) = delete;
    TAsyncGuard& operator=(const TAsyncGuard&) = delete;
    PAsync& Get() { return FAsync; }
    // The transfer has ended normally; the record is kept while the port
    // is open (it is released with the handle).
    int32_t Ended(int32_t Moved) {
        FKeep = true;
        return Moved;
    }

private:
    std::atomic<PAsync>& FKept;
    const std::atomic<HANDLE>& FHandle;
    PAsync FAsync = nullptr;
    bool FKeep = false;
};
} // namespace

int32_t TCustomComPort::InputQueueLength() {
    COMSTAT stat{};
    DWORD errors = 0;
    if (!FApi->ClearCommError(FHandle, &errors, &stat))
        throw EComPort(CError_ClearComFailed, static_cast<int32_t>(FApi->GetLastError()));
    return static_cast<int32_t>(stat.cbInQue);
}

int32_t TCustomComPort::BeginWrite(const void* Buffer, int32_t Count, PAsync& Async) {
    if (!Async)
        throw EComPort(CError_InvalidAsync);
    if (Count < 0)
        Count = 0;
    Async->Operation = akWrite;
    Async->WriteCopySize = 0;
    if (Count > Async->WriteCopyCapacity || !Async->WriteCopy) {
        delete[] Async->WriteCopy;
        Async->WriteCopy = nullptr;
        Async->WriteCopyCapacity = 0;
        Async->WriteCopy = new uint8_t[Count > 0 ? Count : 1];
        Async->WriteCopyCapacity = Count;
    }
    if (Count > 0)
        std::memcpy(Async->WriteCopy, Buffer, static_cast<std::size_t>(Count));
    Async->WriteCopySize = Count;

    DWORD written = 0;
    Async->EndedAtStart = FApi->WriteFile(FHandle, Buffer, static_cast<DWORD>(Count), &written,
                                          &Async->Overlapped);
    if (!Async->EndedAtStart) {
        const DWORD err = FApi->GetLastError();
        if (err != ERROR_IO_PENDING)
            throw EComPort(CError_WriteFailed, static_cast<int32_t>(err));
    }
    NotifyListeners([this](TComListener& l) {
        if (l.TxActivity)
            l.TxActivity(this, true);
    });
    return static_cast<int32_t>(written);
}

int32_t TCustomComPort::BeginWriteString(const std::string& Str, PAsync& Async) {
    if (Str.empty())
        return 0;
    return BeginWrite(Str.data(), static_cast<int32_t>(Str.size()), Async);
}

int32_t TCustomComPort::BeginRead(void* Buffer, int32_t Count, PAsync& Async) {
    if (!Async)
        throw EComPort(CError_InvalidAsync);
    if (Count < 0)
        Count = 0;
    Async->Operation = akRead;
    DWORD read = 0;
    Async->EndedAtStart =
        FApi->ReadFile(FHandle, Buffer, static_cast<DWORD>(Count), &read, &Async->Overlapped);
    if (!Async->EndedAtStart) {
        const DWORD err = FApi->GetLastError();
        if (err != ERROR_IO_PENDING)
            throw EComPort(CError_ReadFailed, static_cast<int32_t>(err));
    }
    return static_cast<int32_t>(read);
}

int32_t TCustomComPort::WriteString(const std::string& Str) {
    // Nothing starts, so nothing is awaited: the kept record still holds the
    // last transfer's kind and bytes, which must not be reported again.
    if (Str.empty())
        return 0;
    TAsyncGuard async(FWaitAsync, FHandle, *FApi);
    BeginWriteString(Str, async.Get());
    return async.Ended(AwaitCompletion(async.Get()));
}

int32_t TCustomComPort::ReadBytes(void* Buffer, int32_t Count) {
    TAsyncGuard async(FWaitAsync, FHandle, *FApi);
    BeginRead(Buffer, Count, async.Get());
    return async.Ended(AwaitCompletion(async.Get()));
}

int32_t TCustomComPort::AwaitCompletion(PAsync& Async) {
    if (!Async)
        throw EComPort(CError_InvalidAsync);
    CommApi& api = Async->Api ? *Async->Api : *FApi;
    const int32_t failCode = Async->Operation == akWrite ? CError_WriteFailed : CError_ReadFailed;
    // An operation that ended as it started has set its event already.
    if (!Async->EndedAtStart &&
        api.WaitForSingleObject(Async->Overlapped.hEvent, INFINITE) != WAIT_OBJECT_0)
        throw EComPort(failCode, static_cast<int32_t>(api.GetLastError()));
    // A record that never started an operation has a zero status: nothing
    // was moved and there is nothing to ask the port about.
    DWORD moved = 0;
    if (Async->Overlapped.Internal != 0 || Async->Overlapped.InternalHigh != 0) {
        if (!api.GetOverlappedResult(FHandle, &Async->Overlapped, &moved, false))
            throw EComPort(failCode, static_cast<int32_t>(api.GetLastError()));
    }
    if (Async->Operation == akRead) {
        if (InputQueueLength() == 0)
            NotifyListeners([this](TComListener& l) {
                if (l.RxActivity)
                    l.RxActivity(this, false);
            });
    } else if (Async->WriteCopy) {
        // Only a finished write reports sent bytes: a read on a record that
        // once wrote must not repeat that old write's bytes.
        const uint8_t* data = Async->WriteCopy;
        const int32_t size = Async->WriteCopySize;
        NotifyListeners([this, data, size](TComListener& l) {
            if (l.BufferSent)
                l.BufferSent(this, data, size);
        });
    }
    return static_cast<int32_t>(moved);
}

void TCustomComPort::AbortAllTransfers() {
    if (!FApi->PurgeComm(FHandle, PURGE_TXABORT | PURGE_RXABORT))
        throw EComPort(CError_PurgeFailed, static_cast<int32_t>(FApi->GetLastError()));
}

} // namespace kv52804
