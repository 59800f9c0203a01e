// The settings sub-objects on their own: defaults that the device sees,
// presets, queue-size rounding and copying.
#include "CPort.h"

#include <QVariant>
#include <gtest/gtest.h>

namespace {

struct FlowRow {
    const char* Name;
    TRTSFlowControl Rts;
    bool OutCts;
    bool XonIn;
    bool XonOut;
    TFlowControl Expected;
};

class FlowControlReading : public testing::TestWithParam<FlowRow> {};

TEST_P(FlowControlReading, PresetFollowsTheFourPresetFieldsOnly) {
    const FlowRow& r = GetParam();
    TComFlowControl fc;
    fc.SetControlRTS(r.Rts);
    fc.SetOutCTSFlow(r.OutCts);
    fc.SetXonXoffIn(r.XonIn);
    fc.SetXonXoffOut(r.XonOut);
    EXPECT_EQ(fc.FlowControl(), r.Expected);
    // The other six fields never change what the preset reads.
    fc.SetOutDSRFlow(true);
    fc.SetControlDTR(dtrHandshake);
    fc.SetDSRSensitivity(true);
    fc.SetTxContinueOnXoff(true);
    fc.SetXonChar('A');
    fc.SetXoffChar('B');
    EXPECT_EQ(fc.FlowControl(), r.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FlowControlReading,
    testing::Values(FlowRow{"Defaults", rtsDisable, false, false, false, fcNone},
                    FlowRow{"Hardware", rtsHandshake, true, false, false, fcHardware},
                    FlowRow{"Software", rtsDisable, false, true, true, fcSoftware},
                    FlowRow{"HandshakeWithoutCts", rtsHandshake, false, false, false, fcCustom},
                    FlowRow{"HardwarePlusXon", rtsHandshake, true, true, false, fcCustom},
                    FlowRow{"OnlyXonOut", rtsDisable, false, false, true, fcCustom},
                    FlowRow{"RtsEnabled", rtsEnable, false, false, false, fcCustom},
                    FlowRow{"RtsToggle", rtsToggle, false, true, true, fcCustom},
                    FlowRow{"CtsWithoutHandshake", rtsDisable, true, false, false, fcCustom}),
    [](const testing::TestParamInfo<FlowRow>& i) { return std::string(i.param.Name); });

TEST(FlowControlPreset, WritingAPresetSetsItsFieldsAndLeavesTheOthers) {
    TComFlowControl fc;
    fc.SetOutDSRFlow(true);
    fc.SetControlDTR(dtrHandshake);
    fc.SetXonChar('x');

    fc.SetFlowControl(fcHardware);
    EXPECT_EQ(fc.FlowControl(), fcHardware);
    EXPECT_EQ(fc.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(fc.OutCTSFlow());
    EXPECT_TRUE(fc.OutDSRFlow());
    EXPECT_EQ(fc.ControlDTR(), dtrHandshake);
    EXPECT_EQ(fc.XonChar(), 'x');

    fc.SetFlowControl(fcSoftware);
    EXPECT_EQ(fc.ControlRTS(), rtsDisable);
    EXPECT_FALSE(fc.OutCTSFlow());
    EXPECT_TRUE(fc.XonXoffIn());
    EXPECT_TRUE(fc.XonXoffOut());

    fc.SetControlRTS(rtsEnable);
    EXPECT_EQ(fc.FlowControl(), fcCustom);
    fc.SetFlowControl(fcCustom); // changes nothing
    EXPECT_EQ(fc.ControlRTS(), rtsEnable);
    EXPECT_TRUE(fc.XonXoffIn());

    fc.SetFlowControl(fcNone);
    EXPECT_EQ(fc.FlowControl(), fcNone);
    EXPECT_TRUE(fc.OutDSRFlow());
}

struct SizeRow {
    int32_t Written;
    int32_t Stored;
};

class QueueSizeRounding : public testing::TestWithParam<SizeRow> {};

TEST_P(QueueSizeRounding, OddPositiveSizesAreRoundedDown) {
    TComBuffer b;
    b.SetInputSize(GetParam().Written);
    b.SetOutputSize(GetParam().Written);
    EXPECT_EQ(b.InputSize(), GetParam().Stored);
    EXPECT_EQ(b.OutputSize(), GetParam().Stored);
}

INSTANTIATE_TEST_SUITE_P(Rows, QueueSizeRounding,
                         testing::Values(SizeRow{1025, 1024}, SizeRow{1, 0}, SizeRow{-3, -3},
                                         SizeRow{2048, 2048}, SizeRow{0, 0},
                                         SizeRow{262143, 262142}, SizeRow{-4, -4}));

TEST(SettingsAssign, CopiesEveryFieldWithoutTheBackReference) {
    TComPort port;
    TComFlowControl fc;
    fc.SetOutCTSFlow(true);
    fc.SetOutDSRFlow(true);
    fc.SetControlDTR(dtrEnable);
    fc.SetControlRTS(rtsToggle);
    fc.SetXonXoffOut(true);
    fc.SetXonXoffIn(true);
    fc.SetDSRSensitivity(true);
    fc.SetTxContinueOnXoff(true);
    fc.SetXonChar('1');
    fc.SetXoffChar('2');
    port.SetFlowControl(&fc);
    const TComFlowControl* own = port.FlowControl();
    EXPECT_NE(own, &fc);
    EXPECT_EQ(own->ComPort(), &port);
    EXPECT_TRUE(own->OutCTSFlow() && own->OutDSRFlow() && own->XonXoffOut() && own->XonXoffIn() &&
                own->DSRSensitivity() && own->TxContinueOnXoff());
    EXPECT_EQ(own->ControlDTR(), dtrEnable);
    EXPECT_EQ(own->ControlRTS(), rtsToggle);
    EXPECT_EQ(own->XonChar(), '1');
    EXPECT_EQ(own->XoffChar(), '2');

    TComParity p;
    p.SetBits(prMark);
    p.SetCheck(true);
    p.SetReplace(true);
    p.SetReplaceChar('?');
    port.SetParity(&p);
    EXPECT_EQ(port.Parity()->Bits(), prMark);
    EXPECT_TRUE(port.Parity()->Check() && port.Parity()->Replace());
    EXPECT_EQ(port.Parity()->ReplaceChar(), '?');

    TComTimeouts t;
    t.SetReadInterval(1);
    t.SetReadTotalMultiplier(2);
    t.SetReadTotalConstant(3);
    t.SetWriteTotalMultiplier(4);
    t.SetWriteTotalConstant(5);
    port.SetTimeouts(&t);
    const TComTimeouts* ot = port.Timeouts();
    EXPECT_EQ((std::vector<int32_t>{ot->ReadInterval(), ot->ReadTotalMultiplier(),
                                    ot->ReadTotalConstant(), ot->WriteTotalMultiplier(),
                                    ot->WriteTotalConstant()}),
              (std::vector<int32_t>{1, 2, 3, 4, 5}));

    TComBuffer b;
    b.SetInputSize(4096);
    b.SetOutputSize(512);
    port.SetBuffer(&b);
    EXPECT_EQ(port.Buffer()->InputSize(), 4096);
    EXPECT_EQ(port.Buffer()->OutputSize(), 512);
}

TEST(SettingsAssign, FromAnotherClassRaisesTheRuntimeAssignmentError) {
    TComParity parity;
    TComBuffer buffer;
    try {
        parity.Assign(&buffer);
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Cannot assign a TComBuffer to a TComParity"));
    }
    try {
        buffer.Assign(nullptr);
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Cannot assign a nil to a TComBuffer"));
    }
    EXPECT_EQ(buffer.InputSize(), 1024);
}

TEST(PortDefaults, MatchTheDeclaredPort) {
    TComPort port;
    EXPECT_EQ(port.Port(), QStringLiteral("COM1"));
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(port.CustomBaudRate(), 9600);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_EQ(port.Parity()->Bits(), prNone);
    EXPECT_EQ(port.FlowControl()->FlowControl(), fcNone);
    EXPECT_EQ(port.SyncMethod(), smThreadSync);
    EXPECT_EQ(port.Events().Bits(), 0x03FF);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Handle(), INVALID_HANDLE_VALUE);
}

TEST(PortProperties, ArePublishedUnderTheirNames) {
    TComPort port;
    EXPECT_EQ(port.property("Port").toString(), QStringLiteral("COM1"));
    EXPECT_TRUE(port.setProperty("BaudRate", QVariant::fromValue(br19200)));
    EXPECT_EQ(port.BaudRate(), br19200);
    auto* parity = port.property("Parity").value<TComParity*>();
    ASSERT_EQ(parity, port.Parity());
    EXPECT_TRUE(parity->setProperty("Check", true));
    EXPECT_TRUE(port.Parity()->Check());
}

TEST(ComSets, BitNIsOrdinalN) {
    TComEvents ev{evRxChar, evRx80Full};
    EXPECT_EQ(ev.Bits(), 0x0201);
    EXPECT_TRUE(ev.Contains(evRx80Full));
    EXPECT_FALSE(ev.Contains(evError));
    ev.Exclude(evRxChar).Include(evError);
    EXPECT_EQ(ev.Bits(), 0x0280);
    EXPECT_EQ((TComErrors{ceFrame, ceTxFull}).Bits(), 0x81);
    EXPECT_EQ((TModemSignals{msRLSD}).Bits(), 0x08);
    EXPECT_TRUE(TComEvents().Empty());
    EXPECT_EQ((TComEvents{evCTS, evDSR} * TComEvents{evDSR}).Bits(), TComEvents{evDSR}.Bits());
}

} // namespace
