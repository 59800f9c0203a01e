#include "gnugettext.h"

#include "CatalogChain.h"
#include "RtlConsts.h"

#include <QDir>
#include <QFileInfo>
#include <QObject>
#include <QStringDecoder>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv52804 {

// ---------------------------------------------------------------------------
// The stored-catalog marker.
//
// The packaging tool finds these 44 bytes in the program file and writes the
// position of the stored-catalog chain into the last 8. The program must read
// them from its own copy at run time: volatile keeps the compiler from
// folding the (as built, zero) position into a constant, and "used" keeps the
// linker from dropping an object nothing else refers to. The characters are
// spelled out one by one because a string literal would need a 45th byte.
namespace {
struct TCatalogMarker {
    char Guid[36];
    unsigned char Position[8];
};
static_assert(sizeof(TCatalogMarker) == 44);

[[gnu::used]] const volatile TCatalogMarker gCatalogMarker = {
    {'6', '6', '3', '7', 'D', 'B', '2', 'E', '-', '6', '2', 'E', '1', '-', '4', 'A', '6', '0',
     '-', 'A', 'C', '1', '9', '-', 'C', '2', '3', '8', '6', '7', '0', '4', '6', 'A', '8', '9'},
    {0, 0, 0, 0, 0, 0, 0, 0}};
} // namespace

uint64_t StoredCatalogTablePosition() {
    uint64_t position = 0;
    for (int i = 7; i >= 0; --i)
        position = position << 8 | gCatalogMarker.Position[i];
    return position;
}

QByteArray StoredCatalogMarkerGuid() {
    QByteArray guid(36, '\0');
    for (int i = 0; i < 36; ++i)
        guid[i] = gCatalogMarker.Guid[i];
    return guid;
}

// ---------------------------------------------------------------------------
// Program file and language.

QString ProgramFilePath() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return QString();
    return QString::fromLocal8Bit(buf, n);
}

QString ComponentCatalogDirectory() {
    Dl_info self{};
    if (::dladdr(reinterpret_cast<void*>(&ComponentCatalogDirectory), &self) == 0 ||
        !self.dli_fname)
        return QString();
    // Linked into the program, dladdr names the program, and its folder is
    // no library folder: the program's own locale folder is all there is.
    Dl_info program{};
    const unsigned long headers = ::getauxval(AT_PHDR);
    if (headers != 0 && ::dladdr(reinterpret_cast<void*>(headers), &program) != 0 &&
        program.dli_fbase == self.dli_fbase)
        return QString();
    // The path from the library folder to the locale folder was fixed when
    // the build was configured, so a moved installation still finds it.
    const QString directory =
        QDir::cleanPath(QFileInfo(QFile::decodeName(self.dli_fname)).absolutePath() + u'/' +
                        QStringLiteral(KV_LOCALE_FROM_LIBDIR));
    return QFileInfo(directory).isDir() ? directory : QString();
}

