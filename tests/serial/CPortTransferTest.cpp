// Transfers on the recording fake: what is written, what the listeners are
// told, and that every record and its event are released on every path.
#include "CPort.h"
#include "CommRecording.h"

#include <gtest/gtest.h>

using namespace kv52804;

namespace {

class TransferTest : public testing::Test {
protected:
    TransferTest() {
        Port.SetCommApi(&Fake);
        Port.SetPort(QStringLiteral("/dev/ttyFAKE0"));
        // No event thread: its calls into the fake would land among the
        // transfer calls these tests look at.
        Port.SetEvents(TComEvents());
        Listener.TxActivity = [this](TCustomComPort*, bool on) {
            Notices.push_back(on ? "Tx:on" : "Tx:off");
        };
        Listener.RxActivity = [this](TCustomComPort*, bool on) {
            Notices.push_back(on ? "Rx:on" : "Rx:off");
        };
        Listener.BufferSent = [this](TCustomComPort*, const void* data, int32_t count) {
            Notices.push_back("Sent:" + std::string(static_cast<const char*>(data), count));
        };
        Port.RegisterListener(&Listener);
        Port.Open();
        Events = Fake.OpenEventCount();
        Fake.ClearCalls();
    }
    ~TransferTest() override {
        Port.UnregisterListener(&Listener);
        try {
            Port.Close();
        } catch (...) {
        }
    }

    // The port keeps one record for its waiting transfers until it closes;
    // every other record and event is gone by then.
    void ExpectEventsReleased() {
        EXPECT_LE(Fake.OpenEventCount(), Events + 1);
        Port.Close();
        EXPECT_EQ(Fake.OpenEventCount(), 0);
    }

    CommRecording Fake;
    TComPort Port;
    TComListener Listener;
    std::vector<std::string> Notices;
    int Events = 0;
};

TEST_F(TransferTest, WriteStringSendsEveryByteIncludingZeroAndHighBytes) {
    const std::string frame("\x80\x00\x01\xff\x7f\x84\x82", 7);
    EXPECT_EQ(Port.WriteString(frame), 7);
    EXPECT_EQ(Fake.Written(), frame);
    EXPECT_EQ(Notices, (std::vector<std::string>{"Tx:on", "Sent:" + frame}));
    EXPECT_EQ(Port.WriteString("\x84"), 1); // on the same record
    EXPECT_EQ(Notices.back(), "Sent:\x84");
    EXPECT_EQ(Fake.CountCalls("CreateEvent"), 1);
    ExpectEventsReleased();
}

TEST_F(TransferTest, EmptyStringWritesAndNotifiesNothing) {
    EXPECT_EQ(Port.WriteString(std::string()), 0);
    EXPECT_EQ(Fake.CountCalls("WriteFile"), 0);
    EXPECT_TRUE(Notices.empty());
    // Nor after transfers that left their kind and bytes in the kept record.
    char buf[1];
    for (bool read : {false, true}) {
        EXPECT_EQ(read ? Port.ReadBytes(buf, 0) : Port.WriteString("hello"), read ? 0 : 5);
        const auto before = Notices;
        EXPECT_EQ(Port.WriteString(std::string()), 0);
        EXPECT_EQ(Notices, before);
    }
    ExpectEventsReleased();
}

// A close on the transfer's own thread (a listener's) while the transfer
// ends: its record goes with the handle instead of staying kept.
TEST_F(TransferTest, ARecordIsNotKeptPastACloseDuringTheTransfer) {
    Listener.RxActivity = [this](TCustomComPort*, bool) { Port.Close(); };
    char buf[4];
    EXPECT_EQ(Port.ReadBytes(buf, 4), 0);
    EXPECT_FALSE(Port.Connected());
    EXPECT_EQ(Fake.OpenEventCount(), 0);
}

TEST_F(TransferTest, PendingWriteCountsComeFromTheOverlappedResult) {
    Fake.QueueWriteResult({5, 0, true});
    PAsync async = nullptr;
    NewAsyncRecord(async, Fake);
    EXPECT_EQ(Port.BeginWriteString("hello", async), 0);
    EXPECT_EQ(Port.AwaitCompletion(async), 5);
    FreeAsyncRecord(async);
    EXPECT_EQ(async, nullptr);
    ExpectEventsReleased();
}

TEST_F(TransferTest, ImmediateWriteReturnsItsCountTwice) {
    PAsync async = nullptr;
    NewAsyncRecord(async, Fake);
    EXPECT_EQ(Port.BeginWriteString("abc", async), 3);
    EXPECT_EQ(Port.AwaitCompletion(async), 3);
    FreeAsyncRecord(async);
}

TEST_F(TransferTest, WriteCutShortReturnsTheSmallerCountWithoutError) {
    Fake.QueueWriteResult({4, 0, true});
    EXPECT_EQ(Port.WriteString("0123456789"), 4);
}

TEST_F(TransferTest, AwaitingAnUnusedRecordReturnsZeroAtOnce) {
    PAsync async = nullptr;
    NewAsyncRecord(async, Fake);
    EXPECT_EQ(Port.AwaitCompletion(async), 0);
    EXPECT_TRUE(Notices.empty());
    FreeAsyncRecord(async);
}

TEST_F(TransferTest, NullRecordIsRefusedBeforeAnythingHappens) {
    PAsync none = nullptr;
    char buf[4] = {};
    for (int step = 0; step < 3; ++step) {
        try {
            if (step == 0)
                Port.BeginWrite("x", 1, none);
            else if (step == 1)
                Port.BeginRead(buf, 4, none);
            else
                Port.AwaitCompletion(none);
            FAIL() << "no error at step " << step;
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode(), 4);
            EXPECT_EQ(e.WinErrorCode(), -1);
            EXPECT_EQ(e.Message(), QStringLiteral("Invalid Async parameter"));
        }
    }
    EXPECT_TRUE(Fake.Calls().empty());
    EXPECT_TRUE(Notices.empty());
}

