// The settings sub-objects on their own: defaults that the device sees,
// presets, queue-size rounding and copying; settings stored in a file.
#include "CPort.h"

#include <QFile>
#include <QMetaProperty>
#include <QSettings>
#include <QTemporaryDir>
#include <QVariant>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kv52804;

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

// --- Stored settings ----------------------------------------------------------------

// Every stored property of the port by its path, walked the way a reader of
// the published interface would.
using TProperties = std::map<QString, std::pair<QObject*, QMetaProperty>>;
TProperties Properties(QObject* object, const QString& prefix = {}) {
    TProperties out;
    const QMetaObject* meta = object->metaObject();
    for (int i = QObject::staticMetaObject.propertyCount(); i < meta->propertyCount(); ++i) {
        const QMetaProperty p = meta->property(i);
        if (p.metaType().flags() & QMetaType::PointerToQObject)
            out.merge(Properties(p.read(object).value<QObject*>(), prefix + p.name() + '.'));
        else if (p.isStored())
            out[prefix + p.name()] = {object, p};
    }
    return out;
}
std::map<QString, QVariant> Values(TComPort& port) {
    std::map<QString, QVariant> values;
    for (const auto& [key, property] : Properties(&port))
        values[key] = property.second.read(property.first);
    return values;
}

class StoredSettings : public testing::Test {
protected:
    QString Write(const QByteArray& text, const char* name = "port.ini") {
        QFile file(Dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        return file.fileName();
    }
    // The message of the load's error, which must be CError_LoadFailed.
    QString LoadError(TComPort& port, const QString& file) {
        try {
            port.LoadSettings(file);
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode(), CError_LoadFailed);
            return e.Message();
        }
        return "no error";
    }
    // The message of the store's error, which must be CError_StoreFailed.
    static QString StoreError(const QString& file) {
        try {
            TComPort().StoreSettings(file);
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode(), CError_StoreFailed);
            return e.Message();
        }
        return "no error";
    }
    QTemporaryDir Dir;
};

TEST_F(StoredSettings, EveryPropertySurvivesARoundTripInAReadableFile) {
    TComPort stored, loaded, defaults;
    // A value other than the default for each property, whatever its type.
    for (const auto& [key, property] : Properties(&stored)) {
        const auto& [owner, p] = property;
        const QVariant value = p.read(owner);
        QVariant other = p.isEnumType() ? QVariant(p.enumerator().value(1 + (value.toInt() == 1)))
                         : p.metaType().id() == QMetaType::Bool ? QVariant(!value.toBool())
                         : p.metaType().id() == QMetaType::Char
                             ? QVariant::fromValue(char(value.value<char>() + 110))
                         : p.metaType().id() == QMetaType::Int ? QVariant(value.toInt() + 6)
                         : p.metaType().id() == QMetaType::QString
                             ? QVariant(QStringLiteral("rfc2217://h:1, \u00FC"))
                             : QVariant::fromValue(TComEvents{evRing, evRx80Full});
        other.convert(p.metaType());
        ASSERT_TRUE(p.write(owner, other)) << key.toStdString();
    }
    stored.SetBaudRate(brCustom);
    stored.SetCustomBaudRate(250000); // no property, but a setting all the same
    const std::map<QString, QVariant> values = Values(stored);
    for (const auto& [key, value] : Values(defaults))
        EXPECT_NE(values.at(key), value) << key.toStdString();

    const QString file = Dir.filePath("sub/port.ini");
    stored.StoreSettings(file);
    loaded.LoadSettings(file);
    EXPECT_EQ(Values(loaded), values);
    EXPECT_EQ(loaded.CustomBaudRate(), 250000);

    QFile written(file);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = written.readAll().trimmed().split('\n');
    EXPECT_EQ(lines.size(), 2 + qsizetype(values.size()));
    EXPECT_TRUE(lines.contains("Events=evRing, evRx80Full"));
    EXPECT_TRUE(lines.contains("CustomBaudRate=250000"));
}

