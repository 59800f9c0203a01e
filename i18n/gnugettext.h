#pragma once
// Interface translation: choosing the language, finding and reading GNU MO
// catalogs beside the program or stored inside it, translating single texts,
// the runtime's built-in message texts and whole object trees.
//
// One engine (TGnuGettextInstance) serves the whole program; it is created and
// destroyed by GnuGettextStartup. The program-wide functions below work on it
// and leave texts unchanged while no engine exists. Tests build their own
// engines, pointed at a test directory and test program file.
#include "kv_i18n_export.h"
#include "Exception.h"
#include "MappedFile.h"
#include "MoCatalog.h"
#include "RtlConsts.h"

#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <vector>

class QObject;
struct QMetaObject;

namespace kv52804 {

// The translation of text in the current domain ("default"), or text itself.
KV_I18N_EXPORT QString Translate(const QString& text);

// The translation of text in the named domain's catalog, or text itself.
KV_I18N_EXPORT QString TranslateInDomain(const QString& domain, const QString& text);

// Adds a domain to those searched for the runtime's built-in message texts.
KV_I18N_EXPORT void AddResourceStringDomain(const QString& domain);

// Used for every built-in message text of the runtime and every text of the
// components: the program's own catalog ("default") first, then the
// components' ("cport"), then the domains added.
KV_I18N_EXPORT QString TranslateResourceString(const QString& text);

// Keeps a name out of the next TranslateComponentTree: "Combo1" (an owned
// object and everything only it leads to), "Label1.text" (one property of
// one owned object), ".windowTitle" (a property of the root and of every
// object reached through a property). Letter case does not matter. The
// object argument is not used.
KV_I18N_EXPORT void TP_Ignore(QObject* object, const QString& name);

// Never translates the property of objects of that class or its descendants.
KV_I18N_EXPORT void TP_GlobalIgnoreClassProperty(const QMetaObject& cls, const QString& propertyName);

// Translates every writable QString and QStringList property of root, of the
// objects it owns (QObject children) and of the objects its QObject-valued
// properties refer to. An empty domain means the current domain.
KV_I18N_EXPORT void TranslateComponentTree(QObject* root, const QString& domain = QString());

// Translates a list line by line; empty lines stay, a translation with line
// breaks becomes several lines.
KV_I18N_EXPORT void TranslateLines(QStringList& lines, const QString& domain = QString());

// Starts the engine when constructed and shuts it down when destroyed, in the
// program's start-up and end-of-run order. main(), the tools and the tests
// create exactly one, before anything translates.
class TAssemblyAnalyzer;
class TGnuGettextInstance;
class KV_I18N_EXPORT GnuGettextStartup {
public:
    GnuGettextStartup();
    ~GnuGettextStartup();
    GnuGettextStartup(const GnuGettextStartup&) = delete;
    GnuGettextStartup& operator=(const GnuGettextStartup&) = delete;

private:
    std::unique_ptr<TAssemblyAnalyzer> FAnalyzer;
    std::unique_ptr<TGnuGettextInstance> FInstance;
    TResStringLoader FPreviousLoader = nullptr;
};

// The one engine while GnuGettextStartup lives, otherwise nullptr.
KV_I18N_EXPORT TGnuGettextInstance* DefaultInstance();

// Errors of the catalog reader. The message is the whole user-facing text;
// for failed system calls the errno and the call's name are kept as well.
class KV_I18N_EXPORT EGnuGettext : public Exception {
public:
    explicit EGnuGettext(QString message, int sysError = 0, const char* call = nullptr)
        : Exception(std::move(message)), FSysError(sysError), FCall(call ? call : "") {}
    int SysErrorCode() const { return FSysError; }
    const char* FailedCall() const { return FCall; }

private:
    int FSysError;
    const char* FCall;
};

// The full path of the running program (/proc/self/exe).
KV_I18N_EXPORT QString ProgramFilePath();

// The locale folder installed with the component libraries, where their own
// catalogs (domain "cport") are for programs that ship none: found from the
// library's own place. Empty where the engine is linked into the program
// itself, and where the folder does not exist.
KV_I18N_EXPORT QString ComponentCatalogDirectory();

// The language from the environment: LANG, then LC_ALL / LC_MESSAGES, then
// "C"; cut before the first ".".
KV_I18N_EXPORT QString LanguageFromEnvironment();

// "ll_CC" from a POSIX locale name such as pl_PL.UTF-8@euro when language and
// country are both two letters, otherwise empty.
KV_I18N_EXPORT QString LanguageCodeFromLocaleName(const QString& localeName);

// The code for a Windows locale identifier, for platforms that give one;
// "C" for any identifier not in the table.
KV_I18N_EXPORT QString LanguageCodeForLocaleId(uint32_t localeId);

// The position of the stored-catalog chain, read from this program's own
// marker in memory (0: none stored).
KV_I18N_EXPORT uint64_t StoredCatalogTablePosition();

// The 36 marker characters, read from the marker itself so that no second
// copy of them exists in the program file.
KV_I18N_EXPORT QByteArray StoredCatalogMarkerGuid();

struct KV_I18N_EXPORT TAssemblyFileInfo {
    uint64_t Offset = 0; // position of the catalog's first byte in the program file
    uint64_t Size = 0;
};

// The catalogs stored inside the program file.
class KV_I18N_EXPORT TAssemblyAnalyzer {
public:
    // Reads the chain at tablePosition in programFile (0: nothing stored).
    // Damage ends the reading silently; the entries before it stay.
    TAssemblyAnalyzer(const QString& programFile, uint64_t tablePosition);

