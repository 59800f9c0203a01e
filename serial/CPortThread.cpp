// The event thread: one overlapped comm-event wait at a time, ended by the
// line or by the stop event, and the delivery of each reported batch to the
// port on the thread its SyncMethod names.
#include "CPort.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <thread>

namespace kv52804 {

namespace {

// One row per event: the OS flag and, in the order the steps run, the step.
// The error step comes first so that a handler sees the line errors of a
// batch before the bytes that came with them.
struct TEventRow {
    TComEvent Event;
    DWORD Flag;
};

constexpr TEventRow kMaskTable[] = {
    {evRxChar, EV_RXCHAR}, {evTxEmpty, EV_TXEMPTY},   {evRxFlag, EV_RXFLAG}, {evRing, EV_RING},
    {evBreak, EV_BREAK},   {evCTS, EV_CTS},           {evDSR, EV_DSR},       {evError, EV_ERR},
    {evRLSD, EV_RLSD},     {evRx80Full, EV_RX80FULL},
};

constexpr TEventRow kStepOrder[] = {
    {evError, EV_ERR}, {evRxChar, EV_RXCHAR},     {evTxEmpty, EV_TXEMPTY}, {evBreak, EV_BREAK},
    {evRing, EV_RING}, {evCTS, EV_CTS},           {evDSR, EV_DSR},         {evRxFlag, EV_RXFLAG},
    {evRLSD, EV_RLSD}, {evRx80Full, EV_RX80FULL},
};

// The thread whose batch is being delivered on this thread, innermost first:
// the main thread during a synchronised delivery, the event thread itself
// with smNone.
thread_local const TComThread* tDelivering = nullptr;

} // namespace

DWORD EventsToMask(TComEvents Events) {
    DWORD mask = 0;
    for (const TEventRow& row : kMaskTable)
        if (Events.Contains(row.Event))
            mask |= row.Flag;
    return mask;
}

TComEvents MaskToEvents(DWORD Mask) {
    TComEvents events;
    for (const TEventRow& row : kMaskTable)
        if ((Mask & row.Flag) == row.Flag)
            events.Include(row.Event);
    return events;
}

TComThread::TComThread(TCustomComPort* AComPort)
    : FComPort(AComPort), FApi(AComPort->FApi), FHandle(AComPort->FHandle),
      FSyncMethod(AComPort->FSyncMethod),
      FWindow(AComPort->FNotifyWindow ? AComPort->FNotifyWindow->Handle() : nullptr) {
    // Both events are made here, so a system that refuses them fails Open
    // instead of leaving a thread that watches nothing.
    FStopEvent = FApi->CreateEvent(true, false);
    if (FStopEvent == INVALID_HANDLE_VALUE)
        throw EComPort(CError_AsyncCheck, static_cast<int32_t>(FApi->GetLastError()));
    FWaitEvent = FApi->CreateEvent(true, true);
    if (FWaitEvent == INVALID_HANDLE_VALUE) {
        const DWORD error = FApi->GetLastError();
        FApi->CloseHandle(FStopEvent);
        throw EComPort(CError_AsyncCheck, static_cast<int32_t>(error));
    }
    SetPriority(AComPort->FWatchPriority);
    // Result ignored: a mask the device refuses shows as a wait that cannot
    // start, which ends the thread.
    FApi->SetCommMask(FHandle, EventsToMask(AComPort->FEvents));
    try {
        Start();
    } catch (...) {
        FApi->CloseHandle(FWaitEvent);
        FApi->CloseHandle(FStopEvent);
        FStopEvent = INVALID_HANDLE_VALUE;
        FStopClosed = true;
        throw;
    }
}

TComThread::~TComThread() {
    SignalStop();
    try {
        WaitFor();
    } catch (...) {
        // WaitFor raises only when a thread waits for itself, which Close
        // rules out (see Abandon).
    }
}

void TComThread::SignalStop() {
    {
        std::lock_guard lock(FStopLock);
        if (!FStopClosed)
            FApi->SetEvent(FStopEvent);
    }
    // Let the watch loop see it before the caller goes on to wait.
    std::this_thread::yield();
}

bool TComThread::DeliveringHere() const {
    return tDelivering == this;
}

void TComThread::Abandon() {
    FAbandoned.store(true);
    SignalStop();
}

void TComThread::CloseStopEvent() {
    std::lock_guard lock(FStopLock);
    if (!FStopClosed)
        FApi->CloseHandle(FStopEvent);
    FStopClosed = true;
}

void TComThread::Execute() {
    OVERLAPPED overlapped{};
    overlapped.hEvent = FWaitEvent;
    const HANDLE waits[2] = {FStopEvent, overlapped.hEvent};
    DWORD mask = 0;
    bool stopped = false; // the stop event ended the loop: Close is under way
    try {
        for (;;) {
            mask = 0;
            // A wait that cannot start (the line hung up, the adapter was
            // unplugged) ends the thread: it would fail again at once, and
            // nothing more can come from that handle.
            if (!FApi->WaitCommEvent(FHandle, &mask, &overlapped) &&
                FApi->GetLastError() != ERROR_IO_PENDING)
                break;
            const DWORD woke = FApi->WaitForMultipleObjects(2, waits, false, INFINITE);
            if (woke != WAIT_OBJECT_0 + 1) {
                stopped = woke == WAIT_OBJECT_0;
                break;
            }
            DWORD transferred = 0;
            // The mask is read only after GetOverlappedResult, which is what
            // orders it after the backend's write of it.
            if (!FApi->GetOverlappedResult(FHandle, &overlapped, &transferred, false))
                continue; // nothing was reported; wait again
            FReportedEvents = MaskToEvents(mask);
            // A new mask ends the wait with nothing: no round trip for that.
            if (!FReportedEvents.Empty())
                DeliverEvents();
            if (FAbandoned.load())
                break;
        }
    } catch (...) {
        // A step or handler raised: the thread ends and keeps the error. The
        // queues are left alone, since the port is still open and the main
        // thread may be writing or reading; only the wait mask is dropped so
        // the driver stops collecting events for nobody.
        if (!FAbandoned.load())
            FApi->SetCommMask(FHandle, 0);
        FApi->CloseHandle(overlapped.hEvent);
        CloseStopEvent();
        if (FAbandoned.load())
            FreeLater();
        throw;
    }
    // An abandoned thread's handle is closed, and its number may belong to
    // another port by now.
    if (!FAbandoned.load()) {
        // Ends a wait still pending (it points at this stack).
        FApi->SetCommMask(FHandle, 0);
        // Close has aborted the transfers in progress, so the queues can go.
        // When the thread ends on its own (the wait could not start) the port
        // is still open and its queues stay for the main thread.
        if (stopped)
            FApi->PurgeComm(FHandle, PURGE_TXCLEAR | PURGE_RXCLEAR);
    }
    FApi->CloseHandle(overlapped.hEvent);
    CloseStopEvent();
    if (FAbandoned.load())
        FreeLater();
}

void TComThread::FreeLater() {
    // The port let go of this object while its delivery ran. The main thread
    // frees it from its event loop: by then the delivery has returned, so its
    // wait for this thread's end is short and blocks on nothing.
    // Detached first: should the program end before its loop gets to it,
    // the thread has ended without anybody left to join it.
    DetachSelf();
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [this] { delete this; }, Qt::QueuedConnection);
}

