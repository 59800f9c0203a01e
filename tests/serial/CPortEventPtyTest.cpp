// The event thread against a real pseudo-terminal: the master plays the peer.
// Pseudo-terminals have no modem lines, so every line reads as off.
#include "CPort.h"
#include "CPortEventRecorder.h"
#include "PtyPair.h"

#include <QDir>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace kv52804;

namespace {

int CountEntries(const char* dir) {
    return static_cast<int>(QDir(QString::fromLatin1(dir))
                                .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                                .size());
}

// Waits (bounded) until the process has `count` threads: threads leave the
// task list shortly after they were joined.
bool WaitForTaskCount(int count) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (CountEntries("/proc/self/task") != count) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Threads a process makes once, on first use (a sanitizer's own, say), are
// not the port's: one open and close first lets them appear.
void SettleProcessThreads(const PtyPair& pty) {
    static bool settled = false;
    if (settled)
        return;
    settled = true;
    TComPort port;
    port.SetPort(QString::fromStdString(pty.Path()));
    port.Open();
    port.Close();
    QCoreApplication::processEvents();
}

std::string Joined(const EventLog::Items& items, const std::string& prefix) {
    std::string all;
    for (const std::string& i : items)
        if (i.rfind(prefix, 0) == 0)
            all += i.substr(prefix.size());
    return all;
}

class EventPty : public testing::TestWithParam<TSyncMethod> {
protected:
    EventPty() {
        Port.SetPort(QString::fromStdString(Pty.Path()));
        Port.SetSyncMethod(GetParam());
        Log.Attach(Port);
    }
    void OpenClean() {
        Port.Open();
        Log.Clear();
    }
    // Every handler ran on the thread the method promises.
    void ExpectThreads() {
        const int all = static_cast<int>(Log.Get().size());
        if (GetParam() == smNone)
            EXPECT_EQ(Log.OffMain(), all);
        else
            EXPECT_EQ(Log.OnMain(), all);
    }

    EventLog Log; // outlives the port, whose destruction still reports
    PtyPair Pty;
    TComPort Port;
};

std::string MethodName(const testing::TestParamInfo<TSyncMethod>& info) {
    static const char* const names[] = {"ThreadSync", "WindowSync", "None"};
    return names[info.param];
}

TEST_P(EventPty, BytesFromThePeerRaiseOnRxCharWithTheQueuedCount) {
    OpenClean();
    Pty.Send("hello");
    // Count only: the bytes stay queued, so the last report counts them all.
    ASSERT_TRUE(Log.WaitFor("RxChar:5")) << testing::PrintToString(Log.Get());
    ExpectThreads();
    char buf[8] = {};
    EXPECT_EQ(Port.ReadBytes(buf, 8), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
}

TEST_P(EventPty, WithoutCountOnlyOnRxBufGetsExactlyTheBytes) {
    Port.SetReportCountOnly(false);
    OpenClean();
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    Pty.Send(all);
    ASSERT_TRUE(
        Log.WaitUntil([&](const EventLog::Items& i) { return Joined(i, "RxBuf:") == all; }));
    EXPECT_EQ(Joined(Log.Get(), "RxChar:"), "");
    ExpectThreads();
}

TEST_P(EventPty, TheEventCharacterRaisesOnRxFlag) {
    Port.SetEventChar('\n');
    OpenClean();
    Pty.Send("ab");
    ASSERT_TRUE(Log.WaitFor("RxChar:2"));
    EXPECT_FALSE(Log.Contains("RxFlag"));
    Pty.Send("\n");
    ASSERT_TRUE(Log.WaitFor("RxFlag"));
    ExpectThreads();
}

TEST_P(EventPty, AWriteIsFollowedByOnTxEmpty) {
    OpenClean();
    EXPECT_EQ(Port.WriteString("frame"), 5);
    ASSERT_TRUE(Log.WaitFor("TxEmpty"));
    EXPECT_EQ(Pty.Receive(5), "frame");
    ExpectThreads();
}

TEST_P(EventPty, AnInputQueueFourFifthsFullRaisesOnRx80Full) {
    OpenClean(); // input queue of 1024 bytes
    Pty.Send(std::string(800, 'a'));
    ASSERT_TRUE(Log.WaitFor("RxChar:800"));
    EXPECT_FALSE(Log.Contains("Rx80Full"));
    Pty.Send(std::string(50, 'b'));
    ASSERT_TRUE(Log.WaitFor("Rx80Full"));
    ExpectThreads();
}

struct SignalRow {
    const char* Name;
    TComEvents Events;
    int Threads; // threads the open port adds: the backend's, and the event thread
};

class SignalReports : public EventPty {};

TEST_P(SignalReports, OpenAndCloseReportTheLinesAroundTheirHandlers) {
    for (const SignalRow& row :
         {SignalRow{"AllEvents", AllComEvents, 2}, SignalRow{"NoEvents", TComEvents(), 1}}) {
        SCOPED_TRACE(row.Name);
        SettleProcessThreads(Pty);
        Log.Clear();
        Port.SetEvents(row.Events);
        const int tasks = CountEntries("/proc/self/task");
        Port.Open();
        EXPECT_EQ(Port.ThreadCreated(), !row.Events.Empty());
        EXPECT_EQ(CountEntries("/proc/self/task"), tasks + row.Threads);
        EXPECT_EQ(Log.Get(),
                  (EventLog::Items{"BeforeOpen", "AfterOpen", "CTS:off", "DSR:off", "RLSD:off"}));
        EXPECT_TRUE(Port.ModemSignals().Empty());
        EXPECT_TRUE(Port.LineErrors().Empty());
        Log.Clear();
        Port.Close();
        EXPECT_EQ(Log.Get(),
                  (EventLog::Items{"CTS:off", "DSR:off", "RLSD:off", "BeforeClose", "AfterClose"}));
        EXPECT_TRUE(WaitForTaskCount(tasks));
    }
}

TEST_P(EventPty, AHungUpLineEndsTheThreadWithoutDeliveringAnything) {
    SettleProcessThreads(Pty);
    const int tasks = CountEntries("/proc/self/task");
    OpenClean();
    Pty.CloseSlave();
    Pty.CloseMaster();
    // The backend's I/O thread stays until Close; the event thread goes.
    EXPECT_TRUE(WaitForTaskCount(tasks + 1));
    Log.Idle(50);
    EXPECT_TRUE(Log.Get().empty()) << testing::PrintToString(Log.Get());
    Port.Close();
    EXPECT_FALSE(Port.Connected());
    EXPECT_TRUE(WaitForTaskCount(tasks));
}

INSTANTIATE_TEST_SUITE_P(Methods, EventPty, testing::Values(smThreadSync, smWindowSync, smNone),
                         MethodName);
INSTANTIATE_TEST_SUITE_P(Methods, SignalReports,
                         testing::Values(smThreadSync, smWindowSync, smNone), MethodName);

} // namespace
