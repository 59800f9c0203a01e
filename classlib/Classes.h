#pragma once
// Background threads and the way they hand work to the main (window) thread.
//
// Other threads never touch windows or port handlers themselves: they put a
// call on one process-wide queue, wake the main thread and wait for the call
// to be completed there. The main thread runs the queue from its event loop
// and, while it waits for a thread to end (TThread::WaitFor), from that wait,
// so a thread blocked on the main thread can always finish. Synchronised
// calls (TThread::Synchronize) and messages sent to a notification window
// (NotifyWindow.h) are the two kinds of call on that queue.
#include "kv_classlib_export.h"
#include "Exception.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <thread>

namespace kv52804 {

// Misuse of a thread object (starting it twice, waiting for itself) or a
// thread the system could not create.
class KV_CLASSLIB_EXPORT EThread : public Exception {
public:
    using Exception::Exception;
};

// The thread that started the program; it runs the event loop and every call
// handed over by other threads.
KV_CLASSLIB_EXPORT std::thread::id MainThreadID();
KV_CLASSLIB_EXPORT bool IsMainThread();

// Runs the calls that other threads have handed to the main thread, oldest
// first, and returns whether it ran any. Calls that arrive while it runs are
// left for the next round (the event loop is woken for them), so a thread that
// keeps sending cannot starve the loop. Does nothing off the main thread.
KV_CLASSLIB_EXPORT bool CheckSynchronize();

// Something that calls can be aimed at (a notification window). Closing it
// releases every queued call aimed at it with result 0 and makes later calls
// return 0 at once, so a sender never waits for a receiver that is gone.
class KV_CLASSLIB_EXPORT TCallTarget {
public:
    TCallTarget() = default;
    TCallTarget(const TCallTarget&) = delete;
    TCallTarget& operator=(const TCallTarget&) = delete;
    virtual ~TCallTarget() = default;

    void Close();
    bool Closed() const;

private:
    friend class TMainThreadCall;
    bool FClosed = false; // guarded by the queue's lock
};

// One call handed to the main thread by another thread, which waits until the
// call is completed.
class KV_CLASSLIB_EXPORT TMainThreadCall {
public:
    explicit TMainThreadCall(std::shared_ptr<TCallTarget> target = nullptr)
        : FTarget(std::move(target)) {}
    TMainThreadCall(const TMainThreadCall&) = delete;
    TMainThreadCall& operator=(const TMainThreadCall&) = delete;
    virtual ~TMainThreadCall() = default;

    // Queues the call, wakes the main thread and waits until the call is
    // completed; returns the result it was completed with (0 when its target
    // was closed). Must not be called on the main thread, which would wait for
    // itself.
    static intptr_t Send(const std::shared_ptr<TMainThreadCall>& call);

    // Releases the waiting thread with this result. Only the first completion
    // counts; returns whether this one did. Any thread.
    bool Complete(intptr_t result);

protected:
    // Runs on the main thread and must not throw. A call that Run has not
    // completed is completed with 0 when Run returns.
    virtual void Run() noexcept = 0;

    const std::shared_ptr<TCallTarget>& Target() const { return FTarget; }

private:
    friend bool CheckSynchronize();
    friend void TCallTarget::Close();
    std::shared_ptr<TCallTarget> FTarget;
    bool FDone = false;   // guarded by the queue's lock
    intptr_t FResult = 0; // written once, under the queue's lock, with FDone
};

// Thread priorities, from the least to the most urgent. On Linux they are
// nice values relative to the thread that started the thread (idle is the
// idle scheduling class); the system may refuse a raise without privilege, in
// which case the thread keeps running at the priority it has.
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// A thread object: created suspended, given a priority, started, told to
// terminate and waited for. The work is the overridden Execute.
//
// A derived class whose Execute uses the derived class's own members must stop
// the thread and call WaitFor in its own destructor: the base destructor runs
// after those members are gone. The base destructor terminates and waits as a
// last resort, so that a thread object is never destroyed while running.
class KV_CLASSLIB_EXPORT TThread {
public:
    TThread() = default;
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    virtual ~TThread();

    // Starts the suspended thread. Starting it a second time raises EThread;
    // so does a failure of the system to create the thread.
    void Start();
    void Resume() { Start(); }

    // Asks Execute to end: Terminated becomes true and TerminatedSet runs.
    void Terminate();
    bool Terminated() const { return FTerminated.load(); }

    // Waits until Execute has returned and the thread has ended, and returns
    // ReturnValue. On the main thread it keeps running the calls other threads
    // hand over (synchronised calls, sent messages) while it waits, so the
    // thread can finish even when it is blocked on the main thread. A thread
    // that was never started is not waited for. Waiting for itself raises
    // EThread.
    int WaitFor();

    // True once Execute has returned (the system thread may still be ending).
    bool Finished() const;

    TThreadPriority Priority() const { return FPriority.load(); }
    void SetPriority(TThreadPriority value);

    // The exception that ended Execute, or null; read it after WaitFor.
    std::exception_ptr FatalException() const;

    // Runs method on the main thread and waits until it has run; an exception
    // it raises is raised again here. On the main thread it just calls method.
    static void Synchronize(const std::function<void()>& method);

protected:
    virtual void Execute() = 0;
    // Called by Terminate on the terminating thread, so that a thread waiting
    // for something other than its terminate flag can be woken.
    virtual void TerminatedSet() {}

    int ReturnValue() const { return FReturnValue; }
    void SetReturnValue(int value) { FReturnValue = value; }
    // Called by the thread itself when its object will be freed later by
    // somebody who need not wait for it: nothing joins a detached thread, so
    // it is never left ended and unjoined if the object outlives the program.
    void DetachSelf();

private:
    void Run() noexcept;

    std::thread FHandle;
    std::atomic<std::thread::id> FThreadID{}; // set by Start
    std::atomic<bool> FStarted{false};
    std::atomic<bool> FTerminated{false};
    std::atomic<TThreadPriority> FPriority{tpNormal};
    std::mutex FPriorityLock; // keeps FTid valid (not reused) while it is used
    pid_t FTid = 0;           // system thread id while running, guarded by FPriorityLock
    int FBaseNice = 0;        // nice of the starting thread: what tpNormal means
    std::mutex FJoinLock;
    int FReturnValue = 0;
    // Guarded by the queue's lock, so that the main thread can wait for
    // "thread ended or call queued" on one condition variable.
    bool FFinished = false;
    std::exception_ptr FFatalException;
};

} // namespace kv52804
