// Features that meet on one open port: the event thread (and how it
// delivers), the four ways to transfer, and the time-outs. Every transfer must
// end within its time-outs and move each byte exactly once, whatever else the
// port is doing. The master of a pseudo-terminal plays the peer.
#include "CPort.h"
#include "PtyPair.h"
#include "ThreadSwitches.h"

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace kv52804;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Far more than any time-out here: a loaded machine must not fail a row, a
// transfer that never ends must.
constexpr milliseconds kSlack(2000);
constexpr int32_t kRequest = 100;

struct Side {
    const char* Name;
    bool Thread;
    TSyncMethod Sync;
};
const Side kSides[] = {
    {"NoEventThread", false, smThreadSync},
    {"ThreadSync", true, smThreadSync},
    {"WindowSync", true, smWindowSync},
    {"SyncNone", true, smNone},
};

enum Transfer { tReadBytes, tBeginRead, tWriteString, tBeginWriteString };
const char* const kTransfers[] = {"ReadBytes", "BeginRead", "WriteString", "BeginWriteString"};

struct Limits {
    const char* Name;
    int32_t Interval, ReadMultiplier, ReadConstant, WriteMultiplier, WriteConstant;
    bool ReadTotal() const { return ReadMultiplier != 0 || ReadConstant != 0; }
    milliseconds ReadBound() const {
        return milliseconds(ReadTotal() ? ReadMultiplier * kRequest + ReadConstant : Interval);
    }
    milliseconds WriteBound(int32_t count) const {
        return milliseconds(WriteMultiplier * count + WriteConstant);
    }
};
const Limits kLimits[] = {
    {"NoTimeouts", 0, 0, 0, 0, 0},
    {"Interval", 20, 0, 0, 0, 0},
    {"Total", 0, 0, 150, 0, 150},
    {"IntervalAndTotal", 20, 0, 150, 0, 150},
    {"PerByte", 0, 5, 10, 5, 10},
};

// One transfer call on a worker thread. The main thread keeps running its
// event loop meanwhile: thread-synchronised and window deliveries need it,
// and the event thread stops until they have run.
class Call {
public:
    explicit Call(std::function<int32_t()> body)
        : FThread([this, body = std::move(body)] {
              FTid = ::gettid();
              try {
                  FResult = body();
              } catch (const std::exception& e) {
                  FError = e.what();
              }
              FDone = true;
          }) {}
    ~Call() { FThread.join(); }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    bool WaitUntil(Clock::time_point end) {
        // The worker posts nothing to wake this loop: a post from a thread
        // that then ends hands Qt's own memory over in a way the thread
        // sanitizer cannot see. A short sleep between rounds does.
        while (!FDone) {
            if (Clock::now() >= end)
                return false;
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(milliseconds(1));
        }
        return true;
    }
    // Until the call waits in the kernel (bounded): a peer that sends only
    // then finds the read pending, with the backend's threads asleep.
    void WaitUntilWaiting() {
        const auto end = Clock::now() + kSlack;
        while (!FDone && Clock::now() < end && (FTid == 0 || !Sleeping(FTid)))
            std::this_thread::sleep_for(milliseconds(1));
    }
    int32_t Result() const { return FResult; }
    const std::string& Error() const { return FError; }

private:
    std::atomic<bool> FDone{false};
    std::atomic<pid_t> FTid{0};
    int32_t FResult = -1;
    std::string FError;
    std::thread FThread;
};

// The port's own record for a started transfer, released however the test ends.
struct AsyncRecord {
    AsyncRecord() { NewAsyncRecord(A); }
    ~AsyncRecord() { FreeAsyncRecord(A); }
    AsyncRecord(const AsyncRecord&) = delete;
    AsyncRecord& operator=(const AsyncRecord&) = delete;
    PAsync A = nullptr;
};

// What the event thread reported while a transfer ran. Count-only reports
// leave the bytes queued, so these handlers never compete with the read.
struct Reports {
    std::mutex Lock;
    std::vector<int32_t> Counts;
    std::string Bytes;
};

using Row = std::tuple<int, int, int>; // side, transfer, limits

class Combination : public testing::TestWithParam<Row> {
protected:
    const Side& S() const { return kSides[std::get<0>(GetParam())]; }
    Transfer T() const { return static_cast<Transfer>(std::get<1>(GetParam())); }
    const Limits& L() const { return kLimits[std::get<2>(GetParam())]; }

    void OpenAsRowSays() {
        Port.SetPort(QString::fromStdString(Pty.Path()));
        Port.SetEvents(S().Thread ? AllComEvents : TComEvents());
        Port.SetSyncMethod(S().Sync);
        TComTimeouts* t = Port.Timeouts();
        t->SetReadInterval(L().Interval);
        t->SetReadTotalMultiplier(L().ReadMultiplier);
        t->SetReadTotalConstant(L().ReadConstant);
        t->SetWriteTotalMultiplier(L().WriteMultiplier);
        t->SetWriteTotalConstant(L().WriteConstant);
        Port.OnRxChar = [this](QObject*, int32_t n) {
            std::lock_guard lock(Seen.Lock);
            Seen.Counts.push_back(n);
        };
        Port.OnRxBuf = [this](QObject*, const void* b, int32_t n) {
            std::lock_guard lock(Seen.Lock);
            Seen.Bytes.append(static_cast<const char*>(b), static_cast<std::size_t>(n));
        };
        Port.Open();
        ASSERT_EQ(Port.ThreadCreated(), S().Thread);
    }

