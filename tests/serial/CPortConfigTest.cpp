// What an open port hands to the OS (device control block, timeouts, queue
// sizes), when it does so, and what every failure leaves behind; checked on
// the recording fake.
#include "CPort.h"
#include "CommRecording.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

using namespace kv52804;

namespace {

const char* const kPath = "/dev/ttyFAKE0";

class FakePortTest : public testing::Test {
protected:
    FakePortTest() {
        Port.SetCommApi(&Fake);
        Port.SetPort(QString::fromLatin1(kPath));
        // No event thread: these tests look at configuration calls only, and
        // the thread's own calls would interleave with them.
        Port.SetEvents(TComEvents());
        Port.OnBeforeOpen = [this](QObject*) { Ran.push_back("BeforeOpen"); };
        Port.OnAfterOpen = [this](QObject*) { Ran.push_back("AfterOpen"); };
        Port.OnBeforeClose = [this](QObject*) { Ran.push_back("BeforeClose"); };
        Port.OnAfterClose = [this](QObject*) { Ran.push_back("AfterClose"); };
    }
    ~FakePortTest() override {
        // Close before the fake goes; the fake outlives the port's handles.
        try {
            Port.Close();
        } catch (...) {
        }
    }
    void OpenClean() {
        Port.Open();
        Fake.ClearCalls();
        Ran.clear();
    }
    DCB LastDcb() const {
        auto calls = Fake.CallsNamed("SetCommState");
        EXPECT_FALSE(calls.empty());
        return calls.empty() ? DCB{} : *calls.back().Dcb;
    }

