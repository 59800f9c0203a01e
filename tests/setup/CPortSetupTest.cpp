// The setup dialog, confirmed or cancelled from the test on the offscreen
// platform.
#include "SetupTestSupport.h"

#include "CommRecording.h"
#include "gnugettext.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>

using namespace kv52804;

namespace {

// A label shows its whole caption on one row of its described height, clear
// of the selector beside it.
void ExpectCaptionFits(const QLabel& label, const QWidget& selector) {
    EXPECT_GE(label.width(), label.fontMetrics().horizontalAdvance(label.text()))
        << label.text().toStdString();
    EXPECT_LT(label.geometry().right() + 4, selector.x()) << label.text().toStdString();
    EXPECT_EQ(label.height(), 13);
}

// The six settings the dialog edits, for comparing a port before and after.
struct Settings {
    QString Port;
    TBaudRate BaudRate;
    int32_t CustomBaudRate;
    TDataBits DataBits;
    TStopBits StopBits;
    TParityBits Parity;
    TFlowControl FlowControl;
    bool operator==(const Settings&) const = default;
};
Settings Of(const TCustomComPort& port) {
    return {port.Port(),
            port.BaudRate(),
            port.CustomBaudRate(),
            port.DataBits(),
            port.StopBits(),
            port.Parity()->Bits(),
            port.FlowControl()->FlowControl()};
}
void PrintTo(const Settings& s, std::ostream* os) {
    *os << '"' << s.Port.toStdString() << "\" " << s.BaudRate << '/' << s.CustomBaudRate << ' '
        << s.DataBits << ' ' << s.StopBits << ' ' << s.Parity << ' ' << s.FlowControl;
}

// As the main window prepares a fresh port.
void PrepareAsMainWindow(TComPort& port) {
    port.SetPort("");
    port.SetBaudRate(br9600);
}

TEST(SetupDialog, FormMatchesItsDescription) {
    const FakePorts ports({"ttyS0"});
    TComSetupFrm dialog;
    EXPECT_EQ(dialog.windowTitle(), "Setup");
    EXPECT_EQ(dialog.minimumSize(), QSize(231, 216));
    EXPECT_EQ(dialog.maximumSize(), QSize(231, 216));
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMinMaxButtonsHint);
    EXPECT_TRUE(dialog.windowFlags() & Qt::WindowCloseButtonHint);

    EXPECT_EQ(dialog.GroupBox1->title(), " Settings ");
    EXPECT_EQ(dialog.GroupBox1->geometry(), QRect(8, 8, 217, 169));
    EXPECT_EQ(dialog.Button1->text(), "OK");
    EXPECT_EQ(dialog.Button1->geometry(), QRect(70, 184, 75, 25));
    EXPECT_TRUE(dialog.Button1->isDefault());
    EXPECT_EQ(dialog.Button2->text(), "Cancel");
    EXPECT_EQ(dialog.Button2->geometry(), QRect(150, 184, 75, 25));
    EXPECT_FALSE(dialog.Button2->isDefault());

    const QLabel* labels[] = {dialog.Label1, dialog.Label2, dialog.Label3,
                              dialog.Label4, dialog.Label5, dialog.Label6};
    const char* captions[] = {"Port",      "Baud rate", "Data bits",
                              "Stop bits", "Parity",    "Flow control"};
    const TComProperty settings[] = {cpPort,     cpBaudRate, cpDataBits,
                                     cpStopBits, cpParity,   cpFlowControl};
    const auto selectors = dialog.Selectors();
    for (int row = 0; row < 6; ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ(labels[row]->text(), captions[row]);
        EXPECT_EQ(labels[row]->pos(), QPoint(8, 24 + 24 * row));
        ExpectCaptionFits(*labels[row], *selectors[row]);
        EXPECT_EQ(selectors[row]->view()->sizeHintForRow(0), 13);
        EXPECT_EQ(labels[row]->parentWidget(), dialog.GroupBox1);
        EXPECT_EQ(selectors[row]->geometry(), QRect(80, 16 + 24 * row, 129, 21));
        EXPECT_EQ(selectors[row]->ComProperty(), settings[row]);
        EXPECT_FALSE(selectors[row]->AutoApply());
        EXPECT_FALSE(selectors[row]->isEditable());
        EXPECT_EQ(selectors[row]->currentIndex(), 0); // as built, before any port
    }

