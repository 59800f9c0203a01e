// Port settings in an INI file: one "Name=text" line per stored published
// property, under its property path, in the setting texts the setup dialog
// shows, so that a person can read and edit the file:
//
//   [ComPort]
//   BaudRate=19200
//   Events=evRxChar, evTxEmpty
//   Parity.Check=Yes
//   Parity.ReplaceChar=#13
//
// The keys stand in a [ComPort] section: keys outside any section would go
// into the [General] one that QSettings writes for them. QSettings writes
// keys sorted by name, which keeps each sub-object's keys together. The file
// may be shared with other programs: their sections are theirs, kept when
// the port's are written and passed over when they are read.
//
// The properties are found through the meta-object, so a property published
// later is stored without a change here. The custom baud rate is no
// published property but is a setting all the same (CustomBaudRate=).
#include "CPortFiles.h"
#include "CPortTexts.h"
#include "SysUtils.h"
#include "gnugettext.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMetaEnum>
#include <QMetaProperty>
#include <QSettings>
#include <QStringDecoder>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kv52804 {

namespace {

const QString kSection = QStringLiteral("ComPort");

struct TSetting {
    QString Key; // the property path
    QObject* Owner;
    QMetaProperty Property; // none for the custom rate, whose Owner is the port
};

// The port's rate whenever BaudRate is Custom. It has no property of its own
// (BaudRate is the one published), so it is stored beside them: without it a
// custom rate would come back as whatever the loading port had.
const QString kCustomRate = QStringLiteral("CustomBaudRate");

// The stored properties of object and, by their paths, of its sub-objects,
// in the order the classes publish them. QObject's own objectName is no
// setting.
void CollectSettings(QObject* object, const QString& prefix, std::vector<TSetting>& settings) {
    const QMetaObject* meta = object->metaObject();
    for (int i = QObject::staticMetaObject.propertyCount(); i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        if (!property.isStored() || !property.isWritable())
            continue;
        const QString key = prefix + QString::fromLatin1(property.name());
        if (property.metaType().flags() & QMetaType::PointerToQObject) {
            if (QObject* sub = property.read(object).value<QObject*>())
                CollectSettings(sub, key + u'.', settings);
        } else {
            settings.push_back({key, object, property});
        }
    }
}

std::vector<TSetting> Settings(TCustomComPort& port) {
    std::vector<TSetting> settings;
    CollectSettings(&port, QString(), settings);
    if (std::none_of(settings.begin(), settings.end(),
                     [](const TSetting& setting) { return setting.Key == kCustomRate; }))
        settings.push_back({kCustomRate, &port, QMetaProperty()});
    return settings;
}

QMetaType TypeOf(const TSetting& setting) {
    return setting.Property.isValid() ? setting.Property.metaType() : QMetaType::fromType<int>();
}

QVariant Read(const TSetting& setting) {
    if (setting.Property.isValid())
        return setting.Property.read(setting.Owner);
    return static_cast<const TCustomComPort*>(setting.Owner)->CustomBaudRate();
}

void Write(const TSetting& setting, const QVariant& value) {
    if (setting.Property.isValid())
        setting.Property.write(setting.Owner, value);
    else
        static_cast<TCustomComPort*>(setting.Owner)->SetCustomBaudRate(value.toInt());
}

// Enumerations with texts of their own. The others (SyncMethod) are stored by
// the names of their values ("smThreadSync").
using TOrdinalText = QString (*)(int);
template <typename E, QString (*Text)(E)> QString OrdinalText(int value) {
    return Text(E(value));
}
const std::pair<const char*, TOrdinalText> kEnumTexts[] = {
    {"TBaudRate", OrdinalText<TBaudRate, BaudRateText>},
    {"TStopBits", OrdinalText<TStopBits, StopBitsText>},
    {"TDataBits", OrdinalText<TDataBits, DataBitsText>},
    {"TParityBits", OrdinalText<TParityBits, ParityText>},
    {"TFlowControl", OrdinalText<TFlowControl, FlowControlText>},
    {"TDTRFlowControl", OrdinalText<TDTRFlowControl, DTRControlText>},
    {"TRTSFlowControl", OrdinalText<TRTSFlowControl, RTSControlText>},
};

QString EnumText(const QMetaEnum& type, int value) {
    for (const auto& [name, text] : kEnumTexts)
        if (std::strcmp(type.enumName(), name) == 0)
            return text(value);
    return QString::fromLatin1(type.valueToKey(value));
}

// Smallest and largest value the port can apply; other integers take any.
std::pair<qlonglong, qlonglong> IntegerRange(const QString& key) {
    constexpr qlonglong most = std::numeric_limits<int32_t>::max();
    if (key.startsWith(QStringLiteral("Timeouts.")))
        return {-1, most}; // -1: no limit
    if (key == QStringLiteral("Buffer.InputSize"))
        return {0, 262143}; // a quarter of it must fit the DCB's 16-bit XonLim
    if (key.startsWith(QStringLiteral("Buffer.")))
        return {0, most};
    if (key == kCustomRate)
        return {1, most}; // the line refuses 0
    return {std::numeric_limits<int32_t>::min(), most};
}

const QMetaEnum kEventNames = QMetaEnum::fromType<TComEvent>();

// The event set as a list of names, which QSettings writes as "a, b"; a
// person may write the same, with or without quotes. No event is "".
QVariant EventsValue(TComEvents events) {
    QStringList names;
    for (int i = 0; i < kEventNames.keyCount(); ++i)
        if (events.Contains(TComEvent(kEventNames.value(i))))
            names.append(QString::fromLatin1(kEventNames.key(i)));
    return names.isEmpty() ? QVariant(QString()) : QVariant(names);
}

// The value's text in the file. DEL, the one code CharText gives as itself
// but no one can see, is written as its number.
QVariant StoredValue(const TSetting& setting) {
    const QVariant value = Read(setting);
    const QMetaType type = TypeOf(setting);
    if (type == QMetaType::fromType<TComEvents>())
        return EventsValue(value.value<TComEvents>());
    if (setting.Property.isEnumType())
        return EnumText(setting.Property.enumerator(), value.toInt());
    switch (type.id()) {
    case QMetaType::Bool:
        return BoolText(value.toBool());
    case QMetaType::Char:
        return value.value<char>() == 127 ? QStringLiteral("#127") : CharText(value.value<char>());
    case QMetaType::Int:
        return QString::number(value.toInt());
    default:
        return value.toString();
    }
}

// A hand-written "a, b" arrives as a list.
QString TextOf(const QVariant& value) {
    return value.typeId() == QMetaType::QStringList ? value.toStringList().join(u',')
                                                    : value.toString();
}

// The value text stands for, in the property's own type; or why there is
// none, as the end of the sentence "<key> = '<text>' ...".
std::optional<QVariant> ParsedValue(const TSetting& setting, const QString& text,
                                    QString& problem) {
    const QMetaType type = TypeOf(setting);
    const auto oneOf = [&](const QStringList& texts) {
        problem = Format(TranslateResourceString(QStringLiteral("is not one of %s")),
                         {texts.join(QStringLiteral(", "))});
    };
    if (type == QMetaType::fromType<TComEvents>()) {
        TComEvents events;
        const QStringList names = text.split(u',');
        for (const QString& name : names) {
            int found = -1;
            for (int i = 0; i < kEventNames.keyCount() && found < 0; ++i)
                if (IsSettingText(name.trimmed(), QString::fromLatin1(kEventNames.key(i))))
                    found = kEventNames.value(i);
            if (found < 0 && !(names.size() == 1 && name.trimmed().isEmpty())) {
                QStringList all;
                for (int i = 0; i < kEventNames.keyCount(); ++i)
                    all.append(QString::fromLatin1(kEventNames.key(i)));
                problem = Format(
                    TranslateResourceString(QStringLiteral("is not a list of the events %s")),
                    {all.join(QStringLiteral(", "))});
                return std::nullopt;
            }
            if (found >= 0)
                events.Include(TComEvent(found));
        }
        return QVariant::fromValue(events);
    }
    if (setting.Property.isEnumType()) {
        const QMetaEnum values = setting.Property.enumerator();
        QStringList texts;
        for (int i = 0; i < values.keyCount(); ++i) {
            const QString valueText = EnumText(values, values.value(i));
            if (IsSettingText(text, valueText)) {
                QVariant value(values.value(i));
                value.convert(type);
                return value;
            }
            texts.append(valueText);
        }
        oneOf(texts);
        return std::nullopt;
    }
    switch (type.id()) {
    case QMetaType::Bool:
        if (IsSettingText(text, BoolText(true)) || IsSettingText(text, BoolText(false)))
            return QVariant(BoolFromText(text));
        oneOf({BoolText(true), BoolText(false)});
        return std::nullopt;
    case QMetaType::Char: {
        // What CharText gives: a sign from "!" to "~" (or DEL) as itself, or
        // "#" and a decimal code.
        const QStringView code = QStringView(text).mid(1);
        const bool sign = text.size() == 1 && text[0] >= u'!' && text[0].unicode() <= 127;
        const bool number =
            text.startsWith(u'#') && code.size() >= 1 && code.size() <= 3 &&
            std::all_of(code.begin(), code.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }) &&
            code.toInt() <= 255;
        if (sign || number)
            return QVariant::fromValue(CharFromText(text));
        problem = TranslateResourceString(
            QStringLiteral("is not a character: a sign from ! to ~, or # and a "
                           "code 0..255"));
        return std::nullopt;
    }
    case QMetaType::Int: {
        const auto [least, most] = IntegerRange(setting.Key);
        bool ok = false;
        const qlonglong value = text.toLongLong(&ok, 10);
        if (ok && value >= least && value <= most)
            return QVariant(int(value));
        problem =
            Format(TranslateResourceString(QStringLiteral("is not a whole number from %d to %d")),
                   {QString::number(least), QString::number(most)});
        return std::nullopt;
    }
    default:
        return QVariant(text);
    }
}

