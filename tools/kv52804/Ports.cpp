#include "Ports.h"

#include "CPort.h"
#include "Commands.h"
#include "Options.h"
#include "SysUtils.h"
#include "gnugettext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>

using namespace kv52804;

namespace {

QString ReadAttribute(const QDir& dir, const char* name) {
    QFile file(dir.filePath(QString::fromLatin1(name)));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.read(256)).trimmed();
}

// Walks up from the tty's device: a USB adapter's serial port sits on an
// interface whose parent is the USB device with the vendor and product (ACM
// devices sit on the interface itself). Other devices are known by their
// driver; the kernel's generic serial port and controller devices
// (serial-base) sit between a UART and its real driver.
QString HardwareDescription(const QString& devicePath) {
    QString driver;
    QDir dir(devicePath);
    for (int level = 0; level < 4 && !dir.isRoot(); ++level, dir.cdUp()) {
        const QString vendor = ReadAttribute(dir, "idVendor");
        if (!vendor.isEmpty()) {
            const QString id = vendor + u':' + ReadAttribute(dir, "idProduct");
            const QString name =
                (ReadAttribute(dir, "manufacturer") + u' ' + ReadAttribute(dir, "product"))
                    .trimmed();
            return name.isEmpty() ? QStringLiteral("USB %1").arg(id)
                                  : QStringLiteral("%1 (%2)").arg(name, id);
        }
        const QString link = QFileInfo(dir.filePath(QStringLiteral("driver"))).symLinkTarget();
        if (driver.isEmpty() && !link.isEmpty() && !link.contains(QStringLiteral("/serial-base/")))
            driver = Format(Translate(QStringLiteral("driver %s")), {QFileInfo(link).fileName()});
    }
    return driver;
}

// Whether a kv52804-sim process holds this device open: the simulator keeps
// its own end of the link open for its whole run.
bool HeldBySimulator(const QString& device) {
    const QDir proc(QStringLiteral("/proc"));
    for (const QString& pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!pid.front().isDigit() ||
            ReadAttribute(QDir(proc.filePath(pid)), "comm") != QStringLiteral("kv52804-sim"))
            continue;
        const QDir fds(proc.filePath(pid + QStringLiteral("/fd")));
        for (const QFileInfo& fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot))
            if (fd.symLinkTarget() == device)
                return true;
    }
    return false;
}

void PrintWarning(const QString& warning) {
    std::fprintf(stderr, "kv52804: %s\n",
                 qPrintable(Format(Translate(QStringLiteral("warning: %s")), {warning})));
}

// Whether a plain name leads into the local port directory, as
// ResolvePortPath takes it there: a directory that may be trusted, and an
// entry of that name (a stale link too: it never leads anywhere else).
bool InPortDirectory(const QString& name) {
    const QString dir = LocalPortDirectory();
    if (name.startsWith(u'.') || CheckPortDirectory(dir) != 0)
        return false;
    const QFileInfo entry(dir + u'/' + name);
    return entry.isSymLink() || entry.exists();
}

// A plain name that the port directory does not have is looked up in the
// ports file, then in /dev. A line of the file that names it but was
// skipped would otherwise send the name to /dev without a word; a file that
// was not read at all is worth saying only when /dev has no such name
// either.
void WarnOfPortsFile(const QString& name) {
    if (InPortDirectory(name))
        return;
    QList<TNetworkPortsWarning> warnings;
    ReadNetworkPorts(NetworkPortsFile(), warnings);
    const bool nowhere = !QFileInfo(QStringLiteral("/dev/") + name).exists();
    for (const TNetworkPortsWarning& warning : warnings)
        if (warning.Name == name || (warning.Name.isEmpty() && nowhere))
            PrintWarning(warning.Text);
}

// The terminals the kernel writes its console to, as device paths: a serial
// console is a UART like any other in the list, but a module there would
// get the kernel's messages, and frames sent there would reach whoever
// reads the console.
QStringList ConsoleDevices() {
    QFile active(SysfsRoot() + QStringLiteral("/class/tty/console/active"));
    if (!active.open(QIODevice::ReadOnly))
        return {};
    QStringList devices;
    for (const QString& name :
         QString::fromUtf8(active.read(4096)).simplified().split(u' ', Qt::SkipEmptyParts))
        devices.append(QStringLiteral("/dev/") + name);
    return devices;
}

