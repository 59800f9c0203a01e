#include "Classes.h"
#include "Exception.h"
#include "Forms.h"

#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <latch>
#include <sched.h>
#include <stdexcept>
#include <sys/resource.h>
#include <unistd.h>

using namespace kv52804;

namespace {

// A thread whose work is a function; it waits for its end before its members go.
class TFunctionThread : public TThread {
public:
    explicit TFunctionThread(std::function<void(TFunctionThread&)> body) : FBody(std::move(body)) {}
    ~TFunctionThread() override { WaitFor(); }
    using TThread::SetReturnValue;

protected:
    void Execute() override { FBody(*this); }

private:
    std::function<void(TFunctionThread&)> FBody;
};

// A gate one thread opens and others wait at, without polling.
class TGate {
public:
    void Open() {
        std::lock_guard lock(FLock);
        FOpen = true;
        FChanged.notify_all();
    }
    bool WaitOpen(std::chrono::seconds limit = std::chrono::seconds(30)) {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, limit, [&] { return FOpen; });
    }

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    bool FOpen = false;
};

// Counts calls of the application's exception handler while a test runs.
class HandlerSpy {
public:
    HandlerSpy() {
        FPrevious = SetApplicationExceptionHandler([this](const std::exception&) { ++Calls; });
    }
    ~HandlerSpy() { SetApplicationExceptionHandler(FPrevious); }
    int Calls = 0;

private:
    TExceptionHandler FPrevious;
};

TEST(Thread, SynchronizeRunsTheCallOnTheMainThreadAndWaitsForIt) {
    std::thread::id ranOn;
    bool sawEffect = false;
    int effect = 0;
    TFunctionThread thread([&](TFunctionThread&) {
        TThread::Synchronize([&] {
            ranOn = std::this_thread::get_id();
            effect = 1;
        });
        sawEffect = effect == 1;
    });
    thread.Start();
    thread.WaitFor();
    EXPECT_EQ(ranOn, MainThreadID());
    EXPECT_TRUE(sawEffect);
}

TEST(Thread, SynchronizeRaisesTheCallsErrorAgainInTheCallingThread) {
    struct Row {
        const char* name;
        std::function<void()> call;
        std::string expected;
    };
    const Row rows[] = {
        {"class-library error", [] { throw EConvertError("'x' is not a valid integer value"); },
         "EConvertError: 'x' is not a valid integer value"},
        {"standard error", [] { throw std::out_of_range("index 12"); }, "out_of_range: index 12"},
        {"not an exception", [] { throw 42; }, "int: 42"},
        {"no error", [] {}, "none"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string caught;
        TFunctionThread thread([&](TFunctionThread&) {
            try {
                TThread::Synchronize(row.call);
                caught = "none";
            } catch (const EConvertError& e) {
                caught = "EConvertError: " + std::string(e.what());
            } catch (const std::out_of_range& e) {
                caught = "out_of_range: " + std::string(e.what());
            } catch (int value) {
                caught = "int: " + std::to_string(value);
            }
        });
        thread.Start();
        thread.WaitFor();
        EXPECT_EQ(caught, row.expected);
    }
}

TEST(Thread, SynchronizeOnTheMainThreadCallsAtOnceAndLetsErrorsThrough) {
    int calls = 0;
    TThread::Synchronize([&] { ++calls; });
    EXPECT_EQ(calls, 1);
    EXPECT_THROW(TThread::Synchronize([] { throw Exception("direct"); }), Exception);
}

TEST(Thread, ErrorThatEndsExecuteIsKeptAndNotShown) {
    HandlerSpy spy;
    TFunctionThread thread(
        [](TFunctionThread&) { TThread::Synchronize([] { throw Exception("handler failed"); }); });
    thread.Start();
    thread.WaitFor();
    EXPECT_TRUE(thread.Finished());
    ASSERT_TRUE(thread.FatalException());
    try {
        std::rethrow_exception(thread.FatalException());
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "handler failed");
    }
    EXPECT_EQ(spy.Calls, 0);
}

// What closing a port does: the main thread waits for a thread that is itself
// blocked on the main thread, with no event loop running.
TEST(Thread, WaitForOnTheMainThreadRunsTheCallsOfTheThreadItWaitsFor) {
    int counter = 0; // touched on the main thread only
    bool allOnMain = true;
    for (int i = 0; i < 300; ++i) {
        TFunctionThread thread([&](TFunctionThread& self) {
            for (int k = 0; k < 3; ++k)
                TThread::Synchronize([&] {
                    ++counter;
                    allOnMain = allOnMain && IsMainThread();
                });
            self.SetReturnValue(i);
        });
        thread.Start();
        ASSERT_EQ(thread.WaitFor(), i);
    }
    EXPECT_EQ(counter, 900);
    EXPECT_TRUE(allOnMain);
}