TEST_F(TransferTest, ReadAfterWriteOnTheSameRecordDoesNotRepeatTheSentBytes) {
    PAsync async = nullptr;
    NewAsyncRecord(async, Fake);
    Port.BeginWriteString("old", async);
    Port.AwaitCompletion(async);
    Notices.clear();

    Fake.QueueReadData("xy");
    char buf[8] = {};
    Port.BeginRead(buf, sizeof buf, async);
    EXPECT_EQ(Port.AwaitCompletion(async), 2);
    EXPECT_EQ(std::string(buf, 2), "xy");
    EXPECT_EQ(Notices, (std::vector<std::string>{"Rx:off"}));
    FreeAsyncRecord(async);
}

TEST_F(TransferTest, ReadThatLeavesBytesQueuedSaysNothing) {
    Fake.QueueReadData("abcdef");
    char buf[4] = {};
    EXPECT_EQ(Port.ReadBytes(buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_TRUE(Notices.empty());
    EXPECT_EQ(Port.InputQueueLength(), 2);
    EXPECT_EQ(Port.ReadBytes(buf, 4), 2);
    EXPECT_EQ(Notices, (std::vector<std::string>{"Rx:off"}));
    ExpectEventsReleased();
}

struct TransferFailRow {
    const char* Name;
    bool Write;
    bool Pending; // fails after starting rather than at the start
    int32_t Code;
    const char* Message;
};

class TransferFailure : public TransferTest, public testing::WithParamInterface<TransferFailRow> {};

TEST_P(TransferFailure, RaisesReleasesTheRecordAndKeepsThePortOpen) {
    const TransferFailRow& r = GetParam();
    if (r.Pending) {
        if (r.Write)
            Fake.QueueWriteResult({0, EIO, true});
        else
            Fake.QueueReadResult({0, EIO, true});
    } else {
        Fake.FailAt(r.Write ? "WriteFile" : "ReadFile", EIO);
    }
    char buf[4] = {};
    try {
        if (r.Write)
            Port.WriteString("data");
        else
            Port.ReadBytes(buf, 4);
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), r.Code);
        EXPECT_EQ(e.WinErrorCode(), EIO);
        EXPECT_EQ(e.Message(), QString::fromLatin1(r.Message));
    }
    EXPECT_EQ(Fake.OpenEventCount(), Events); // a failed transfer's record is not kept
    EXPECT_TRUE(Port.Connected());
    for (const std::string& n : Notices)
        EXPECT_EQ(n.rfind("Sent:", 0), std::string::npos) << "a failed write reported " << n;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TransferFailure,
    testing::Values(TransferFailRow{"WriteRefused", true, false, 2,
                                    "WriteFile function failed (win error code: 5)"},
                    TransferFailRow{"WriteFailsLater", true, true, 2,
                                    "WriteFile function failed (win error code: 5)"},
                    TransferFailRow{"ReadRefused", false, false, 3,
                                    "ReadFile function failed (win error code: 5)"},
                    TransferFailRow{"ReadFailsLater", false, true, 3,
                                    "ReadFile function failed (win error code: 5)"}),
    [](const testing::TestParamInfo<TransferFailRow>& i) { return std::string(i.param.Name); });

TEST_F(TransferTest, QueueLengthFailureCarriesCode10) {
    Fake.FailAt("ClearCommError", EIO);
    try {
        Port.InputQueueLength();
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 10);
        EXPECT_EQ(e.Message(),
                  QStringLiteral("ClearCommError function failed (win error code: 5)"));
    }
}

TEST_F(TransferTest, AbortAllTransfersAbortsWithoutClearing) {
    Port.AbortAllTransfers();
    ASSERT_EQ(Fake.CountCalls("PurgeComm"), 1);
    EXPECT_EQ(Fake.CallsNamed("PurgeComm")[0].Arg1, 3u);
    EXPECT_TRUE(Port.Connected());
}

TEST_F(TransferTest, AListenerMayUnregisterItselfWhileBeingNotified) {
    TComListener self;
    int calls = 0;
    self.TxActivity = [&](TCustomComPort* p, bool) {
        ++calls;
        p->UnregisterListener(&self);
    };
    Port.RegisterListener(&self);
    Port.WriteString("a");
    Port.WriteString("b");
    EXPECT_EQ(calls, 1);
}

} // namespace
