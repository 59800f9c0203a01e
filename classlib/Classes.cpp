#include "Classes.h"

#include "RtlConsts.h"
#include "SysUtils.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <sched.h>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace kv52804 {

namespace {

constexpr TResString SThreadCreateError{"Thread creation error: %s"};
constexpr TResString SThreadStartTwice{"Cannot call Start on a running or finished thread"};
constexpr TResString SThreadWaitSelf{"Cannot call WaitFor on the thread itself"};
constexpr TResString SMainThreadSend{"The main thread cannot hand a call to itself"};

// Captured while the program's static objects are set up, which happens on the
// thread that starts the program, before any other thread exists.
const std::thread::id gMainThread = std::this_thread::get_id();

// The calls handed to the main thread, and the two things threads wait for.
struct TQueue {
    std::mutex Lock;
    // A call was queued or a thread ended: what the main thread waits for in
    // WaitFor.
    std::condition_variable MainWake;
    // A thread ended: what other threads wait for in WaitFor.
    std::condition_variable Ended;
    // A call was completed: what senders wait for.
    std::condition_variable Done;
    std::deque<std::shared_ptr<TMainThreadCall>> Calls;
};

TQueue& Queue() {
    // Never destroyed: a thread may still hand over a call while the program's
    // static objects are being torn down.
    static TQueue* queue = new TQueue;
    return *queue;
}

// Runs the queue from the event loop. A loop that is not running (the program
// is busy or ending) leaves the calls to the next CheckSynchronize or WaitFor.
void WakeMainThread() {
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [] { CheckSynchronize(); }, Qt::QueuedConnection);
}

// A synchronised call: runs the method and keeps what it raised for the caller.
class TSyncCall final : public TMainThreadCall {
public:
    explicit TSyncCall(const std::function<void()>& method) : FMethod(method) {}
    std::exception_ptr Error; // read by the caller after completion

protected:
    void Run() noexcept override {
        try {
            FMethod();
        } catch (...) {
            Error = std::current_exception();
        }
    }

private:
    // The caller waits until the call is completed, so its method outlives it.
    const std::function<void()>& FMethod;
};

void ApplyPriority(pid_t tid, TThreadPriority priority, int baseNice) {
    // Priority is advice to the scheduler: a raise that the system refuses
    // without privilege leaves the thread running as it was, which is why the
    // results below are not errors.
    sched_param param{};
    param.sched_priority = 0;
    if (priority == tpIdle) {
        sched_setscheduler(tid, SCHED_IDLE, &param);
        return;
    }
    if (sched_getscheduler(tid) == SCHED_IDLE)
        sched_setscheduler(tid, SCHED_OTHER, &param);
    static constexpr int offsets[] = {0, 10, 5, 0, -5, -10, -20};
    setpriority(PRIO_PROCESS, static_cast<id_t>(tid),
                std::clamp(baseNice + offsets[priority], -20, 19));
}

} // namespace

std::thread::id MainThreadID() {
    return gMainThread;
}

bool IsMainThread() {
    return std::this_thread::get_id() == gMainThread;
}

namespace {
// Completes a call; the queue's lock is held.
bool CompleteLocked(TQueue& queue, bool& done, intptr_t& slot, intptr_t result) {
    if (done)
        return false;
    done = true;
    slot = result;
    queue.Done.notify_all();
    return true;
}
} // namespace

bool TMainThreadCall::Complete(intptr_t result) {
    TQueue& queue = Queue();
    std::lock_guard lock(queue.Lock);
    return CompleteLocked(queue, FDone, FResult, result);
}

intptr_t TMainThreadCall::Send(const std::shared_ptr<TMainThreadCall>& call) {
    if (IsMainThread())
        throw EThread(LoadResString(SMainThreadSend));
    TQueue& queue = Queue();
    bool wake = false;
    {
        std::lock_guard lock(queue.Lock);
        if (call->FTarget && call->FTarget->FClosed)
            return 0;
        // A queue that already holds calls has a wake-up on its way.
        wake = queue.Calls.empty();
        queue.Calls.push_back(call);
        queue.MainWake.notify_all();
    }
    if (wake)
        WakeMainThread();
    std::unique_lock lock(queue.Lock);
    queue.Done.wait(lock, [&] { return call->FDone; });
    return call->FResult;
}

bool CheckSynchronize() {
    if (!IsMainThread())
        return false;
    TQueue& queue = Queue();
    std::size_t count = 0;
    {
        std::lock_guard lock(queue.Lock);
        count = queue.Calls.size();
    }
    bool ran = false;
    // One call at a time: a call may itself wait for another thread (closing a
    // port from a handler), and that thread's call must still be in the queue
    // where the nested wait can find it.
    for (; count > 0; --count) {
        std::shared_ptr<TMainThreadCall> call;
        {
            std::lock_guard lock(queue.Lock);
            if (queue.Calls.empty())
                break;
            call = std::move(queue.Calls.front());
            queue.Calls.pop_front();
        }
        call->Run();
        call->Complete(0);
        ran = true;
    }
    bool more = false;
    {
        std::lock_guard lock(queue.Lock);
        more = !queue.Calls.empty();
    }
    // Calls that came in meanwhile found the queue not empty and woke nobody.
    if (more)
        WakeMainThread();
    return ran;
}

