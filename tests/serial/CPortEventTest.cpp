// The event thread and the event steps on the recording fake: what reaches
// which handler, in which order, on which thread, and what a failing wait or
// a raising handler leaves behind.
#include "CPort.h"
#include "CPortEventRecorder.h"
#include "CommRecording.h"
#include "Forms.h"

#include <atomic>
#include <gtest/gtest.h>

using namespace kv52804;

namespace {

const char* const kPath = "/dev/ttyFAKE0";

TEST(EventMask, EachEventHasItsFlagAndOtherBitsAreIgnored) {
    struct Row {
        TComEvent Event;
        DWORD Flag;
    };
    const Row rows[] = {{evRxChar, 0x0001},  {evTxEmpty, 0x0004}, {evRxFlag, 0x0002},
                        {evRing, 0x0100},    {evBreak, 0x0040},   {evCTS, 0x0008},
                        {evDSR, 0x0010},     {evError, 0x0080},   {evRLSD, 0x0020},
                        {evRx80Full, 0x0400}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Event);
        EXPECT_EQ(EventsToMask(TComEvents{r.Event}), r.Flag);
        EXPECT_EQ(MaskToEvents(r.Flag), TComEvents{r.Event});
    }
    EXPECT_EQ(EventsToMask(AllComEvents), 0x05FFu);
    EXPECT_EQ(EventsToMask(TComEvents()), 0u);
    EXPECT_EQ(MaskToEvents(0xFFFFFFFFu), AllComEvents);
    EXPECT_TRUE(MaskToEvents(0x0200u | 0xF800u).Empty());
}

class EventFake : public testing::TestWithParam<TSyncMethod> {
protected:
    EventFake() {
        Port.SetCommApi(&Fake);
        Port.SetPort(QString::fromLatin1(kPath));
        Port.SetSyncMethod(GetParam());
        Log.Attach(Port);
        FPrevious = SetApplicationExceptionHandler(
            [this](const std::exception& e) { Shown.Add(e.what()); });
    }
    ~EventFake() override {
        try {
            Port.Close();
        } catch (...) {
        }
        SetApplicationExceptionHandler(FPrevious);
    }
    // Opens, waits until the thread waits for its first event, and forgets
    // what the opening reported.
    void OpenWatching() {
        Port.Open();
        ASSERT_TRUE(Fake.WaitForCalls("WaitCommEvent", 1));
        Log.Clear();
    }
    // Takes the thread's deliveries on this (main) thread until the fake saw
    // `count` calls of `name`.
    bool DeliverUntilCalls(const std::string& name, int count) {
        for (int i = 0; i < 500; ++i) {
            CheckSynchronize();
            if (Fake.WaitForCalls(name, count, 10))
                return true;
        }
        return false;
    }
    bool OnMainThread() const { return GetParam() != smNone; }

    CommRecording Fake;
    TComPort Port;
    EventLog Log;
    EventLog Shown; // messages given to the application's error display
    TExceptionHandler FPrevious;
};

std::string MethodName(const testing::TestParamInfo<TSyncMethod>& info) {
    static const char* const names[] = {"ThreadSync", "WindowSync", "None"};
    return names[info.param];
}

TEST_P(EventFake, OneWaitWithEveryEventRunsTheStepsInTheFixedOrder) {
    OpenWatching();
    EXPECT_EQ(Fake.CallsNamed("SetCommMask")[0].Arg1, 0x05FFu);
    Fake.SetComStat(COMSTAT{0, 3, 0});
    Fake.SetModemStatus(MS_CTS_ON | MS_RLSD_ON);
    Fake.QueueLineErrors(CE_FRAME | CE_OVERRUN);
    Fake.QueueCommEvent(EV_ALL);
    ASSERT_TRUE(Log.WaitFor("Rx80Full")) << testing::PrintToString(Log.Get());
    const std::string errors = std::to_string(TComErrors{ceFrame, ceOverrun}.Bits());
    EXPECT_EQ(Log.Get(), (EventLog::Items{"Error:" + errors, "RxChar:3", "TxEmpty", "Break", "Ring",
                                          "CTS:on", "DSR:off", "RxFlag", "RLSD:on", "Rx80Full"}));
    EXPECT_EQ(Log.OnMain(), OnMainThread() ? 10 : 0);
}