    // Waits for the call until end; one that has not ended by then is the
    // fault this table is about: it is reported, then unblocked (aborted, or
    // at worst the port closed) so the run goes on. False in that case.
    bool Finish(Call& call, Clock::time_point end, milliseconds bound) {
        if (call.WaitUntil(end))
            return true;
        ADD_FAILURE() << "the transfer did not end within " << bound.count() << " ms + "
                      << kSlack.count() << " ms";
        Port.AbortAllTransfers();
        if (!call.WaitUntil(Clock::now() + kSlack))
            Port.Close();
        return false;
    }

    bool WaitForQueued(int32_t count) {
        const auto end = Clock::now() + kSlack;
        while (Port.InputQueueLength() < count && Clock::now() < end)
            std::this_thread::sleep_for(milliseconds(1));
        return Port.InputQueueLength() >= count;
    }

    Reports Seen; // outlives the port, whose handlers write here
    PtyPair Pty;
    TComPort Port;
};

TEST_P(Combination, TheTransferEndsInTimeAndMovesEveryByteOnce) {
    ASSERT_NO_FATAL_FAILURE(OpenAsRowSays());
    const bool begin = T() == tBeginRead || T() == tBeginWriteString;

    if (T() == tWriteString || T() == tBeginWriteString) {
        std::string frame("\x80", 1);
        for (int i = 0; i < 12; ++i)
            frame += static_cast<char>(i * 21);
        frame += "\x84\x82";
        const milliseconds bound = L().WriteBound(static_cast<int32_t>(frame.size()));
        const auto from = Clock::now();
        Call call([&] {
            if (!begin)
                return Port.WriteString(frame);
            AsyncRecord r;
            Port.BeginWriteString(frame, r.A);
            return Port.AwaitCompletion(r.A);
        });
        if (!Finish(call, from + bound + kSlack, bound))
            return;
        EXPECT_EQ(call.Error(), "");
        EXPECT_EQ(call.Result(), static_cast<int32_t>(frame.size()));
        EXPECT_EQ(Pty.Receive(frame.size()), frame);
        EXPECT_EQ(Pty.Receive(1, 50), "") << "written twice";
        return;
    }

    // A read without time-outs waits for its full count; the others end on
    // what a short burst leaves them.
    std::string sent;
    if (L().Interval == 0 && !L().ReadTotal())
        for (int i = 0; i < kRequest; ++i)
            sent += static_cast<char>(255 - i * 3);
    else
        sent = std::string("a\0\xff", 3);
    std::vector<char> buf(kRequest);
    const auto read = [&] {
        if (!begin)
            return Port.ReadBytes(buf.data(), kRequest);
        AsyncRecord r;
        Port.BeginRead(buf.data(), kRequest, r.A);
        return Port.AwaitCompletion(r.A);
    };
    const milliseconds bound = L().ReadBound();
    std::unique_ptr<Call> call;
    Clock::time_point from;
    if (L().ReadTotal()) {
        // The total runs from the start of the read: the bytes are queued
        // first, so how soon the peer gets to send cannot decide the row.
        Pty.Send(sent);
        ASSERT_TRUE(WaitForQueued(static_cast<int32_t>(sent.size())));
        from = Clock::now();
        call = std::make_unique<Call>(read);
    } else {
        // Bytes that come while the read is pending, and that the event
        // thread's wait may take in before the I/O thread sees them.
        call = std::make_unique<Call>(read);
        call->WaitUntilWaiting();
        Pty.Send(sent);
        from = Clock::now();
    }
    if (!Finish(*call, from + bound + kSlack, bound))
        return;
    const int32_t got = call->Result();
    const std::string error = call->Error();
    call.reset();
    EXPECT_EQ(error, "");
    ASSERT_GE(got, 0);
    ASSERT_LE(got, kRequest);
    EXPECT_EQ(std::string(buf.data(), static_cast<std::size_t>(got)), sent);
    EXPECT_EQ(Port.InputQueueLength(), 0) << "bytes left to be read again";
    std::lock_guard lock(Seen.Lock);
    EXPECT_EQ(Seen.Bytes, "") << "bytes handed out by the event thread as well";
    for (int32_t n : Seen.Counts)
        EXPECT_LE(n, static_cast<int32_t>(sent.size())) << "more bytes reported than sent";
}

std::string RowName(const testing::TestParamInfo<Row>& info) {
    return std::string(kSides[std::get<0>(info.param)].Name) + "_" +
           kTransfers[std::get<1>(info.param)] + "_" + kLimits[std::get<2>(info.param)].Name;
}

INSTANTIATE_TEST_SUITE_P(Combination, Combination,
                         testing::Combine(testing::Range(0, 4), testing::Range(0, 4),
                                          testing::Range(0, 5)),
                         RowName);

} // namespace