void TCallTarget::Close() {
    TQueue& queue = Queue();
    std::lock_guard lock(queue.Lock);
    FClosed = true;
    std::erase_if(queue.Calls, [&](const std::shared_ptr<TMainThreadCall>& call) {
        if (call->FTarget.get() != this)
            return false;
        CompleteLocked(queue, call->FDone, call->FResult, 0);
        return true;
    });
}

bool TCallTarget::Closed() const {
    TQueue& queue = Queue();
    std::lock_guard lock(queue.Lock);
    return FClosed;
}

TThread::~TThread() {
    if (!FStarted.load())
        return;
    if (std::this_thread::get_id() == FThreadID.load()) {
        // The thread destroys its own object: nobody is left to wait for it.
        if (FHandle.joinable())
            FHandle.detach();
        return;
    }
    // Last resort (see the header): TerminatedSet of a derived class is gone.
    FTerminated.store(true);
    try {
        WaitFor();
    } catch (...) {
        // WaitFor raises only for misuse that the checks above exclude.
    }
}

void TThread::Start() {
    if (FStarted.exchange(true))
        throw EThread(LoadResString(SThreadStartTwice));
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    FBaseNice = (nice == -1 && errno != 0) ? 0 : nice;
    try {
        FHandle = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        FStarted.store(false);
        throw EThread(
            Format(LoadResString(SThreadCreateError), {QString::fromLocal8Bit(e.what())}));
    }
    FThreadID.store(FHandle.get_id());
}

void TThread::Run() noexcept {
    // Also stored here: Execute may ask before Start has stored it.
    FThreadID.store(std::this_thread::get_id());
    {
        std::lock_guard lock(FPriorityLock);
        FTid = gettid();
        const TThreadPriority priority = FPriority.load();
        if (priority != tpNormal)
            ApplyPriority(FTid, priority, FBaseNice);
    }
    std::exception_ptr fatal;
    try {
        Execute();
    } catch (...) {
        fatal = std::current_exception();
    }
    {
        std::lock_guard lock(FPriorityLock);
        FTid = 0;
    }
    TQueue& queue = Queue();
    std::lock_guard lock(queue.Lock);
    FFatalException = std::move(fatal);
    FFinished = true;
    queue.MainWake.notify_all();
    queue.Ended.notify_all();
}

void TThread::DetachSelf() {
    std::lock_guard join(FJoinLock);
    if (FHandle.joinable())
        FHandle.detach();
}

void TThread::Terminate() {
    FTerminated.store(true);
    TerminatedSet();
}

int TThread::WaitFor() {
    if (!FStarted.load())
        return FReturnValue;
    if (std::this_thread::get_id() == FThreadID.load())
        throw EThread(LoadResString(SThreadWaitSelf));
    TQueue& queue = Queue();
    {
        std::unique_lock lock(queue.Lock);
        if (IsMainThread()) {
            while (!FFinished) {
                if (!queue.Calls.empty()) {
                    lock.unlock();
                    CheckSynchronize();
                    lock.lock();
                    continue;
                }
                queue.MainWake.wait(lock);
            }
        } else {
            queue.Ended.wait(lock, [&] { return FFinished; });
        }
    }
    std::lock_guard join(FJoinLock);
    if (FHandle.joinable())
        FHandle.join();
    return FReturnValue;
}

bool TThread::Finished() const {
    TQueue& queue = Queue();
    std::lock_guard lock(queue.Lock);
    return FFinished;
}

void TThread::SetPriority(TThreadPriority value) {
    std::lock_guard lock(FPriorityLock);
    FPriority.store(value);
    if (FTid != 0)
        ApplyPriority(FTid, value, FBaseNice);
}

std::exception_ptr TThread::FatalException() const {
    TQueue& queue = Queue();
    std::lock_guard lock(queue.Lock);
    return FFatalException;
}

void TThread::Synchronize(const std::function<void()>& method) {
    if (IsMainThread()) {
        method();
        return;
    }
    auto call = std::make_shared<TSyncCall>(method);
    TMainThreadCall::Send(call);
    // Take the error out of the record, so that the exception object dies in
    // this thread: the main thread may drop the record's last reference at any
    // time, and the reference count inside exception_ptr is not one that
    // ThreadSanitizer can follow.
    if (std::exception_ptr error = std::exchange(call->Error, nullptr))
        std::rethrow_exception(error);
}

} // namespace kv52804