void TComThread::DeliverEvents() {
    switch (FSyncMethod) {
    case smThreadSync:
        Synchronize([this] { RunEventSteps(); });
        break;
    case smWindowSync:
        SendEventMessages();
        break;
    case smNone:
        RunEventSteps();
        break;
    }
}

void TComThread::SendEventMessages() {
    for (const TEventRow& row : kStepOrder) {
        if (FAbandoned.load())
            return;
        if (FReportedEvents.Contains(row.Event))
            SendMessage(FWindow, CM_COMPORTEVENT, row.Flag, 0);
    }
}

void TComThread::RunEventSteps() {
    const TComThread* outer = tDelivering;
    tDelivering = this;
    struct TRestore {
        const TComThread* Outer;
        ~TRestore() { tDelivering = Outer; }
    } restore{outer};
    TCustomComPort& port = *FComPort;
    for (const TEventRow& row : kStepOrder) {
        if (!FReportedEvents.Contains(row.Event))
            continue;
        // A handler may have closed the port: the rest of the batch belongs
        // to a handle that is gone.
        if (FAbandoned.load() || !port.FConnected)
            return;
        switch (row.Event) {
        case evError:
            port.ProcessError();
            break;
        case evRxChar:
            port.ProcessRxChar();
            break;
        case evTxEmpty:
            port.ProcessTxEmpty();
            break;
        case evBreak:
            port.ProcessBreak();
            break;
        case evRing:
            port.ProcessRing();
            break;
        case evCTS:
            port.ProcessCTSChange();
            break;
        case evDSR:
            port.ProcessDSRChange();
            break;
        case evRxFlag:
            port.ProcessRxFlag();
            break;
        case evRLSD:
            port.ProcessRLSDChange();
            break;
        case evRx80Full:
            port.ProcessRx80Full();
            break;
        }
    }
}

} // namespace kv52804
