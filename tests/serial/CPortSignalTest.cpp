// Modem lines and line errors on the recording fake: the status and error
// words as the port reads them, and what a failing query raises.
#include "CPort.h"
#include "CPortEventRecorder.h"
#include "CommRecording.h"

#include <gtest/gtest.h>

using namespace kv52804;

namespace {

class SignalFake : public testing::Test {
protected:
    SignalFake() {
        Port.SetCommApi(&Fake);
        Port.SetPort(QStringLiteral("/dev/ttyFAKE0"));
        Port.SetEvents(TComEvents());
        Log.Attach(Port);
    }
    ~SignalFake() override {
        try {
            Port.Close();
        } catch (...) {
        }
    }
    CommRecording Fake;
    TComPort Port;
    EventLog Log;
};

TEST_F(SignalFake, ModemStatusWordsBecomeSignalSets) {
    struct Row {
        DWORD Status;
        TModemSignals Expected;
    };
    const Row rows[] = {
        {0, {}},
        {MS_CTS_ON, {msCTS}},
        {MS_DSR_ON, {msDSR}},
        {MS_RING_ON, {msRing}},
        {MS_RLSD_ON, {msRLSD}},
        {MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON, {msCTS, msDSR, msRing, msRLSD}},
        {0xFF0F, {}}, // bits that stand for no line
    };
    Port.Open();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Status);
        Fake.SetModemStatus(r.Status);
        EXPECT_EQ(Port.ModemSignals(), r.Expected);
    }
}

TEST_F(SignalFake, ErrorWordsBecomeErrorSetsWithParityOnlyWhileChecked) {
    struct Row {
        const char* Name;
        DWORD Word;
        bool Check;
        TComErrors Expected;
    };
    const Row rows[] = {
        {"Nothing", 0, false, {}},
        {"Frame", CE_FRAME, false, {ceFrame}},
        {"ParityUnchecked", CE_RXPARITY, false, {}},
        {"ParityChecked", CE_RXPARITY, true, {ceRxParity}},
        {"ParityAndOverrunUnchecked", CE_RXPARITY | CE_OVERRUN, false, {ceOverrun}},
        {"EveryFlag",
         CE_FRAME | CE_RXPARITY | CE_OVERRUN | CE_RXOVER | CE_TXFULL | CE_BREAK | CE_IOE | CE_MODE,
         true,
         {ceFrame, ceRxParity, ceOverrun, ceRxOver, ceTxFull, ceBreak, ceIO, ceMode}},
        {"OtherBitsIgnored", 0x7AE0, true, {}},
    };
    Port.Open();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        Port.Parity()->SetCheck(r.Check);
        Fake.QueueLineErrors(r.Word);
        EXPECT_EQ(Port.LineErrors(), r.Expected);
        EXPECT_TRUE(Port.LineErrors().Empty()); // read and cleared
    }
}

TEST_F(SignalFake, AParityErrorAloneRaisesNoOnErrorWhileUnchecked) {
    Port.SetEvents(TComEvents{evError, evTxEmpty});
    Port.SetSyncMethod(smNone);
    Port.Open();
    ASSERT_TRUE(Fake.WaitForCalls("WaitCommEvent", 1));
    Log.Clear();
    Fake.QueueLineErrors(CE_RXPARITY);
    Fake.QueueCommEvent(EV_ERR | EV_TXEMPTY);
    ASSERT_TRUE(Log.WaitFor("TxEmpty"));
    EXPECT_EQ(Log.Get(), (EventLog::Items{"TxEmpty"}));
}

TEST_F(SignalFake, FailingQueriesRaiseTheirCodesWithTheOsCode) {
    Port.Open();
    Fake.FailAt("GetCommModemStatus", EIO);
    try {
        Port.ModemSignals();
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), CError_ModemStatFailed);
        EXPECT_EQ(e.WinErrorCode(), EIO);
    }
    Fake.FailAt("ClearCommError", EBADF);
    try {
        Port.LineErrors();
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), CError_ClearComFailed);
        EXPECT_EQ(e.WinErrorCode(), EBADF);
    }
}

TEST_F(SignalFake, OpenReportsTheLinesAsTheyAreAndCloseReportsThemOffUnread) {
    Fake.SetModemStatus(MS_CTS_ON | MS_RLSD_ON);
    Port.Open();
    EXPECT_EQ(Log.Get(),
              (EventLog::Items{"BeforeOpen", "AfterOpen", "CTS:on", "DSR:off", "RLSD:on"}));
    Log.Clear();
    Fake.ClearCalls();
    Port.Close();
    EXPECT_EQ(Log.Get(),
              (EventLog::Items{"CTS:off", "DSR:off", "RLSD:off", "BeforeClose", "AfterClose"}));
    EXPECT_EQ(Fake.CountCalls("GetCommModemStatus"), 0);
}

TEST_F(SignalFake, AFailingLineQueryAtOpenLeavesThePortOpenWithItsThread) {
    Port.SetEvents(AllComEvents);
    Fake.FailAt("GetCommModemStatus", EIO, 2);
    try {
        Port.Open();
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), CError_ModemStatFailed);
    }
    EXPECT_TRUE(Port.Connected());
    EXPECT_TRUE(Port.ThreadCreated());
    EXPECT_EQ(Log.Get(), (EventLog::Items{"BeforeOpen", "AfterOpen", "CTS:off"}));
}

} // namespace