    CommRecording Fake;
    TComPort Port;
    std::vector<std::string> Ran;
};

// --- Device control block ---------------------------------------------------------

struct DcbRow {
    std::string Name;
    std::function<void(TComPort&)> Set;
    DWORD Flags;
    std::function<void(const DCB&)> Check; // extra field checks, may be empty
};

std::vector<DcbRow> DcbRows() {
    std::vector<DcbRow> rows;
    rows.push_back({"Defaults", [](TComPort&) {}, 0x0001,
                    [](const DCB& d) {
                        EXPECT_EQ(d.DCBlength, 28u);
                        EXPECT_EQ(d.BaudRate, 9600u);
                        EXPECT_EQ(d.ByteSize, 8);
                        EXPECT_EQ(d.Parity, 0);
                        EXPECT_EQ(d.StopBits, 0);
                        EXPECT_EQ(d.XonLim, 256);
                        EXPECT_EQ(d.XoffLim, 256);
                        EXPECT_EQ(d.XonChar, 17);
                        EXPECT_EQ(d.XoffChar, 19);
                        EXPECT_EQ(d.ErrorChar, 0);
                        EXPECT_EQ(d.EofChar, 0);
                        EXPECT_EQ(d.EvtChar, 0);
                        EXPECT_EQ(d.wReserved, 0);
                        EXPECT_EQ(d.wReserved1, 0);
                    }});
    const DWORD rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                           19200, 38400, 56000, 57600, 115200, 128000, 256000};
    for (int i = 0; i < 15; ++i) {
        const auto br = static_cast<TBaudRate>(i + 1);
        const DWORD rate = rates[i];
        rows.push_back({"Baud" + std::to_string(rate), [br](TComPort& p) { p.SetBaudRate(br); },
                        0x0001, [rate](const DCB& d) { EXPECT_EQ(d.BaudRate, rate); }});
    }
    rows.push_back({"CustomRateNonStandard",
                    [](TComPort& p) {
                        p.SetCustomBaudRate(12345);
                        p.SetBaudRate(brCustom);
                    },
                    0x0001, [](const DCB& d) { EXPECT_EQ(d.BaudRate, 12345u); }});
    rows.push_back({"CustomRateIgnoredUnlessCustom",
                    [](TComPort& p) { p.SetCustomBaudRate(12345); }, 0x0001,
                    [](const DCB& d) { EXPECT_EQ(d.BaudRate, 9600u); }});
    for (int i = 0; i < 4; ++i)
        rows.push_back({"DataBits" + std::to_string(i + 5),
                        [i](TComPort& p) { p.SetDataBits(static_cast<TDataBits>(i)); }, 0x0001,
                        [i](const DCB& d) { EXPECT_EQ(d.ByteSize, i + 5); }});
    for (int i = 0; i < 3; ++i)
        rows.push_back({"StopBits" + std::to_string(i),
                        [i](TComPort& p) { p.SetStopBits(static_cast<TStopBits>(i)); }, 0x0001,
                        [i](const DCB& d) { EXPECT_EQ(d.StopBits, i); }});
    for (int i = 0; i < 5; ++i)
        rows.push_back({"ParityBits" + std::to_string(i),
                        [i](TComPort& p) { p.Parity()->SetBits(static_cast<TParityBits>(i)); },
                        0x0001, [i](const DCB& d) { EXPECT_EQ(d.Parity, i); }});
    const DWORD dtr[] = {0x0000, 0x0010, 0x0020};
    for (int i = 0; i < 3; ++i)
        rows.push_back(
            {"Dtr" + std::to_string(i),
             [i](TComPort& p) { p.FlowControl()->SetControlDTR(static_cast<TDTRFlowControl>(i)); },
             0x0001 | dtr[i], nullptr});
    const DWORD rts[] = {0x0000, 0x1000, 0x2000, 0x3000};
    for (int i = 0; i < 4; ++i)
        rows.push_back(
            {"Rts" + std::to_string(i),
             [i](TComPort& p) { p.FlowControl()->SetControlRTS(static_cast<TRTSFlowControl>(i)); },
             0x0001 | rts[i], nullptr});
    rows.push_back(
        {"OutCtsFlow", [](TComPort& p) { p.FlowControl()->SetOutCTSFlow(true); }, 0x0005, nullptr});
    rows.push_back(
        {"OutDsrFlow", [](TComPort& p) { p.FlowControl()->SetOutDSRFlow(true); }, 0x0009, nullptr});
    rows.push_back({"DsrSensitivity", [](TComPort& p) { p.FlowControl()->SetDSRSensitivity(true); },
                    0x0041, nullptr});
    rows.push_back({"TxContinueOnXoff",
                    [](TComPort& p) { p.FlowControl()->SetTxContinueOnXoff(true); }, 0x0081,
                    nullptr});
    rows.push_back(
        {"XonXoffOut", [](TComPort& p) { p.FlowControl()->SetXonXoffOut(true); }, 0x0101, nullptr});
    rows.push_back(
        {"XonXoffIn", [](TComPort& p) { p.FlowControl()->SetXonXoffIn(true); }, 0x0201, nullptr});
    rows.push_back({"DiscardNull", [](TComPort& p) { p.SetDiscardNull(true); }, 0x0801, nullptr});
    rows.push_back({"EventAndFlowChars",
                    [](TComPort& p) {
                        p.SetEventChar('\n');
                        p.FlowControl()->SetXonChar('Q');
                        p.FlowControl()->SetXoffChar('S');
                    },
                    0x0001,
                    [](const DCB& d) {
                        EXPECT_EQ(d.EvtChar, '\n');
                        EXPECT_EQ(d.XonChar, 'Q');
                        EXPECT_EQ(d.XoffChar, 'S');
                    }});
    struct Combo {
        const char* Name;
        bool Check, Replace;
        DWORD Flags;
        char ErrorChar;
    };
    for (const Combo c : {Combo{"NoCheckNoReplace", false, false, 0x0001, 0},
                          Combo{"NoCheckReplace", false, true, 0x0001, 0},
                          Combo{"CheckNoReplace", true, false, 0x0003, 0},
                          Combo{"CheckReplace", true, true, 0x0403, '#'}}) {
        rows.push_back({std::string("Parity") + c.Name,
                        [c](TComPort& p) {
                            p.Parity()->SetCheck(c.Check);
                            p.Parity()->SetReplace(c.Replace);
                            p.Parity()->SetReplaceChar('#');
                        },
                        c.Flags, [c](const DCB& d) { EXPECT_EQ(d.ErrorChar, c.ErrorChar); }});
    }
    rows.push_back({"PresetHardware",
                    [](TComPort& p) { p.FlowControl()->SetFlowControl(fcHardware); }, 0x2005,
                    nullptr});
    rows.push_back({"PresetSoftware",
                    [](TComPort& p) { p.FlowControl()->SetFlowControl(fcSoftware); }, 0x0301,
                    nullptr});
    rows.push_back({"PresetNoneAfterHardware",
                    [](TComPort& p) {
                        p.FlowControl()->SetFlowControl(fcHardware);
                        p.FlowControl()->SetFlowControl(fcNone);
                    },
                    0x0001, nullptr});
    rows.push_back({"EverythingOn",
                    [](TComPort& p) {
                        TComFlowControl* f = p.FlowControl();
                        f->SetOutCTSFlow(true);
                        f->SetOutDSRFlow(true);
                        f->SetControlDTR(dtrHandshake);
                        f->SetDSRSensitivity(true);
                        f->SetTxContinueOnXoff(true);
                        f->SetXonXoffOut(true);
                        f->SetXonXoffIn(true);
                        f->SetControlRTS(rtsToggle);
                        p.Parity()->SetCheck(true);
                        p.Parity()->SetReplace(true);
                        p.SetDiscardNull(true);
                    },
                    0x3FEF, nullptr});
    return rows;
}

