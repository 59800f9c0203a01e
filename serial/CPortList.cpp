// The list of serial ports present on a Linux machine.
//
// Local ports come from two sources: the kernel's tty class in sysfs, where
// every serial device with hardware behind it has a "device" link (USB and
// ACM adapters, platform UARTs, Bluetooth rfcomm), and the local port
// directory, where the display simulator and a user's own virtual ports
// publish named links. The user's named network ports follow them. Nothing here
// opens a device: opening a port can toggle its modem lines or disturb a
// program that is using it, so the list is built from metadata only.
#include "CPortTexts.h"
#include "SysUtils.h"
#include "gnugettext.h"

#include <QDebug>
#include <QFile>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kv52804 {

namespace {

[[noreturn]] void ListFailed(int osError) {
    throw EComPort(CError_RegError, osError);
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// Opens a directory for listing; nullptr when it does not exist and that is
// allowed, every other failure raises.
DirHandle OpenDir(const QByteArray& path, bool missingIsEmpty) {
    const int fd = open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (missingIsEmpty && errno == ENOENT)
            return nullptr;
        ListFailed(errno);
    }
    DIR* dir = fdopendir(fd);
    if (!dir) {
        const int error = errno;
        close(fd);
        ListFailed(error);
    }
    return DirHandle(dir);
}

// Every entry name but "." and "..", in directory order.
std::vector<QByteArray> EntryNames(DIR* dir) {
    std::vector<QByteArray> names;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (!entry) {
            if (errno != 0)
                ListFailed(errno);
            return names;
        }
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
}

// Whether a path below dirFd exists (links followed). A name that is gone or
// leads nowhere is simply absent; anything else is a failure to read the tree.
bool Exists(int dirFd, const QByteArray& path) {
    struct stat info;
    if (fstatat(dirFd, path.constData(), &info, 0) == 0)
        return true;
    if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
        return false;
    ListFailed(errno);
}

// The 8250 driver registers a fixed number of ports whether or not a UART
// answers at their addresses; those phantoms report the port type 0
// (PORT_UNKNOWN). Other drivers have no "type" attribute at all.
bool IsPhantomUart(int ttyDirFd, const QByteArray& name) {
    const int fd = openat(ttyDirFd, (name + "/type").constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return false;
        ListFailed(errno);
    }
    char buffer[32];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    const int error = errno;
    close(fd);
    if (got < 0)
        ListFailed(error);
    return QByteArray(buffer, got).trimmed() == "0";
}

void AddSysfsPorts(const QString& sysfsRoot, QStringList& names) {
    const DirHandle dir =
        OpenDir(QFile::encodeName(sysfsRoot + QStringLiteral("/class/tty")), false);
    const int fd = dirfd(dir.get());
    for (const QByteArray& name : EntryNames(dir.get())) {
        // Virtual consoles, ptmx and friends have no device behind them.
        if (!Exists(fd, name + "/device"))
            continue;
        if (IsPhantomUart(fd, name))
            continue;
        names.append(QFile::decodeName(name));
    }
}

// Named links only: the directory may also hold the publishers' records,
// and a link whose target has vanished or whose publisher has gone (a
// simulator that has ended) is no port any more.
void AddLocalPorts(const QString& localDir, QStringList& names) {
    if (localDir.isEmpty())
        return;
    if (const int problem = CheckPortDirectory(localDir); problem != 0 && problem != ENOENT)
        ListFailed(problem);
    const DirHandle dir = OpenDir(QFile::encodeName(localDir), true);
    if (!dir)
        return; // nobody has published a port yet
    const int fd = dirfd(dir.get());
    for (const QByteArray& name : EntryNames(dir.get())) {
        if (name.startsWith('.'))
            continue; // half-published names (written, then renamed into place)
        struct stat info;
        if (fstatat(fd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue; // removed while we were listing
            ListFailed(errno);
        }
        if (!S_ISLNK(info.st_mode) ||
            PublishedPortTarget(localDir, QFile::decodeName(name)).isEmpty())
            continue;
        names.append(QFile::decodeName(name));
    }
}

} // namespace

void ListComPorts(QStringList& list, const QString& sysfsRoot, const QString& localDir,
                  const QString& portsFile, QStringList* warnings) {
    QStringList names;
    AddSysfsPorts(sysfsRoot, names);
    AddLocalPorts(localDir, names);
    // Port names are ASCII device names, so plain case-insensitive text order
    // is what a user expects, the same in every locale: COM10 between COM1 and
    // COM2. Names equal but for case keep a fixed order; exact repeats (a link
    // named like a device) are listed once.
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int order = QString::compare(a, b, Qt::CaseInsensitive);
        return order != 0 ? order < 0 : QString::compare(a, b, Qt::CaseSensitive) < 0;
    });
    names.erase(std::unique(names.begin(), names.end()), names.end());
    // A name that is also a local port leads there (see ResolvePortPath), so
    // it stands once, where the local port does.
    if (!portsFile.isEmpty())
        for (const TNetworkPort& port : ReadNetworkPorts(portsFile, warnings))
            if (!names.contains(port.Name))
                names.append(port.Name);
    list.swap(names);
}

QString SysfsRoot() {
    const QString root = qEnvironmentVariable("KV_SYSFS_ROOT");
    return root.isEmpty() ? QStringLiteral("/sys") : root;
}

void ListComPorts(QStringList& list) {
    QStringList warnings;
    ListComPorts(list, SysfsRoot(), LocalPortDirectory(), NetworkPortsFile(), &warnings);
    for (const QString& warning : warnings)
        qWarning().noquote() << Format(TranslateResourceString(QStringLiteral("warning: %s")),
                                       {warning});
}

} // namespace kv52804
