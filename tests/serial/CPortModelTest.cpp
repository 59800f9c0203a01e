// A model test of the port component: random sequences of operations from
// several threads against a pseudo-terminal whose master plays the peer,
// with the component's promises checked after every step:
// - what the peer sends is delivered once and in order (to reads, or to the
//   OnRxChar handler that reads), and only a read that failed may have
//   taken bytes nobody saw (at most its count);
// - what is written arrives once and in order: a write that returned a
//   count arrived with exactly that many bytes, one that failed with any
//   prefix of them;
// - every call ends within its time-outs plus a slack for a loaded machine,
//   and no call on a hung-up line waits;
// - a listener hears of a write only from that write, and of nothing that
//   no call of its own thread caused;
// - after Close no descriptor, thread or lock file of the port is left.
//
// The operations are drawn from a seed that the test prints; the same seed
// replays the same operations (the threads' interleaving differs from run to
// run). KV_MODEL_SEED picks the seed, KV_MODEL_SECONDS how long it runs (40
// by default), KV_MODEL_OPS stops after that many operations. A failure is
// run again on shorter prefixes of its operations, and the shortest that
// still fails is printed.
#include "CPort.h"
#include "NetServers.h"
#include "PtyPair.h"
#include "ThreadSwitches.h"

#include <QCoreApplication>
#include <QDir>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

using namespace kv52804;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto Slack = 3s; // beyond a call's own time-outs, for a loaded machine

int Entries(const char* dir) {
    return static_cast<int>(QDir(QString::fromLatin1(dir))
                                .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                                .size());
}

// Waits (bounded) for a condition that other threads make true.
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

struct TTimeoutShape {
    const char* Name;
    int Interval, Multiplier, Constant;
};
// Read time-outs of every shape; writes use 5 ms a byte and 300 ms.
const TTimeoutShape Shapes[] = {
    {"at once", -1, 0, 0},          {"total", 0, 0, 120},   {"interval", 20, 0, 0},
    {"interval+total", 20, 0, 300}, {"per byte", 0, 3, 40}, {"none", 0, 0, 0},
};

enum TOpKind {
    opOpen,
    opClose,
    opBaud,
    opTimeouts,
    opRead,
    opReadAsync,
    opWrite,
    opWriteAsync,
    opEmptyWrite,
    opAbort,
    opLines,
    opPeerSend,
    opPeerStall,
    opPeerResume,
    opHangUp,
    opQuiet,
    opKinds
};
const char* const OpNames[] = {
    "Open",       "Close", "Baud",  "Timeouts", "Read",      "ReadAsync",  "Write",  "WriteAsync",
    "EmptyWrite", "Abort", "Lines", "PeerSend", "PeerStall", "PeerResume", "HangUp", "Quiet"};

// One operation with every parameter drawn, whether or not it applies when
// its turn comes, so that the drawing never depends on timing.
struct TOp {
    TOpKind Kind;
    unsigned A, B;
};

std::vector<TOp> DrawOps(std::uint64_t seed, std::size_t count) {
    std::mt19937_64 rng(seed);
    // Weights: transfers and the peer most, open/close and hang-ups rarely.
    const int weights[opKinds] = {6, 2, 2, 3, 8, 6, 8, 6, 2, 2, 2, 10, 1, 2, 1, 3};
    std::discrete_distribution<int> kind(std::begin(weights), std::end(weights));
    std::vector<TOp> ops;
    for (std::size_t i = 0; i < count; ++i) {
        TOpKind k = static_cast<TOpKind>(kind(rng));
        unsigned a = static_cast<unsigned>(rng()), b = static_cast<unsigned>(rng());
        ops.push_back({k, a, b});
    }
    return ops;
}

// A transfer in flight on a worker thread.
struct TCall {
    bool Write = false;
    std::string Data;       // written, or the read's buffer
    int Count = 0;          // requested (reads)
    const char* Shape = ""; // its time-outs (reads)
    int Interval = 0;
    Clock::time_point Start, End;
    std::optional<Clock::time_point> Bound; // when it must have ended, when known
    std::atomic<bool> Done{false};
    int Moved = -1; // the result; -1 when it raised
    int Error = 0;  // the raised error's system code
    std::vector<std::string> Notices;
    std::thread Worker;
    std::atomic<pid_t> Tid{0}; // the worker's
    PAsync Async = nullptr;    // the asynchronous forms' own record
};