class DcbFromSettings : public FakePortTest, public testing::WithParamInterface<DcbRow> {};

TEST_P(DcbFromSettings, OpenSendsTheseFields) {
    GetParam().Set(Port);
    Port.Open();
    const DCB dcb = LastDcb();
    EXPECT_EQ(dcb.Flags, GetParam().Flags);
    if (GetParam().Check)
        GetParam().Check(dcb);
}

TEST_P(DcbFromSettings, ChangingAnOpenPortSendsTheSameFields) {
    Port.Open();
    GetParam().Set(Port);
    EXPECT_EQ(LastDcb().Flags, GetParam().Flags);
    if (GetParam().Check)
        GetParam().Check(LastDcb());
}

INSTANTIATE_TEST_SUITE_P(Rows, DcbFromSettings, testing::ValuesIn(DcbRows()),
                         [](const testing::TestParamInfo<DcbRow>& i) { return i.param.Name; });

// --- XON/XOFF limits, timeouts and queue sizes ------------------------------------

TEST_F(FakePortTest, XonLimitsAreAQuarterOfTheInputQueue) {
    Port.Open();
    EXPECT_EQ(LastDcb().XonLim, 256);
    Port.Buffer()->SetInputSize(262143); // stored as 262142, the largest that applies
    Port.SetBaudRate(br19200);
    EXPECT_EQ(LastDcb().XonLim, 65535);
    EXPECT_EQ(LastDcb().XoffLim, 65535);
}

TEST_F(FakePortTest, InputQueueTooLargeForTheLimitsFailsOpenWithARangeError) {
    Port.Buffer()->SetInputSize(262144);
    try {
        Port.Open();
        FAIL() << "no error";
    } catch (const ERangeError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Range check error"));
    }
    EXPECT_EQ(Fake.CountCalls("SetCommState"), 0);
    EXPECT_EQ(Fake.CountCalls("CloseHandle"), 1);
    EXPECT_FALSE(Port.Connected());
    EXPECT_EQ(Port.Buffer()->InputSize(), 262144);
}

TEST_F(FakePortTest, InputSizeChangeOnAnOpenPortCallsSetupCommOnly) {
    OpenClean();
    Port.Buffer()->SetInputSize(4096);
    EXPECT_EQ(Fake.CallNames(), (std::vector<std::string>{"SetupComm"}));
    EXPECT_EQ(Fake.CallsNamed("SetupComm")[0].Arg1, 4096u);
    EXPECT_EQ(Fake.CallsNamed("SetupComm")[0].Arg2, 1024u);
    Port.SetDataBits(dbSeven);
    EXPECT_EQ(LastDcb().XonLim, 1024);
}

TEST_F(FakePortTest, TimeoutsPassMinusOneAsTheMaximum) {
    Port.Open();
    const COMMTIMEOUTS t = *Fake.CallsNamed("SetCommTimeouts").back().Timeouts;
    EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);

    Port.Timeouts()->SetReadTotalMultiplier(-1);
    Port.Timeouts()->SetReadTotalConstant(7);
    Port.Timeouts()->SetWriteTotalMultiplier(-1);
    Port.Timeouts()->SetWriteTotalConstant(0);
    const COMMTIMEOUTS u = *Fake.CallsNamed("SetCommTimeouts").back().Timeouts;
    EXPECT_EQ(u.ReadTotalTimeoutMultiplier, 0xFFFFFFFFu);
    EXPECT_EQ(u.ReadTotalTimeoutConstant, 7u);
    EXPECT_EQ(u.WriteTotalTimeoutMultiplier, 0xFFFFFFFFu);
    EXPECT_EQ(u.WriteTotalTimeoutConstant, 0u);
}

struct InvalidRow {
    const char* Name;
    std::function<void(TComPort&)> Set;
    std::function<void(TComPort&)> Prepare = [](TComPort&) {};
};

class InvalidStoredValue : public FakePortTest, public testing::WithParamInterface<InvalidRow> {};