TEST(Thread, TheEventLoopRunsSynchronizedCalls) {
    QEventLoop loop;
    bool ran = false;
    TFunctionThread thread([&](TFunctionThread&) {
        TThread::Synchronize([&] {
            ran = true;
            loop.quit();
        });
    });
    QTimer::singleShot(std::chrono::seconds(30), &loop, [&] { loop.exit(1); });
    thread.Start();
    EXPECT_EQ(loop.exec(), 0) << "the synchronised call never reached the event loop";
    EXPECT_TRUE(ran);
    thread.WaitFor();
}

// A call running on the main thread waits for a second thread whose own call
// is queued behind it: the nested wait must find that call in the queue.
TEST(Thread, ACallOnTheMainThreadMayWaitForAnotherThreadBlockedOnIt) {
    std::latch bothCalling(2);
    bool secondRan = false;
    TFunctionThread second([&](TFunctionThread&) {
        bothCalling.count_down();
        TThread::Synchronize([&] { secondRan = true; });
    });
    TFunctionThread first([&](TFunctionThread&) {
        bothCalling.count_down();
        TThread::Synchronize([&] { second.WaitFor(); });
    });
    first.Start();
    second.Start();
    bothCalling.wait();
    // Let both calls reach the queue before the main thread looks at it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    first.WaitFor();
    EXPECT_TRUE(secondRan);
    EXPECT_TRUE(second.Finished());
}

class TStopOnTerminate : public TThread {
public:
    ~TStopOnTerminate() override {
        Terminate();
        WaitFor();
    }

protected:
    void Execute() override {
        std::unique_lock lock(FLock);
        FWake.wait(lock, [&] { return Terminated(); });
        SetReturnValue(7);
    }
    void TerminatedSet() override {
        std::lock_guard lock(FLock);
        FWake.notify_all();
    }

private:
    std::mutex FLock;
    std::condition_variable FWake;
};

TEST(Thread, TerminateWakesAThreadThatWaitsForSomethingElse) {
    TStopOnTerminate thread;
    thread.Start();
    EXPECT_FALSE(thread.Terminated());
    thread.Terminate();
    EXPECT_TRUE(thread.Terminated());
    EXPECT_EQ(thread.WaitFor(), 7);
}

TEST(Thread, WaitForOnAnotherThreadWaitsForTheEnd) {
    TGate gate;
    TFunctionThread worker([&](TFunctionThread& self) {
        gate.WaitOpen();
        self.SetReturnValue(3);
    });
    worker.Start();
    int seen = -1;
    bool finishedAfterWait = false;
    std::thread waiter([&] {
        seen = worker.WaitFor();
        finishedAfterWait = worker.Finished();
    });
    gate.Open();
    waiter.join();
    EXPECT_EQ(seen, 3);
    EXPECT_TRUE(finishedAfterWait);
    EXPECT_EQ(worker.WaitFor(), 3); // a second wait returns at once
}

TEST(Thread, MisuseIsReportedNotHung) {
    TFunctionThread notStarted([](TFunctionThread&) {});
    EXPECT_EQ(notStarted.WaitFor(), 0);

    bool selfWaitRaised = false;
    TFunctionThread self([&](TFunctionThread& me) {
        try {
            me.WaitFor();
        } catch (const EThread&) {
            selfWaitRaised = true;
        }
    });
    self.Start();
    EXPECT_THROW(self.Start(), EThread);
    self.WaitFor();
    EXPECT_TRUE(selfWaitRaised);
}

int NiceOfThisThread() {
    return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
}

TEST(Thread, PriorityIsGivenToTheRunningThread) {
    const int base = NiceOfThisThread();
    if (base > 9)
        GTEST_SKIP() << "this test runs too nice already to lower priorities";

    int niceAtStart = 0;
    int policyAtStart = 0;
    TFunctionThread lower([&](TFunctionThread&) {
        niceAtStart = NiceOfThisThread();
        policyAtStart = sched_getscheduler(0);
    });
    lower.SetPriority(tpLower);
    lower.Start();
    lower.WaitFor();
    EXPECT_EQ(niceAtStart, base + 5);
    EXPECT_EQ(policyAtStart, SCHED_OTHER);

    // Lowering a running thread never needs privilege.
    TGate changed;
    int niceAfterChange = 0;
    int policyAfterIdle = 0;
    TGate read, idled;
    TFunctionThread running([&](TFunctionThread&) {
        changed.WaitOpen();
        niceAfterChange = NiceOfThisThread();
        read.Open();
        idled.WaitOpen();
        policyAfterIdle = sched_getscheduler(0);
    });
    running.Start();
    running.SetPriority(tpLowest);
    changed.Open();
    read.WaitOpen();
    running.SetPriority(tpIdle);
    idled.Open();
    running.WaitFor();
    EXPECT_EQ(niceAfterChange, base + 10);
    EXPECT_EQ(policyAfterIdle, SCHED_IDLE);
    EXPECT_EQ(NiceOfThisThread(), base) << "the starting thread must keep its priority";
}

} // namespace