// where: the file, or the file and a line of it ("port.ini:3").
[[noreturn]] void LoadFailed(const QString& where, const QString& detail, int32_t code = -1) {
    throw EComPort(CError_LoadFailed, where + QStringLiteral(": ") + detail, code);
}

[[noreturn]] void LoadFailedWith(const QString& fileName, int error) {
    LoadFailed(fileName, QString::fromLocal8Bit(std::strerror(error)), error);
}

// The bytes of the file, if it is this user's own regular file: settings
// decide which device is opened and how, as the ports file does. A link to
// such a file is followed.
QByteArray ReadSettingsFile(const QString& fileName) {
    TTrustedFile file = ReadTrustedFile(fileName, true);
    if (file.Error != 0)
        LoadFailedWith(fileName, file.Error);
    if (!file.Refused.isEmpty())
        LoadFailed(fileName,
                   Format(TranslateResourceString(QStringLiteral("the file is not used: %s")),
                          {file.Refused}));
    return std::move(file.Data);
}

// The file's lines, checked before QSettings reads them: QSettings passes over
// a line without "=" and reads bytes that are no UTF-8 as other characters,
// so a mistyped line would leave its setting unchanged without a word. Each
// line must be text and a [section], a Name=value line, a blank line or a
// comment (";" or "#" first). The lines are told apart as QSettings does: a
// "\" takes the character after it, quotes may span lines and ";" outside
// them ends the line. Returns each value as the file writes it, by the key
// QSettings gives it, so that a message can quote the user's own text.
QHash<QString, QString> CheckedLines(const QString& fileName, QByteArray data) {
    const auto where = [&](int line) { return fileName + u':' + QString::number(line); };
    if (data.startsWith("\xEF\xBB\xBF"))
        data.remove(0, 3); // a byte order mark, which QSettings skips too
    int number = 0;
    for (const QByteArray& line : data.split('\n')) {
        ++number;
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = utf8.decode(line);
        // DEL is left alone: QSettings writes it as it is.
        if (utf8.hasError() || std::any_of(text.begin(), text.end(), [](QChar c) {
                return c.unicode() < 0x20 && c != u'\t' && c != u'\r';
            }))
            LoadFailed(where(number),
                       TranslateResourceString(QStringLiteral(
                           "the line is not text (UTF-8 without control characters)")));
    }

    QHash<QString, QString> values;
    QString section; // empty for [General], as QSettings names its keys
    const qsizetype size = data.size();
    int line = 1;
    for (qsizetype i = 0;;) {
        for (; i < size && std::isspace(static_cast<unsigned char>(data[i])); ++i)
            line += data[i] == '\n';
        if (i == size)
            return values;
        const qsizetype start = i;
        const int first = line;
        if (data[i] == ';' || data[i] == '#') {
            while (i < size && data[i] != '\n' && data[i] != '\r')
                ++i;
            continue;
        }
        qsizetype equals = -1;
        bool quoted = false;
        for (; i < size; ++i) {
            const char c = data[i];
            if ((c == '\n' || c == '\r' || c == ';') && !quoted)
                break;
            if (c == '\n') {
                ++line;
            } else if (c == '\\' && i + 1 < size) {
                if (data[++i] == '\r' && i + 1 < size && data[i + 1] == '\n')
                    ++i;
                line += data[i] == '\n';
            } else if (c == '"') {
                quoted = !quoted;
            } else if (c == '=' && !quoted && equals < 0) {
                equals = i;
            }
        }
        const QByteArray record = data.mid(start, i - start).trimmed();
        const QString shown = QuotedText(QString::fromUtf8(record));
        // QSettings would take the rest of the file into the value.
        if (quoted)
            LoadFailed(where(first), Format(TranslateResourceString(QStringLiteral(
                                                "'%s' opens a quote that no '\"' closes")),
                                            {shown}));
        if (record.startsWith('[')) {
            const qsizetype end = record.indexOf(']');
            if (end < 0)
                LoadFailed(where(first), Format(TranslateResourceString(QStringLiteral(
                                                    "'%s' has no ']' to end the section "
                                                    "name")),
                                                {shown}));
            section = QString::fromUtf8(record.mid(1, end - 1).trimmed());
            if (section.compare(QStringLiteral("General"), Qt::CaseInsensitive) == 0)
                section.clear();
            continue;
        }
        if (equals < 0)
            LoadFailed(
                where(first),
                Format(TranslateResourceString(QStringLiteral("'%s' is not Name=value")), {shown}));
        const QString name = QString::fromUtf8(data.mid(start, equals - start).trimmed());
        if (name.isEmpty())
            LoadFailed(where(first), Format(TranslateResourceString(
                                                QStringLiteral("'%s' has no name before the '='")),
                                            {shown}));
        values.insert(section.isEmpty() ? name : section + u'/' + name,
                      QString::fromUtf8(data.mid(equals + 1, i - equals - 1).trimmed()));
    }
}

