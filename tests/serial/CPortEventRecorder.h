#pragma once
// Records the handlers a port raises, with the thread each one ran on, and
// runs the main thread's event loop (bounded) until the expected ones came.
#include "CPort.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

using namespace kv52804;

class EventLog {
public:
    using Items = std::vector<std::string>;

    void Add(const std::string& item) {
        {
            std::lock_guard lock(FLock);
            FItems.push_back(item);
            (IsMainThread() ? FOnMain : FOffMain) += 1;
        }
        // Wakes a main thread that waits in WaitUntil for handlers raised on
        // the event thread.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
    }
    Items Get() const {
        std::lock_guard lock(FLock);
        return FItems;
    }
    int OnMain() const {
        std::lock_guard lock(FLock);
        return FOnMain;
    }
    int OffMain() const {
        std::lock_guard lock(FLock);
        return FOffMain;
    }
    void Clear() {
        std::lock_guard lock(FLock);
        FItems.clear();
        FOnMain = FOffMain = 0;
    }
    bool Contains(const std::string& item) const {
        std::lock_guard lock(FLock);
        return std::find(FItems.begin(), FItems.end(), item) != FItems.end();
    }

    // Runs the event loop until `done` holds for the log or `ms` passed.
    bool WaitUntil(const std::function<bool(const Items&)>& done, int ms = 5000) {
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.start(ms);
        for (;;) {
            if (done(Get()))
                return true;
            if (!deadline.isActive())
                return false;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    }
    bool WaitFor(const std::string& item, int ms = 5000) {
        return WaitUntil(
            [&](const Items& items) {
                return std::find(items.begin(), items.end(), item) != items.end();
            },
            ms);
    }
    // Runs the event loop for `ms` whatever comes: for checks that something
    // does not happen.
    void Idle(int ms) {
        WaitUntil([](const Items&) { return false; }, ms);
    }

    // Records every handler of the port.
    void Attach(TCustomComPort& port) {
        port.OnAfterOpen = [this](QObject*) { Add("AfterOpen"); };
        port.OnAfterClose = [this](QObject*) { Add("AfterClose"); };
        port.OnBeforeOpen = [this](QObject*) { Add("BeforeOpen"); };
        port.OnBeforeClose = [this](QObject*) { Add("BeforeClose"); };
        port.OnRxChar = [this](QObject*, int32_t n) { Add("RxChar:" + std::to_string(n)); };
        port.OnRxBuf = [this](QObject*, const void* b, int32_t n) {
            Add("RxBuf:" + std::string(static_cast<const char*>(b), static_cast<std::size_t>(n)));
        };
        port.OnTxEmpty = [this](QObject*) { Add("TxEmpty"); };
        port.OnBreak = [this](QObject*) { Add("Break"); };
        port.OnRing = [this](QObject*) { Add("Ring"); };
        port.OnCTSChange = [this](QObject*, bool on) { Add(on ? "CTS:on" : "CTS:off"); };
        port.OnDSRChange = [this](QObject*, bool on) { Add(on ? "DSR:on" : "DSR:off"); };
        port.OnRLSDChange = [this](QObject*, bool on) { Add(on ? "RLSD:on" : "RLSD:off"); };
        port.OnRxFlag = [this](QObject*) { Add("RxFlag"); };
        port.OnError = [this](QObject*, TComErrors e) { Add("Error:" + std::to_string(e.Bits())); };
        port.OnRx80Full = [this](QObject*) { Add("Rx80Full"); };
    }

private:
    mutable std::mutex FLock;
    Items FItems;
    int FOnMain = 0;
    int FOffMain = 0;
};
