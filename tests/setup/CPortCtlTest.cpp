// The setting selectors, on the offscreen platform.
#include "SetupTestSupport.h"

#include "CommRecording.h"

#include <cerrno>

#include <memory>

using namespace kv52804;

namespace {

QStringList Items(const QComboBox& combo) {
    QStringList items;
    for (int i = 0; i < combo.count(); ++i)
        items.append(combo.itemText(i));
    return items;
}

TEST(ComSelector, ListsTheTextsOfItsSetting) {
    const FakePorts ports({"ttyUSB0", "ttyS0", "ttyACM1"});
    struct Row {
        TComProperty setting;
        QStringList items;
    };
    const Row rows[] = {
        {cpNone, {}},
        {cpPort, {"ttyACM1", "ttyS0", "ttyUSB0"}},
        {cpBaudRate,
         {"Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "38400",
          "56000", "57600", "115200", "128000", "256000"}},
        {cpDataBits, {"5", "6", "7", "8"}},
        {cpStopBits, {"1", "1.5", "2"}},
        {cpParity, {"None", "Odd", "Even", "Mark", "Space"}},
        {cpFlowControl, {"Hardware", "Software", "None", "Custom"}},
    };
    TComComboBox combo;
    for (const Row& row : rows) {
        SCOPED_TRACE(int(row.setting));
        combo.SetComProperty(cpParity); // something to replace
        combo.SetComProperty(row.setting);
        EXPECT_EQ(Items(combo), row.items);
        // Without a port the first item is shown; an empty list shows nothing.
        EXPECT_EQ(combo.Text(), row.items.value(0));
    }
}

TEST(ComSelector, OnlyAUsersPickTakesTheValueAndCallsOnChange) {
    TComPort port;
    TComComboBox combo;
    combo.SetComProperty(cpParity);
    combo.SetComPort(&port);
    int changes = 0;
    combo.OnChange = [&](QObject* sender) {
        EXPECT_EQ(sender, &combo);
        ++changes;
    };

    combo.setCurrentIndex(2);
    combo.SetText("mark");
    EXPECT_EQ(combo.Text(), "Mark");
    EXPECT_EQ(combo.ComSelect().SelectedParity(), prNone);
    EXPECT_EQ(changes, 0);

    Pick(&combo, "Odd");
    EXPECT_EQ(combo.ComSelect().SelectedParity(), prOdd);
    EXPECT_EQ(changes, 1);
    // A real key press is a pick too: Down moves to the next item.
    PressKey(&combo, Qt::Key_Down);
    EXPECT_EQ(combo.ComSelect().SelectedParity(), prEven);
    EXPECT_EQ(changes, 2);

    // Without AutoApply the port is written only when asked.
    EXPECT_EQ(port.Parity()->Bits(), prNone);
    combo.ApplyToPort();
    EXPECT_EQ(port.Parity()->Bits(), prEven);
}

TEST(ComSelector, AutoApplyWritesThePickBeforeOnChange) {
    TComPort port;
    TComComboBox combo;
    combo.SetComProperty(cpBaudRate);
    combo.SetComPort(&port);
    combo.SetAutoApply(true);
    TBaudRate seenInOnChange = brCustom;
    combo.OnChange = [&](QObject*) { seenInOnChange = port.BaudRate(); };
    Pick(&combo, "115200");
    EXPECT_EQ(port.BaudRate(), br115200);
    EXPECT_EQ(seenInOnChange, br115200);
}

TEST(ComSelector, AutoApplyFailureGoesToTheErrorDisplay) {
    // Renaming an open port re-opens it; here the re-open fails.
    CapturedErrors errors;
    const FakePorts ports({"ttyS0", "ttyUSB0"});
    CommRecording fake;
    TComPort port;
    port.SetCommApi(&fake);
    port.SetEvents({}); // no event thread: only the calls the settings make
    port.SetPort("ttyS0");
    port.Open();
    TComComboBox combo;
    combo.SetComProperty(cpPort);
    combo.SetComPort(&port);
    combo.SetAutoApply(true);
    int changes = 0;
    combo.OnChange = [&](QObject*) { ++changes; };
    fake.FailAt("CreateFile", ENOENT);
    Pick(&combo, "ttyUSB0");
    // The pick was stored and the error shown; nothing escaped the signal,
    // and OnChange did not run after the failed write.
    EXPECT_EQ(combo.ComSelect().SelectedPort(), "ttyUSB0");
    EXPECT_EQ(errors.Messages(), QStringList{"Unable to open com port (win error code: 2)"});
    EXPECT_EQ(changes, 0);
    EXPECT_FALSE(port.Connected());
}

TEST(ComSelector, RefreshShowsThePortsValueOrNothing) {
    const FakePorts ports({"ttyUSB0", "ttyS0"});
    TComPort port;
    TComComboBox combo;
    combo.SetComProperty(cpPort);

    port.SetPort(""); // as the main window prepares it: not in the list
    combo.SetComPort(&port);
    EXPECT_EQ(combo.currentIndex(), -1);
    EXPECT_EQ(combo.Text(), "");
    combo.ApplyToPort();
    EXPECT_EQ(port.Port(), ""); // the stored name of a new selector

    port.SetPort("ttyusb0"); // the list's letter case wins
    combo.RefreshFromPort();
    EXPECT_EQ(combo.Text(), "ttyUSB0");
    port.SetPort("gone");
    combo.RefreshFromPort();
    EXPECT_EQ(combo.currentIndex(), -1);
    combo.ApplyToPort(); // what was last found is kept
    EXPECT_EQ(port.Port(), "ttyUSB0");
}

TEST(ComSelector, CustomValuesShowTheirCustomItem) {
    TComPort port;
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(31250);
    port.FlowControl()->SetControlRTS(rtsToggle); // matches no preset
    TComComboBox rate, flow;
    rate.SetComProperty(cpBaudRate);
    flow.SetComProperty(cpFlowControl);
    rate.SetComPort(&port);
    flow.SetComPort(&port);
    EXPECT_EQ(rate.Text(), "Custom");
    EXPECT_EQ(flow.Text(), "Custom");
    rate.ApplyToPort();
    flow.ApplyToPort();
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(port.CustomBaudRate(), 31250);
    EXPECT_EQ(port.FlowControl()->ControlRTS(), rtsToggle); // fcCustom touches no field
}

TEST(ComSelector, BindingTheSamePortAgainDoesNotRefresh) {
    TComPort first, second;
    first.SetDataBits(dbSeven);
    second.SetDataBits(dbSix);
    TComComboBox combo;
    combo.SetComProperty(cpDataBits);
    combo.SetComPort(&first);
    EXPECT_EQ(combo.Text(), "7");
    combo.setCurrentIndex(0); // shown, not taken

    combo.SetComPort(&first);
    EXPECT_EQ(combo.Text(), "5");
    combo.SetComPort(&second);
    EXPECT_EQ(combo.Text(), "6");
    EXPECT_EQ(combo.ComSelect().SelectedDataBits(), dbSix);

    // Forgetting the port keeps list and selection.
    combo.SetComPort(nullptr);
    EXPECT_EQ(combo.Text(), "6");
    EXPECT_EQ(combo.ComPort(), nullptr);
}

TEST(ComSelector, RebuildingTheListKeepsTheChosenValue) {
    TComComboBox combo;
    combo.SetComProperty(cpStopBits);
    Pick(&combo, "2");
    combo.SetComProperty(cpStopBits); // rebuilt: the first item is shown...
    EXPECT_EQ(combo.Text(), "1");
    EXPECT_EQ(combo.ComSelect().SelectedStopBits(), sbTwoStopBits); // ...not taken
}

TEST(ComSelector, DestroyingTheBoundPortUnbindsAndShowsTheFirstItem) {
    auto port = std::make_unique<TComPort>();
    port->Parity()->SetBits(prSpace);
    TComComboBox combo;
    combo.SetComProperty(cpParity);
    combo.SetComPort(port.get());
    EXPECT_EQ(combo.Text(), "Space");
    port.reset();
    EXPECT_EQ(combo.ComPort(), nullptr);
    EXPECT_EQ(combo.Text(), "None");
    combo.ApplyToPort(); // nothing bound: nothing happens
    combo.RefreshFromPort();
    EXPECT_EQ(combo.currentIndex(), -1);
}

TEST(ComSelector, APortOutlivingItsSelectorOrOwnedByItIsSafe) {
    {
        TComPort port;
        {
            TComComboBox combo;
            combo.SetComProperty(cpParity);
            combo.SetComPort(&port);
        }
    } // the port dies after the selector: no call into a dead control
    auto* combo = new TComComboBox;
    combo->SetComProperty(cpDataBits);
    combo->SetComPort(new TComPort(combo)); // dies among the control's children
    delete combo;
}

TEST(ComSelector, AnUnreadablePortListEndsTheWriteOrIsReported) {
    const ScopedEnv root("KV_SYSFS_ROOT", FakePorts::Unreadable());
    TComComboBox combo;
    combo.SetComProperty(cpParity);
    try {
        combo.SetComProperty(cpPort);
        ADD_FAILURE() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 23);
        EXPECT_EQ(e.WinErrorCode(), ENOENT);
    }
    EXPECT_EQ(combo.count(), 0);
    EXPECT_EQ(combo.ComProperty(), cpPort);

    CapturedErrors errors;
    combo.SetReportListErrors(true);
    combo.SetComProperty(cpPort);
    EXPECT_EQ(combo.count(), 0);
    EXPECT_EQ(errors.Messages(), QStringList{"Registry error (win error code: 2)"});
}

TEST(ComSelector, PublishesItsPropertiesByName) {
    TComPort port;
    port.SetDataBits(dbSix);
    TComComboBox combo;
    ASSERT_TRUE(combo.setProperty("ComProperty", QVariant::fromValue(cpDataBits)));
    ASSERT_TRUE(combo.setProperty("ComPort", QVariant::fromValue<TCustomComPort*>(&port)));
    EXPECT_EQ(combo.property("Text").toString(), "6");
    ASSERT_TRUE(combo.setProperty("Text", "8"));
    EXPECT_EQ(combo.Text(), "8");
    ASSERT_TRUE(combo.setProperty("AutoApply", true));
    EXPECT_TRUE(combo.AutoApply());
    EXPECT_EQ(combo.property("ComProperty").value<TComProperty>(), cpDataBits);
}

} // namespace