TEST_F(StoredSettings, AFileWithoutACustomRateKeepsThePortsOwn) {
    TComPort port;
    port.SetCustomBaudRate(31250);
    port.LoadSettings(Write("[ComPort]\nBaudRate=Custom\n"));
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(port.CustomBaudRate(), 31250);
}

// Sets the process's umask for one scope.
struct TUmask {
    explicit TUmask(mode_t mask) : Previous(::umask(mask)) {}
    ~TUmask() { ::umask(Previous); }
    mode_t Previous;
};

mode_t ModeOf(const QString& path) {
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

struct ModeRow {
    const char* Name;
    mode_t Before; // 0: no file yet, nor its directory
};

class StoredFileMode : public StoredSettings, public testing::WithParamInterface<ModeRow> {};

TEST_P(StoredFileMode, IsTheUsersAloneWhateverTheUmaskAndLoadsBack) {
    const TUmask mask(002);
    QString file = Dir.filePath("new/port.ini");
    if (GetParam().Before != 0) {
        file = Write("[ComPort]\nPort=old\n");
        ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), GetParam().Before), 0);
    }
    TComPort stored, loaded;
    stored.SetPort("COM7");
    stored.StoreSettings(file);
    EXPECT_EQ(ModeOf(file), 0600u);
    if (GetParam().Before == 0) {
        EXPECT_EQ(ModeOf(Dir.filePath("new")), 0700u);
    }
    loaded.LoadSettings(file);
    EXPECT_EQ(loaded.Port(), "COM7");
}

INSTANTIATE_TEST_SUITE_P(Rows, StoredFileMode,
                         testing::Values(ModeRow{"New", 0}, ModeRow{"GroupWritable", 0664},
                                         ModeRow{"ReadableByAll", 0644}),
                         [](const testing::TestParamInfo<ModeRow>& i) {
                             return std::string(i.param.Name);
                         });

TEST_F(StoredSettings, OtherProgramsSectionsAreKeptAndPassedOver) {
    const QString file = Write("[General]\nLastFile=a.txt\n[Window]\nGeometry=1, 2\n"
                               "[comport]\nPort=old\nRemovedSetting=1\n");
    TComPort stored, loaded;
    stored.SetPort("COM7");
    stored.StoreSettings(file);
    loaded.LoadSettings(file);
    EXPECT_EQ(loaded.Port(), "COM7");

    QSettings kept(file, QSettings::IniFormat);
    EXPECT_EQ(kept.value("LastFile").toString(), "a.txt");
    EXPECT_EQ(kept.value("Window/Geometry").toStringList(), QStringList({"1", "2"}));
    for (const QString& key : kept.allKeys())
        EXPECT_FALSE(key.startsWith("comport/")) << key.toStdString();
}

TEST_F(StoredSettings, AFileThatCannotBeReadIsNotReplaced) {
    const QByteArray text = "[Window\nGeometry=1\n";
    const QString file = Write(text);
    EXPECT_EQ(StoreError(file),
              "Failed to store settings: " + file + ": the file cannot be read as an INI file");
    QFile kept(file);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), text);
}

TEST_F(StoredSettings, AHandWrittenFileSetsWhatItNamesInAnyCase) {
    TComPort port;
    port.LoadSettings(Write("# by hand\n[comport]\nbaudrate = 19200 ; fast\nParity.Bits=even\n"
                            "FLOWCONTROL.XONCHAR = #65\nEvents = evrxchar, EVTXEMPTY\n"
                            "#Port=COM7\n  ; Port=COM8\n"));
    TComPort expected;
    expected.SetBaudRate(br19200);
    expected.Parity()->SetBits(prEven);
    expected.FlowControl()->SetXonChar('A');
    expected.SetEvents({evRxChar, evTxEmpty});
    EXPECT_EQ(Values(port), Values(expected));
}

struct BadRow {
    const char* Name;
    const char* Line;
    const char* Detail; // after "Failed to load settings: " and the file's name
};

class BadStoredValue : public StoredSettings, public testing::WithParamInterface<BadRow> {};

