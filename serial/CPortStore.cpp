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
// keys sorted by name, which keeps each sub-object's keys together.
//
// The properties are found through the meta-object, so a property published
// later is stored without a change here.
#include "CPortTexts.h"
#include "SysUtils.h"
#include "gnugettext.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QMetaProperty>
#include <QSettings>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const QString kSection = QStringLiteral("ComPort");

struct TSetting {
    QString Key; // the property path
    QObject* Owner;
    QMetaProperty Property;
};

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
    return settings;
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
    const QVariant value = setting.Property.read(setting.Owner);
    const QMetaType type = setting.Property.metaType();
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
    const QMetaType type = setting.Property.metaType();
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

[[noreturn]] void LoadFailed(const QString& detail, int32_t code = -1) {
    throw EComPort(CError_LoadFailed, detail, code);
}

// Only this user's own regular file: settings decide which device is opened
// and how, as the ports file does. A link to such a file is followed.
void CheckSettingsFile(const QString& fileName) {
    struct stat info;
    if (::stat(QFile::encodeName(fileName).constData(), &info) != 0) {
        const int error = errno;
        LoadFailed(QString::fromLocal8Bit(std::strerror(error)), error);
    }
    const QString refused = TranslateResourceString(QStringLiteral("the file is not used: %s"));
    if (!S_ISREG(info.st_mode))
        LoadFailed(
            Format(refused, {TranslateResourceString(QStringLiteral("it is not a regular file"))}));
    if (const int problem = CheckOwnership(info.st_uid, info.st_mode); problem != 0)
        LoadFailed(Format(refused, {PortDirectoryProblem(problem)}));
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
    QSettings file(fileName, QSettings::IniFormat);
    // Only the port's keys: a key the loader does not know would make the
    // file unloadable.
    file.clear();
    file.beginGroup(kSection);
    // The walk hands out the sub-objects for writing too; here it only reads.
    for (const TSetting& setting : Settings(const_cast<TCustomComPort&>(*this)))
        file.setValue(setting.Key, StoredValue(setting));
    file.endGroup();
    file.sync();
    if (file.status() == QSettings::NoError)
        return;
    const int32_t error = WriteProblem(fileName);
    throw EComPort(CError_StoreFailed,
                   error == -1 ? fileName
                               : fileName + QStringLiteral(": ") +
                                     QString::fromLocal8Bit(std::strerror(error)),
                   error);
}

void TCustomComPort::LoadSettings(const QString& fileName) {
    CheckSettingsFile(fileName);
    QSettings file(fileName, QSettings::IniFormat);
    if (file.status() != QSettings::NoError)
        LoadFailed(
            TranslateResourceString(QStringLiteral("the file cannot be read as an INI file")));

    // Everything is checked before anything is set. A name that is no setting
    // is refused rather than passed over: a misspelt key would otherwise
    // leave its setting unchanged without a word.
    const std::vector<TSetting> settings = Settings(*this);
    std::vector<std::pair<const TSetting*, QVariant>> values;
    for (const QString& key : file.allKeys()) {
        const TSetting* setting = nullptr;
        for (const TSetting& candidate : settings)
            if (IsSettingText(key, kSection + u'/' + candidate.Key))
                setting = &candidate;
        const QString shown = key.section(u'/', 0, 0).compare(kSection, Qt::CaseInsensitive) == 0
                                  ? key.section(u'/', 1)
                                  : key;
        if (!setting)
            LoadFailed(Format(TranslateResourceString(
                                  QStringLiteral("%s is no port setting (they stand under [%s])")),
                              {shown, kSection}));
        for (const auto& [seen, value] : values)
            if (seen == setting)
                LoadFailed(
                    Format(TranslateResourceString(QStringLiteral("%s is given twice")), {shown}));
        const QString text = TextOf(file.value(key));
        QString problem;
        const std::optional<QVariant> value = ParsedValue(*setting, text, problem);
        if (!value)
            LoadFailed(QStringLiteral("%1 = '%2' %3").arg(setting->Key, text, problem));
        values.emplace_back(setting, *value);
    }

    std::vector<QVariant> previous;
    for (const auto& [setting, value] : values)
        previous.push_back(setting->Property.read(setting->Owner));
    // An open port gets the new values together, at the end of the update.
    BeginSettingsUpdate();
    bool updating = true;
    try {
        for (const auto& [setting, value] : values)
            setting->Property.write(setting->Owner, value);
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
                values[i].first->Property.write(values[i].first->Owner, previous[i]);
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