QString LanguageCodeFromLocaleName(const QString& localeName) {
    const qsizetype end = [&] {
        qsizetype i = 0;
        while (i < localeName.size() && localeName[i] != u'.' && localeName[i] != u'@')
            ++i;
        return i;
    }();
    const QString base = localeName.left(end);
    const qsizetype bar = base.indexOf(u'_');
    if (bar != 2 || base.size() != 5)
        return QString();
    for (qsizetype i : {0, 1, 3, 4}) {
        const char16_t c = base[i].unicode();
        if (!((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')))
            return QString();
    }
    return base;
}

QString LanguageCodeForLocaleId(uint32_t localeId) {
    static const struct {
        uint32_t Id;
        const char* Code;
    } table[] = {
        {0x0406, "da_DK"}, {0x0407, "de_DE"}, {0x0408, "gr_GR"}, {0x0409, "en_US"},
        {0x040A, "es_ES"}, {0x040B, "fi_FI"}, {0x040C, "fr_FR"}, {0x040F, "is_IS"},
        {0x0410, "it_IT"}, {0x0412, "ko_KO"}, {0x0413, "nl_NL"}, {0x0414, "no_NO"},
        {0x0415, "pl_PL"}, {0x0416, "pt_BR"}, {0x0419, "ru_RU"}, {0x041D, "sv_SE"},
        {0x0809, "en_UK"}, {0x080C, "fr_BE"}, {0x0813, "nl_BE"}, {0x0814, "nn_NO"},
        {0x0816, "pt_PT"}, {0x081D, "fi_SE"}, {0x0C0A, "es_ES"}, {0x0C0C, "fr_CA"},
        {0x1007, "de_LU"},
    };
    for (const auto& row : table)
        if (row.Id == localeId)
            return QString::fromLatin1(row.Code);
    return QStringLiteral("C");
}

QString LanguageFromEnvironment() {
    QString code = qEnvironmentVariable("LANG");
    if (code.isEmpty()) {
        // The locale environment stands for the user's default locale: the
        // first of these that is set is the one in force for messages.
        QString locale = qEnvironmentVariable("LC_ALL");
        if (locale.isEmpty())
            locale = qEnvironmentVariable("LC_MESSAGES");
        code = LanguageCodeFromLocaleName(locale);
        // Linux has no locale identifier of the thread to fall back on.
        if (code.isEmpty())
            code = QStringLiteral("C");
    }
    const qsizetype dot = code.indexOf(u'.');
    if (dot >= 0)
        code.truncate(dot);
    return code;
}

// ---------------------------------------------------------------------------
// TAssemblyAnalyzer

TAssemblyAnalyzer::TAssemblyAnalyzer(const QString& programFile, uint64_t tablePosition)
    : FProgramFile(programFile) {
    const QFileInfo info(programFile);
    FProgramDirectory = info.absolutePath();
    if (!FProgramDirectory.endsWith(u'/'))
        FProgramDirectory += u'/';
    if (tablePosition == 0)
        return;
    std::FILE* f = std::fopen(programFile.toLocal8Bit().constData(), "rbe");
    if (!f)
        return; // a program that cannot read itself simply has no stored catalogs
    const auto read = [f](uint64_t pos, void* buf, std::size_t len) {
        return ::fseeko(f, off_t(pos), SEEK_SET) == 0 && std::fread(buf, 1, len, f) == len;
    };
    const auto add = [this](TStoredCatalogEntry&& e) {
        const TAssemblyFileInfo fi{e.Offset, e.Size};
        return FFiles.emplace(QString::fromLocal8Bit(e.Name.data(), qsizetype(e.Name.size())), fi)
            .second;
    };
    ReadCatalogChain(tablePosition, read, add);
    std::fclose(f);
}

std::optional<TAssemblyFileInfo> TAssemblyAnalyzer::FindFile(const QString& path) const {
    if (!path.startsWith(FProgramDirectory, Qt::CaseSensitive))
        return std::nullopt;
    const auto it = FFiles.find(path.mid(FProgramDirectory.size()));
    if (it == FFiles.end())
        return std::nullopt;
    return it->second;
}

QStringList TAssemblyAnalyzer::Names() const {
    QStringList names;
    for (const auto& [name, info] : FFiles)
        names << name;
    return names;
}

// ---------------------------------------------------------------------------
// Keys and results.

namespace {
// UTF-16 to UTF-8 without carriage returns, into out, which has room for
// kKeyBytesPerUnit bytes per UTF-16 unit; returns the length. A lone surrogate
// becomes U+FFFD, as it would in any other UTF-8 conversion of the text.
constexpr std::size_t kKeyBytesPerUnit = 3;
std::size_t EncodeKey(const QString& text, char* out) {
    char* o = out;
    const char16_t* p = reinterpret_cast<const char16_t*>(text.utf16());
    const char16_t* end = p + text.size();
    while (p < end) {
        uint32_t c = *p++;
        if (c < 0x80) {
            if (c != '\r')
                *o++ = char(c);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && p < end && *p >= 0xDC00 && *p <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (*p++ - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        if (c < 0x800) {
            *o++ = char(0xC0 | c >> 6);
        } else if (c < 0x10000) {
            *o++ = char(0xE0 | c >> 12);
            *o++ = char(0x80 | (c >> 6 & 0x3F));
        } else {
            *o++ = char(0xF0 | c >> 18);
            *o++ = char(0x80 | (c >> 12 & 0x3F));
            *o++ = char(0x80 | (c >> 6 & 0x3F));
        }
        *o++ = char(0x80 | (c & 0x3F));
    }
    return std::size_t(o - out);
}

// Qt's plain decoder drops a leading byte-order mark; a translation keeps
// every character the catalog stores.
QString DecodeUtf8(std::string_view s) {
    if (s.substr(0, 3) != "\xEF\xBB\xBF")
        return QString::fromUtf8(s.data(), qsizetype(s.size()));
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    return decoder(QByteArrayView(s.data(), qsizetype(s.size())));
}

// The final steps of every lookup: a carriage return before each line feed
// that lacks one, then strict decoding.
QString FinishResult(std::string_view result, const QString& original) {
    if (!IsValidUtf8(result.data(), result.size())) {
        if (original.isEmpty())
            return QString();
        throw EGnuGettext("Error: Could not translate " + original +
                          ". Probably because the mo file doesn't contain utf-8 encoded "
                          "translations.");
    }
    if (result.find('\n') == std::string_view::npos)
        return DecodeUtf8(result);
    std::string fixed;
    fixed.reserve(result.size() + 8);
    for (std::size_t i = 0; i < result.size(); ++i) {
        if (result[i] == '\n' && (i == 0 || result[i - 1] != '\r'))
            fixed += '\r';
        fixed += result[i];
    }
    return DecodeUtf8(fixed);
}

bool IsPresentFile(const QString& path) {
    struct stat st {};
    return ::stat(path.toLocal8Bit().constData(), &st) == 0 && !S_ISDIR(st.st_mode);
}

const QString kNotMoFile = QStringLiteral("This file is not a valid GNU gettext mo file: ");
} // namespace

// ---------------------------------------------------------------------------
// TDomain

TDomain::TDomain(QString name, QString directory, QString languageCode,
                 const TAssemblyAnalyzer* analyzer)
    : FName(std::move(name)), FAnalyzer(analyzer) {
    SetDirectory(directory);
    SetLanguageCode(languageCode);
}

// Nobody else can hold the domain any longer; closing frees the kept results.
TDomain::~TDomain() {
    CloseCatalogLocked();
}

QString TDomain::Directory() const {
    std::shared_lock lock(FLock);
    return FDirectory;
}

QString TDomain::LanguageCode() const {
    std::shared_lock lock(FLock);
    return FLanguageCode;
}

// Closing and storing happen under one lock: a lookup in between would open
// the old catalog again and keep it for the new setting.
void TDomain::SetDirectory(const QString& directory) {
    std::unique_lock lock(FLock);
    CloseCatalogLocked();
    FDirectory = directory.endsWith(u'/') ? directory : directory + u'/';
}

void TDomain::SetFallbackDirectory(const QString& directory) {
    std::unique_lock lock(FLock);
    CloseCatalogLocked();
    FFallbackDirectory =
        directory.isEmpty() || directory.endsWith(u'/') ? directory : directory + u'/';
}

void TDomain::SetLanguageCode(const QString& languageCode) {
    std::unique_lock lock(FLock);
    CloseCatalogLocked();
    FLanguageCode = languageCode;
}

void TDomain::CloseCatalog() {
    std::unique_lock lock(FLock);
    CloseCatalogLocked();
}

void TDomain::CloseCatalogLocked() {
    for (auto& block : FResultBlocks)
        delete[] block.load(std::memory_order_relaxed);
    FResultBlocks.clear();
    FMap.Close();
    FCatalog = TMoCatalog();
    FFailure.reset();
    FCatalogPath.clear();
    FOpen = false;
    FWorthTrying = true;
}

bool TDomain::IsOpen() const {
    std::shared_lock lock(FLock);
    return FOpen;
}

QString TDomain::CatalogPath() const {
    std::shared_lock lock(FLock);
    return FCatalogPath;
}

QString TDomain::CandidatePath(const QString& directory, const QString& language) const {
    return directory + language + QStringLiteral("/LC_MESSAGES/") + FName + QStringLiteral(".mo");
}

QString TDomain::CatalogDamage(const QString& what) const {
    return QStringLiteral("The GNU gettext mo file ") + FCatalogPath +
           QStringLiteral(" is damaged: ") + what;
}

QString TDomain::EntryDamage(uint32_t entry) const {
    return CatalogDamage(QStringLiteral("entry %1 points outside the file").arg(entry));
}

void TDomain::OpenCatalog() {
    if (FOpen || !FWorthTrying)
        return;
    QString path;
    TAssemblyFileInfo stored;
    bool isStored = false;
    const auto find = [&](const QString& directory, const QString& language) {
        path = CandidatePath(directory, language);
        const auto found = FAnalyzer ? FAnalyzer->FindFile(path) : std::nullopt;
        stored = found.value_or(TAssemblyFileInfo{});
        isStored = found.has_value();
        return isStored || IsPresentFile(path);
    };
    // The whole of the own directory comes first: a program's catalog in
    // either spelling of the language wins over the fallback's.
    const auto findIn = [&](const QString& directory) {
        return find(directory, FLanguageCode) || find(directory, FLanguageCode.left(2));
    };
    if (!findIn(FDirectory) && (FFallbackDirectory.isEmpty() || !findIn(FFallbackDirectory))) {
        FWorthTrying = false;
        return;
    }
    // A stored catalog wins over a file of the same path.
    FMap.Open(isStored ? FAnalyzer->ProgramFile() : path);
    FOpen = true;
    FCatalogPath = path;
    const unsigned char* data = FMap.Data();
    std::size_t size = FMap.Size();
    if (isStored) {
        if (stored.Offset > size || stored.Size > size - stored.Offset) {
            FFailure = CatalogDamage(QStringLiteral("it runs past the end of the program file ") +
                                     FAnalyzer->ProgramFile());
            FMap.Close();
            return;
        }
        data += stored.Offset;
        size = std::size_t(stored.Size);
    }
    switch (FCatalog.Open(data, size)) {
    case TMoCatalog::TCheck::Ok:
        FResultBlocks = std::vector<std::atomic<TResult*>>(FCatalog.Count() / kResultBlock + 1);
        return;
    case TMoCatalog::TCheck::BadMagic:
        FFailure = kNotMoFile + path;
        break;
    case TMoCatalog::TCheck::HeaderTruncated:
        FFailure = CatalogDamage(QStringLiteral("its header is truncated"));
        break;
    case TMoCatalog::TCheck::TablesOutside:
        FFailure = CatalogDamage(QStringLiteral("its string tables run past its end"));
        break;
    }
    // Nothing will ever be read from an unusable catalog again.
    FMap.Close();
}

QString TDomain::Translate(const QString& text) {
    // Interface texts fit the stack buffer; a longer key goes to the heap
    // rather than into a buffer that would keep its size for the thread.
    char local[512];
    std::unique_ptr<char[]> heap;
    char* buffer = local;
    if (std::size_t(text.size()) > sizeof local / kKeyBytesPerUnit) {
        heap.reset(new char[std::size_t(text.size()) * kKeyBytesPerUnit]);
        buffer = heap.get();
    }
    const std::string_view key(buffer, EncodeKey(text, buffer));
    std::shared_lock lock(FLock);
    // The catalog is opened under the write lock. Another thread may close
    // it again (a language change) before the read lock is back, so look
    // again until it is open or known not to be worth trying.
    while (!FOpen && FWorthTrying) {
        lock.unlock();
        {
            std::unique_lock write(FLock);
            OpenCatalog();
        }
        if (FLockGapHook)
            FLockGapHook();
        lock.lock();
    }
    if (FOpen) {
        if (FFailure)
            throw EGnuGettext(*FFailure);
        uint32_t entry = 0;
        switch (FCatalog.Find(key, entry)) {
        case TMoCatalog::TFind::Found:
            return Result(entry, text);
        case TMoCatalog::TFind::Damaged:
            throw EGnuGettext(EntryDamage(entry));
        case TMoCatalog::TFind::NotFound:
            break;
        }
    }
    lock.unlock();
    // Untranslated: the text itself, unless its line breaks need mending.
    if (!text.contains(u'\n') && !text.contains(u'\r'))
        return text;
    return FinishResult(key, text);
}

// Under the read lock, with the catalog open. A kept translation is not read
// from the catalog again: it was checked when it was first decoded.
QString TDomain::Result(uint32_t entry, const QString& original) {
    std::atomic<TResult*>& blockSlot = FResultBlocks[entry / kResultBlock];
    TResult* block = blockSlot.load(std::memory_order_acquire);
    if (block && block[entry % kResultBlock].Ready.load(std::memory_order_acquire))
        return block[entry % kResultBlock].Text;
    std::string_view translation;
    if (!FCatalog.String(TMoCatalog::ttTranslation, entry, translation))
        throw EGnuGettext(EntryDamage(entry));
    // Only valid text is kept: it decodes the same for every key that finds
    // the entry, whereas the error names the key.
    if (!IsValidUtf8(translation.data(), translation.size()))
        return FinishResult(translation, original);
    QString text = FinishResult(translation, original);
    std::lock_guard guard(FResultLock);
    block = blockSlot.load(std::memory_order_relaxed);
    if (!block) {
        block = new TResult[kResultBlock];
        blockSlot.store(block, std::memory_order_release);
    }
    TResult& result = block[entry % kResultBlock];
    if (!result.Ready.load(std::memory_order_relaxed)) {
        result.Text = text;
        result.Ready.store(true, std::memory_order_release);
    }
    return text;
}

// ---------------------------------------------------------------------------
// TGnuGettextInstance

TGnuGettextInstance::TGnuGettextInstance(const QString& programFile,
                                         const TAssemblyAnalyzer* analyzer)
    : FAnalyzer(analyzer) {
    QString dir = QFileInfo(programFile).absolutePath();
    if (!dir.endsWith(u'/'))
        dir += u'/';
    FDefaultDirectory = dir + QStringLiteral("locale");
    SelectLanguage(QString());
    BindDomainDirectory(QStringLiteral("default"), FDefaultDirectory);
    SetTextDomain(QStringLiteral("default"));
    // A program that links the installed libraries but ships no catalogs of
    // its own still gets the components' texts in its language.
    BindDomainFallbackDirectory(QStringLiteral("cport"), ComponentCatalogDirectory());
    // Qt's objectName is the component name; TCollection has no counterpart.
    TP_GlobalIgnoreClassProperty(QObject::staticMetaObject, QStringLiteral("objectName"));
}

TGnuGettextInstance::~TGnuGettextInstance() = default;

QString TGnuGettextInstance::LanguageCode() const {
    std::shared_lock lock(FDomainLock);
    return FLanguageCode;
}

QString TGnuGettextInstance::CurrentDomain() const {
    std::shared_lock lock(FDomainLock);
    return FCurrentDomain;
}

QString TGnuGettextInstance::DefaultDirectory() const {
    return FDefaultDirectory;
}

void TGnuGettextInstance::SelectLanguage(const QString& languageCode) {
    QString code = languageCode.isEmpty() ? LanguageFromEnvironment() : languageCode;
    const qsizetype dot = code.indexOf(u'.');
    if (dot >= 0)
        code.truncate(dot);
    std::unique_lock lock(FDomainLock);
    FLanguageCode = code;
    for (auto& d : FDomains)
        d->SetLanguageCode(code);
}

void TGnuGettextInstance::BindDomainDirectory(const QString& domain, const QString& directory) {
    Domain(domain).SetDirectory(directory);
}

void TGnuGettextInstance::BindDomainFallbackDirectory(const QString& domain,
                                                      const QString& directory) {
    Domain(domain).SetFallbackDirectory(directory);
}

void TGnuGettextInstance::SetTextDomain(const QString& domain) {
    std::unique_lock lock(FDomainLock);
    FCurrentDomain = domain;
}

TDomain& TGnuGettextInstance::Domain(const QString& name) {
    {
        std::shared_lock lock(FDomainLock);
        for (auto& d : FDomains)
            if (d->Name().compare(name, Qt::CaseInsensitive) == 0)
                return *d;
    }
    std::unique_lock lock(FDomainLock);
    for (auto& d : FDomains) // another thread may have created it meanwhile
        if (d->Name().compare(name, Qt::CaseInsensitive) == 0)
            return *d;
    FDomains.push_back(
        std::make_unique<TDomain>(name, FDefaultDirectory, FLanguageCode, FAnalyzer));
    return *FDomains.back();
}

QString TGnuGettextInstance::Translate(const QString& text) {
    return TranslateInDomain(CurrentDomain(), text);
}

QString TGnuGettextInstance::TranslateInDomain(const QString& domain, const QString& text) {
    return Domain(domain).Translate(text);
}

void TGnuGettextInstance::AddResourceStringDomain(const QString& domain) {
    std::unique_lock lock(FResourceLock);
    // The components' domain is there from the start, and the port component
    // still adds it; searching it twice would find nothing new.
    if (!FResourceDomains.contains(domain, Qt::CaseInsensitive))
        FResourceDomains << domain;
}

QStringList TGnuGettextInstance::ResourceStringDomains() const {
    std::shared_lock lock(FResourceLock);
    return FResourceDomains;
}

QString TGnuGettextInstance::TranslateResourceString(const QString& text) {
    std::shared_lock lock(FResourceLock);
    QString result = text;
    for (const QString& domain : FResourceDomains) {
        result = TranslateInDomain(domain, text);
        if (result != text)
            break;
    }
    return result;
}

// ---------------------------------------------------------------------------
// The one engine and the program-wide functions.

namespace {
std::atomic<TGnuGettextInstance*> gInstance{nullptr};

QString GettextResStringLoader(const TResString& res) {
    return TranslateResourceString(QString::fromUtf8(res.Text));
}
} // namespace

TGnuGettextInstance* DefaultInstance() {
    return gInstance.load(std::memory_order_acquire);
}

QString Translate(const QString& text) {
    TGnuGettextInstance* engine = DefaultInstance();
    return engine ? engine->Translate(text) : text;
}

QString TranslateInDomain(const QString& domain, const QString& text) {
    TGnuGettextInstance* engine = DefaultInstance();
    return engine ? engine->TranslateInDomain(domain, text) : text;
}

void AddResourceStringDomain(const QString& domain) {
    if (TGnuGettextInstance* engine = DefaultInstance())
        engine->AddResourceStringDomain(domain);
}

QString TranslateResourceString(const QString& text) {
    // At the end of the run the list is gone before the loader is restored.
    TGnuGettextInstance* engine = DefaultInstance();
    return engine ? engine->TranslateResourceString(text) : text;
}

void TP_Ignore(QObject* object, const QString& name) {
    if (TGnuGettextInstance* engine = DefaultInstance())
        engine->TP_Ignore(object, name);
}

void TP_GlobalIgnoreClassProperty(const QMetaObject& cls, const QString& propertyName) {
    if (TGnuGettextInstance* engine = DefaultInstance())
        engine->TP_GlobalIgnoreClassProperty(cls, propertyName);
}

void TranslateComponentTree(QObject* root, const QString& domain) {
    if (TGnuGettextInstance* engine = DefaultInstance())
        engine->TranslateComponentTree(root, domain);
}

void TranslateLines(QStringList& lines, const QString& domain) {
    if (TGnuGettextInstance* engine = DefaultInstance())
        engine->TranslateLines(lines, domain);
}

GnuGettextStartup::GnuGettextStartup() {
    if (DefaultInstance())
        throw Exception(QStringLiteral("The translation engine is already started"));
    const QString programFile = ProgramFilePath();
    FAnalyzer = std::make_unique<TAssemblyAnalyzer>(programFile, StoredCatalogTablePosition());
    FInstance = std::make_unique<TGnuGettextInstance>(programFile, FAnalyzer.get());
    gInstance.store(FInstance.get(), std::memory_order_release);
    FPreviousLoader = SetResStringLoader(&GettextResStringLoader);
}

GnuGettextStartup::~GnuGettextStartup() {
    gInstance.store(nullptr, std::memory_order_release);
    FInstance.reset();
    SetResStringLoader(FPreviousLoader);
    FAnalyzer.reset();
}

} // namespace kv52804
