#include "VirtualPort.h"

#include "CPort.h"
#include "CommLinuxExclusive.h"

#include <QFile>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace kv52804;

namespace {

[[noreturn]] void Fail(const char* call) {
    throw ESystemCall(QString::fromLatin1(call), errno);
}

void CloseFd(int& fd) noexcept {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

QString ReadLink(const QString& path) {
    const QByteArray local = QFile::encodeName(path);
    char target[4096];
    const ssize_t n = ::readlink(local.constData(), target, sizeof target - 1);
    return n < 0 ? QString() : QFile::decodeName(QByteArray(target, int(n)));
}

} // namespace

TVirtualPort::TVirtualPort() {
    try {
        FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (FMaster < 0)
            Fail("posix_openpt");
        if (::grantpt(FMaster) != 0)
            Fail("grantpt");
        if (::unlockpt(FMaster) != 0)
            Fail("unlockpt");
        char name[256];
        if (int error = ::ptsname_r(FMaster, name, sizeof name); error != 0) {
            errno = error;
            Fail("ptsname_r");
        }
        FSlavePath = QFile::decodeName(name);
        FSlave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (FSlave < 0)
            Fail("open");
        termios tio{};
        if (::tcgetattr(FSlave, &tio) != 0)
            Fail("tcgetattr");
        ::cfmakeraw(&tio);
        if (::tcsetattr(FSlave, TCSANOW, &tio) != 0)
            Fail("tcsetattr");
        const int flags = ::fcntl(FMaster, F_GETFL);
        if (flags < 0 || ::fcntl(FMaster, F_SETFL, flags | O_NONBLOCK) != 0)
            Fail("fcntl");
        // A client's exclusive open (TIOCEXCL) would otherwise outlive the
        // client: the flag is only cleared when the last descriptor of the
        // slave closes, and ours never does. Watching the device node for
        // closes lets the module clear it when the client is gone.
        FWatch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (FWatch < 0)
            Fail("inotify_init1");
        if (::inotify_add_watch(FWatch, name, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
            Fail("inotify_add_watch");
    } catch (...) {
        CloseFd(FWatch);
        CloseFd(FSlave);
        CloseFd(FMaster);
        throw;
    }
}

TVirtualPort::~TVirtualPort() {
    Unpublish();
    CloseFd(FWatch);
    CloseFd(FSlave);
    CloseFd(FMaster);
}

namespace {

// Makes path a link with that text in one step: written under a dotted name
// that no list shows, then renamed over whatever stood there.
void ReplaceLink(const QString& text, const QString& path, const QString& dotted) {
    const QByteArray temporary = QFile::encodeName(dotted);
    ::unlink(temporary.constData());
    if (::symlink(QFile::encodeName(text).constData(), temporary.constData()) != 0)
        Fail("symlink");
    if (::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        errno = error;
        Fail("rename");
    }
}

// Removes the link at path when its text is still text: another module
// started later may have taken the name over, and its links are not ours.
void RemoveLinkIfOurs(const QString& path, const QString& text) {
    if (ReadLink(path) == text)
        ::unlink(QFile::encodeName(path).constData());
}

} // namespace

void TVirtualPort::Publish(const QString& directory, const QString& name) {
    const QByteArray dir = QFile::encodeName(directory);
    if (::mkdir(dir.constData(), 0700) != 0 && errno != EEXIST)
        Fail("mkdir");
    // An existing directory may have been made by someone else to catch
    // what clients write to the names in it.
    if (const int problem = CheckPortDirectory(directory); problem != 0)
        throw Exception(QStringLiteral("the port directory ") + directory +
                        QStringLiteral(" is not safe to use: ") + PortDirectoryProblem(problem));
    // The record first: a link is good only once its record names us.
    const QString dotted = directory + QStringLiteral("/.%1.%2.new").arg(name).arg(::getpid());
    FRecordPath = directory + u'/' + PortPublisherRecordName(name);
    FRecord = PortPublisherRecord(FSlavePath);
    ReplaceLink(FRecord, FRecordPath, dotted);
    FLinkPath = directory + u'/' + name;
    ReplaceLink(FSlavePath, FLinkPath, dotted);
}

void TVirtualPort::Unpublish() noexcept {
    if (FLinkPath.isEmpty())
        return;
    RemoveLinkIfOurs(FLinkPath, FSlavePath);
    RemoveLinkIfOurs(FRecordPath, FRecord);
    FLinkPath.clear();
}

std::string TVirtualPort::ReadAvailable() {
    std::string data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(FMaster, buffer, sizeof buffer);
        if (n > 0) {
            data.append(buffer, std::size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EIO)
            Fail("read");
        // EAGAIN: all read. EIO cannot happen while our slave descriptor is
        // open; were it to, there is simply nothing to read.
        return data;
    }
}

void TVirtualPort::ClientClosed() {
    alignas(inotify_event) char buffer[4096];
    bool closed = false;
    for (;;) {
        const ssize_t n = ::read(FWatch, buffer, sizeof buffer);
        if (n > 0) {
            closed = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    if (!closed)
        return;
    // Any close of the node wakes us, also that of someone who merely looked
    // in (root opens past the flag) while the client that set it is still
    // there. Clearing it then would let a third party in beside that client,
    // so it is cleared only once nobody but us holds the line. Holders that
    // may not be looked into pass unseen, as for the port's own open.
    struct stat device;
    if (::fstat(FSlave, &device) == 0 &&
        commlinux::HeldElsewhere(QFile::encodeName(FSlavePath).toStdString(), device))
        return;
    ::ioctl(FSlave, TIOCNXCL);
}