    const QString& ProgramFile() const { return FProgramFile; }
    // The program file's directory, ending in '/'.
    const QString& ProgramDirectory() const { return FProgramDirectory; }

    // Where the catalog of that full path is stored, if it is. The path must
    // begin with the program's directory (letter case included); the rest is
    // compared without regard to letter case.
    std::optional<TAssemblyFileInfo> FindFile(const QString& path) const;
    bool FileExists(const QString& path) const { return FindFile(path).has_value(); }
    QStringList Names() const;

private:
    struct TLess {
        bool operator()(const QString& a, const QString& b) const {
            return QString::compare(a, b, Qt::CaseInsensitive) < 0;
        }
    };
    QString FProgramFile;
    QString FProgramDirectory;
    std::map<QString, TAssemblyFileInfo, TLess> FFiles;
};

// One message domain: its catalog directory and language, and the catalog
// once it has been found and mapped.
class KV_I18N_EXPORT TDomain {
public:
    TDomain(QString name, QString directory, QString languageCode,
            const TAssemblyAnalyzer* analyzer);
    ~TDomain();
    TDomain(const TDomain&) = delete;
    TDomain& operator=(const TDomain&) = delete;

    const QString& Name() const { return FName; }
    QString Directory() const;
    QString LanguageCode() const;
    // All three close the catalog first, so the next lookup searches again.
    void SetDirectory(const QString& directory);
    // Searched when the directory has no catalog for the language; empty
    // for none.
    void SetFallbackDirectory(const QString& directory);
    void SetLanguageCode(const QString& languageCode);
    void CloseCatalog();

    bool IsOpen() const;
    // The path of the catalog in use (the candidate path for a stored one).
    QString CatalogPath() const;

    // The translation of text (see TGnuGettextInstance::TranslateInDomain).
    QString Translate(const QString& text);

private:
    friend struct TDomainSeams; // the tests' seams (DomainSeams.h)
    void OpenCatalog();        // under the write lock
    void CloseCatalogLocked(); // under the write lock
    QString Result(uint32_t entry, const QString& original);
    QString CandidatePath(const QString& directory, const QString& language) const;
    QString CatalogDamage(const QString& what) const;
    QString EntryDamage(uint32_t entry) const;