TEST_P(EventFake, ListenersHearTheStepsBeforeTheHandlers) {
    EventLog heard;
    TComListener l;
    l.RxActivity = [&](TCustomComPort*, bool on) { heard.Add(on ? "Rx:on" : "Rx:off"); };
    l.TxActivity = [&](TCustomComPort*, bool on) { heard.Add(on ? "Tx:on" : "Tx:off"); };
    l.OutputDrained = [&](TCustomComPort*) { heard.Add("Drained"); };
    l.FlagReceived = [&](TCustomComPort*) { heard.Add("Flag"); };
    l.RingDetected = [&](TCustomComPort*) { heard.Add("Ring"); };
    l.CTSChanged = [&](TCustomComPort*, bool on) { heard.Add(on ? "CTS:on" : "CTS:off"); };
    Port.RegisterListener(&l);
    EXPECT_FALSE(Port.HasBufferListener());
    OpenWatching();
    heard.Clear();
    Fake.SetComStat(COMSTAT{0, 2, 0});
    Fake.QueueCommEvent(EV_RXCHAR | EV_TXEMPTY | EV_RXFLAG | EV_RING | EV_CTS);
    ASSERT_TRUE(Log.WaitFor("RxFlag"));
    EXPECT_EQ(heard.Get(),
              (EventLog::Items{"Rx:on", "Tx:off", "Drained", "Ring", "CTS:off", "Flag"}));
    Port.UnregisterListener(&l);
}

TEST_P(EventFake, SignalStepsReportTheLinesAsReadWhenTheyRun) {
    OpenWatching();
    Fake.SetModemStatus(MS_DSR_ON);
    Fake.QueueCommEvent(EV_CTS | EV_DSR | EV_RLSD);
    ASSERT_TRUE(Log.WaitFor("RLSD:off"));
    Fake.SetModemStatus(MS_CTS_ON | MS_RING_ON);
    Fake.QueueCommEvent(EV_CTS);
    Fake.QueueCommEvent(EV_CTS);
    ASSERT_TRUE(Log.WaitUntil([](const EventLog::Items& i) { return i.size() >= 5; }));
    // Each step reads anew; two in a row may report the same state, and the
    // ring indicator has no change handler.
    EXPECT_EQ(Log.Get(), (EventLog::Items{"CTS:off", "DSR:on", "RLSD:off", "CTS:on", "CTS:on"}));
    EXPECT_EQ(Fake.CountCalls("GetCommModemStatus"), 3 + 3 + 2);
}

TEST_P(EventFake, NothingIsRaisedForAnEmptyQueueOrForErrorsAlreadyCleared) {
    OpenWatching();
    Fake.QueueLineErrors(CE_FRAME);
    // Reading the queue length reads and clears the error state too.
    EXPECT_EQ(Port.InputQueueLength(), 0);
    Fake.QueueCommEvent(EV_ERR | EV_RXCHAR | EV_TXEMPTY);
    ASSERT_TRUE(Log.WaitFor("TxEmpty"));
    EXPECT_EQ(Log.Get(), (EventLog::Items{"TxEmpty"}));
}

TEST_P(EventFake, ReceivedBytesAreReadOnlyWhenTheReportIsNotCountOnly) {
    Port.SetReportCountOnly(false);
    OpenWatching();
    Fake.QueueReadData(std::string("a\0\xff", 3));
    Fake.QueueCommEvent(EV_RXCHAR | EV_TXEMPTY);
    ASSERT_TRUE(Log.WaitFor("TxEmpty"));
    EXPECT_EQ(Log.Get(), (EventLog::Items{"RxBuf:" + std::string("a\0\xff", 3), "TxEmpty"}));
    EXPECT_EQ(Port.InputQueueLength(), 0);
}

TEST_P(EventFake, BufferListenersShareOneReadAndOnRxCharIsNotRaised) {
    std::string first, second;
    TComListener a, b, c;
    a.BufferReceived = [&](TCustomComPort*, const void* d, int32_t n) {
        first.assign(static_cast<const char*>(d), static_cast<std::size_t>(n));
    };
    b.RxActivity = [](TCustomComPort*, bool) {}; // no buffer: not counted
    c.BufferReceived = [&](TCustomComPort*, const void* d, int32_t n) {
        second.assign(static_cast<const char*>(d), static_cast<std::size_t>(n));
    };
    Port.RegisterListener(&b);
    EXPECT_FALSE(Port.HasBufferListener());
    Port.RegisterListener(&a);
    Port.RegisterListener(&c);
    EXPECT_TRUE(Port.HasBufferListener());
    OpenWatching();
    Fake.ClearCalls();
    Fake.QueueReadData("xyz");
    Fake.QueueCommEvent(EV_RXCHAR | EV_TXEMPTY);
    ASSERT_TRUE(Log.WaitFor("TxEmpty"));
    // Read once, for the listeners and OnRxBuf; the bytes are gone, so no
    // OnRxChar.
    EXPECT_EQ(Log.Get(), (EventLog::Items{"RxBuf:xyz", "TxEmpty"}));
    EXPECT_EQ(first, "xyz");
    EXPECT_EQ(second, "xyz");
    EXPECT_EQ(Fake.CountCalls("ReadFile"), 1);
    Port.UnregisterListener(&a);
    EXPECT_TRUE(Port.HasBufferListener());
    Port.UnregisterListener(&c);
    EXPECT_FALSE(Port.HasBufferListener());
    Port.UnregisterListener(&b);
}

