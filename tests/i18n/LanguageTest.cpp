// Which language the engine chooses, and where that sends it for catalogs.
#include "I18nTestSupport.h"

using namespace kv52804;

namespace {
using TVar = std::optional<QByteArray>;

struct TLanguageRow {
    const char* Name;
    TVar Lang, LcAll, LcMessages;
    const char* Expected;
};

void PrintTo(const TLanguageRow& row, std::ostream* os) {
    *os << row.Name;
}

class LanguageSelection : public testing::TestWithParam<TLanguageRow> {};

TEST_P(LanguageSelection, ChoosesTheCodeFromTheEnvironment) {
    const TLanguageRow& row = GetParam();
    TEnvironment env{{"LANG", row.Lang}, {"LC_ALL", row.LcAll}, {"LC_MESSAGES", row.LcMessages}};
    TProgramDir dir;
    TGnuGettextInstance engine(dir.ProgramFile(), nullptr);
    EXPECT_EQ(engine.LanguageCode(), QString::fromLatin1(row.Expected));
}

const TVar unset = std::nullopt;
INSTANTIATE_TEST_SUITE_P(
    Rows, LanguageSelection,
    testing::Values(TLanguageRow{"LangCutAtDot", "pl_PL.UTF-8", unset, unset, "pl_PL"},
                    TLanguageRow{"LangKeptWithoutDot", "pl", unset, unset, "pl"},
                    TLanguageRow{"LangBeforeLocale", "de_DE", "pl_PL.UTF-8", "fr_FR", "de_DE"},
                    TLanguageRow{"LangUnsetLcMessages", unset, unset, "pl_PL.UTF-8", "pl_PL"},
                    TLanguageRow{"LangEmptyLikeUnset", "", unset, "pl_PL.ISO-8859-2", "pl_PL"},
                    TLanguageRow{"LcAllBeforeLcMessages", unset, "fr_FR.UTF-8", "pl_PL", "fr_FR"},
                    TLanguageRow{"LocaleWithModifier", unset, unset, "de_DE@euro", "de_DE"},
                    TLanguageRow{"LocaleWithoutCountry", unset, unset, "de", "C"},
                    TLanguageRow{"PosixLocale", unset, "POSIX", "pl_PL", "C"},
                    TLanguageRow{"CUtf8Locale", unset, unset, "C.UTF-8", "C"},
                    TLanguageRow{"NothingSet", unset, unset, unset, "C"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(LanguageSelection, CatalogsOfTheCLanguageLieUnderC) {
    TEnvironment env{};
    TProgramDir dir;
    dir.AddCatalog("C", "default", {{"OK", "from C"}});
    TGnuGettextInstance engine(dir.ProgramFile(), nullptr);
    EXPECT_EQ(engine.Translate("OK"), "from C");
}

TEST(LanguageSelection, LangPlWithOnlyTheTwoLetterCatalog) {
    TEnvironment env{{"LANG", "pl_PL.UTF-8"}};
    TProgramDir dir;
    dir.AddCatalog("pl", "cport", {{"Baud rate", "Prędkość"}});
    TGnuGettextInstance engine(dir.ProgramFile(), nullptr);
    EXPECT_EQ(engine.LanguageCode(), "pl_PL");
    EXPECT_EQ(engine.TranslateInDomain("cport", "Baud rate"), "Prędkość");
}

struct TLocaleIdRow {
    uint32_t Id;
    const char* Code;
};

void PrintTo(const TLocaleIdRow& row, std::ostream* os) {
    *os << row.Id;
}

class LocaleIdTable : public testing::TestWithParam<TLocaleIdRow> {};

TEST_P(LocaleIdTable, MapsIdentifierToCode) {
    EXPECT_EQ(LanguageCodeForLocaleId(GetParam().Id), QString::fromLatin1(GetParam().Code));
}

// The codes are the table's own, including those that differ from ISO.
INSTANTIATE_TEST_SUITE_P(Rows, LocaleIdTable,
                         testing::Values(TLocaleIdRow{1045, "pl_PL"}, TLocaleIdRow{0x0408, "gr_GR"},
                                         TLocaleIdRow{0x0412, "ko_KO"}, TLocaleIdRow{2057, "en_UK"},
                                         TLocaleIdRow{0x081D, "fi_SE"}, TLocaleIdRow{1034, "es_ES"},
                                         TLocaleIdRow{3082, "es_ES"}, TLocaleIdRow{0x1007, "de_LU"},
                                         TLocaleIdRow{0x0C0C, "fr_CA"}, TLocaleIdRow{0x0411, "C"},
                                         TLocaleIdRow{0, "C"}, TLocaleIdRow{0x10415, "C"}));
} // namespace
