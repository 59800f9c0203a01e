// The program-wide engine with the catalogs the build puts beside the
// programs: start-up order, the runtime's message texts, and the catalogs'
// completeness.
#include "I18nTestSupport.h"

#include "RtlConsts.h"
#include "SysUtils.h"

using namespace kv52804;

namespace {
const char* const kPortErrors[] = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};
const char* const kDialogTexts[] = {"Setup",     "Cancel",    " Settings ", "Baud rate",
                                    "Data bits", "Stop bits", "Parity",     "Flow control"};

class Startup : public testing::Test {
protected:
    void SetUp() override {
        const QString dir = QFileInfo(ProgramFilePath()).absolutePath();
        ASSERT_TRUE(QFileInfo::exists(dir + "/locale/pl/LC_MESSAGES/default.mo"))
            << "the catalogs have not been built beside " << dir.toStdString();
    }
    TEnvironment Env{{"LANG", "pl_PL.UTF-8"}};
};

TEST_F(Startup, ProgramWideFunctionsUseTheOneEngine) {
    EXPECT_EQ(DefaultInstance(), nullptr);
    EXPECT_EQ(TranslateResourceString("Registry error"), "Registry error");
    {
        GnuGettextStartup gettext;
        ASSERT_NE(DefaultInstance(), nullptr);
        EXPECT_EQ(DefaultInstance()->LanguageCode(), "pl_PL");
        EXPECT_EQ(DefaultInstance()->CurrentDomain(), "default");
        EXPECT_EQ(DefaultInstance()->DefaultDirectory(),
                  QFileInfo(ProgramFilePath()).absolutePath() + "/locale");
        EXPECT_EQ(TranslateResourceString("Registry error"), "Błąd rejestru");
        EXPECT_EQ(TranslateInDomain("cport", "Cancel"), "Anuluj");
        // The tool's own texts stay in the program's catalog.
        EXPECT_EQ(Translate("No command given"), "Nie podano polecenia");
        EXPECT_THROW(GnuGettextStartup second, Exception);
    }
    EXPECT_EQ(DefaultInstance(), nullptr);
    EXPECT_EQ(TranslateInDomain("cport", "Cancel"), "Cancel");
}

TEST_F(Startup, RuntimeMessagesGoThroughTheResourceStringDomains) {
    static constexpr TResString SCancel{"Cancel"};
    {
        GnuGettextStartup gettext;
        EXPECT_EQ(LoadResString(SRangeError), "Błąd kontroli zakresu");
        EXPECT_EQ(ErrorOf([] { StrToInt("12x"); }), "'12x' nie jest prawidłową liczbą całkowitą");
        // The components' catalog is searched from the start; the port
        // component adding it again changes nothing.
        EXPECT_EQ(LoadResString(SCancel), "Anuluj");
        AddResourceStringDomain("CPORT");
        AddResourceStringDomain("extra");
        EXPECT_EQ(DefaultInstance()->ResourceStringDomains(),
                  QStringList({"default", "cport", "extra"}));
    }
    // The built-in loader is back.
    EXPECT_EQ(LoadResString(SRangeError), "Range check error");
    EXPECT_EQ(LoadResString(SCancel), "Cancel");
}

// The components' texts are in their own catalog, so that a program without
// catalogs of its own finds them too.
TEST_F(Startup, ComponentsCatalogTranslatesEveryPortErrorAndDialogText) {
    GnuGettextStartup gettext;
    for (const char* text : kPortErrors) {
        const QString t = TranslateInDomain("cport", text);
        EXPECT_NE(t, QString::fromLatin1(text));
        EXPECT_FALSE(t.isEmpty());
    }
    for (const char* text : {"'%s' is not a valid integer value", "Cannot assign a %s to a %s"})
        EXPECT_EQ(TranslateInDomain("cport", text).count("%s"), 2 - (text[0] == '\''));
    EXPECT_EQ(Format(TranslateInDomain("cport", " (win error code: %d)"), {"5"}),
              " (kod błędu systemu: 5)");
    for (const char* text : kDialogTexts)
        EXPECT_NE(TranslateInDomain("cport", text), QString::fromLatin1(text)) << text;
}
} // namespace