thread_local TCall* tCall = nullptr; // the call this thread is making
thread_local std::vector<std::string>* tHandlerNotices = nullptr;

// Threads a process makes once, on first use (a sanitizer's own, the event
// thread's helpers), are not any port's: an open and close with events
// delivered through the window lets them appear before the count.
void SettleProcessThreads() {
    static bool settled = false;
    if (settled)
        return;
    settled = true;
    PtyPair pty;
    TComPort port;
    port.SetPort(QString::fromStdString(pty.Path()));
    port.SetSyncMethod(smWindowSync);
    port.Open();
    pty.Send("x");
    Eventually([&] { return port.InputQueueLength() == 1; });
    port.Close();
    QCoreApplication::processEvents();
}

class TModel {
public:
    // On a pseudo-terminal, or (loop) on a network port whose server sends
    // back what it gets: there the bytes that come back are the stream the
    // writes are checked against, and the peer's own steps do not apply.
    TModel(std::vector<TOp> ops, bool loop) : FOps(std::move(ops)), FLoop(loop) {}
    ~TModel() { Teardown(); }

    // Runs the operations until one breaks a promise or time is up; returns
    // the failure and sets `ran` to the operations run.
    std::string Run(Clock::time_point until, std::size_t& ran) {
        SettleProcessThreads();
        FBaseFds = Entries("/proc/self/fd");
        FBaseTasks = Entries("/proc/self/task");
        Listener.TxActivity = [this](TCustomComPort*, bool on) { Notice(on ? "Tx" : "Tx:off"); };
        Listener.RxActivity = [this](TCustomComPort*, bool on) { Notice(on ? "Rx" : "Rx:off"); };
        Listener.BufferSent = [this](TCustomComPort*, const void* d, int32_t n) {
            Notice("Sent:" + std::string(static_cast<const char*>(d), n));
        };
        NewLine();
        for (ran = 0; ran < FOps.size() && !Failed() && Clock::now() < until; ++ran) {
            Step(FOps[ran]);
            Check();
        }
        if (!Failed())
            Teardown();
        std::lock_guard lock(FFailMutex);
        return FFailure;
    }

private:
    void Fail(const std::string& what) {
        std::lock_guard lock(FFailMutex); // handlers fail on their threads
        if (FFailure.empty())
            FFailure = what;
    }

    void Notice(const std::string& n) {
        if (tCall)
            tCall->Notices.push_back(n);
        else if (tHandlerNotices)
            tHandlerNotices->push_back(n);
        // The event side tells of bytes that came and output that drained.
        else if (!((n == "Rx" && (FPeerSent || (FLoop && FWrote))) || (n == "Tx:off" && FWrote)))
            Fail("a notice without its cause: " + n);
    }

    void NewLine() {
        FPort = std::make_unique<TComPort>();
        if (!FLoop) {
            FPty = std::make_unique<PtyPair>();
            FPort->SetPort(QString::fromStdString(FPty->Path()));
        }
        FPort->RegisterListener(&Listener);
        FHungUp = FStalled = false;
    }

    // ------------------------------------------------------------ steps --

