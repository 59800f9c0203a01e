// Named links in the local port directory, and how a link shows that it is
// still good.
//
// A link to a hardware device stays good as long as the device is there. A
// link to a pseudo-terminal does not: when its publisher dies without
// removing it (SIGKILL, a crash), the kernel hands the pty's number to the
// next program that asks for a pty, and the old name would then lead to
// somebody else's line, such as a second simulator. Timestamps cannot tell
// the two apart (clocks step), and neither can the slave's owner or mode.
// What can: the publisher writes a record beside the link naming itself by
// pid and start time (the pair is unique for the life of the system, unlike
// the pid alone), and the link counts only while that process is alive and
// still holds the master of that very pty. A pty's number cannot be reused
// while its master is open, so a link that passes points at its publisher's
// line.
//
// The record is a symbolic link too, ".<name>.publisher" -> "<pid> <start>
// <device>": made and read in one call each, so it is never seen half
// written, and the leading dot keeps it out of the port list. The device in
// it ties the record to one publication of the name: a record and a link
// written by two different publishers do not match.
#include "CPort.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kv52804 {

namespace {

// Linux gives pty slaves the majors 136..143 (UNIX98_PTY_SLAVE_MAJOR and the
// ranges after it), 256 numbers each.
constexpr unsigned PtySlaveMajor = 136, PtySlaveMajors = 8;

QByteArray ReadLinkText(const QByteArray& path) {
    char buffer[4096];
    const ssize_t n = ::readlink(path.constData(), buffer, sizeof buffer);
    return n < 0 || n == ssize_t(sizeof buffer) ? QByteArray() : QByteArray(buffer, int(n));
}

QByteArray ReadSmallFile(const QByteArray& path) {
    QFile file(QFile::decodeName(path));
    return file.open(QIODevice::ReadOnly) ? file.read(4096) : QByteArray();
}

// Field 22 of /proc/<pid>/stat: when the process started, in clock ticks
// since boot. The command name before it may hold spaces and parentheses,
// so the fields are counted from the last ')'.
QByteArray ProcessStartTime(const QByteArray& pid) {
    const QByteArray stat = ReadSmallFile("/proc/" + pid + "/stat");
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return QByteArray();
    const QList<QByteArray> fields = stat.mid(close + 1).simplified().split(' ');
    // After the name come state (field 3) ... starttime (field 22).
    return fields.size() > 19 ? fields[19] : QByteArray();
}

// Whether the process holds the master of pty number index open.
bool HoldsPtyMaster(const QByteArray& pid, unsigned index) {
    const QByteArray proc = "/proc/" + pid;
    const QByteArray wanted = "tty-index:\t" + QByteArray::number(index) + '\n';
    const QStringList fds = QDir(QFile::decodeName(proc + "/fd")).entryList(QDir::System);
    for (const QString& fd : fds) {
        const QByteArray name = QFile::encodeName(fd);
        const QByteArray target = ReadLinkText(proc + "/fd/" + name);
        if (target != "/dev/ptmx" && target != "/dev/pts/ptmx")
            continue;
        if (ReadSmallFile(proc + "/fdinfo/" + name).contains(wanted))
            return true;
    }
    return false;
}

} // namespace

QString PortPublisherRecord(const QString& device) {
    const QByteArray pid = QByteArray::number(::getpid());
    return QString::fromLatin1(pid + ' ' + ProcessStartTime(pid) + ' ') + device;
}

QString PortPublisherRecordName(const QString& name) {
    return QStringLiteral(".") + name + QStringLiteral(".publisher");
}

QString PublishedPortTarget(const QString& dir, const QString& name) {
    const QByteArray link = QFile::encodeName(dir + u'/' + name);
    const QByteArray target = ReadLinkText(link);
    struct stat info;
    if (target.isEmpty() || ::stat(link.constData(), &info) != 0)
        return QString(); // not a link, or one that leads nowhere
    const QString path = QDir(dir).absoluteFilePath(QFile::decodeName(target));
    const unsigned major = ::major(info.st_rdev);
    if (!S_ISCHR(info.st_mode) || major < PtySlaveMajor || major >= PtySlaveMajor + PtySlaveMajors)
        return path;
    const unsigned index = (major - PtySlaveMajor) * 256 + ::minor(info.st_rdev);

    const QList<QByteArray> record =
        ReadLinkText(QFile::encodeName(dir + u'/' + PortPublisherRecordName(name))).split(' ');
    if (record.size() != 3 || record[0].toUInt() == 0 || record[1].isEmpty() || record[2] != target)
        return QString();
    if (ProcessStartTime(record[0]) != record[1] || !HoldsPtyMaster(record[0], index))
        return QString();
    return path;
}

} // namespace kv52804