// Whether a key QSettings read stands in the port's section, in any case.
bool InSection(const QString& key) {
    return key.contains(u'/') &&
           key.section(u'/', 0, 0).compare(kSection, Qt::CaseInsensitive) == 0;
}

[[noreturn]] void StoreFailed(const QString& fileName, int32_t error,
                              const QString& reason = QString()) {
    const QString why = !reason.isEmpty() ? reason
                        : error != -1     ? QString::fromLocal8Bit(std::strerror(error))
                                          : QString();
    throw EComPort(CError_StoreFailed,
                   why.isEmpty() ? fileName : fileName + QStringLiteral(": ") + why, error);
}

// Missing directories above a new settings file are made for this user
// alone, like the file: the command-line tool does not trust a file in a
// directory that others may write to. An OS code, or 0.
int MakeDirectories(const QString& dir) {
    QStringList missing;
    for (QString path = dir;;) {
        struct stat info;
        if (::stat(QFile::encodeName(path).constData(), &info) == 0)
            break;
        if (errno != ENOENT)
            return errno;
        missing.prepend(path);
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            break;
        path = parent;
    }
    for (const QString& path : missing)
        if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST)
            return errno;
    return 0;
}

// Why fileName could not be written, as an OS code: the file's own, or that
// of the nearest directory above it that exists; -1 when neither shows one.
int32_t WriteProblem(const QString& fileName) {
    QString path = QFileInfo(fileName).absoluteFilePath();
    for (int mode = W_OK; !path.isEmpty(); path = QFileInfo(path).path(), mode = W_OK | X_OK) {
        if (::access(QFile::encodeName(path).constData(), mode) == 0)
            return -1;
        if (errno != ENOENT || path == QStringLiteral("/"))
            return errno;
    }
    return -1;
}

} // namespace