TEST_P(BadStoredValue, NamesItsKeyAndChangesNothing) {
    TComPort port;
    const auto before = Values(port);
    const QString file = Write(QByteArray("[ComPort]\nBaudRate=19200\nPort=x\n") + GetParam().Line);
    EXPECT_EQ(LoadError(port, file),
              QStringLiteral("Failed to load settings: ") + file + GetParam().Detail);
    EXPECT_EQ(Values(port), before);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BadStoredValue,
    testing::Values(
        BadRow{"Bool", "Parity.Check=maybe", ": Parity.Check = 'maybe' is not one of Yes, No"},
        BadRow{"DecimalComma", "StopBits=1,5", ": StopBits = '1,5' is not one of 1, 1.5, 2"},
        BadRow{"BelowNoLimit", "Timeouts.ReadInterval=-2",
               ": Timeouts.ReadInterval = '-2' is not a whole number from -1 to 2147483647"},
        BadRow{"CodeTooLarge", "EventChar=#256",
               ": EventChar = '#256' is not a character: a sign from ! to ~, or # and a code "
               "0..255"},
        BadRow{"Event", "Events = evRxChar,  evNope ; two",
               ": Events = 'evRxChar,  evNope' is not a list of the events evRxChar, evTxEmpty, "
               "evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full"},
        BadRow{"CustomRate", "customBaudRate=0",
               ": CustomBaudRate = '0' is not a whole number from 1 to 2147483647"},
        BadRow{"Misspelt", "BaudRat=300",
               ": BaudRat is no port setting (they stand under [ComPort])"},
        BadRow{"NoEquals", "BaudRate 300", ":4: 'BaudRate 300' is not Name=value"},
        BadRow{"NoName", "  = 300", ":4: '= 300' has no name before the '='"},
        BadRow{"QuoteSpansLines", "Port=\"a\nb\"\nBaudRate 300",
               ":6: 'BaudRate 300' is not Name=value"},
        BadRow{"OpenQuote", "Port=\"a\nBaudRate=300",
               ":4: 'Port=\"a\\x0aBaudRate=300' opens a quote that no '\"' closes"},
        BadRow{"OpenSection", "[Window\nX=1", ":4: '[Window' has no ']' to end the section name"},
        BadRow{"Binary", "\x89PNG\r\n\x1a\n",
               ":4: the line is not text (UTF-8 without control characters)"},
        BadRow{"NotUtf8", "Port=\xE9t\xE9",
               ":4: the line is not text (UTF-8 without control characters)"}),

    [](const testing::TestParamInfo<BadRow>& i) { return std::string(i.param.Name); });

TEST_F(StoredSettings, AFileThatIsMissingOrNotTheUsersOwnIsRefused) {
    TComPort port;
    const QString missing = Dir.filePath("missing.ini");
    EXPECT_EQ(LoadError(port, missing), "Failed to load settings: " + missing +
                                            ": No such file or directory (win error code: 2)");
    const QString open = Write("[ComPort]\nPort=elsewhere\n", "open.ini");
    ASSERT_EQ(::chmod(QFile::encodeName(open), 0602), 0);
    const QString refused = ": the file is not used: ";
    EXPECT_EQ(LoadError(port, open),
              "Failed to load settings: " + open + refused + "other users may write to it");
    EXPECT_EQ(port.Port(), "COM1");
    if (::geteuid() != 0)
        GTEST_SKIP() << "a file of another user needs root to make";
    const QString foreign = Write("[ComPort]\nPort=elsewhere\n", "foreign.ini");
    ASSERT_EQ(::chown(QFile::encodeName(foreign), 65534, 65534), 0);
    EXPECT_EQ(LoadError(port, foreign),
              "Failed to load settings: " + foreign + refused + "it belongs to another user");
}

TEST_F(StoredSettings, AFileThatCannotBeWrittenSaysWhy) {
    const QString file = Write("") + "/port.ini"; // below a file, not a directory
    EXPECT_EQ(StoreError(file),
              "Failed to store settings: " + file + ": Not a directory (win error code: 20)");
}

} // namespace