    // Tab order: the selectors top to bottom, then OK, then Cancel.
    const QList<QWidget*> wanted = {dialog.Combo1, dialog.Combo2, dialog.Combo3,  dialog.Combo4,
                                    dialog.Combo5, dialog.Combo6, dialog.Button1, dialog.Button2};
    QList<QWidget*> chain;
    for (QWidget* w = dialog.Combo1; chain.size() < wanted.size(); w = w->nextInFocusChain()) {
        if (wanted.contains(w) && !chain.contains(w))
            chain.append(w);
        else if (chain.contains(w))
            break;
    }
    EXPECT_EQ(chain, wanted);
}

TEST(SetupDialog, OkWithoutPicksKeepsAnEmptyPortAndWritesTheSameSettings) {
    const FakePorts ports({"ttyS0", "ttyUSB0"});
    TComPort port;
    PrepareAsMainWindow(port);
    const Settings before = Of(port);
    RunDialog(port, [](TComSetupFrm& dialog) {
        EXPECT_EQ(dialog.Combo1->currentIndex(), -1); // "" is not listed
        EXPECT_EQ(dialog.Combo1->count(), 2);
        EXPECT_EQ(dialog.Combo2->Text(), "9600");
        EXPECT_EQ(dialog.Combo3->Text(), "8");
        EXPECT_EQ(dialog.Combo4->Text(), "1");
        EXPECT_EQ(dialog.Combo5->Text(), "None");
        EXPECT_EQ(dialog.Combo6->Text(), "None");
        dialog.Button1->click();
    });
    EXPECT_EQ(Of(port), before);
}

TEST(SetupDialog, OkWritesThePicksAndTheListedLetterCase) {
    const FakePorts ports({"ttyS0", "ttyUSB0"});
    TComPort port;
    port.SetPort("ttyusb0");
    RunDialog(port, [](TComSetupFrm& dialog) { dialog.Button1->click(); });
    EXPECT_EQ(port.Port(), "ttyUSB0");

    RunDialog(port, [](TComSetupFrm& dialog) {
        Pick(dialog.Combo1, "ttyS0");
        Pick(dialog.Combo2, "57600");
        Pick(dialog.Combo3, "7");
        Pick(dialog.Combo4, "2");
        Pick(dialog.Combo5, "Even");
        Pick(dialog.Combo6, "Hardware");
        // Enter on a selector reaches the default button.
        PressKey(dialog.Combo6, Qt::Key_Return);
    });
    EXPECT_EQ(Of(port),
              (Settings{"ttyS0", br57600, 9600, dbSeven, sbTwoStopBits, prEven, fcHardware}));
}

TEST(SetupDialog, CustomRateAndCustomFlowSurviveOk) {
    const FakePorts ports({"ttyS0"});
    TComPort port;
    port.SetPort("ttyS0");
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(31250);
    port.FlowControl()->SetControlRTS(rtsToggle);
    port.FlowControl()->SetOutDSRFlow(true);
    const Settings before = Of(port);
    RunDialog(port, [](TComSetupFrm& dialog) {
        EXPECT_EQ(dialog.Combo2->Text(), "Custom");
        EXPECT_EQ(dialog.Combo6->Text(), "Custom");
        dialog.Button1->click();
    });
    EXPECT_EQ(Of(port), before);
    EXPECT_EQ(port.FlowControl()->ControlRTS(), rtsToggle);
    EXPECT_TRUE(port.FlowControl()->OutDSRFlow());
}