TEST_P(InvalidStoredValue, IsStoredButFailsOnApplyBeforeTheOsIsCalled) {
    GetParam().Prepare(Port);
    OpenClean();
    try {
        GetParam().Set(Port);
        FAIL() << "no error";
    } catch (const ERangeError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Range check error"));
    }
    EXPECT_TRUE(Fake.CallNames().empty());
    EXPECT_TRUE(Port.Connected());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InvalidStoredValue,
    testing::Values(
        InvalidRow{"ReadIntervalMinus2", [](TComPort& p) { p.Timeouts()->SetReadInterval(-2); }},
        InvalidRow{"WriteConstantMinus100",
                   [](TComPort& p) { p.Timeouts()->SetWriteTotalConstant(-100); }},
        InvalidRow{"NegativeInputSize", [](TComPort& p) { p.Buffer()->SetInputSize(-2); }},
        InvalidRow{"NegativeOutputSize", [](TComPort& p) { p.Buffer()->SetOutputSize(-3); }},
        InvalidRow{"NegativeCustomRate", [](TComPort& p) { p.SetBaudRate(brCustom); },
                   [](TComPort& p) { p.SetCustomBaudRate(-1); }},
        InvalidRow{"BaudOrdinalPastTheTable",
                   [](TComPort& p) { p.setProperty("BaudRate", int(br256000) + 1); }},
        InvalidRow{"NegativeBaudOrdinal", [](TComPort& p) { p.setProperty("BaudRate", -1); }}),
    [](const testing::TestParamInfo<InvalidRow>& i) { return std::string(i.param.Name); });

// --- When the OS is called -----------------------------------------------------------