    void Step(const TOp& op) {
        const bool open = FPort->Connected();
        switch (op.Kind) {
        case opOpen:
            if (!open && !FHungUp)
                Open(op.A, op.B);
            break;
        case opClose:
            if (open)
                Close();
            break;
        case opBaud:
            if (open)
                Guard([&] { FPort->SetBaudRate(op.A % 2 ? br9600 : br115200); });
            break;
        case opTimeouts:
            if (open)
                Guard([&] { SetTimeouts(op.A); });
            break;
        case opRead:
        case opReadAsync:
            if (open && FReadsByCalls && !FRead)
                StartRead(op.Kind == opReadAsync, 1 + op.A % 200);
            break;
        case opWrite:
        case opWriteAsync:
        case opEmptyWrite:
            if (open && !FWrite)
                StartWrite(op.Kind == opWriteAsync, op.Kind == opEmptyWrite ? 0 : 1 + op.A % 300);
            break;
        case opAbort:
            if (open)
                Guard([&] { FPort->AbortAllTransfers(); });
            break;
        case opLines:
            if (open)
                Guard([&] {
                    FPort->FlowControl()->SetControlDTR(op.A % 2 ? dtrEnable : dtrDisable);
                    FPort->FlowControl()->SetControlRTS(op.B % 2 ? rtsEnable : rtsDisable);
                });
            break;
        case opPeerSend:
            if (!FHungUp && !FLoop)
                PeerSend(1 + op.A % 100);
            break;
        case opPeerStall:
            FStalled = true;
            break;
        case opPeerResume:
            FStalled = false;
            break;
        case opHangUp:
            if (open && !FHungUp && !FLoop) {
                // What the line took before the end reaches the peer; the
                // rest is lost with the line.
                FArrived += FPty->Drain();
                CheckPeerStream();
                FPty->CloseMaster();
                FHungUp = true;
                // A lost line ends every waiting call at once.
                for (TCall* c : {FRead.get(), FWrite.get()})
                    if (c)
                        c->Bound = Clock::now();
            }
            break;
        case opQuiet:
            // The peer sends nothing until the calls it has given an end
            // have ended: nothing else comes to wake them.
            for (TCall* c : {FRead.get(), FWrite.get()})
                if (c && c->Bound)
                    Eventually([c] { return c->Done.load(); },
                               std::chrono::duration_cast<std::chrono::milliseconds>(
                                   *c->Bound + Slack - Clock::now()) +
                                   10ms);
            break;
        case opKinds:
            break;
        }
        // The event loop runs between steps, for deliveries to this thread.
        const auto pause = Clock::now() + std::chrono::milliseconds(op.B % 8);
        do {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(1ms);
        } while (Clock::now() < pause);
    }

    void Guard(const std::function<void()>& f) {
        try {
            f();
        } catch (const EComPort& e) {
            // Settings on a hung-up line fail; elsewhere nothing may. Known:
            // a network port's answer waits behind received data that a full
            // input queue no longer takes from the socket, so the request
            // runs out of time (ETIMEDOUT) while nobody reads.
            const bool answerBehindData = FLoop && e.WinErrorCode() == ETIMEDOUT;
            if (!FHungUp && !answerBehindData)
                Fail(std::string("a call on a working line failed: ") + e.what());
        }
    }

    void Open(unsigned a, unsigned b) {
        // Events: none, or the default ones delivered by one of the three
        // methods; with events the bytes go either to reads or to the
        // OnRxChar handler, never to both (which of them got a byte first
        // is not a promise).
        const int events = a % 4;
        FReadsByCalls = events == 0 || b % 2;
        FPort->SetEvents(events == 0 ? TComEvents() : AllComEvents);
        FPort->SetSyncMethod(static_cast<TSyncMethod>(events == 0 ? smNone : events - 1));
        FPort->OnRxChar = nullptr;
        if (!FReadsByCalls)
            FPort->OnRxChar = [this](QObject*, int32_t count) { HandlerRead(count); };
        SetTimeouts(a / 4);
        FPort->Timeouts()->SetWriteTotalMultiplier(5);
        FPort->Timeouts()->SetWriteTotalConstant(300);
        FSent.clear();
        FDelivered = 0;
        FPeerSent = FWrote = false;
        if (FLoop) {
            // Each session has a server of its own; it serves one client.
            NewStream();
            const std::string here = __FILE__;
            FServer = std::make_unique<TServer>(std::vector<std::string>{
                "/usr/bin/python3", here.substr(0, here.rfind('/')) + "/rfc2217_loop_server.py"});
            FPort->SetPort(QString::fromStdString("rfc2217://127.0.0.1:" + FServer->Line()));
        } else {
            // What the line held from before is not this session's.
            ::tcflush(FPty->Slave(), TCIFLUSH);
            FLockFile = "/run/lock/LCK..pts_" + FPty->Path().substr(FPty->Path().rfind('/') + 1);
        }
        try {
            FPort->Open();
        } catch (const EComPort& e) {
            Fail(std::string("open failed: ") + e.what());
        }
    }

    void SetTimeouts(unsigned pick) {
        const TTimeoutShape& s = Shapes[pick % std::size(Shapes)];
        FShape = &s;
        TComTimeouts* t = FPort->Timeouts();
        t->SetReadInterval(s.Interval);
        t->SetReadTotalMultiplier(s.Multiplier);
        t->SetReadTotalConstant(s.Constant);
    }