    const QString FName;
    const TAssemblyAnalyzer* const FAnalyzer;
    mutable std::shared_mutex FLock; // guards everything below
    QString FDirectory;
    QString FFallbackDirectory;
    QString FLanguageCode;
    bool FOpen = false;
    bool FWorthTrying = true;
    QString FCatalogPath;
    TMappedFile FMap;
    TMoCatalog FCatalog;
    // Set when the open catalog is unusable: every lookup raises it again
    // without touching the file, which has been released.
    std::optional<QString> FFailure;
    std::function<void()> FLockGapHook;

    // Translations already decoded, by entry: a hit after the first is a
    // reference count, not a decoding and an allocation. Blocks of entries
    // are made at their first hit, so opening a large catalog stays cheap.
    // Filled under the read lock: a block and an entry's Ready flag are
    // published with release and read with acquire, and FResultLock orders
    // the writers; only closing (under the write lock) frees them.
    struct TResult {
        std::atomic<bool> Ready{false};
        QString Text;
    };
    static constexpr uint32_t kResultBlock = 256;
    std::vector<std::atomic<TResult*>> FResultBlocks;
    std::mutex FResultLock;
};

class KV_I18N_EXPORT TGnuGettextInstance {
public:
    // The engine for a program file: catalogs are looked for in
    // <its directory>/locale and, through analyzer (may be null), inside it;
    // the components' domain "cport" then in ComponentCatalogDirectory().
    // The language is chosen from the environment.
    TGnuGettextInstance(const QString& programFile, const TAssemblyAnalyzer* analyzer);
    ~TGnuGettextInstance();
    TGnuGettextInstance(const TGnuGettextInstance&) = delete;
    TGnuGettextInstance& operator=(const TGnuGettextInstance&) = delete;

    QString LanguageCode() const;
    QString CurrentDomain() const;
    QString DefaultDirectory() const;

    // An empty code chooses it from the environment. Closes every catalog.
    void SelectLanguage(const QString& languageCode);
    void BindDomainDirectory(const QString& domain, const QString& directory);
    // Where the domain's catalog is looked for when its own directory has
    // none for the language (empty: nowhere else).
    void BindDomainFallbackDirectory(const QString& domain, const QString& directory);
    void SetTextDomain(const QString& domain);

    QString Translate(const QString& text);
    // The catalog's translation of text, or text; either way each bare line
    // feed comes back preceded by a carriage return. Raises EGnuGettext when
    // the catalog cannot be opened, is damaged, or the translation is not
    // valid UTF-8.
    QString TranslateInDomain(const QString& domain, const QString& text);

    // A domain already in the list stays where it is.
    void AddResourceStringDomain(const QString& domain);
    QStringList ResourceStringDomains() const;
    // The first translation in the resource-string domains, in order, that
    // differs from text; otherwise text. They begin with the program's own
    // "default" and the components' "cport", so the components' texts are
    // found in any program while a program's own catalog has the first word.
    QString TranslateResourceString(const QString& text);

    // Component translation; see the program-wide functions.
    void TP_Ignore(QObject* object, const QString& name);
    void TP_GlobalIgnoreClassProperty(const QMetaObject& cls, const QString& propertyName);
    void TranslateComponentTree(QObject* root, const QString& domain = QString());
    void TranslateLines(QStringList& lines, const QString& domain = QString());

    struct TClassMode {
        const QMetaObject* Class;
        QStringList Properties; // upper case, sorted, unique
    };
    std::vector<TClassMode> ClassRules() const;
    QStringList IgnoreList() const;

private:
    TDomain& Domain(const QString& name);

    const TAssemblyAnalyzer* const FAnalyzer;
    QString FDefaultDirectory;

    mutable std::shared_mutex FResourceLock;
    QStringList FResourceDomains{QStringLiteral("default"), QStringLiteral("cport")};

    mutable std::shared_mutex FDomainLock; // the domain table, language and current domain
    QString FLanguageCode;
    QString FCurrentDomain{QStringLiteral("default")};
    std::vector<std::unique_ptr<TDomain>> FDomains;

    mutable std::mutex FComponentLock; // ignore list and class rules
    QStringList FIgnoreList;
    std::vector<TClassMode> FClassRules;
};

} // namespace kv52804
