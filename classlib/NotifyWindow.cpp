#include "NotifyWindow.h"

#include "Forms.h"

namespace kv52804 {

class TNotifyWindowTarget final : public TCallTarget {
public:
    explicit TNotifyWindowTarget(TNotifyWindow::TWndProc proc)
        : Proc(std::make_shared<const TNotifyWindow::TWndProc>(std::move(proc))) {}
    // Main thread only. A message being processed holds its own reference, so
    // destroying the window from inside its procedure keeps the procedure
    // alive until it returns.
    std::shared_ptr<const TNotifyWindow::TWndProc> Proc;
};

namespace {

class TSentMessage;
// The cross-thread message that the main thread is processing, innermost
// first; null on every other thread and during direct sends.
thread_local TSentMessage* tCurrent = nullptr;

class TSentMessage final : public TMainThreadCall {
public:
    TSentMessage(std::shared_ptr<TNotifyWindowTarget> target, uint32_t msg, uintptr_t wParam,
                 intptr_t lParam)
        : TMainThreadCall(target), FWindow(std::move(target)), FMsg(msg), FWParam(wParam),
          FLParam(lParam) {}

protected:
    void Run() noexcept override {
        const auto proc = FWindow->Proc;
        if (!proc)
            return;
        TSentMessage* outer = tCurrent;
        tCurrent = this;
        intptr_t result = 0;
        try {
            result = (*proc)(FMsg, FWParam, FLParam);
        } catch (const std::exception& e) {
            ApplicationHandleException(e);
        } catch (...) {
            ApplicationHandleException(Exception(UnknownExceptionMessage()));
        }
        tCurrent = outer;
        Complete(result);
    }

private:
    std::shared_ptr<TNotifyWindowTarget> FWindow;
    uint32_t FMsg;
    uintptr_t FWParam;
    intptr_t FLParam;
};

} // namespace

TNotifyWindow::TNotifyWindow(TWndProc proc, QObject* AOwner)
    : QObject(AOwner), FHandle(std::make_shared<TNotifyWindowTarget>(std::move(proc))) {}

TNotifyWindow::~TNotifyWindow() {
    FHandle->Close();
    FHandle->Proc.reset();
}

intptr_t TNotifyWindow::SendMessage(uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
    return kv52804::SendMessage(FHandle, Msg, WParam, LParam);
}

intptr_t SendMessage(const TNotifyWindowHandle& window, uint32_t Msg, uintptr_t WParam,
                     intptr_t LParam) {
    if (!window)
        return 0;
    if (!IsMainThread())
        return TMainThreadCall::Send(std::make_shared<TSentMessage>(window, Msg, WParam, LParam));
    const auto proc = window->Proc;
    if (!proc)
        return 0;
    // A message from this thread is not "sent" in the cross-thread sense, even
    // inside the processing of one that is.
    TSentMessage* outer = tCurrent;
    tCurrent = nullptr;
    struct Restore {
        TSentMessage* outer;
        ~Restore() { tCurrent = outer; }
    } restore{outer};
    return (*proc)(Msg, WParam, LParam);
}

bool InSendMessage() {
    return tCurrent != nullptr;
}

bool ReplyMessage(intptr_t result) {
    return tCurrent != nullptr && tCurrent->Complete(result);
}

} // namespace kv52804