TEST(SetupDialog, CancelCloseBoxAndEscapeWriteNothing) {
    const FakePorts ports({"ttyS0", "ttyUSB0"});
    TComPort port;
    port.SetPort("ttyS0");
    const Settings before = Of(port);
    const auto pickEverything = [](TComSetupFrm& dialog) {
        Pick(dialog.Combo1, "ttyUSB0");
        Pick(dialog.Combo2, "110");
        Pick(dialog.Combo5, "Space");
        Pick(dialog.Combo6, "Software");
    };
    RunDialog(port, [&](TComSetupFrm& dialog) {
        pickEverything(dialog);
        dialog.Button2->click();
    });
    EXPECT_EQ(Of(port), before);

    RunDialog(port, [&](TComSetupFrm& dialog) {
        pickEverything(dialog);
        dialog.close(); // the close box
    });
    EXPECT_EQ(Of(port), before);

    RunDialog(port, [&](TComSetupFrm& dialog) {
        pickEverything(dialog);
        PressKey(dialog.Combo2, Qt::Key_Escape);
        PressKey(&dialog, Qt::Key_Escape);
        EXPECT_TRUE(dialog.isVisible()) << "Escape ended the dialog";
        dialog.Button2->click();
    });
    EXPECT_EQ(Of(port), before);
}

TEST(SetupDialog, OkOnAnOpenPortReconfiguresItOnce) {
    const FakePorts ports({"ttyS0"});
    CommRecording fake;
    TComPort port;
    port.SetCommApi(&fake);
    port.SetEvents({}); // no event thread: only the calls the settings make
    port.SetPort("ttyS0");
    port.Open();
    fake.ClearCalls();
    RunDialog(port, [](TComSetupFrm& dialog) {
        Pick(dialog.Combo2, "19200");
        Pick(dialog.Combo3, "7");
        Pick(dialog.Combo5, "Even");
        dialog.Button1->click();
    });
    EXPECT_EQ(fake.CallNames(),
              (std::vector<std::string>{"SetupComm", "SetCommState", "SetCommTimeouts"}));
    const auto states = fake.CallsNamed("SetCommState");
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].Dcb->BaudRate, 19200u);
    EXPECT_EQ(states[0].Dcb->ByteSize, 7);
    EXPECT_EQ(states[0].Dcb->Parity, EVENPARITY);
    EXPECT_TRUE(port.Connected());
    port.Close();
}

TEST(SetupDialog, AFailedWriteEndsTheBatchAndReachesTheCaller) {
    const FakePorts ports({"ttyS0", "ttyUSB0"});
    CommRecording fake;
    TComPort port;
    port.SetCommApi(&fake);
    port.SetEvents({}); // no event thread: only the calls the settings make
    port.SetPort("ttyS0");
    port.Open();
    fake.FailAt("CreateFile", ENOENT); // renaming an open port re-opens it
    try {
        RunDialog(port, [](TComSetupFrm& dialog) {
            Pick(dialog.Combo1, "ttyUSB0");
            dialog.Button1->click();
        });
        ADD_FAILURE() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 1);
    }
    EXPECT_EQ(port.UpdateDepth(), 0);
    EXPECT_FALSE(port.Connected());
}

TEST(SetupDialog, AnUnreadablePortListIsShownAndTheDialogStillWorks) {
    const FakePorts ports({});
    const ScopedEnv root("KV_SYSFS_ROOT", FakePorts::Unreadable());
    CapturedErrors errors;
    TComPort port;
    port.SetPort("ttyS0");
    const Settings before = Of(port);
    RunDialog(port, [&](TComSetupFrm& dialog) {
        EXPECT_EQ(errors.Messages(), QStringList{"Registry error (win error code: 2)"});
        EXPECT_EQ(dialog.Combo1->count(), 0);
        EXPECT_EQ(dialog.Combo2->count(), 16);
        dialog.Button2->click();
    });
    EXPECT_EQ(Of(port), before);
    // Confirming keeps the name the user could not pick and writes the rest.
    const auto pickAndConfirm = [](TComSetupFrm& dialog) {
        Pick(dialog.Combo2, "19200");
        dialog.Button1->click();
    };
    RunDialog(port, pickAndConfirm);
    Settings after = before;
    after.BaudRate = br19200;
    EXPECT_EQ(Of(port), after);

    // An open port is reconfigured in place, not closed and reopened.
    CommRecording fake;
    port.SetCommApi(&fake);
    port.SetEvents({}); // no event thread: only the calls the settings make
    port.SetPort(before.Port);
    port.SetBaudRate(before.BaudRate);
    port.Open();
    fake.ClearCalls();
    RunDialog(port, pickAndConfirm);
    EXPECT_EQ(fake.CallNames(),
              (std::vector<std::string>{"SetupComm", "SetCommState", "SetCommTimeouts"}));
    EXPECT_EQ(Of(port), after);
    EXPECT_TRUE(port.Connected());
    port.Close();
}

