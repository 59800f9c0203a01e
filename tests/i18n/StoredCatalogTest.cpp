// Catalogs stored inside the program file: the chain of entries, the lookup
// of stored paths, and the packaging tool on a real program.
#include "I18nTestSupport.h"

using namespace kv52804;

namespace {
QByteArray Le64(uint64_t v) {
    QByteArray b(8, '\0');
    for (int i = 0; i < 8; ++i)
        b[i] = char(v >> (8 * i));
    return b;
}

// A chain entry at the end of file: next, offset, size, name.
void AppendEntry(QByteArray& file, uint64_t next, uint64_t offset, uint64_t size,
                 const QByteArray& name) {
    file += Le64(next) + Le64(offset) + Le64(size) + name;
}

struct TChainRow {
    const char* Name;
    QByteArray (*Make)(uint64_t& position);
    QStringList Expected;
};

// Two entries: "  locale/a.mo\0\0" (padded, offset 1, size 2) and
// "locale/b.mo" (offset 3, size 4).
QByteArray GoodChain(uint64_t& position) {
    QByteArray f(64, 'x');
    position = uint64_t(f.size());
    const QByteArray a = "  locale/a.mo\t\0\0";
    AppendEntry(f, position + 24 + uint64_t(a.size()), 1, 2, a);
    const QByteArray b = "locale/b.mo";
    AppendEntry(f, uint64_t(f.size()) + 24 + uint64_t(b.size()), 3, 4, b);
    f += Le64(0);
    return f;
}
QByteArray ThirdEntryCutOff(uint64_t& position) {
    QByteArray f = GoodChain(position);
    f.chop(8); // the terminator is missing: the second entry's next cannot be read
    const QByteArray c = "locale/c.mo";
    AppendEntry(f, uint64_t(f.size()) + 1000, 5, 6, c);
    return f;
}
QByteArray SecondPointsBackwards(uint64_t& position) {
    QByteArray f(64, 'x');
    position = uint64_t(f.size());
    AppendEntry(f, position + 24 + 11, 1, 2, "locale/a.mo");
    AppendEntry(f, position, 3, 4, "locale/b.mo"); // back to the first: would loop
    return f;
}
QByteArray DuplicateName(uint64_t& position) {
    QByteArray f(64, 'x');
    position = uint64_t(f.size());
    AppendEntry(f, position + 24 + 11, 1, 2, "locale/a.mo");
    AppendEntry(f, uint64_t(f.size()) + 24 + 11, 3, 4, "LOCALE/A.MO");
    AppendEntry(f, uint64_t(f.size()) + 24 + 11, 3, 4, "locale/c.mo");
    f += Le64(0);
    return f;
}
QByteArray NameRunsPastEnd(uint64_t& position) {
    QByteArray f(64, 'x');
    position = uint64_t(f.size());
    AppendEntry(f, position + 24 + 50, 1, 2, "locale/a.mo");
    return f;
}
QByteArray PositionBeyondLimit(uint64_t& position) {
    QByteArray f = GoodChain(position);
    position = uint64_t(1) << 31;
    return f;
}
QByteArray EntryCutShort(uint64_t& position) {
    QByteArray f(64, 'x');
    position = uint64_t(f.size());
    f += Le64(200) + Le64(1); // next and offset, but no size
    return f;
}

void PrintTo(const TChainRow& row, std::ostream* os) {
    *os << row.Name;
}

class CatalogChain : public testing::TestWithParam<TChainRow> {};

TEST_P(CatalogChain, KeepsTheEntriesBeforeTheDamage) {
    uint64_t position = 0;
    const QByteArray bytes = GetParam().Make(position);
    TProgramDir dir;
    WriteBytes(dir.ProgramFile(), bytes);
    const TAssemblyAnalyzer analyzer(dir.ProgramFile(), position);
    EXPECT_EQ(analyzer.Names(), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CatalogChain,
    testing::Values(TChainRow{"Good", GoodChain, {"locale/a.mo", "locale/b.mo"}},
                    TChainRow{"ThirdEntryCutOff", ThirdEntryCutOff, {"locale/a.mo", "locale/b.mo"}},
                    TChainRow{"PointsBackwards", SecondPointsBackwards, {"locale/a.mo"}},
                    TChainRow{"DuplicateName", DuplicateName, {"locale/a.mo"}},
                    TChainRow{"NameRunsPastEnd", NameRunsPastEnd, {}},
                    TChainRow{"PositionBeyondLimit", PositionBeyondLimit, {}},
                    TChainRow{"EntryCutShort", EntryCutShort, {}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(StoredCatalogs, StoredPathsMatchTheProgramDirectoryExactlyAndTheRestInAnyCase) {
    uint64_t position = 0;
    TProgramDir dir;
    WriteBytes(dir.ProgramFile(), GoodChain(position));
    const TAssemblyAnalyzer analyzer(dir.ProgramFile(), position);
    const QString base = analyzer.ProgramDirectory();
    ASSERT_TRUE(base.endsWith('/'));
    const auto info = analyzer.FindFile(base + "LOCALE/B.mo");
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->Offset, 3u);
    EXPECT_EQ(info->Size, 4u);
    EXPECT_FALSE(analyzer.FileExists(base.toUpper() + "locale/b.mo"));
    EXPECT_FALSE(analyzer.FileExists(base + "locale/c.mo"));
    EXPECT_FALSE(analyzer.FileExists("locale/b.mo"));
}

// A program file with a catalog inside it, at an odd offset.
QByteArray ProgramWithStoredCatalog(const QByteArray& mo, uint64_t& position, uint64_t size) {
    QByteArray f(101, 'p');
    const uint64_t offset = uint64_t(f.size());
    f += mo;
    position = uint64_t(f.size());
    const QByteArray name = "locale/pl/LC_MESSAGES/cport.mo";
    AppendEntry(f, position + 24 + uint64_t(name.size()), offset, size, name);
    f += Le64(0);
    return f;
}

TEST(StoredCatalogs, StoredCatalogBeatsFileOfTheSamePath) {
    const QByteArray mo = CompileCatalog({{"OK", "ze środka"}}, {"--endianness=big"});
    TProgramDir dir;
    uint64_t position = 0;
    WriteBytes(dir.ProgramFile(), ProgramWithStoredCatalog(mo, position, uint64_t(mo.size())));
    dir.AddCatalog("pl", "cport", {{"OK", "z pliku"}, {"Cancel", "Anuluj"}});
    const TAssemblyAnalyzer analyzer(dir.ProgramFile(), position);
    TGnuGettextInstance engine(dir.ProgramFile(), &analyzer);
    engine.SelectLanguage("pl_PL");
    EXPECT_EQ(engine.TranslateInDomain("cport", "OK"), "ze środka");
    EXPECT_EQ(engine.TranslateInDomain("cport", "Cancel"), "Cancel");
}

TEST(StoredCatalogs, StoredCatalogRunningPastTheProgramsEndIsAnError) {
    const QByteArray mo = CompileCatalog({{"OK", "ze środka"}});
    TProgramDir dir;
    uint64_t position = 0;
    const QByteArray program = ProgramWithStoredCatalog(mo, position, uint64_t(1) << 40);
    WriteBytes(dir.ProgramFile(), program);
    const TAssemblyAnalyzer analyzer(dir.ProgramFile(), position);
    TGnuGettextInstance engine(dir.ProgramFile(), &analyzer);
    engine.SelectLanguage("pl");
    EXPECT_EQ(ErrorOf([&] { engine.TranslateInDomain("cport", "OK"); }),
              "The GNU gettext mo file " + dir.CatalogPath("pl", "cport") +
                  " is damaged: it runs past the end of the program file " + dir.ProgramFile());
}

TEST(StoredCatalogs, StoredCatalogIsBoundedByItsSizeNotByTheFile) {
    // The stored size cuts the catalog's tables off: reading on into the
    // bytes behind it (the chain) would be reading another file's data.
    const QByteArray mo = CompileCatalog({{"OK", "ze środka"}});
    TProgramDir dir;
    uint64_t position = 0;
    WriteBytes(dir.ProgramFile(), ProgramWithStoredCatalog(mo, position, 24));
    const TAssemblyAnalyzer analyzer(dir.ProgramFile(), position);
    TGnuGettextInstance engine(dir.ProgramFile(), &analyzer);
    engine.SelectLanguage("pl");
    EXPECT_EQ(ErrorOf([&] { engine.TranslateInDomain("cport", "OK"); }),
              "The GNU gettext mo file " + dir.CatalogPath("pl", "cport") +
                  " is damaged: its header is truncated");
}

// --- the packaging tool on a real program ----------------------------------

struct TRun {
    int Exit;
    QString Out;
    QString Err;
};

TRun RunProgram(const QString& program, const QStringList& args,
                const QByteArray& lang = "pl_PL.UTF-8") {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LANG", QString::fromLatin1(lang));
    p.setProcessEnvironment(env);
    p.start(program, args);
    EXPECT_TRUE(p.waitForFinished(60000)) << program.toStdString();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

class EmbedCatalogs : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QFile::copy(BuiltProgram("i18n_probe"), Probe()));
        QFile::setPermissions(Probe(), QFile::permissions(Probe()) | QFile::ExeOwner);
        // The catalogs to store, in a tree of their own.
        WriteBytes(Src("locale/pl/LC_MESSAGES/cport.mo"),
                   CompileCatalog({{"OK", "ze środka"}, {"Port", "Port (stored)"}}));
        WriteBytes(Src("locale/de/LC_MESSAGES/default.mo"), CompileCatalog({{"OK", "Gut"}}));
    }
    QString Probe() const { return Dir.Dir.filePath("probe"); }
    QString Src(const QString& rel) const { return Dir.Dir.filePath("src/" + rel); }
    TRun Embed(const QString& program) {
        return RunProgram(BuiltProgram("embed-catalogs"), {program, Src("locale")});
    }
    TProgramDir Dir;
};

TEST_F(EmbedCatalogs, StoredCatalogsAreFoundAndBeatFilesOfTheSamePath) {
    Dir.AddCatalog("pl", "cport", {{"OK", "z pliku"}, {"Cancel", "Anuluj z pliku"}});
    const TRun embed = Embed(Probe());
    ASSERT_EQ(embed.Exit, 0) << embed.Err.toStdString();
    EXPECT_TRUE(embed.Out.contains("locale/pl/LC_MESSAGES/cport.mo"));
    // The program still runs, finds the stored catalog first, and falls back
    // to nothing else for that domain.
    const TRun run = RunProgram(Probe(), {"cport", "OK", "Port", "Cancel"});
    EXPECT_EQ(run.Exit, 0) << run.Err.toStdString();
    EXPECT_EQ(run.Out, "ze środka\nPort (stored)\nCancel\n");
    EXPECT_EQ(RunProgram(Probe(), {"default", "OK"}, "de_DE").Out, "Gut\n");
}

TEST_F(EmbedCatalogs, RefusesAProgramThatAlreadyHasStoredCatalogs) {
    ASSERT_EQ(Embed(Probe()).Exit, 0);
    const QByteArray before = ReadBytes(Probe());
    const TRun again = Embed(Probe());
    EXPECT_NE(again.Exit, 0);
    EXPECT_TRUE(again.Err.contains("already has stored catalogs")) << again.Err.toStdString();
    EXPECT_EQ(ReadBytes(Probe()), before);
}

TEST_F(EmbedCatalogs, RefusesFilesWithoutExactlyOneMarker) {
    const QString plain = Dir.Dir.filePath("plain");
    WriteBytes(plain, QByteArray(4096, 'z'));
    const TRun none = Embed(plain);
    EXPECT_NE(none.Exit, 0);
    EXPECT_TRUE(none.Err.contains("has no catalog marker")) << none.Err.toStdString();
    EXPECT_EQ(ReadBytes(plain), QByteArray(4096, 'z'));

    QByteArray twice = ReadBytes(Probe()) + StoredCatalogMarkerGuid() + QByteArray(8, '\0');
    WriteBytes(Probe(), twice);
    const TRun two = Embed(Probe());
    EXPECT_NE(two.Exit, 0);
    EXPECT_TRUE(two.Err.contains("has 2 catalog markers")) << two.Err.toStdString();
    EXPECT_EQ(ReadBytes(Probe()), twice);
}

TEST_F(EmbedCatalogs, AsBuiltTheProgramHasExactlyOneEmptyMarker) {
    const QByteArray program = ReadBytes(Probe());
    const QByteArray guid = StoredCatalogMarkerGuid();
    ASSERT_EQ(guid.size(), 36);
    const qsizetype at = program.indexOf(guid);
    ASSERT_GE(at, 0);
    EXPECT_EQ(program.indexOf(guid, at + 1), -1);
    EXPECT_EQ(program.mid(at + 36, 8), QByteArray(8, '\0'));
    EXPECT_EQ(StoredCatalogTablePosition(), 0u);
}
} // namespace