    void Close() {
        // What is queued for a handler that reads is delivered before the
        // end; reads that wait for more than will come are aborted by Close.
        if (!FHungUp && !FReadsByCalls && !FLoop)
            Settle([&] { return FDelivered == FSent.size(); }, "the handler got every byte");
        try {
            FPort->Close();
        } catch (const EComPort& e) {
            if (!FHungUp)
                Fail(std::string("close failed: ") + e.what());
        }
        Reap(FRead, true);
        Reap(FWrite, true);
        if (FPort->Connected())
            Fail("still connected after Close");
        // Nothing of the port is left.
        if (!Eventually([&] {
                return Entries("/proc/self/fd") == FBaseFds + LineFds() &&
                       Entries("/proc/self/task") == FBaseTasks;
            }))
            Fail("descriptors or threads left after Close: fds " +
                 std::to_string(Entries("/proc/self/fd") - FBaseFds - LineFds()) + ", threads " +
                 std::to_string(Entries("/proc/self/task") - FBaseTasks));
        if (!FLockFile.empty() && ::access(FLockFile.c_str(), F_OK) == 0)
            Fail("lock file left after Close: " + FLockFile);
        FServer.reset();
        if (FHungUp) {
            FPort.reset();
            NewStream();
            NewLine();
        }
    }

    // The peer's descriptors: the pseudo-terminal's ends, or the pipe from
    // the server.
    int LineFds() const {
        if (FLoop)
            return FServer ? 1 : 0;
        return (FPty->Master() >= 0) + (FPty->Slave() >= 0);
    }

    void NewStream() {
        for (TCall* w : FWritten)
            delete w;
        FWritten.clear();
        FArrived.clear();
        FParsedAt = FParsedWrites = 0;
        FResync = false;
    }

    void Settle(const std::function<bool()>& done, const char* what) {
        if (!Eventually(done))
            Fail(std::string("not settled: ") + what);
    }

    // ------------------------------------------------------ transfers --

    void StartRead(bool async, int count) {
        FRead = std::make_unique<TCall>();
        TCall& c = *FRead;
        c.Count = count;
        c.Data.assign(count, '\0');
        c.Start = Clock::now();
        c.Bound = ReadBound(c);
        c.Shape = FShape->Name;
        c.Interval = FShape->Interval;
        if (async) {
            // Started here, awaited on the worker.
            NewAsyncRecord(c.Async);
            try {
                tCall = &c;
                FPort->BeginRead(c.Data.data(), count, c.Async);
                tCall = nullptr;
            } catch (const EComPort& e) {
                tCall = nullptr;
                c.Error = e.WinErrorCode();
                c.Done = true;
                return;
            }
        }
        c.Worker = std::thread([this, &c] {
            RunCall(c, [&] {
                return c.Async ? FPort->AwaitCompletion(c.Async)
                               : FPort->ReadBytes(c.Data.data(), c.Count);
            });
        });
    }

    void StartWrite(bool async, int size) {
        FWrite = std::make_unique<TCall>();
        TCall& c = *FWrite;
        c.Write = true;
        c.Start = Clock::now();
        // Each write is a mark, its number, and counted bytes without the
        // mark: the peer's stream says which write each byte came from.
        if (size > 0) {
            FWrote = true;
            ++FWrites;
            c.Data = std::string("\xFF") + char(FWrites / 255 % 255) + char(FWrites % 255);
            while (static_cast<int>(c.Data.size()) < size + 3)
                c.Data.push_back(static_cast<char>(FWriteByte++ % 255));
        }
        c.Bound = c.Start + std::chrono::milliseconds(5 * c.Data.size() + 300);
        if (async && !c.Data.empty()) {
            NewAsyncRecord(c.Async);
            try {
                tCall = &c;
                FPort->BeginWriteString(c.Data, c.Async);
                tCall = nullptr;
            } catch (const EComPort& e) {
                tCall = nullptr;
                c.Error = e.WinErrorCode();
                c.Done = true;
                FWritten.push_back(FWrite.get());
                return;
            }
        }
        FWritten.push_back(FWrite.get());
        c.Worker = std::thread([this, &c] {
            RunCall(c, [&] {
                return c.Async ? FPort->AwaitCompletion(c.Async) : FPort->WriteString(c.Data);
            });
        });
    }

    void RunCall(TCall& c, const std::function<int32_t()>& call) {
        tCall = &c;
        c.Tid = ::gettid();
        try {
            c.Moved = call();
        } catch (const EComPort& e) {
            c.Error = e.WinErrorCode();
        }
        tCall = nullptr;
        c.End = Clock::now();
        c.Done = true;
    }