// Points the domain "cport" at another catalog tree and language for one
// scope.
class CatalogScope {
public:
    CatalogScope(const QString& directory, const QString& language)
        : FEngine(DefaultInstance()), FLanguage(FEngine->LanguageCode()) {
        FEngine->BindDomainDirectory("cport", directory);
        FEngine->SelectLanguage(language);
    }
    ~CatalogScope() {
        FEngine->BindDomainDirectory("cport", FEngine->DefaultDirectory());
        FEngine->SelectLanguage(FLanguage);
    }

private:
    TGnuGettextInstance* FEngine;
    QString FLanguage;
};

// Writes <dir>/<lang>/LC_MESSAGES/cport.mo from PO text with msgfmt.
bool MakeCatalog(const QString& dir, const QString& lang, const QByteArray& po) {
    const QString msgfmt = QStandardPaths::findExecutable("msgfmt");
    if (msgfmt.isEmpty())
        return false;
    const QString messages = dir + "/" + lang + "/LC_MESSAGES";
    QDir().mkpath(messages);
    QFile source(dir + "/cport.po");
    if (!source.open(QIODevice::WriteOnly))
        return false;
    source.write(po);
    source.close();
    return QProcess::execute(msgfmt, {"-o", messages + "/cport.mo", source.fileName()}) == 0;
}

TEST(SetupDialog, TranslatesEverythingButTheSelectors) {
    const FakePorts ports({"ttyS0"});
    QTemporaryDir catalogs;
    // The catalog translates selector texts too, some of them into the text
    // of another item of the same list. The selectors must not follow: their
    // texts are what the settings are read back from.
    const QByteArray po = "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n"
                          "msgid \"OK\"\nmsgstr \"Dobrze\"\n"
                          "msgid \"Baud rate\"\nmsgstr \"Szybkość\"\n"
                          "msgid \"None\"\nmsgstr \"Brak\"\n"
                          "msgid \"Custom\"\nmsgstr \"110\"\n"
                          "msgid \"5\"\nmsgstr \"8\"\n"
                          "msgid \"1\"\nmsgstr \"2\"\n"
                          "msgid \"Hardware\"\nmsgstr \"None\"\n"
                          "msgid \"8\"\nmsgstr \"osiem\"\n"
                          "msgid \"ttyS0\"\nmsgstr \"port0\"\n";
    if (!MakeCatalog(catalogs.path(), "xx_XX", po))
        GTEST_SKIP() << "msgfmt (package gettext) is needed to make the test catalog";
    const CatalogScope scope(catalogs.path(), "xx_XX");
    {
        // As built, before a port is bound: every selector on its first item.
        TComSetupFrm dialog;
        EXPECT_EQ(dialog.Button1->text(), "Dobrze");
        for (TComComboBox* selector : dialog.Selectors())
            EXPECT_EQ(selector->currentIndex(), 0) << selector->objectName().toStdString();
    }
    TComPort port;
    port.SetPort("ttyS0");
    const Settings before = Of(port);
    RunDialog(port, [](TComSetupFrm& dialog) {
        EXPECT_EQ(dialog.Button1->text(), "Dobrze");
        EXPECT_EQ(dialog.Label2->text(), QString::fromUtf8("Szybkość"));
        EXPECT_EQ(dialog.Button2->text(), "Cancel"); // no translation: English stays
        EXPECT_EQ(dialog.Combo1->itemText(0), "ttyS0");
        EXPECT_EQ(dialog.Combo2->itemText(0), "Custom");
        EXPECT_EQ(dialog.Combo3->Text(), "8");
        EXPECT_EQ(dialog.Combo5->Text(), "None");
        EXPECT_EQ(dialog.Combo6->Text(), "None");
        dialog.Button1->click();
    });
    EXPECT_EQ(Of(port), before);
}

