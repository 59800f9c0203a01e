#pragma once
// Catalogs made by GNU msgfmt at test time, damaged copies of them, and a
// scratch program directory for engines under test.
#include "gnugettext.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>
#include <optional>
#include <utility>
#include <vector>

using namespace kv52804;

using TEntries = std::vector<std::pair<QString, QString>>;

inline QString PoQuote(const QString& s) {
    QString out = QStringLiteral("\"");
    for (QChar c : s) {
        if (c == u'\\' || c == u'"')
            out += u'\\', out += c;
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else
            out += c;
    }
    return out + u'"';
}

inline QByteArray PoText(const TEntries& entries) {
    QString po = QStringLiteral("msgid \"\"\nmsgstr \"\"\n"
                                "\"Project-Id-Version: test\\n\"\n"
                                "\"Content-Type: text/plain; charset=UTF-8\\n\"\n\n");
    for (const auto& [id, str] : entries)
        po += QStringLiteral("msgid ") + PoQuote(id) + QStringLiteral("\nmsgstr ") + PoQuote(str) +
              QStringLiteral("\n\n");
    return po.toUtf8();
}

inline QString Msgfmt() {
    const QString path = QStandardPaths::findExecutable(QStringLiteral("msgfmt"));
    EXPECT_FALSE(path.isEmpty()) << "msgfmt not found; install the gettext package";
    return path;
}

// Compiles entries with msgfmt (extra arguments such as --endianness=big).
inline QByteArray CompileCatalog(const TEntries& entries, const QStringList& extra = {}) {
    QTemporaryDir tmp;
    const QString po = tmp.filePath(QStringLiteral("in.po"));
    const QString mo = tmp.filePath(QStringLiteral("out.mo"));
    QFile f(po);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(PoText(entries));
    f.close();
    QProcess p;
    p.start(Msgfmt(), QStringList{QStringLiteral("-o"), mo} + extra + QStringList{po});
    EXPECT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    QFile out(mo);
    EXPECT_TRUE(out.open(QIODevice::ReadOnly));
    return out.readAll();
}

// A little-endian MO catalog written here rather than by msgfmt, for tests
// that must not start another process (ThreadSanitizer loses track of the
// parent's locks after QProcess starts a child).
inline QByteArray MakeMoBytes(TEntries entries) {
    entries.insert(entries.begin(), {QString(), QStringLiteral("Project-Id-Version: test\n"
                                                               "Content-Type: text/plain; "
                                                               "charset=UTF-8\n")});
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.first.toUtf8() < b.first.toUtf8(); });
    const auto le = [](uint32_t v) {
        QByteArray b(4, '\0');
        for (int i = 0; i < 4; ++i)
            b[i] = char(v >> (8 * i));
        return b;
    };
    const uint32_t n = uint32_t(entries.size());
    const uint32_t sources = 28, translations = sources + 8 * n;
    QByteArray strings, tables[2];
    uint32_t offset = translations + 8 * n;
    for (int t = 0; t < 2; ++t)
        for (const auto& e : entries) {
            const QByteArray s = (t == 0 ? e.first : e.second).toUtf8();
            tables[t] += le(uint32_t(s.size())) + le(offset);
            strings += s + '\0';
            offset += uint32_t(s.size()) + 1;
        }
    return le(0x950412DE) + le(0) + le(n) + le(sources) + le(translations) + le(0) +
           le(translations + 8 * n) + tables[0] + tables[1] + strings;
}

inline void WriteBytes(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(f.write(bytes), bytes.size());
}

inline QByteArray ReadBytes(const QString& path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return f.readAll();
}

// A directory standing for the program's: the engine under test believes its
// program file is <dir>/prog and looks for catalogs in <dir>/locale.
struct TProgramDir {
    QTemporaryDir Dir;
    QString ProgramFile() const { return Dir.filePath(QStringLiteral("prog")); }
    QString CatalogPath(const QString& lang, const QString& domain) const {
        return Dir.filePath(QStringLiteral("locale/%1/LC_MESSAGES/%2.mo").arg(lang, domain));
    }
    QString AddCatalog(const QString& lang, const QString& domain, const TEntries& entries,
                       const QStringList& extra = {}) const {
        const QString path = CatalogPath(lang, domain);
        WriteBytes(path, CompileCatalog(entries, extra));
        return path;
    }
    QString AddBytes(const QString& lang, const QString& domain, const QByteArray& bytes) const {
        const QString path = CatalogPath(lang, domain);
        WriteBytes(path, bytes);
        return path;
    }
};

// Sets (or with nullopt, unsets) locale variables for one test and puts the
// old values back afterwards.
class TEnvironment {
public:
    TEnvironment(std::initializer_list<std::pair<const char*, std::optional<QByteArray>>> vars) {
        for (const char* name : {"LANG", "LC_ALL", "LC_MESSAGES", "LANGUAGE"}) {
            FSaved.emplace_back(name, qEnvironmentVariableIsSet(name)
                                          ? std::optional<QByteArray>(qgetenv(name))
                                          : std::nullopt);
            qunsetenv(name);
        }
        for (const auto& [name, value] : vars)
            if (value)
                qputenv(name, *value);
    }
    ~TEnvironment() {
        for (const auto& [name, value] : FSaved) {
            if (value)
                qputenv(name, *value);
            else
                qunsetenv(name);
        }
    }

private:
    std::vector<std::pair<const char*, std::optional<QByteArray>>> FSaved;
};

// The message an exception of the engine carries, or "(no error)".
template <typename F> QString ErrorOf(F&& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.Message();
    }
    return QStringLiteral("(no error)");
}

// Little-endian 32-bit word access for damaging catalogs made by msgfmt.
inline uint32_t Word(const QByteArray& b, int pos) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | uint8_t(b[pos + i]);
    return v;
}
inline void SetWord(QByteArray& b, int pos, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[pos + i] = char(v >> (8 * i));
}

// Programs built beside the test executable.
inline QString BuiltProgram(const QString& name) {
    const QString path = QFileInfo(ProgramFilePath()).absolutePath() + u'/' + name;
    EXPECT_TRUE(QFileInfo::exists(path)) << path.toStdString() << " has not been built";
    return path;
}
