// Construction, opening and closing the device, settings batches, and the
// open and close steps with the handlers and listeners they notify.
#include "CPort.h"

#include "Forms.h"

#include <cstdio>

namespace kv52804 {

TCustomComPort::TCustomComPort(QObject* AOwner) : QObject(AOwner), FApi(&LinuxCommApi()) {
    FParity = new TComParity(this);
    FFlowControl = new TComFlowControl(this);
    FTimeouts = new TComTimeouts(this);
    FBuffer = new TComBuffer(this);
}

TCustomComPort::~TCustomComPort() {
    CloseForDestruction();
    PAsync kept = FWaitAsync.exchange(nullptr); // kept by a transfer after a close
    FreeAsyncRecord(kept);
    delete FBuffer;
    delete FFlowControl;
    delete FTimeouts;
    delete FParity;
}

void TCustomComPort::CloseForDestruction() noexcept {
    try {
        Close();
    } catch (const std::exception& e) {
        // A destructor has no caller to report to; a failed close (a purge
        // after the line was unplugged, a handler that raised) must still
        // let go of the thread, the window and the descriptor.
        std::fprintf(stderr, "%s\n", e.what());
        ForceRelease();
    } catch (...) {
        ForceRelease();
    }
}

void TCustomComPort::ForceRelease() noexcept {
    try {
        StopEventWatch();
    } catch (...) {
    }
    try {
        ReleaseHandle();
    } catch (...) {
    }
    // The handle is gone whatever ReleaseHandle said; never close it twice.
    FHandle = INVALID_HANDLE_VALUE;
    FConnected = false;
}

void TCustomComPort::SetCommApi(CommApi* Value) {
    if (FApi == Value)
        return;
    // Every handle and event of an open port belongs to the seam that made
    // it; a different seam cannot release them.
    if (FConnected)
        throw EComPort(CError_ConnChangeProp);
    FApi = Value ? Value : &LinuxCommApi();
}

void TCustomComPort::SetConnected(bool Value) {
    if (FLoading) {
        FConnected = Value;
        return;
    }
    if (Value == FConnected)
        return;
    if (Value)
        Open();
    else
        Close();
}

void TCustomComPort::Loaded() {
    FLoading = false;
    if (!FConnected)
        return;
    FConnected = false;
    try {
        Open();
    } catch (const std::exception& e) {
        // Loading has no caller that could handle the failure; the port stays
        // closed and the user is told.
        ApplicationHandleException(e);
    }
}

void TCustomComPort::BeginSettingsUpdate() {
    ++FUpdateDepth;
}

void TCustomComPort::EndSettingsUpdate() {
    if (FUpdateDepth <= 0)
        return;
    if (--FUpdateDepth == 0)
        ApplySettings();
}

void TCustomComPort::AcquireHandle() {
    const QString path = ResolvePortPath(FPort);
    FHandle = FApi->CreateFile(path.toStdString(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED);
    if (FHandle == INVALID_HANDLE_VALUE)
        throw EComPort::FromApi(CError_OpenFailed, *FApi);
}

void TCustomComPort::ReleaseHandle() {
    if (FHandle == INVALID_HANDLE_VALUE)
        return;
    const HANDLE h = FHandle;
    FHandle = INVALID_HANDLE_VALUE;
    FApi->CloseHandle(h);
    PAsync kept = FWaitAsync.exchange(nullptr);
    FreeAsyncRecord(kept);
}

void TCustomComPort::Open() {
    if (FConnected)
        return;
    ProcessBeforeOpen();
    AcquireHandle();
    // Connected before applying, so the apply steps do not skip themselves.
    FConnected = true;
    try {
        ApplySettings();
    } catch (...) {
        ReleaseHandle();
        FConnected = false;
        throw;
    }
    try {
        FThreadCreated = StartEventWatch();
    } catch (...) {
        // No thread (the system refused one): the port is not half open.
        StopEventWatch();
        ReleaseHandle();
        FConnected = false;
        throw;
    }
    ProcessAfterOpen();
}

void TCustomComPort::Close() {
    // A handler run while Close waits for the event thread may call Close
    // again; the outer call finishes the work.
    if (!FConnected || FClosing)
        return;
    FClosing = true;
    struct TClosing {
        bool& Flag;
        ~TClosing() { Flag = false; }
    } closing{FClosing};
    ProcessBeforeClose();
    AbortAllTransfers();
    if (FThreadCreated) {
        StopEventWatch();
        FThreadCreated = false;
    }
    ReleaseHandle();
    FConnected = false;
    ProcessAfterClose();
}

bool TCustomComPort::StartEventWatch() {
    if (FEvents.Empty())
        return false;
    if (FSyncMethod == smWindowSync)
        FNotifyWindow = std::make_unique<TNotifyWindow>(
            [this](uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
                return NotifyWindowProc(Msg, WParam, LParam);
            });
    FEventThread = std::make_unique<TComThread>(this);
    return true;
}

void TCustomComPort::StopEventWatch() {
    if (std::unique_ptr<TComThread> thread = std::move(FEventThread)) {
        if (thread->DeliveringHere())
            // A handler of this thread's own delivery closes the port: the
            // thread is blocked on (or is) the code further up this stack, so
            // waiting for it here would never end.
            thread.release()->Abandon();
        else
            thread.reset(); // stops it and waits, running its deliveries
    }
    // After the thread: a message it sent while Close waited has been taken.
    FNotifyWindow.reset();
}

// --- Open and close steps ---------------------------------------------------------

void TCustomComPort::ProcessBeforeOpen() {
    FireBeforeOpen();
}

void TCustomComPort::ProcessAfterOpen() {
    NotifyListeners([this](TComListener& l) {
        if (l.ConnectionChanged)
            l.ConnectionChanged(this, true);
    });
    FireAfterOpen();
    ReportSignals(true);
}

void TCustomComPort::ProcessBeforeClose() {
    ReportSignals(false);
    FireBeforeClose();
}

void TCustomComPort::ProcessAfterClose() {
    NotifyListeners([this](TComListener& l) {
        if (l.ConnectionChanged)
            l.ConnectionChanged(this, false);
    });
    FireAfterClose();
}

// --- Listeners ----------------------------------------------------------------------

void TCustomComPort::RegisterListener(TComListener* Listener) {
    if (!Listener)
        return;
    for (TComListener* l : FListeners)
        if (l == Listener)
            return;
    FListeners.push_back(Listener);
    if (Listener->BufferReceived)
        FHasBufferListener = true;
}

void TCustomComPort::UnregisterListener(TComListener* Listener) {
    std::erase(FListeners, Listener);
    FHasBufferListener = false;
    for (TComListener* l : FListeners)
        if (l->BufferReceived)
            FHasBufferListener = true;
}

// --- Handlers ---------------------------------------------------------------------------

void TCustomComPort::FireAfterClose() {
    if (OnAfterClose)
        OnAfterClose(this);
}
void TCustomComPort::FireAfterOpen() {
    if (OnAfterOpen)
        OnAfterOpen(this);
}
void TCustomComPort::FireBeforeClose() {
    if (OnBeforeClose)
        OnBeforeClose(this);
}
void TCustomComPort::FireBeforeOpen() {
    if (OnBeforeOpen)
        OnBeforeOpen(this);
}
void TCustomComPort::FireRxChar(int32_t Count) {
    if (OnRxChar)
        OnRxChar(this, Count);
}
void TCustomComPort::FireRxBuf(const void* Buffer, int32_t Count) {
    if (OnRxBuf)
        OnRxBuf(this, Buffer, Count);
}
void TCustomComPort::FireTxEmpty() {
    if (OnTxEmpty)
        OnTxEmpty(this);
}
void TCustomComPort::FireBreak() {
    if (OnBreak)
        OnBreak(this);
}
void TCustomComPort::FireRing() {
    if (OnRing)
        OnRing(this);
}
void TCustomComPort::FireRxFlag() {
    if (OnRxFlag)
        OnRxFlag(this);
}
void TCustomComPort::FireCTSChange(bool OnOff) {
    if (OnCTSChange)
        OnCTSChange(this, OnOff);
}
void TCustomComPort::FireDSRChange(bool OnOff) {
    if (OnDSRChange)
        OnDSRChange(this, OnOff);
}
void TCustomComPort::FireError(TComErrors Errors) {
    if (OnError)
        OnError(this, Errors);
}
void TCustomComPort::FireRLSDChange(bool OnOff) {
    if (OnRLSDChange)
        OnRLSDChange(this, OnOff);
}
void TCustomComPort::FireRx80Full() {
    if (OnRx80Full)
        OnRx80Full(this);
}

} // namespace kv52804