TEST(SetupDialog, ADamagedCatalogIsShownAndTheDialogStillComesUp) {
    const FakePorts ports({"ttyS0"});
    QTemporaryDir catalogs;
    QDir().mkpath(catalogs.filePath("xx_XX/LC_MESSAGES"));
    QFile damaged(catalogs.filePath("xx_XX/LC_MESSAGES/cport.mo"));
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
    damaged.write(QByteArray(64, 'x'));
    damaged.close();
    const CatalogScope scope(catalogs.path(), "xx_XX");
    CapturedErrors errors;
    TComPort port;
    RunDialog(port, [&](TComSetupFrm& dialog) {
        ASSERT_EQ(errors.Messages().size(), 1);
        EXPECT_TRUE(errors.Messages()[0].startsWith("Property cannot be translated."))
            << errors.Messages()[0].toStdString();
        EXPECT_EQ(dialog.Combo2->count(), 16);
        dialog.Button2->click();
    });
}

TEST(SetupDialog, PolishCatalogTranslatesCaptionsButNotTheItems) {
    const QString catalog =
        QCoreApplication::applicationDirPath() + "/locale/pl/LC_MESSAGES/cport.mo";
    if (!QFileInfo::exists(catalog))
        GTEST_SKIP() << "the compiled Polish catalog is missing: " << catalog.toStdString();
    const FakePorts ports({"ttyS0", "ttyUSB0"});
    const ScopedEnv lang("LANG", "pl_PL.UTF-8");
    const CatalogScope scope(DefaultInstance()->DefaultDirectory(), ""); // from LANG
    ASSERT_EQ(DefaultInstance()->LanguageCode(), "pl_PL");
    TComPort port;
    port.SetPort("ttyUSB0");
    RunDialog(port, [](TComSetupFrm& dialog) {
        const std::pair<QString, QString> shown[] = {
            {dialog.windowTitle(), "Setup"},      {dialog.GroupBox1->title(), " Settings "},
            {dialog.Label1->text(), "Port"},      {dialog.Label2->text(), "Baud rate"},
            {dialog.Label3->text(), "Data bits"}, {dialog.Label4->text(), "Stop bits"},
            {dialog.Label5->text(), "Parity"},    {dialog.Label6->text(), "Flow control"},
            {dialog.Button1->text(), "OK"},       {dialog.Button2->text(), "Cancel"}};
        for (const auto& [text, english] : shown)
            EXPECT_EQ(text, TranslateInDomain("cport", english)) << english.toStdString();
        EXPECT_EQ(dialog.windowTitle(), QString::fromUtf8("Konfiguracja portu"));
        EXPECT_EQ(dialog.Button2->text(), "Anuluj");
        EXPECT_EQ(dialog.Label3->text(), "Bity danych");
        const auto selectors = dialog.Selectors();
        const QLabel* labels[] = {dialog.Label1, dialog.Label2, dialog.Label3,
                                  dialog.Label4, dialog.Label5, dialog.Label6};
        for (int row = 0; row < 6; ++row)
            ExpectCaptionFits(*labels[row], *selectors[row]);

        EXPECT_EQ(dialog.Combo1->Text(), "ttyUSB0");
        EXPECT_EQ(dialog.Combo2->itemText(0), "Custom");
        EXPECT_EQ(dialog.Combo5->Text(), "None");
        EXPECT_EQ(dialog.Combo6->itemText(0), "Hardware");
        dialog.Button2->click();
    });
}

} // namespace