TEST_P(EventFake, AFailedCommWaitDeliversNothingAndTheLoopWaitsAgain) {
    OpenWatching();
    Fake.QueueCommEventError(EIO);
    Fake.QueueCommEvent(EV_TXEMPTY);
    ASSERT_TRUE(Log.WaitFor("TxEmpty"));
    ASSERT_TRUE(Fake.WaitForCalls("WaitCommEvent", 3));
    EXPECT_EQ(Log.Get(), (EventLog::Items{"TxEmpty"}));
}

TEST_P(EventFake, AWaitThatCannotStartEndsTheThreadWithoutSpinning) {
    Fake.FailAlways("WaitCommEvent", EIO); // as after an unplug
    Port.Open();
    // The thread ends through its cleanup: the mask is cleared, and the
    // queues of the still open port are kept.
    ASSERT_TRUE(Fake.WaitForCalls("SetCommMask", 2));
    Log.Idle(50);
    EXPECT_EQ(Fake.CountCalls("WaitCommEvent"), 1);
    EXPECT_EQ(Fake.CountCalls("WaitForMultipleObjects"), 0);
    EXPECT_EQ(Fake.CallsNamed("SetCommMask")[1].Arg1, 0u);
    EXPECT_EQ(Fake.CountCalls("PurgeComm"), 0);
    Log.Clear();
    Port.Close();
    EXPECT_EQ(Log.Get(),
              (EventLog::Items{"CTS:off", "DSR:off", "RLSD:off", "BeforeClose", "AfterClose"}));
    EXPECT_EQ(Fake.OpenEventCount(), 0);
}

TEST_P(EventFake, CloseStopsTheThreadAndReleasesItsEvents) {
    Port.SetEvents(TComEvents{evRxChar, evCTS});
    OpenWatching();
    EXPECT_EQ(Fake.CallsNamed("SetCommMask")[0].Arg1, EV_RXCHAR | EV_CTS);
    EXPECT_EQ(Fake.OpenEventCount(), 2); // stop event and the wait's event
    Fake.ClearCalls();
    Port.Close();
    EXPECT_EQ(Fake.CallNames(),
              (std::vector<std::string>{"PurgeComm", "SetCommMask", "PurgeComm", "CloseHandle",
                                        "CloseHandle", "CloseHandle"}));
    EXPECT_EQ(Fake.CallsNamed("PurgeComm")[0].Arg1, PURGE_TXABORT | PURGE_RXABORT);
    EXPECT_EQ(Fake.CallsNamed("SetCommMask")[0].Arg1, 0u);
    EXPECT_EQ(Fake.OpenEventCount(), 0);
    EXPECT_FALSE(Port.ThreadCreated());
}

TEST_P(EventFake, ABatchPendingAtCloseRunsDuringCloseAfterOnBeforeClose) {
    if (GetParam() == smNone)
        GTEST_SKIP() << "with smNone the batch runs on the event thread, beside Close";
    OpenWatching();
    Fake.QueueCommEvent(EV_TXEMPTY);
    // Past its wait: the thread delivers whatever Close does now, and the
    // main thread has not taken its call yet (no event loop runs here).
    ASSERT_TRUE(Fake.WaitForCalls("GetOverlappedResult", 1));
    Port.Close();
    EXPECT_EQ(Log.Get(), (EventLog::Items{"CTS:off", "DSR:off", "RLSD:off", "BeforeClose",
                                          "TxEmpty", "AfterClose"}));
    EXPECT_EQ(Fake.OpenEventCount(), 0);
}

TEST_P(EventFake, AHandlerMayCloseThePortItIsCalledFor) {
    Port.OnTxEmpty = [this](QObject*) {
        Log.Add("TxEmpty");
        Port.Close();
    };
    OpenWatching();
    Fake.SetComStat(COMSTAT{0, 1, 0});
    Fake.QueueCommEvent(EV_TXEMPTY | EV_RING);
    ASSERT_TRUE(Log.WaitFor("AfterClose"));
    if (GetParam() == smWindowSync)
        // Released before the step ran, the thread has sent the next message
        // already; Close takes it while it waits, as any pending delivery.
        EXPECT_EQ(Log.Get(), (EventLog::Items{"TxEmpty", "CTS:off", "DSR:off", "RLSD:off",
                                              "BeforeClose", "Ring", "AfterClose"}));
    else
        // The rest of the batch belongs to the closed handle and is dropped.
        EXPECT_EQ(Log.Get(), (EventLog::Items{"TxEmpty", "CTS:off", "DSR:off", "RLSD:off",
                                              "BeforeClose", "AfterClose"}));
    EXPECT_FALSE(Port.Connected());
    // The thread frees itself through the main loop once it is out.
    ASSERT_TRUE(
        Log.WaitUntil([this](const EventLog::Items&) { return Fake.OpenEventCount() == 0; }));
    Port.OnTxEmpty = nullptr;
    OpenWatching();
    Fake.QueueCommEvent(EV_RING);
    EXPECT_TRUE(Log.WaitFor("Ring"));
}