void TCustomComPort::StoreSettings(const QString& fileName) const {
    // The file is this user's alone whatever the umask, as LoadSettings and
    // the command-line tool require: made so, or an existing one narrowed to
    // it before it is written (a read-only one stays read-only, and is
    // refused as before). QSettings then writes a new file beside it and puts
    // it in its place with the mode of the one it replaces, so that a write
    // that fails leaves the file as it was.
    const QByteArray path = QFile::encodeName(fileName);
    bool made = false;
    struct stat info;
    if (::stat(path.constData(), &info) == 0) {
        if (!S_ISREG(info.st_mode))
            StoreFailed(fileName, -1,
                        TranslateResourceString(QStringLiteral("it is not a regular file")));
        if (::access(path.constData(), R_OK | W_OK) != 0)
            StoreFailed(fileName, errno);
        if ((info.st_mode & 07777 & ~mode_t(0600)) != 0 &&
            ::chmod(path.constData(), info.st_mode & 0600) != 0)
            StoreFailed(fileName, errno);
    } else {
        if (errno != ENOENT)
            StoreFailed(fileName, errno);
        if (const int error = MakeDirectories(QFileInfo(fileName).absolutePath()); error != 0)
            StoreFailed(fileName, error);
        const int fd =
            ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd < 0)
            StoreFailed(fileName, errno);
        made = true;
        // The umask may have taken the owner's bits too.
        const int error = ::fchmod(fd, 0600) == 0 ? 0 : errno;
        ::close(fd);
        if (error != 0) {
            ::unlink(path.constData());
            StoreFailed(fileName, error);
        }
    }

    QString unreadable;
    bool written = false;
    {
        QSettings file(fileName, QSettings::IniFormat);
        // Rewritten, another program's keys would come back changed or not
        // at all.
        if (file.status() != QSettings::NoError) {
            unreadable =
                TranslateResourceString(QStringLiteral("the file cannot be read as an INI file"));
        } else {
            // Other sections are other programs'. Only the port's keys are
            // replaced, in whatever case the section was written: an old key
            // the loader no longer knows would make the file unloadable.
            for (const QString& key : file.allKeys())
                if (InSection(key))
                    file.remove(key);
            file.beginGroup(kSection);
            // The walk hands out the sub-objects for writing too; here it
            // only reads.
            for (const TSetting& setting : Settings(const_cast<TCustomComPort&>(*this)))
                file.setValue(setting.Key, StoredValue(setting));
            file.endGroup();
            file.sync();
            written = file.status() == QSettings::NoError;
        }
    }
    if (written)
        return;
    const int32_t error = unreadable.isEmpty() ? WriteProblem(fileName) : -1;
    if (made)
        ::unlink(path.constData());
    StoreFailed(fileName, error, unreadable);
}

