// Where the components' texts are found: the program's own catalogs first,
// then the catalog installed with the libraries, else the English text.
#include "I18nTestSupport.h"

namespace {
const QString kText = QStringLiteral("Unable to open com port");
const QString kFromProgramDefault = QStringLiteral("z katalogu programu");
const QString kFromProgramCport = QStringLiteral("z katalogu komponentów przy programie");
const QString kFromComponents = QStringLiteral("z katalogu zainstalowanego z bibliotekami");

// The language folder of each catalog, or nullptr where there is none. The
// engine's language is pl_PL.
struct TPlaceRow {
    const char* Name;
    const char* ProgramDefault;
    const char* ProgramCport;
    const char* Components;
    const QString& Expected;         // as the components look their texts up
    const QString& ExpectedInDomain; // as the setup dialog does, in "cport" only
};

void PrintTo(const TPlaceRow& row, std::ostream* os) {
    *os << row.Name;
}

class ComponentCatalog : public testing::TestWithParam<TPlaceRow> {};

TEST_P(ComponentCatalog, ProgramFolderFirstThenTheComponentsFolder) {
    const TPlaceRow& row = GetParam();
    TProgramDir program;
    TProgramDir components;
    if (row.ProgramDefault)
        program.AddCatalog(row.ProgramDefault, "default", {{kText, kFromProgramDefault}});
    if (row.ProgramCport)
        program.AddCatalog(row.ProgramCport, "cport", {{kText, kFromProgramCport}});
    // The program's own domain is never looked for beside the libraries.
    if (row.Components) {
        components.AddCatalog(row.Components, "cport", {{kText, kFromComponents}});
        components.AddCatalog(row.Components, "default", {{kText, "nie stąd"}});
    }
    TGnuGettextInstance engine(program.ProgramFile(), nullptr);
    engine.SelectLanguage("pl_PL");
    engine.BindDomainFallbackDirectory("cport", components.Dir.filePath("locale"));
    EXPECT_EQ(engine.TranslateResourceString(kText), row.Expected);
    EXPECT_EQ(engine.TranslateInDomain("cport", kText), row.ExpectedInDomain);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ComponentCatalog,
    testing::Values(
        TPlaceRow{"EveryCatalog", "pl", "pl", "pl", kFromProgramDefault, kFromProgramCport},
        TPlaceRow{"ProgramDefaultOnly", "pl", nullptr, nullptr, kFromProgramDefault, kText},
        TPlaceRow{"ProgramCportBeatsComponents", nullptr, "pl", "pl", kFromProgramCport,
                  kFromProgramCport},
        // The whole program folder comes first, whichever spelling it uses.
        TPlaceRow{"ProgramTwoLettersBeatComponentsFullCode", nullptr, "pl", "pl_PL",
                  kFromProgramCport, kFromProgramCport},
        TPlaceRow{"ComponentsOnly", nullptr, nullptr, "pl", kFromComponents, kFromComponents},
        TPlaceRow{"ComponentsFullCode", nullptr, nullptr, "pl_PL", kFromComponents,
                  kFromComponents},
        TPlaceRow{"ProgramHasAnotherLanguageOnly", nullptr, "de", "pl", kFromComponents,
                  kFromComponents},
        TPlaceRow{"ComponentsHaveAnotherLanguageOnly", nullptr, nullptr, "de", kText, kText},
        TPlaceRow{"Neither", nullptr, nullptr, nullptr, kText, kText}),
    [](const auto& info) { return std::string(info.param.Name); });

// The program's catalog stands for the domain as a whole: a text it lacks
// is not looked for in the components' catalog.
TEST(ComponentCatalogChoice, IsMadePerCatalogNotPerText) {
    TProgramDir program;
    TProgramDir components;
    program.AddCatalog("pl", "cport", {{"OK", "Dobrze"}});
    components.AddCatalog("pl", "cport", {{kText, kFromComponents}});
    TGnuGettextInstance engine(program.ProgramFile(), nullptr);
    engine.SelectLanguage("pl");
    engine.BindDomainFallbackDirectory("cport", components.Dir.filePath("locale"));
    EXPECT_EQ(engine.TranslateInDomain("cport", kText), kText);
    EXPECT_EQ(engine.TranslateInDomain("cport", "OK"), "Dobrze");
}
} // namespace
