// Named network ports: the user's own file of "NAME URL" lines gives the
// ports behind serial device servers names, so that a list (the setup
// dialog's takes no typed text) can offer them like local ports.
//
// The file decides where a port name leads, so it is trusted only as the
// local port directory is: the user's own, in a directory of the user's,
// neither writable by anybody else. It is opened without following a link
// and checked through the descriptor that is read, so it cannot be swapped
// between the check and the read.
#include "CPortFiles.h"
#include "CPortTexts.h"
#include "NetworkUrl.h"
#include "SysUtils.h"
#include "gnugettext.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace kv52804 {

namespace {

bool IsAllowedName(const QString& name) {
    return !name.startsWith(u'.') && std::all_of(name.begin(), name.end(), [](QChar c) {
        return c != u'/' && c != u':' && c != QChar::ReplacementCharacter &&
               (c.isPrint() || c.isSurrogate());
    });
}

// A warning about the line of name, or about the whole file when name is empty.
void Warn(QList<TNetworkPortsWarning>& warnings, const QString& name, const QString& format,
          const QStringList& args) {
    warnings.append({name, Format(TranslateResourceString(format), args)});
}

// The file's bytes when it may be trusted. Otherwise nothing, with a warning
// saying why; a file or directory that does not exist is no warning: most
// users have no named ports.
std::optional<QByteArray> ReadPortsFile(const QString& file,
                                        QList<TNetworkPortsWarning>& warnings) {
    const QString dir = QFileInfo(file).absolutePath();
    if (const int problem = CheckPortDirectory(dir); problem != 0) {
        if (problem != ENOENT)
            Warn(warnings, {},
                 QStringLiteral("the ports file %s is not used: its directory %s: %s"),
                 {file, dir, PortDirectoryProblem(problem)});
        return std::nullopt;
    }
    const TTrustedFile read = ReadTrustedFile(file, false);
    if (read.Error == ENOENT)
        return std::nullopt;
    if (read.Error != 0) {
        Warn(warnings, {}, QStringLiteral("the ports file %s cannot be read: %s"),
             {file, QString::fromLocal8Bit(std::strerror(read.Error))});
        return std::nullopt;
    }
    if (!read.Refused.isEmpty()) {
        Warn(warnings, {}, QStringLiteral("the ports file %s is not used: %s"),
             {file, read.Refused});
        return std::nullopt;
    }
    return read.Data;
}

} // namespace

QString UserConfigDirectory() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    // A relative setting is to be ignored, as the base directory rules say.
    if (!QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return QDir::cleanPath(config + QStringLiteral("/kv52804"));
}

QString NetworkPortsFile() {
    return UserConfigDirectory() + QStringLiteral("/ports");
}

bool IsNetworkPort(const QString& APort) {
    return commlinux::IsNetworkName(APort.left(16).toStdString());
}

bool IsNetworkPortUrl(const QString& url) {
    // The transport opens by the same rule. Anything outside ASCII becomes
    // bytes it refuses.
    commlinux::TNetworkUrl parts;
    return commlinux::ParseNetworkUrl(url.toStdString(), parts);
}

QList<TNetworkPort> ReadNetworkPorts(const QString& file, QList<TNetworkPortsWarning>& warnings) {
    QList<TNetworkPort> ports;
    const std::optional<QByteArray> text = ReadPortsFile(file, warnings);
    if (!text)
        return ports;
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    QHash<QString, int> firstLine; // of each name
    int number = 0;
    for (const QByteArray& line : text->split('\n')) {
        const QString where = QString::number(++number);
        QStringList words = QString::fromUtf8(line).split(blanks, Qt::SkipEmptyParts);
        // A word that begins with "#" begins a comment; neither a name nor a
        // URL can begin so.
        words.erase(std::find_if(words.begin(), words.end(),
                                 [](const QString& word) { return word.startsWith(u'#'); }),
                    words.end());
        if (words.isEmpty())
            continue;
        const QString name = words[0];
        if (words.size() == 1)
            Warn(warnings, name, QStringLiteral("%s:%d: '%s' has no URL after it"),
                 {file, where, QuotedText(name)});
        else if (words.size() > 2)
            Warn(warnings, name, QStringLiteral("%s:%d: '%s' after the URL is not understood"),
                 {file, where, QuotedText(words[2])});
        else if (!IsAllowedName(name))
            Warn(warnings, name,
                 QStringLiteral("%s:%d: '%s' cannot be a port name: it has a '/', a ':' or a "
                                "control character, or begins with '.'"),
                 {file, where, QuotedText(name)});
        else if (!IsNetworkPortUrl(words[1]))
            Warn(warnings, name,
                 QStringLiteral("%s:%d: '%s' is not rfc2217://HOST:PORT or socket://HOST:PORT"),
                 {file, where, QuotedText(words[1])});
        else if (firstLine.contains(name))
            Warn(warnings, name,
                 QStringLiteral("%s:%d: '%s' is named on line %d already; the first is used"),
                 {file, where, QuotedText(name), QString::number(firstLine[name])});
        else {
            firstLine.insert(name, number);
            ports.append({name, words[1]});
        }
    }
    return ports;
}

QList<TNetworkPort> ReadNetworkPorts(const QString& file, QStringList* warnings) {
    QList<TNetworkPortsWarning> named;
    const QList<TNetworkPort> ports = ReadNetworkPorts(file, named);
    if (warnings)
        for (const TNetworkPortsWarning& warning : named)
            warnings->append(warning.Text);
    return ports;
}

} // namespace kv52804
