#include "NotifyWindow.h"
#include "Classes.h"
#include "Exception.h"
#include "Forms.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <latch>
#include <memory>

using namespace kv52804;

namespace {

constexpr uint32_t PortEvent = WM_USER + 1;

class TFunctionThread : public TThread {
public:
    explicit TFunctionThread(std::function<void()> body) : FBody(std::move(body)) {}
    ~TFunctionThread() override { WaitFor(); }

protected:
    void Execute() override { FBody(); }

private:
    std::function<void()> FBody;
};

// Sends from a fresh thread and waits for it on the main thread, the way a
// port's event thread and Close meet.
intptr_t SendFromAnotherThread(const TNotifyWindowHandle& window, uint32_t msg, uintptr_t wParam,
                               intptr_t lParam) {
    intptr_t result = -1;
    TFunctionThread sender([&] { result = SendMessage(window, msg, wParam, lParam); });
    sender.Start();
    sender.WaitFor();
    return result;
}

struct Seen {
    int calls = 0;
    bool onMain = false;
    bool inSend = false;
    uint32_t msg = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

TNotifyWindow::TWndProc Recorder(Seen& seen, intptr_t result) {
    return [&seen, result](uint32_t msg, uintptr_t wParam, intptr_t lParam) -> intptr_t {
        ++seen.calls;
        seen.onMain = IsMainThread();
        seen.inSend = InSendMessage();
        seen.msg = msg;
        seen.wParam = wParam;
        seen.lParam = lParam;
        return result;
    };
}

TEST(NotifyWindow, TheProcedureRunsOnTheMainThreadAndKnowsWhoSent) {
    struct Row {
        const char* name;
        bool fromOtherThread;
    };
    for (const Row row : {Row{"sent on the main thread", false}, Row{"sent by a thread", true}}) {
        SCOPED_TRACE(row.name);
        Seen seen;
        TNotifyWindow window(Recorder(seen, 1234));
        const intptr_t result = row.fromOtherThread
                                    ? SendFromAnotherThread(window.Handle(), PortEvent, 0x80, -5)
                                    : window.SendMessage(PortEvent, 0x80, -5);
        EXPECT_EQ(result, 1234);
        EXPECT_EQ(seen.calls, 1);
        EXPECT_TRUE(seen.onMain);
        EXPECT_EQ(seen.inSend, row.fromOtherThread);
        EXPECT_EQ(seen.msg, PortEvent);
        EXPECT_EQ(seen.wParam, 0x80u);
        EXPECT_EQ(seen.lParam, -5);
        EXPECT_FALSE(InSendMessage()) << "outside a procedure nothing is being sent";
    }
}

TEST(NotifyWindow, ReplyReleasesTheSenderWhileTheReceiverWorksOn) {
    std::mutex lock;
    std::condition_variable changed;
    bool released = false;
    intptr_t senderGot = -1;

    bool firstReply = false, secondReply = true, releasedWhileBusy = false;
    TNotifyWindow window([&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
        firstReply = ReplyMessage(7);
        secondReply = ReplyMessage(8);
        std::unique_lock guard(lock);
        releasedWhileBusy =
            changed.wait_for(guard, std::chrono::seconds(30), [&] { return released; });
        return 99;
    });
    TFunctionThread sender([&] {
        const intptr_t result = window.SendMessage(PortEvent, 1, 0);
        std::lock_guard guard(lock);
        senderGot = result;
        released = true;
        changed.notify_all();
    });
    sender.Start();
    sender.WaitFor();
    EXPECT_TRUE(firstReply);
    EXPECT_FALSE(secondReply) << "only the first reply counts";
    EXPECT_TRUE(releasedWhileBusy) << "the sender stayed blocked until the procedure returned";
    EXPECT_EQ(senderGot, 7);
}

TEST(NotifyWindow, ReplyOutsideACrossThreadMessageDoesNothing) {
    bool replied = true;
    TNotifyWindow window([&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
        replied = ReplyMessage(1);
        return 2;
    });
    EXPECT_EQ(window.SendMessage(PortEvent, 0, 0), 2);
    EXPECT_FALSE(replied);
    EXPECT_FALSE(ReplyMessage(3));
}

TEST(NotifyWindow, ADirectSendInsideACrossThreadMessageIsNotCrossThread) {
    bool innerInSend = true, outerAfterInner = false;
    TNotifyWindow inner([&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
        innerInSend = InSendMessage();
        return 0;
    });
    TNotifyWindow outer([&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
        inner.SendMessage(PortEvent, 0, 0);
        outerAfterInner = InSendMessage();
        return 0;
    });
    SendFromAnotherThread(outer.Handle(), PortEvent, 0, 0);
    EXPECT_FALSE(innerInSend);
    EXPECT_TRUE(outerAfterInner);
}

TEST(NotifyWindow, DestroyingTheWindowReleasesAWaitingSender) {
    Seen seen;
    auto window = std::make_unique<TNotifyWindow>(Recorder(seen, 5));
    const TNotifyWindowHandle handle = window->Handle();
    std::latch sending(1);
    intptr_t result = -1;
    TFunctionThread sender([&] {
        sending.count_down();
        result = SendMessage(handle, PortEvent, 1, 0);
    });
    sender.Start();
    sending.wait();
    // Let the message reach the queue; the main thread is not taking messages.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    window.reset();
    sender.WaitFor();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(seen.calls, 0) << "a destroyed window's procedure must not run";
    EXPECT_EQ(SendFromAnotherThread(handle, PortEvent, 1, 0), 0);
    EXPECT_EQ(SendMessage(handle, PortEvent, 1, 0), 0);
}

TEST(NotifyWindow, TheProcedureMayDestroyItsOwnWindow) {
    std::unique_ptr<TNotifyWindow> window;
    int calls = 0;
    window = std::make_unique<TNotifyWindow>([&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
        ++calls;
        window.reset();
        return 5;
    });
    const TNotifyWindowHandle handle = window->Handle();
    intptr_t first = -1, second = -1;
    TFunctionThread sender([&] {
        first = SendMessage(handle, PortEvent, 1, 0);
        second = SendMessage(handle, PortEvent, 2, 0);
    });
    sender.Start();
    sender.WaitFor();
    EXPECT_EQ(first, 5);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(calls, 1);
}

TEST(NotifyWindow, AnErrorInTheProcedureGoesToTheApplicationHandler) {
    QString shown;
    bool shownOnMain = false;
    const TExceptionHandler previous = SetApplicationExceptionHandler([&](const std::exception& e) {
        shown = ExceptionMessage(e);
        shownOnMain = IsMainThread();
    });
    TNotifyWindow window([](uint32_t, uintptr_t wParam, intptr_t) -> intptr_t {
        if (wParam == 1)
            ReplyMessage(11);
        throw Exception("ClearCommError function failed (win error code: 9)");
    });
    EXPECT_EQ(SendFromAnotherThread(window.Handle(), PortEvent, 0, 0), 0);
    EXPECT_EQ(shown, "ClearCommError function failed (win error code: 9)");
    EXPECT_TRUE(shownOnMain);
    shown.clear();
    EXPECT_EQ(SendFromAnotherThread(window.Handle(), PortEvent, 1, 0), 11)
        << "a reply given before the error stands";
    EXPECT_FALSE(shown.isEmpty());
    SetApplicationExceptionHandler(previous);
}

// The event thread sends a batch of messages and synchronised calls while the
// main thread closes the port, that is, waits for the thread with no event
// loop running.
TEST(NotifyWindow, WaitingForAThreadRunsItsSentMessages) {
    int processed = 0, synchronized = 0;
    TNotifyWindow window([&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
        if (InSendMessage())
            ReplyMessage(0);
        ++processed;
        return 0;
    });
    const TNotifyWindowHandle handle = window.Handle();
    for (int i = 0; i < 300; ++i) {
        TFunctionThread events([&] {
            for (uintptr_t flag : {0x80u, 0x01u, 0x04u})
                SendMessage(handle, PortEvent, flag, 0);
            TThread::Synchronize([&] { ++synchronized; });
        });
        events.Start();
        events.WaitFor();
    }
    EXPECT_EQ(processed, 900);
    EXPECT_EQ(synchronized, 300);
}

} // namespace