TEST_F(FakePortTest, OpenCallsInThisOrder) {
    Port.Open();
    EXPECT_EQ(Fake.CallNames(),
              (std::vector<std::string>{"CreateFile", "SetupComm", "SetCommState",
                                        "SetCommTimeouts", "GetCommModemStatus",
                                        "GetCommModemStatus", "GetCommModemStatus"}));
    const CommCall open = Fake.CallsNamed("CreateFile")[0];
    EXPECT_EQ(open.Path, kPath);
    EXPECT_EQ(open.Arg1, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(open.Arg2, 0u);
    EXPECT_EQ(open.Arg3, OPEN_EXISTING);
    EXPECT_EQ(open.Arg4, FILE_FLAG_OVERLAPPED);
    EXPECT_EQ(Ran, (std::vector<std::string>{"BeforeOpen", "AfterOpen"}));
    EXPECT_TRUE(Port.Connected());
    EXPECT_TRUE(Fake.IsOpen(Port.Handle()));
}

TEST_F(FakePortTest, CloseAbortsTransfersThenClosesTheHandle) {
    OpenClean();
    const HANDLE h = Port.Handle();
    Port.Close();
    EXPECT_EQ(Fake.CallNames(), (std::vector<std::string>{"PurgeComm", "CloseHandle"}));
    EXPECT_EQ(Fake.CallsNamed("PurgeComm")[0].Arg1, PURGE_TXABORT | PURGE_RXABORT);
    EXPECT_FALSE(Fake.IsOpen(h));
    EXPECT_EQ(Port.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Ran, (std::vector<std::string>{"BeforeClose", "AfterClose"}));
}

TEST_F(FakePortTest, OpenTwiceAndCloseTwiceDoNothingMore) {
    Port.Close();
    EXPECT_TRUE(Fake.Calls().empty());
    EXPECT_TRUE(Ran.empty());
    OpenClean();
    Port.Open();
    Port.SetConnected(true);
    EXPECT_TRUE(Fake.Calls().empty());
    EXPECT_TRUE(Ran.empty());
    Port.SetConnected(false);
    Port.Close();
    EXPECT_EQ(Fake.CountCalls("CloseHandle"), 1);
    EXPECT_EQ(Ran, (std::vector<std::string>{"BeforeClose", "AfterClose"}));
}

TEST_F(FakePortTest, SettersOnAClosedPortOnlyStore) {
    Port.SetBaudRate(br115200);
    Port.SetCustomBaudRate(1);
    Port.SetDataBits(dbFive);
    Port.SetStopBits(sbTwoStopBits);
    Port.SetDiscardNull(true);
    Port.SetEventChar('x');
    Port.SetPort(QStringLiteral("/dev/ttyFAKE1"));
    Port.Parity()->SetBits(prEven);
    Port.FlowControl()->SetFlowControl(fcHardware);
    Port.Timeouts()->SetReadInterval(-5);
    Port.Buffer()->SetInputSize(99);
    Port.SetSyncMethod(smNone);
    TComTimeouts t;
    Port.SetTimeouts(&t);
    EXPECT_TRUE(Fake.Calls().empty());
    EXPECT_EQ(Port.SyncMethod(), smNone);
}

struct ApplyRow {
    const char* Name;
    std::function<void(TComPort&)> Set;
    std::vector<std::string> Calls;
};

class SetterOnOpenPort : public FakePortTest, public testing::WithParamInterface<ApplyRow> {};

TEST_P(SetterOnOpenPort, ReappliesItsGroupOnly) {
    OpenClean();
    GetParam().Set(Port);
    EXPECT_EQ(Fake.CallNames(), GetParam().Calls);
}

const std::vector<std::string> kState{"SetCommState"};
const std::vector<std::string> kTimeouts{"SetCommTimeouts"};
const std::vector<std::string> kQueues{"SetupComm"};
const std::vector<std::string> kNothing{};

INSTANTIATE_TEST_SUITE_P(
    Rows, SetterOnOpenPort,
    testing::Values(
        ApplyRow{"BaudRate", [](TComPort& p) { p.SetBaudRate(br2400); }, kState},
        ApplyRow{"BaudRateUnchanged", [](TComPort& p) { p.SetBaudRate(br9600); }, kNothing},
        ApplyRow{"CustomRateWhileStandard", [](TComPort& p) { p.SetCustomBaudRate(5); }, kState},
        ApplyRow{"DataBits", [](TComPort& p) { p.SetDataBits(dbSix); }, kState},
        ApplyRow{"StopBitsUnchanged", [](TComPort& p) { p.SetStopBits(sbOneStopBit); }, kNothing},
        ApplyRow{"ParityCheck", [](TComPort& p) { p.Parity()->SetCheck(true); }, kState},
        ApplyRow{"ParityBitsUnchanged", [](TComPort& p) { p.Parity()->SetBits(prNone); }, kNothing},
        ApplyRow{"XoffChar", [](TComPort& p) { p.FlowControl()->SetXoffChar(1); }, kState},
        ApplyRow{"PresetCustomStillApplies",
                 [](TComPort& p) { p.FlowControl()->SetFlowControl(fcCustom); }, kState},
        ApplyRow{"PresetSameStillApplies",
                 [](TComPort& p) { p.FlowControl()->SetFlowControl(fcNone); }, kState},
        ApplyRow{"HardwarePresetAppliesOnce",
                 [](TComPort& p) { p.FlowControl()->SetFlowControl(fcHardware); }, kState},
        ApplyRow{"ReadInterval", [](TComPort& p) { p.Timeouts()->SetReadInterval(10); }, kTimeouts},
        ApplyRow{"WriteConstantUnchanged",
                 [](TComPort& p) { p.Timeouts()->SetWriteTotalConstant(1000); }, kNothing},
        ApplyRow{"OutputSize", [](TComPort& p) { p.Buffer()->SetOutputSize(64); }, kQueues},
        ApplyRow{"OddSizeRoundingToSame", [](TComPort& p) { p.Buffer()->SetInputSize(1025); },
                 kQueues},
        ApplyRow{"EventsStoredOnly", [](TComPort& p) { p.SetEvents(TComEvents{evRxChar}); },
                 kNothing},
        ApplyRow{"ParityObjectAlwaysApplies",
                 [](TComPort& p) {
                     TComParity same;
                     p.SetParity(&same);
                 },
                 kState},
        ApplyRow{"FlowObjectAlwaysApplies",
                 [](TComPort& p) {
                     TComFlowControl same;
                     p.SetFlowControl(&same);
                 },
                 kState},
        ApplyRow{"TimeoutsObjectAlwaysApplies",
                 [](TComPort& p) {
                     TComTimeouts same;
                     p.SetTimeouts(&same);
                 },
                 kTimeouts},
        ApplyRow{"BufferObjectAlwaysApplies",
                 [](TComPort& p) {
                     TComBuffer same;
                     p.SetBuffer(&same);
                 },
                 kQueues}),
    [](const testing::TestParamInfo<ApplyRow>& i) { return std::string(i.param.Name); });

TEST_F(FakePortTest, ABatchAppliesEachGroupOnceInOrder) {
    OpenClean();
    Port.BeginSettingsUpdate();
    Port.SetBaudRate(br57600);
    Port.Timeouts()->SetReadInterval(5);
    Port.Buffer()->SetInputSize(2048);
    Port.Parity()->SetBits(prOdd);
    EXPECT_TRUE(Fake.Calls().empty());
    Port.EndSettingsUpdate();
    EXPECT_EQ(Fake.CallNames(),
              (std::vector<std::string>{"SetupComm", "SetCommState", "SetCommTimeouts"}));
    EXPECT_EQ(LastDcb().BaudRate, 57600u);
    EXPECT_EQ(LastDcb().Parity, ODDPARITY);
}

TEST_F(FakePortTest, NestedBatchesApplyAtTheOutermostEndOnly) {
    OpenClean();
    Port.BeginSettingsUpdate();
    Port.BeginSettingsUpdate();
    Port.SetDataBits(dbSeven);
    Port.EndSettingsUpdate();
    EXPECT_TRUE(Fake.Calls().empty());
    Port.EndSettingsUpdate();
    EXPECT_EQ(Fake.CallNames(),
              (std::vector<std::string>{"SetupComm", "SetCommState", "SetCommTimeouts"}));
    Fake.ClearCalls();
    Port.EndSettingsUpdate(); // unmatched
    EXPECT_TRUE(Fake.Calls().empty());
    EXPECT_EQ(Port.UpdateDepth(), 0);
}

TEST_F(FakePortTest, ABatchSpanningOpenAppliesAtItsEnd) {
    Port.BeginSettingsUpdate();
    Port.Open();
    const std::vector<std::string> open{"CreateFile", "GetCommModemStatus", "GetCommModemStatus",
                                        "GetCommModemStatus"};
    EXPECT_EQ(Fake.CallNames(), open);
    Fake.ClearCalls();
    Port.EndSettingsUpdate();
    EXPECT_EQ(Fake.CallNames(),
              (std::vector<std::string>{"SetupComm", "SetCommState", "SetCommTimeouts"}));
}

TEST_F(FakePortTest, PortChangedOnAnOpenPortReopensUnderTheNewName) {
    OpenClean();
    Port.SetPort(QStringLiteral("/dev/ttyFAKE2"));
    EXPECT_EQ(Fake.CallNames(),
              (std::vector<std::string>{"PurgeComm", "CloseHandle", "CreateFile", "SetupComm",
                                        "SetCommState", "SetCommTimeouts", "GetCommModemStatus",
                                        "GetCommModemStatus", "GetCommModemStatus"}));
    EXPECT_EQ(Fake.CallsNamed("CreateFile")[0].Path, "/dev/ttyFAKE2");
    EXPECT_EQ(Ran,
              (std::vector<std::string>{"BeforeClose", "AfterClose", "BeforeOpen", "AfterOpen"}));
    EXPECT_TRUE(Port.Connected());
}

TEST_F(FakePortTest, PortChangedToAMissingDeviceLeavesThePortClosed) {
    OpenClean();
    Fake.FailAt("CreateFile", ENOENT);
    EXPECT_THROW(Port.SetPort(QStringLiteral("/dev/ttyGONE")), EComPort);
    EXPECT_FALSE(Port.Connected());
    EXPECT_EQ(Port.Port(), QStringLiteral("/dev/ttyGONE"));
}

TEST_F(FakePortTest, SyncMethodIsRefusedWhileConnected) {
    OpenClean();
    try {
        Port.SetSyncMethod(smWindowSync);
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 14);
        EXPECT_EQ(e.WinErrorCode(), -1);
        EXPECT_EQ(e.Message(), QStringLiteral("Cannot set property while connected"));
    }
    EXPECT_EQ(Port.SyncMethod(), smThreadSync);
    Port.SetSyncMethod(smThreadSync); // the same value is no change
    Port.Close();
    Port.SetSyncMethod(smWindowSync);
    EXPECT_EQ(Port.SyncMethod(), smWindowSync);
}