    // When a read must have ended, as far as its time-outs say from here:
    // its total time-out, or the interval after the bytes there are now.
    std::optional<Clock::time_point> ReadBound(const TCall& c) {
        const TTimeoutShape& s = *FShape;
        const auto now = Clock::now();
        if (s.Interval < 0)
            return now;
        std::optional<Clock::time_point> bound;
        if (s.Multiplier || s.Constant)
            bound = c.Start + std::chrono::milliseconds(s.Multiplier * c.Count + s.Constant);
        // Bytes a failed read may have taken leave nothing certain to wait for.
        const std::size_t waiting = FLost ? 0 : FSent.size() - FDelivered;
        if ((s.Interval > 0 && waiting > 0) ||
            (waiting && waiting >= static_cast<std::size_t>(c.Count))) {
            auto t = now + std::chrono::milliseconds(std::max(s.Interval, 0));
            bound = bound ? std::min(*bound, t) : t;
        }
        return bound;
    }

    // Ends a finished (or, at close, any) call and checks what it did.
    void Reap(std::unique_ptr<TCall>& call, bool wait) {
        if (!call)
            return;
        TCall& c = *call;
        if (!c.Done && !wait)
            return;
        if (c.Worker.joinable()) {
            if (!Eventually([&] { return c.Done.load(); }, 20000ms))
                Fail("a transfer did not end after Close");
            if (!c.Done) {
                c.Worker.detach(); // cannot go on safely; the failure is reported
                call.release();
                return;
            }
            c.Worker.join();
        }
        FreeAsyncRecord(c.Async);
        if (c.Write)
            CheckWriteNotices(c);
        else
            Delivered(c);
        if (!c.Write)
            call.reset();
        else
            call.release(); // kept in FWritten for the peer's check
    }

    void CheckWriteNotices(const TCall& c) {
        // One that could not start tells nothing; one that failed later
        // told of its start only.
        std::vector<std::string> expected;
        if (!c.Data.empty() && (c.Moved >= 0 || !c.Notices.empty()))
            expected.push_back("Tx");
        if (c.Moved >= 0 && !c.Data.empty())
            expected.push_back("Sent:" + c.Data);
        if (c.Notices != expected)
            Fail("a write of " + std::to_string(c.Data.size()) + " bytes told " +
                 testing::PrintToString(c.Notices));
    }

    void HandlerRead(int32_t count) {
        std::vector<std::string> notices;
        tHandlerNotices = &notices;
        std::string buf(static_cast<std::size_t>(std::max(count, 1)), '\0');
        try {
            const int32_t n = FPort->ReadBytes(buf.data(), count);
            std::lock_guard lock(FMutex);
            Consume(buf.substr(0, n));
        } catch (const EComPort&) {
            // A read on a line that hung up or closed under the handler.
        }
        tHandlerNotices = nullptr;
        for (const std::string& n : notices)
            if (n.rfind("Sent:", 0) == 0 || n == "Tx")
                Fail("a handler's read told of a write: " + n);
    }

    void Delivered(const TCall& c) {
        for (const std::string& n : c.Notices)
            if (n != "Rx:off")
                Fail("a read told " + n);
        std::lock_guard lock(FMutex);
        if (c.Moved >= 0) {
            Consume(c.Data.substr(0, c.Moved));
        } else if (FLoop) {
            // What it took is lost: the check takes up the stream again at
            // the next write's mark.
            FArrived.erase(std::min(FArrived.size(), FParsedAt));
            FResync = true;
        } else {
            FLost += c.Count; // a failed read may have taken up to its count
        }
    }

    // The bytes come next in the peer's stream, after at most FLost bytes
    // that a failed read took.
    void Consume(const std::string& bytes) {
        if (bytes.empty())
            return;
        if (FLoop) {
            FArrived += bytes;
            return;
        }
        std::size_t at = FDelivered;
        const std::size_t end = std::min(FSent.size(), FDelivered + FLost);
        while (at <= end && FSent.compare(at, bytes.size(), bytes) != 0)
            ++at;
        if (at > end || at + bytes.size() > FSent.size())
            return Fail("bytes delivered out of order, twice or never sent: " +
                        testing::PrintToString(bytes.substr(0, 16)));
        FDelivered = at + bytes.size();
        FLost = 0;
    }