TEST_P(EventFake, AHandlerThatRaises) {
    std::atomic<int> raised{0}; // written on the event thread with smNone
    Port.OnTxEmpty = [&](QObject*) {
        ++raised;
        throw EComPort(CError_ReadFailed, 5);
    };
    OpenWatching();
    Fake.QueueCommEvent(EV_TXEMPTY);
    ASSERT_TRUE(Log.WaitUntil([&](const EventLog::Items&) { return raised == 1; }));
    if (GetParam() == smWindowSync) {
        // Shown by the general error display; the thread goes on.
        ASSERT_TRUE(Shown.WaitUntil([](const EventLog::Items& i) { return !i.empty(); }));
        EXPECT_EQ(Shown.Get()[0], EComPort(CError_ReadFailed, 5).what());
        Fake.QueueCommEvent(EV_TXEMPTY | EV_RING);
        ASSERT_TRUE(Log.WaitFor("Ring"));
        EXPECT_EQ(raised, 2);
        return;
    }
    // The thread ends quietly (its cleanup drops the mask) and nothing more
    // is delivered until the port is opened again.
    ASSERT_TRUE(Fake.WaitForCalls("SetCommMask", 2));
    EXPECT_EQ(Fake.CallsNamed("SetCommMask")[1].Arg1, 0u);
    EXPECT_EQ(Fake.CountCalls("PurgeComm"), 0); // the port is still open: queues kept
    Fake.QueueCommEvent(EV_RING);
    Log.Idle(100);
    EXPECT_FALSE(Log.Contains("Ring"));
    EXPECT_TRUE(Shown.Get().empty());
    EXPECT_EQ(raised, 1);
    Port.Close();
    EXPECT_EQ(Fake.OpenEventCount(), 0);
    OpenWatching();
    Fake.QueueCommEvent(EV_RING);
    EXPECT_TRUE(Log.WaitFor("Ring"));
}

TEST_P(EventFake, AFailingStepQueryFollowsTheSameRules) {
    OpenWatching();
    Fake.FailAt("GetCommModemStatus", EIO);
    Fake.QueueCommEvent(EV_CTS);
    if (GetParam() == smWindowSync) {
        ASSERT_TRUE(Shown.WaitUntil([](const EventLog::Items& i) { return !i.empty(); }));
        EXPECT_EQ(Shown.Get()[0], EComPort(CError_ModemStatFailed, EIO).what());
    } else {
        ASSERT_TRUE(DeliverUntilCalls("SetCommMask", 2));
        EXPECT_TRUE(Shown.Get().empty());
    }
    EXPECT_TRUE(Log.Get().empty());
}

INSTANTIATE_TEST_SUITE_P(Methods, EventFake, testing::Values(smThreadSync, smWindowSync, smNone),
                         MethodName);

TEST(EventFakeWindow, NotifyWindowProcIgnoresOtherMessagesAndAClosedPort) {
    CommRecording fake;
    EventLog log; // outlives the port, whose destruction still reports
    TComPort port;
    port.SetCommApi(&fake);
    port.SetPort(QString::fromLatin1(kPath));
    port.SetEvents(TComEvents());
    log.Attach(port);
    // Closed: the event message does nothing.
    EXPECT_EQ(port.NotifyWindowProc(CM_COMPORTEVENT, EV_TXEMPTY, 0), 0);
    port.Open();
    log.Clear();
    EXPECT_EQ(port.NotifyWindowProc(CM_COMPORTEVENT + 1, EV_TXEMPTY, 0), 0);
    EXPECT_EQ(port.NotifyWindowProc(CM_COMPORTEVENT, 0x0200, 0), 0);
    EXPECT_TRUE(log.Get().empty());
    port.NotifyWindowProc(CM_COMPORTEVENT, EV_BREAK, 0);
    port.NotifyWindowProc(CM_COMPORTEVENT, EV_RX80FULL, 0);
    EXPECT_EQ(log.Get(), (EventLog::Items{"Break", "Rx80Full"}));
}

} // namespace