TEST_F(FakePortTest, TheSeamCannotBeSwappedWhileOpen) {
    OpenClean();
    CommRecording other;
    EXPECT_THROW(Port.SetCommApi(&other), EComPort);
    EXPECT_EQ(Port.GetCommApi(), &Fake);
}

// --- Failures ------------------------------------------------------------------------

struct FailRow {
    const char* Name;
    const char* Call;
    DWORD Errno;
    int32_t Code;
    const char* Message;
    bool FailsOpen; // otherwise the failure is injected into Close
};

class FailureAtStep : public FakePortTest, public testing::WithParamInterface<FailRow> {};

TEST_P(FailureAtStep, RaisesTheCodeAndLeavesThisState) {
    const FailRow& r = GetParam();
    if (!r.FailsOpen)
        OpenClean();
    const HANDLE before = Port.Handle();
    Fake.FailAt(r.Call, r.Errno);
    try {
        if (r.FailsOpen)
            Port.Open();
        else
            Port.Close();
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), r.Code);
        EXPECT_EQ(e.WinErrorCode(), static_cast<int32_t>(r.Errno));
        EXPECT_EQ(e.Message(), QString::fromLatin1(r.Message));
    }
    if (r.FailsOpen) {
        EXPECT_FALSE(Port.Connected());
        EXPECT_EQ(Port.Handle(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(Ran, (std::vector<std::string>{"BeforeOpen"}));
        // A handle that was opened is closed again.
        const bool opened = std::string(r.Call) != "CreateFile";
        EXPECT_EQ(Fake.CountCalls("CloseHandle"), opened ? 1 : 0);
        for (const CommCall& c : Fake.CallsNamed("CreateFile"))
            EXPECT_FALSE(Fake.IsOpen(c.Handle));
        // A failed open leaves nothing behind: the next one starts afresh.
        Fake.ClearCalls();
        Ran.clear();
        Port.Open();
        EXPECT_TRUE(Port.Connected());
        EXPECT_EQ(Ran, (std::vector<std::string>{"BeforeOpen", "AfterOpen"}));
    } else {
        EXPECT_TRUE(Port.Connected());
        EXPECT_EQ(Port.Handle(), before);
        EXPECT_TRUE(Fake.IsOpen(before));
        EXPECT_EQ(Ran, (std::vector<std::string>{"BeforeClose"}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FailureAtStep,
    testing::Values(FailRow{"CreateFile", "CreateFile", ENOENT, 1,
                            "Unable to open com port (win error code: 2)", true},
                    FailRow{"CreateFileBusy", "CreateFile", EBUSY, 1,
                            "Unable to open com port (win error code: 16)", true},
                    FailRow{"SetCommState", "SetCommState", EINVAL, 7,
                            "SetCommState function failed (win error code: 22)", true},
                    FailRow{"SetCommTimeouts", "SetCommTimeouts", EINVAL, 8,
                            "SetCommTimeouts failed (win error code: 22)", true},
                    FailRow{"SetupComm", "SetupComm", ENOMEM, 9,
                            "SetupComm function failed (win error code: 12)", true},
                    FailRow{"PurgeComm", "PurgeComm", EIO, 5,
                            "PurgeComm function failed (win error code: 5)", false}),
    [](const testing::TestParamInfo<FailRow>& i) { return std::string(i.param.Name); });

TEST_F(FakePortTest, ApplyFailureOnAnOpenPortKeepsItOpenWithTheNewValueStored) {
    OpenClean();
    Fake.FailAt("SetCommState", EINVAL);
    EXPECT_THROW(Port.SetStopBits(sbOne5StopBits), EComPort);
    EXPECT_TRUE(Port.Connected());
    EXPECT_EQ(Port.StopBits(), sbOne5StopBits);
}

// A file loaded into an open port is applied once, as a batch is; when a
// setter or the device refuses it, the port and the device keep what they had.
TEST_F(FakePortTest, SettingsLoadedIntoAnOpenPortApplyTogetherOrNotAtAll) {
    QTemporaryDir dir;
    const auto load = [&](const QByteArray& text) {
        QFile file(dir.filePath("port.ini"));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[ComPort]\n" + text);
        file.close();
        Port.LoadSettings(file.fileName());
    };
    OpenClean();
    load("BaudRate=57600\nParity.Bits=Odd\nTimeouts.ReadInterval=5\n");
    EXPECT_EQ(Fake.CallNames(),
              (std::vector<std::string>{"SetupComm", "SetCommState", "SetCommTimeouts"}));
    EXPECT_EQ(LastDcb().Parity, ODDPARITY);

    Fake.FailAt("SetCommState", EINVAL);
    EXPECT_THROW(load("BaudRate=110\n"), EComPort);
    EXPECT_THROW(load("BaudRate=110\nSyncMethod=smNone\n"), EComPort);
    EXPECT_EQ(Port.BaudRate(), br57600);
    EXPECT_EQ(Port.SyncMethod(), smThreadSync);
    EXPECT_EQ(LastDcb().BaudRate, 57600u);
    EXPECT_TRUE(Port.Connected());
}

TEST(PortDestruction, ReleasesTheHandleEvenWhenClosingFails) {
    CommRecording fake;
    HANDLE h = INVALID_HANDLE_VALUE;
    {
        TComPort port;
        port.SetCommApi(&fake);
        port.SetPort(QString::fromLatin1(kPath));
        port.SetEvents(TComEvents()); // only the port's own handle is counted below
        port.Open();
        h = port.Handle();
        // As after an unplug: the purge in Close fails.
        fake.FailAlways("PurgeComm", EIO);
    }
    EXPECT_FALSE(fake.IsOpen(h));
    EXPECT_EQ(fake.CountCalls("CloseHandle"), 1);
}

TEST(PortDestruction, AnOwnerDestroysItsPortClosed) {
    CommRecording fake;
    auto* owner = new QObject;
    auto* port = new TComPort(owner);
    port->SetCommApi(&fake);
    port->SetPort(QString::fromLatin1(kPath));
    port->Open();
    const HANDLE h = port->Handle();
    delete owner;
    EXPECT_FALSE(fake.IsOpen(h));
}

// --- Listeners and the open/close steps -----------------------------------------------

TEST_F(FakePortTest, ListenersHearOfConnectionChangesBeforeTheHandlers) {
    TComListener first, second;
    first.ConnectionChanged = [this](TCustomComPort* p, bool on) {
        EXPECT_EQ(p, &Port);
        Ran.push_back(on ? "first:on" : "first:off");
    };
    second.ConnectionChanged = [this](TCustomComPort*, bool on) {
        Ran.push_back(on ? "second:on" : "second:off");
    };
    Port.RegisterListener(&first);
    Port.RegisterListener(&second);
    Port.RegisterListener(&first); // once only
    Port.Open();
    Port.Close();
    Port.UnregisterListener(&first);
    Port.Open();
    EXPECT_EQ(Ran, (std::vector<std::string>{"BeforeOpen", "first:on", "second:on", "AfterOpen",
                                             "BeforeClose", "first:off", "second:off", "AfterClose",
                                             "BeforeOpen", "second:on", "AfterOpen"}));
    Port.UnregisterListener(&second);
}

TEST_F(FakePortTest, BufferListenerFlagFollowsRegistration) {
    TComListener plain, taker;
    taker.BufferReceived = [](TCustomComPort*, const void*, int32_t) {};
    Port.RegisterListener(&plain);
    EXPECT_FALSE(Port.HasBufferListener());
    Port.RegisterListener(&taker);
    EXPECT_TRUE(Port.HasBufferListener());
    Port.UnregisterListener(&taker);
    EXPECT_FALSE(Port.HasBufferListener());
    Port.UnregisterListener(&plain);
}

// --- Port names ------------------------------------------------------------------------

TEST(PortNames, ResolveToAbsolutePathsPublishedLinksOrDev) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray old = qgetenv("KV_SERIALCOMM_DIR");
    const bool had = qEnvironmentVariableIsSet("KV_SERIALCOMM_DIR");
    qputenv("KV_SERIALCOMM_DIR", dir.path().toLocal8Bit());
    // A link to something that is no pseudo-terminal needs no publisher record.
    const QString device = dir.filePath(QStringLiteral("device"));
    QFile(device).open(QIODevice::WriteOnly);
    ASSERT_TRUE(QFile::link(device, dir.filePath(QStringLiteral("SIM1"))));

    EXPECT_EQ(LocalPortDirectory(), QDir::cleanPath(dir.path()));
    EXPECT_EQ(ResolvePortPath(QStringLiteral("/tmp/x/ttyS9")), QStringLiteral("/tmp/x/ttyS9"));
    EXPECT_EQ(ResolvePortPath(QStringLiteral("SIM1")), device);
    EXPECT_EQ(ResolvePortPath(QStringLiteral("ttyUSB0")), QStringLiteral("/dev/ttyUSB0"));
    EXPECT_EQ(ResolvePortPath(QStringLiteral("COM1")), QStringLiteral("/dev/COM1"));
    EXPECT_EQ(ResolvePortPath(QStringLiteral("rfc2217://host:2217")),
              QStringLiteral("rfc2217://host:2217"));
    EXPECT_EQ(ResolvePortPath(QStringLiteral("socket://[::1]:7")),
              QStringLiteral("socket://[::1]:7"));

    CommRecording fake;
    {
        TComPort port;
        port.SetCommApi(&fake);
        port.SetPort(QStringLiteral("SIM1"));
        port.Open();
        EXPECT_EQ(fake.CallsNamed("CreateFile")[0].Path, device.toStdString());
    }
    if (had)
        qputenv("KV_SERIALCOMM_DIR", old);
    else
        qunsetenv("KV_SERIALCOMM_DIR");
}

TEST(PortErrors, TextsWithAndWithoutTheOsCode) {
    const EComPort withCode(CError_OpenFailed, 2);
    EXPECT_EQ(withCode.Message(), QStringLiteral("Unable to open com port (win error code: 2)"));
    EXPECT_EQ(withCode.ErrorCode(), 1);
    EXPECT_EQ(withCode.WinErrorCode(), 2);
    const EComPort without(CError_InvalidAsync);
    EXPECT_EQ(without.Message(), QStringLiteral("Invalid Async parameter"));
    EXPECT_EQ(without.WinErrorCode(), -1);
    EXPECT_EQ(EComPort(23, 5).Message(), QStringLiteral("Registry error (win error code: 5)"));
    EXPECT_EQ(EComPort(22).Message(), QStringLiteral("A component is linked to OnRxBuf event"));
}

} // namespace
