// Looking texts up in catalogs made by msgfmt, in both byte orders, and in
// damaged catalogs made here from them.
#include "DomainSeams.h"
#include "I18nTestSupport.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace kv52804;

namespace {
const TEntries kEntries = {
    {QStringLiteral("OK"), QStringLiteral("Dobrze")},
    {QStringLiteral("Baud rate"), QStringLiteral("Prędkość")},
    {QStringLiteral("Cancel"), QStringLiteral("Anuluj")},
    {QStringLiteral("First\nSecond"), QStringLiteral("Pierwszy\nDrugi")},
    {QStringLiteral("Zebra"), QStringLiteral("Zebra po polsku")},
};

// Threads that run a lookup over and over until the object goes.
class TReaders {
public:
    TReaders(int count, const std::function<void()>& lookup) {
        for (int t = 0; t < count; ++t)
            FThreads.emplace_back([this, lookup] {
                while (!FStop)
                    lookup();
            });
    }
    ~TReaders() {
        FStop = true;
        for (auto& t : FThreads)
            t.join();
    }

private:
    std::atomic<bool> FStop{false};
    std::vector<std::thread> FThreads;
};

struct TLayoutRow {
    const char* Name;
    const char* Endianness;
    const char* Directory; // language directory of the catalog
    const char* Language;  // the engine's language code
    bool Translated;
};

void PrintTo(const TLayoutRow& row, std::ostream* os) {
    *os << row.Name;
}

class CatalogLayout : public testing::TestWithParam<TLayoutRow> {};

TEST_P(CatalogLayout, FindsAndReadsTheCatalog) {
    const TLayoutRow& row = GetParam();
    TProgramDir dir;
    dir.AddCatalog(QString::fromLatin1(row.Directory), QStringLiteral("cport"), kEntries,
                   {QStringLiteral("--endianness=%1").arg(QString::fromLatin1(row.Endianness))});
    TGnuGettextInstance engine(dir.ProgramFile(), nullptr);
    engine.SelectLanguage(QString::fromLatin1(row.Language));
    const auto tr = [&](const char* s) {
        return engine.TranslateInDomain(QStringLiteral("cport"), QString::fromUtf8(s));
    };
    EXPECT_EQ(tr("Absent"), QStringLiteral("Absent"));
    if (row.Translated) {
        // Every entry, the first, the last and the middle of the sorted table;
        // the domain, once made, is found in any letter case.
        for (const auto& [id, str] : kEntries)
            EXPECT_EQ(engine.TranslateInDomain(QStringLiteral("CPORT"), id),
                      QString(str).replace(QStringLiteral("\n"), QStringLiteral("\r\n")));
    } else {
        EXPECT_EQ(tr("Baud rate"), QStringLiteral("Baud rate"));
    }
    EXPECT_EQ(tr("A"), QStringLiteral("A"));       // before every entry
    EXPECT_EQ(tr("zzzz"), QStringLiteral("zzzz")); // after every entry
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CatalogLayout,
    testing::Values(TLayoutRow{"LittleEndianFullCode", "little", "pl_PL", "pl_PL", true},
                    TLayoutRow{"BigEndianFullCode", "big", "pl_PL", "pl_PL", true},
                    TLayoutRow{"LittleEndianTwoLetters", "little", "pl", "pl_PL", true},
                    TLayoutRow{"BigEndianTwoLetters", "big", "pl", "pl_PL", true},
                    TLayoutRow{"OneLetterCode", "little", "p", "p", true},
                    TLayoutRow{"OtherLanguage", "little", "de", "pl_PL", false},
                    TLayoutRow{"CodeCutAtDot", "little", "pl_PL", "pl_PL.UTF-8", true}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(CatalogLookup, FullCodeDirectoryBeatsTwoLetterDirectory) {
    TProgramDir dir;
    dir.AddCatalog("pl_PL", "cport", {{"OK", "pełny"}});
    dir.AddCatalog("pl", "cport", {{"OK", "krótki"}});
    TGnuGettextInstance engine(dir.ProgramFile(), nullptr);
    engine.SelectLanguage("pl_PL");
    EXPECT_EQ(engine.TranslateInDomain("cport", "OK"), "pełny");
}

TEST(CatalogLookup, EmptyTextGivesTheHeaderEntry) {
    TProgramDir dir;
    dir.AddCatalog("pl", "default", kEntries);
    TGnuGettextInstance engine(dir.ProgramFile(), nullptr);
    engine.SelectLanguage("pl");
    EXPECT_EQ(engine.Translate(""), "Project-Id-Version: test\r\n"
                                    "Content-Type: text/plain; charset=UTF-8\r\n");
}

TEST(CatalogLookup, LineBreaksComeBackAsCarriageReturnLineFeed) {
    TProgramDir dir;
    dir.AddCatalog("pl", "default", kEntries);
    TGnuGettextInstance engine(dir.ProgramFile(), nullptr);
    engine.SelectLanguage("pl");
    // Untranslated texts: a bare line feed gains a carriage return, a pair
    // stays a pair, a lone carriage return is dropped with the key.
    EXPECT_EQ(engine.Translate("one\ntwo\n"), "one\r\ntwo\r\n");
    EXPECT_EQ(engine.Translate("one\r\ntwo"), "one\r\ntwo");
    EXPECT_EQ(engine.Translate("one\rtwo"), "onetwo");
    // The key loses its carriage returns, so Windows line ends find the entry.
    EXPECT_EQ(engine.Translate("First\r\nSecond"), "Pierwszy\r\nDrugi");
    EXPECT_EQ(engine.Translate("First\nSecond"), "Pierwszy\r\nDrugi");
}

// Enough entries that probe chains collide and wrap around msgfmt's hash
// table; non-ASCII keys hash by their unsigned bytes.
TEST(CatalogLookup, EveryEntryIsFoundThroughTheHashTable) {
    TEntries entries;
    for (int i = 0; i < 300; ++i)
        entries.push_back(
            {QStringLiteral("Tekst źródłowy %1").arg(i), QStringLiteral("Text %1").arg(i)});
    for (const QString order : {"little", "big"}) {
        TProgramDir dir;
        dir.AddCatalog("pl", "default", entries, {"--endianness=" + order});
        TGnuGettextInstance engine(dir.ProgramFile(), nullptr);
        engine.SelectLanguage("pl");
        int wrong = 0;
        for (const auto& [id, str] : entries)
            wrong += engine.Translate(id) != str || engine.Translate(id + u'!') != id + u'!';
        EXPECT_EQ(wrong, 0) << order.toStdString();
    }
}

TEST(CatalogLookup, MissingCatalogIsSearchedForOncePerLanguage) {
    TProgramDir dir;
    TGnuGettextInstance engine(dir.ProgramFile(), nullptr);
    engine.SelectLanguage("pl_PL");
    EXPECT_EQ(engine.TranslateInDomain("cport", "OK"), "OK");
    dir.AddCatalog("pl", "cport", {{"OK", "Dobrze"}});
    EXPECT_EQ(engine.TranslateInDomain("cport", "OK"), "OK");
    engine.SelectLanguage("pl_PL"); // a language change searches again
    EXPECT_EQ(engine.TranslateInDomain("cport", "OK"), "Dobrze");
}

TEST(CatalogLookup, BoundDirectoryIsUsedForItsDomainOnly) {
    TProgramDir dir;
    TProgramDir other;
    other.AddCatalog("pl", "cport", {{"OK", "z innego katalogu"}});
    dir.AddCatalog("pl", "default", {{"OK", "domyślny"}});
    TGnuGettextInstance engine(dir.ProgramFile(), nullptr);
    engine.SelectLanguage("pl");
    engine.BindDomainDirectory("cport", other.Dir.filePath("locale"));
    EXPECT_EQ(engine.TranslateInDomain("cport", "OK"), "z innego katalogu");
    EXPECT_EQ(engine.Translate("OK"), "domyślny");
}

TEST(CatalogLookup, ThreadsLookUpWhileTheCatalogIsOpenedAndReopened) {
    TProgramDir dir;
    dir.AddBytes("pl", "cport", MakeMoBytes(kEntries));
    TGnuGettextInstance engine(dir.ProgramFile(), nullptr);
    engine.SelectLanguage("pl");
    std::atomic<int> wrong{0};
    std::atomic<int> done{0};
    {
        const TReaders readers(3, [&] {
            if (engine.TranslateInDomain("cport", "Cancel") != "Anuluj" ||
                engine.TranslateInDomain("Cport", "Port") != "Port")
                ++wrong;
            ++done;
        });
        // Choosing the language again closes every catalog under the readers.
        for (int i = 0; i < 200 || done < 5000; ++i)
            engine.SelectLanguage("pl");
    }
    EXPECT_EQ(wrong, 0);
}

// A language change between a lookup's opening of the catalog and its reading
// from it: the lookup opens the catalog again instead of answering untranslated.
TEST(CatalogLookup, CatalogClosedBetweenOpeningAndReadingIsOpenedAgain) {
    TProgramDir dir;
    dir.AddBytes("pl", "cport", MakeMoBytes(kEntries));
    TDomain domain("cport", dir.Dir.filePath("locale"), "pl", nullptr);
    int gaps = 0;
    TDomainSeams::SetLockGapHook(domain, [&] {
        if (++gaps == 1)
            domain.SetLanguageCode("pl");
    });
    EXPECT_EQ(domain.Translate("Cancel"), "Anuluj");
    EXPECT_EQ(gaps, 2);
}

// Lookups racing language changes between two catalogs: once a change has
// returned, no lookup may keep the old language's catalog open for the new one.
TEST(CatalogLookup, LanguageChangeNeverLeavesTheOldCatalogOpen) {
    TProgramDir dir;
    dir.AddBytes("pl", "cport", MakeMoBytes(kEntries));
    dir.AddBytes("de", "cport", MakeMoBytes({{"Cancel", "Abbrechen"}}));
    TDomain domain("cport", dir.Dir.filePath("locale"), "pl", nullptr);
    const TReaders readers(2, [&] { domain.Translate("Cancel"); });
    int wrong = 0;
    for (int i = 0; i < 4000; ++i) {
        const bool german = i % 2 == 0;
        domain.SetLanguageCode(german ? "de" : "pl");
        wrong += domain.Translate("Cancel") != (german ? "Abbrechen" : "Anuluj");
    }
    EXPECT_EQ(wrong, 0);
}

TEST(CatalogLookup, ByteOrderMarkIsPartOfTheTranslation) {
    TProgramDir dir;
    const QString bom(QChar(0xFEFF)); // QString("\uFEFF...") would already drop it
    dir.AddBytes("pl", "default",
                 MakeMoBytes({{"Only", bom}, {"Lead", bom + "tekst"}, {"Lines", bom + "a\nb"}}));
    TGnuGettextInstance engine(dir.ProgramFile(), nullptr);
    engine.SelectLanguage("pl");
    EXPECT_EQ(engine.Translate("Only"), bom);
    EXPECT_EQ(engine.Translate("Lead"), bom + "tekst");
    EXPECT_EQ(engine.Translate("Lines"), bom + "a\r\nb");
}

// --- damaged catalogs -------------------------------------------------------

struct TDamageRow {
    const char* Name;
    QByteArray (*Make)(const QByteArray& good);
    const char* Text;     // looked up
    const char* Expected; // message; %1 is the catalog's path
    bool Halving = false; // the catalog has no hash table and is searched by halving
};

QByteArray BadMagic(const QByteArray& good) {
    QByteArray b = good;
    b[0] = 'X';
    return b;
}
QByteArray TooShortForMagic(const QByteArray& good) {
    return good.left(3);
}
QByteArray TruncatedHeader(const QByteArray& good) {
    return good.left(20);
}
QByteArray CountTooLarge(const QByteArray& good) {
    QByteArray b = good;
    SetWord(b, 8, 0x10000000);
    return b;
}
QByteArray TableOutside(const QByteArray& good) {
    QByteArray b = good;
    SetWord(b, 16, uint32_t(b.size()) - 4); // translation table starts 4 bytes before the end
    return b;
}
// The source entry of "OK" with a bad offset or length: index 2 of 5 entries
// (header entry included), the middle one, which halving probes first.
QByteArray SourceOffsetOutside(const QByteArray& good) {
    QByteArray b = good;
    SetWord(b, int(Word(b, 12)) + 2 * 8 + 4, 0xFFFFFFF0);
    return b;
}
QByteArray SourceLengthOutside(const QByteArray& good) {
    QByteArray b = good;
    SetWord(b, int(Word(b, 12)) + 2 * 8, uint32_t(b.size()));
    return b;
}
QByteArray TranslationEndsAtFileEnd(const QByteArray& good) {
    QByteArray b = good;
    const int entry = int(Word(b, 16)) + 2 * 8;
    // Length reaching exactly to the last byte: the terminating zero would lie
    // one past the end.
    SetWord(b, entry, uint32_t(b.size()) - Word(b, entry + 4));
    return b;
}
QByteArray InvalidUtf8(const QByteArray& good) {
    QByteArray b = good;
    const int pos = b.indexOf("BROKEN");
    b[pos] = char(0xC3); // a lead byte followed by ASCII
    return b;
}
QByteArray Empty(const QByteArray&) {
    return QByteArray();
}

void PrintTo(const TDamageRow& row, std::ostream* os) {
    *os << row.Name;
}

class DamagedCatalog : public testing::TestWithParam<TDamageRow> {};

TEST_P(DamagedCatalog, RaisesItsMessage) {
    const TDamageRow& row = GetParam();
    // Sorted: "", "Baud rate", "OK", "Port", "Setup".
    const QByteArray good = CompileCatalog(
        {{"OK", "Dobrze"}, {"Port", "BROKEN"}, {"Baud rate", "Prędkość"}, {"Setup", "Ustawienia"}},
        row.Halving ? QStringList{"--no-hash"} : QStringList{});
    TProgramDir dir;
    const QString path = dir.AddBytes("pl", "cport", row.Make(good));
    TGnuGettextInstance engine(dir.ProgramFile(), nullptr);
    engine.SelectLanguage("pl");
    EXPECT_EQ(ErrorOf([&] { engine.TranslateInDomain("cport", QString::fromUtf8(row.Text)); }),
              QString::fromUtf8(row.Expected).arg(path));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DamagedCatalog,
    testing::Values(
        TDamageRow{"BadMagic", BadMagic, "OK", "This file is not a valid GNU gettext mo file: %1"},
        TDamageRow{"TooShortForMagic", TooShortForMagic, "OK",
                   "This file is not a valid GNU gettext mo file: %1"},
        TDamageRow{"TruncatedHeader", TruncatedHeader, "OK",
                   "The GNU gettext mo file %1 is damaged: its header is truncated"},
        TDamageRow{"CountTooLarge", CountTooLarge, "OK",
                   "The GNU gettext mo file %1 is damaged: its string tables run past its end"},
        TDamageRow{"TableOutside", TableOutside, "OK",
                   "The GNU gettext mo file %1 is damaged: its string tables run past its end"},
        TDamageRow{"SourceOffsetOutside", SourceOffsetOutside, "OK",
                   "The GNU gettext mo file %1 is damaged: entry 2 points outside the file"},
        TDamageRow{"SourceLengthOutside", SourceLengthOutside, "OK",
                   "The GNU gettext mo file %1 is damaged: entry 2 points outside the file"},
        TDamageRow{"SourceLengthOutsideOnTheWay", SourceLengthOutside, "Baud rate",
                   "The GNU gettext mo file %1 is damaged: entry 2 points outside the file", true},
        TDamageRow{"TranslationEndsAtFileEnd", TranslationEndsAtFileEnd, "OK",
                   "The GNU gettext mo file %1 is damaged: entry 2 points outside the file"},
        TDamageRow{"InvalidUtf8", InvalidUtf8, "Port",
                   "Error: Could not translate Port. Probably because the mo file doesn't "
                   "contain utf-8 encoded translations."},
        TDamageRow{"EmptyFile", Empty, "OK", "Cannot create memory map on file %1"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(CatalogLookup, TestCatalogWriterAgreesWithMsgfmt) {
    // The threads test relies on this writer instead of msgfmt.
    EXPECT_EQ(MakeMoBytes(kEntries).toHex(' '), CompileCatalog(kEntries, {"--no-hash"}).toHex(' '));
}

TEST(CatalogLookup, EntriesAwayFromTheDamageStillWork) {
    const QByteArray good = CompileCatalog({{"OK", "Dobrze"}, {"Port", "BROKEN"}});
    TProgramDir dir;
    dir.AddBytes("pl", "cport", InvalidUtf8(good));
    TGnuGettextInstance engine(dir.ProgramFile(), nullptr);
    engine.SelectLanguage("pl");
    EXPECT_NE(ErrorOf([&] { engine.TranslateInDomain("cport", "Port"); }), "(no error)");
    EXPECT_EQ(engine.TranslateInDomain("cport", "OK"), "Dobrze");
}

TEST(CatalogLookup, AfterBadMagicLaterLookupsFailWithoutReadingTheFile) {
    TProgramDir dir;
    const QString path = dir.AddBytes("pl", "cport", "not a catalog at all");
    TGnuGettextInstance engine(dir.ProgramFile(), nullptr);
    engine.SelectLanguage("pl");
    const QString expected = "This file is not a valid GNU gettext mo file: " + path;
    EXPECT_EQ(ErrorOf([&] { engine.TranslateInDomain("cport", "OK"); }), expected);
    // A good catalog in its place is not looked at: the domain is spent.
    dir.AddCatalog("pl", "cport", {{"OK", "Dobrze"}});
    EXPECT_EQ(ErrorOf([&] { engine.TranslateInDomain("cport", "Cancel"); }), expected);
    EXPECT_EQ(ErrorOf([&] { engine.TranslateInDomain("cport", "OK"); }), expected);
    // Other domains are not affected.
    EXPECT_EQ(engine.TranslateInDomain("default", "OK"), "OK");
}

TEST(CatalogLookup, FileThatCannotBeOpenedIsTriedAgainNextTime) {
    TProgramDir dir;
    const QString path = dir.CatalogPath("pl", "cport");
    QDir().mkpath(QFileInfo(path).absolutePath());
    // A socket in the catalog's place: present, but open() refuses it, even
    // for root.
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray native = path.toLocal8Bit();
    ASSERT_LT(size_t(native.size()), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, native.constData(), size_t(native.size()));
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    TGnuGettextInstance engine(dir.ProgramFile(), nullptr);
    engine.SelectLanguage("pl");
    EXPECT_EQ(ErrorOf([&] { engine.TranslateInDomain("cport", "OK"); }),
              "Cannot open file " + path);
    ::close(sock);
    QFile::remove(path);
    dir.AddCatalog("pl", "cport", {{"OK", "Dobrze"}});
    EXPECT_EQ(engine.TranslateInDomain("cport", "OK"), "Dobrze");
}

struct TUtf8Row {
    const char* Name;
    const char* Bytes;
    bool Valid;
};

void PrintTo(const TUtf8Row& row, std::ostream* os) {
    *os << row.Name;
}

class Utf8Validation : public testing::TestWithParam<TUtf8Row> {};

TEST_P(Utf8Validation, AcceptsOnlyStrictUtf8) {
    const std::string bytes = GetParam().Bytes;
    EXPECT_EQ(IsValidUtf8(bytes.data(), bytes.size()), GetParam().Valid);
}

INSTANTIATE_TEST_SUITE_P(Rows, Utf8Validation,
                         testing::Values(TUtf8Row{"Ascii", "plain ASCII text longer than eight",
                                                  true},
                                         TUtf8Row{"TwoBytes",
                                                  "Pr\xC4\x99"
                                                  "dko\xC5\x9B\xC4\x87",
                                                  true},
                                         TUtf8Row{"ThreeBytes", "\xE2\x82\xAC", true},
                                         TUtf8Row{"FourBytes", "\xF0\x9F\x98\x80", true},
                                         TUtf8Row{"LastCodePoint", "\xF4\x8F\xBF\xBF", true},
                                         TUtf8Row{"OverlongTwoBytes", "\xC0\x80", false},
                                         TUtf8Row{"OverlongThreeBytes", "\xE0\x80\xAF", false},
                                         TUtf8Row{"OverlongFourBytes", "\xF0\x80\x80\xAF", false},
                                         TUtf8Row{"Surrogate", "\xED\xA0\x80", false},
                                         TUtf8Row{"BeyondUnicode", "\xF4\x90\x80\x80", false},
                                         TUtf8Row{"Truncated", "abc\xE2\x82", false},
                                         TUtf8Row{"LoneContinuation", "abcdefgh\x80", false},
                                         TUtf8Row{"Latin1",
                                                  "Pr\xEA"
                                                  "dko\xB6\xE6",
                                                  false}),
                         [](const auto& info) { return std::string(info.param.Name); });
} // namespace