    // --------------------------------------------------------- the peer --

    void PeerSend(int n) {
        // Bytes for a read come mostly while it waits, as a line's do: its
        // worker sleeps in the kernel (for a moment at most).
        if (FRead && !FRead->Done)
            Eventually([&] { return FRead->Done || (FRead->Tid && Sleeping(FRead->Tid)); }, 100ms);
        std::string bytes;
        for (int i = 0; i < n; ++i)
            bytes.push_back(static_cast<char>(FPeerByte++));
        {
            std::lock_guard lock(FMutex);
            FSent += bytes;
        }
        FPeerSent = true;
        FPty->Send(bytes);
        // A waiting read ends an interval after these bytes, or at once
        // when they fill it.
        if (FRead && !FRead->Done && FReadsByCalls) {
            TCall& r = *FRead;
            std::optional<Clock::time_point> t;
            if (r.Interval > 0)
                t = Clock::now() + std::chrono::milliseconds(r.Interval);
            if (FLost == 0 && FSent.size() - FDelivered >= static_cast<std::size_t>(r.Count))
                t = Clock::now();
            if (t)
                r.Bound = r.Bound ? std::min(*r.Bound, *t) : *t;
        }
    }

    // The peer's stream, cut into writes at their marks: each write's bytes
    // come in order of the writes, no write twice, as many as it reported.
    void CheckPeerStream() {
        std::lock_guard lock(FMutex);
        if (!FLoop && !FHungUp && !FStalled)
            FArrived += FPty->Drain();
        if (FResync) {
            const std::size_t mark = FArrived.find('\xFF', FParsedAt);
            FArrived.erase(FParsedAt,
                           mark == std::string::npos ? std::string::npos : mark - FParsedAt);
        }
        // Pieces followed by another are final: the parse goes on from the
        // last piece, which may still grow.
        std::size_t& at = FParsedAt;
        std::size_t& next = FParsedWrites;
        while (at < FArrived.size()) {
            if (static_cast<unsigned char>(FArrived[at]) != 0xFF)
                return Fail("the peer got a byte outside any write");
            std::size_t end = FArrived.find('\xFF', at + 1);
            if (end == std::string::npos)
                end = FArrived.size();
            const std::string piece = FArrived.substr(at, end - at);
            // The mark and the write's two-byte number say which write a
            // piece is; a last piece shorter than that may still grow, and
            // its first bytes alone could match an earlier write's.
            if (end == FArrived.size() && piece.size() < 3)
                return;
            // Writes that left nothing: failed ones, or none are allowed.
            while (next < FWritten.size() &&
                   FWritten[next]->Data.compare(0, piece.size(), piece) != 0) {
                if (FWritten[next]->Done && FWritten[next]->Moved > 0 && !FResync)
                    return Fail("a write that reported " + std::to_string(FWritten[next]->Moved) +
                                " bytes sent never arrived; then came " +
                                testing::PrintToString(piece.substr(0, 8)));
                ++next;
            }
            if (next == FWritten.size())
                return Fail("the peer got bytes twice or out of order: " +
                            testing::PrintToString(piece.substr(0, 8)));
            const TCall& w = *FWritten[next];
            const bool last = end == FArrived.size();
            FResync = false;
            if (w.Done && w.Moved >= 0 &&
                (last ? piece.size() > std::size_t(w.Moved) : piece.size() != std::size_t(w.Moved)))
                return Fail("a write reported " + std::to_string(w.Moved) + " bytes; " +
                            std::to_string(piece.size()) + " arrived");
            if (last)
                return;
            at = end;
            ++next;
        }
    }

    // ------------------------------------------------------------ check --

    void Check() {
        Reap(FRead, false);
        if (FWrite && FWrite->Done) {
            Reap(FWrite, false);
            FWrite.release();
        }
        CheckPeerStream();
        const auto now = Clock::now();
        for (TCall* c : {FRead.get(), FWrite.get()})
            if (c && !c->Done && c->Bound && now > *c->Bound + Slack)
                Fail(std::string("a ") + (c->Write ? "write" : "read") + " of " +
                     std::to_string(c->Write ? c->Data.size() : std::size_t(c->Count)) +
                     " bytes did not end within its time-outs (" + c->Shape + ")" + State(*c));
    }