// What is known of the port itself: see DescribePort.
QString HardwareOf(const QString& name) {
    const QString device = ResolvePortPath(name);
    if (IsNetworkPort(device))
        return device;
    if (device != QStringLiteral("/dev/") + name) {
        // A published link.
        if (HeldBySimulator(device))
            return Translate(QStringLiteral("virtual display"));
        return Format(Translate(QStringLiteral("link to %s")), {device});
    }
    const QString tty =
        SysfsRoot() + QStringLiteral("/class/tty/") + name + QStringLiteral("/device");
    const QString hardware = QFileInfo(tty).canonicalFilePath();
    return hardware.isEmpty() ? QString() : HardwareDescription(hardware);
}

bool IsConsole(const QString& name, const QStringList& consoles) {
    const QString device = ResolvePortPath(name);
    const QString real = QFileInfo(device).canonicalFilePath();
    for (const QString& console : consoles)
        if (device == console ||
            (!real.isEmpty() && real == QFileInfo(console).canonicalFilePath()))
            return true;
    return false;
}

} // namespace

QStringList PortsPresent() {
    const QString dir = LocalPortDirectory();
    QString usable = dir;
    if (const int problem = CheckPortDirectory(dir); problem != 0 && problem != ENOENT) {
        // Someone else's directory could hold planted names; the hardware
        // ports are listed all the same.
        static bool warned = false;
        if (!warned)
            std::fprintf(stderr, "kv52804: %s\n",
                         qPrintable(Format(Translate(QStringLiteral(
                                               "warning: the port directory %s is not used: %s")),
                                           {dir, PortDirectoryProblem(problem)})));
        warned = true;
        usable.clear();
    }
    QStringList ports, warnings;
    try {
        ListComPorts(ports, SysfsRoot(), usable, NetworkPortsFile(), &warnings);
    } catch (const EComPort& error) {
        throw EPortFailed(PortErrorMessage(QString(), error));
    }
    for (const QString& warning : warnings)
        PrintWarning(warning);
    return ports;
}

QString ChoosePort(const TOptions& options, const QString& fromFile) {
    QString port = options.PortGiven ? options.Port : qEnvironmentVariable("KV52804_PORT");
    if (port.isEmpty())
        port = fromFile;
    // A name with a slash is a path, as everywhere in a shell, unless it is
    // a network port's URL; only a plain name is looked up in the port
    // directory, the ports file or /dev.
    if (port.contains(u'/') && !port.startsWith(u'/') && !IsNetworkPort(port))
        port = QDir::cleanPath(QDir::currentPath() + u'/' + port);
    else if (!port.isEmpty() && !port.contains(u'/'))
        WarnOfPortsFile(port);
    if (!port.isEmpty())
        return port;
    // The kernel's console is never the only port there is: it is taken
    // only when named.
    const QStringList consoles = ConsoleDevices();
    QStringList ports, skipped;
    for (const QString& present : PortsPresent())
        (IsConsole(present, consoles) ? skipped : ports).append(present);
    if (ports.size() == 1)
        return ports.front();
    if (ports.isEmpty() && !skipped.isEmpty())
        throw EPortFailed(
            Format(Translate(QStringLiteral("No serial port found besides the system console (%s); "
                                            "connect the module, start kv52804-sim or name a port "
                                            "with --port")),
                   {skipped.join(QStringLiteral(", "))}));
    if (ports.isEmpty())
        throw EPortFailed(Translate(QStringLiteral(
            "No serial port found; connect the module, start kv52804-sim or name a port with "
            "--port")));
    throw EPortFailed(Format(Translate(QStringLiteral("Several ports found (%s); choose one with "
                                                      "--port, KV52804_PORT or Port= in %s")),
                             {ports.join(QStringLiteral(", ")), DefaultsFile()}));
}

QString PortLabel(const QString& name) {
    // A device is named by the file that was opened; a published name by
    // itself, the pseudo-terminal behind it means nothing to the user.
    const QString device = ResolvePortPath(name);
    if (device == QStringLiteral("/dev/") + name &&
        QFileInfo(LocalPortDirectory() + u'/' + name).isSymLink())
        return name; // a published name that is no good any more
    return device.startsWith(QStringLiteral("/dev/pts/")) ? name : device;
}

QString DescribePort(const QString& name) {
    QString description = HardwareOf(name);
    if (IsConsole(name, ConsoleDevices())) {
        const QString console = Translate(QStringLiteral("system console"));
        description =
            description.isEmpty() ? console : description + QStringLiteral("; ") + console;
    }
    return description;
}