void TCustomComPort::LoadSettings(const QString& fileName) {
    const QHash<QString, QString> written = CheckedLines(fileName, ReadSettingsFile(fileName));
    QSettings file(fileName, QSettings::IniFormat);
    if (file.status() != QSettings::NoError)
        LoadFailed(fileName, TranslateResourceString(
                                 QStringLiteral("the file cannot be read as an INI file")));

    // Everything is checked before anything is set. A name in the section
    // that is no setting is refused rather than passed over: a misspelt key
    // would otherwise leave its setting unchanged without a word.
    const std::vector<TSetting> settings = Settings(*this);
    const QStringList keys = file.allKeys();
    const bool sectioned = std::any_of(keys.begin(), keys.end(), InSection);
    const QString unknown =
        TranslateResourceString(QStringLiteral("%s is no port setting (they stand under [%s])"));
    std::vector<std::pair<const TSetting*, QVariant>> values;
    for (const QString& key : keys) {
        if (!InSection(key)) {
            // Another program's key; but a file without the section whose
            // keys stand outside any was written for the port without it.
            if (sectioned || key.contains(u'/'))
                continue;
            LoadFailed(fileName, Format(unknown, {key, kSection}));
        }
        const QString shown = key.section(u'/', 1);
        if (shown.startsWith(u'#'))
            continue; // commented out
        const TSetting* setting = nullptr;
        for (const TSetting& candidate : settings)
            if (IsSettingText(shown, candidate.Key))
                setting = &candidate;
        if (!setting)
            LoadFailed(fileName, Format(unknown, {shown, kSection}));
        for (const auto& [seen, value] : values)
            if (seen == setting)
                LoadFailed(
                    fileName,
                    Format(TranslateResourceString(QStringLiteral("%s is given twice")), {shown}));
        const QString text = TextOf(file.value(key));
        QString problem;
        const std::optional<QVariant> value = ParsedValue(*setting, text, problem);
        if (!value)
            LoadFailed(fileName,
                       QStringLiteral("%1 = '%2' %3")
                           .arg(setting->Key, QuotedText(written.value(key, text)), problem));
        values.emplace_back(setting, *value);
    }

    std::vector<QVariant> previous;
    for (const auto& [setting, value] : values)
        previous.push_back(Read(*setting));
    // An open port gets the new values together, at the end of the update.
    BeginSettingsUpdate();
    bool updating = true;
    try {
        for (const auto& [setting, value] : values)
            Write(*setting, value);
        updating = false;
        EndSettingsUpdate();
    } catch (...) {
        // A setter or the device refused (SyncMethod while open, a setting
        // the line cannot take): the previous values return, as they were
        // applied before, so nothing is left half loaded.
        if (!updating)
            ++FUpdateDepth;
        for (std::size_t i = 0; i < values.size(); ++i) {
            try {
                Write(*values[i].first, previous[i]);
            } catch (...) {
            }
        }
        --FUpdateDepth;
        try {
            if (CanApply())
                ApplySettings();
        } catch (...) {
        }
        throw;
    }
}

} // namespace kv52804