    // What the model knew when a call overran, for the report.
    std::string State(const TCall& c) {
        std::lock_guard lock(FMutex);
        return " sent " + std::to_string(FSent.size()) + " delivered " +
               std::to_string(FDelivered) + " lost " + std::to_string(FLost) + " age " +
               std::to_string((Clock::now() - c.Start) / 1ms) + " hung " + std::to_string(FHungUp) +
               " q " + std::to_string(FPort->Connected() ? FPort->InputQueueLength() : -1);
    }

    void Teardown() {
        if (FPort && FPort->Connected() && !Failed())
            Close();
        if (FPort)
            try {
                FPort->Close();
            } catch (...) {
            }
        Reap(FRead, true);
        Reap(FWrite, true);
        for (TCall* w : FWritten)
            delete w;
        FWritten.clear();
        if (FPort)
            FPort->UnregisterListener(&Listener);
        FPort.reset();
    }

    std::vector<TOp> FOps;
    bool Failed() {
        std::lock_guard lock(FFailMutex);
        return !FFailure.empty();
    }
    std::string FFailure;
    std::mutex FFailMutex;
    const bool FLoop;
    std::unique_ptr<TServer> FServer;
    bool FResync = false; // a failed read took bytes of the loop's stream
    std::unique_ptr<PtyPair> FPty;
    std::unique_ptr<TComPort> FPort;
    TComListener Listener;
    bool FHungUp = false, FStalled = false, FReadsByCalls = true;
    const TTimeoutShape* FShape = &Shapes[0];
    std::unique_ptr<TCall> FRead, FWrite;
    std::vector<TCall*> FWritten;                 // every write of this line, in order
    std::string FArrived;                         // what the peer got
    std::size_t FParsedAt = 0, FParsedWrites = 0; // where its last piece starts
    unsigned FWrites = 0, FWriteByte = 0;
    std::mutex FMutex; // the received side, shared with handlers
    std::string FSent; // what the peer sent this session
    std::size_t FDelivered = 0, FLost = 0;
    unsigned char FPeerByte = 0;
    std::string FLockFile;
    std::atomic<bool> FPeerSent{false}, FWrote{false}; // this session
    int FBaseFds = 0, FBaseTasks = 0;
};

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

void RunModel(bool loop, std::uint64_t defaultSeconds) {
    const std::uint64_t seed = EnvNumber("KV_MODEL_SEED", std::random_device{}());
    const auto seconds = std::chrono::seconds(EnvNumber("KV_MODEL_SECONDS", defaultSeconds));
    const std::size_t limit = EnvNumber("KV_MODEL_OPS", 1000000);
    std::printf("model seed %llu (KV_MODEL_SEED=%llu replays it)\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
    std::fflush(stdout); // also when a soak run is stopped
    const std::vector<TOp> ops = DrawOps(seed, limit);

    std::size_t ran = 0;
    std::string failure = TModel(ops, loop).Run(Clock::now() + seconds, ran);
    std::printf("model ran %zu operations\n", ran);
    if (failure.empty())
        return;
    std::printf("model failed: %s\n", failure.c_str());
    std::fflush(stdout);
    // The shortest prefix that still fails, as far as runs again find it in
    // as much time as the run had (at most a minute: the test has a limit).
    std::size_t shortest = ran, low = 1;
    const auto searchEnd = Clock::now() + std::min<Clock::duration>(seconds, 60s);
    while (low < shortest && Clock::now() < searchEnd) {
        const std::size_t mid = (low + shortest) / 2;
        std::size_t n = 0;
        if (!TModel({ops.begin(), ops.begin() + mid}, loop).Run(searchEnd, n).empty())
            shortest = mid;
        else
            low = mid + 1;
    }
    std::ostringstream steps;
    for (std::size_t i = 0; i < shortest; ++i)
        steps << OpNames[ops[i].Kind] << (i + 1 < shortest ? ", " : "");
    ADD_FAILURE() << failure << "\nafter " << ran << " operations of seed " << seed
                  << "; the shortest failing prefix found has " << shortest
                  << " (KV_MODEL_SEED=" << seed << " KV_MODEL_OPS=" << shortest
                  << "): " << steps.str();
}

TEST(PortModel, RandomOperationsKeepEveryPromise) {
    RunModel(false, 40);
}

TEST(PortModel, RandomOperationsKeepEveryPromiseOnANetworkPort) {
    RunModel(true, 20);
}

} // namespace
