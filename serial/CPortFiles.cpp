#include "CPortFiles.h"
#include "CPort.h"
#include "gnugettext.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv52804 {

namespace {
// Closes a descriptor on every way out.
struct TDescriptor {
    int Fd;
    ~TDescriptor() {
        if (Fd >= 0)
            ::close(Fd);
    }
};
} // namespace

TTrustedFile ReadTrustedFile(const QString& file, bool followLink) {
    TTrustedFile result;
    const TDescriptor fd{
        ::open(QFile::encodeName(file).constData(),
               O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW))};
    struct stat info;
    if (fd.Fd < 0 && errno == ELOOP && !followLink)
        result.Refused = PortDirectoryProblem(ELOOP);
    else if (fd.Fd < 0 || ::fstat(fd.Fd, &info) != 0)
        result.Error = errno;
    else if (!S_ISREG(info.st_mode))
        result.Refused = TranslateResourceString(QStringLiteral("it is not a regular file"));
    else if (const int problem = CheckOwnership(info.st_uid, info.st_mode); problem != 0)
        result.Refused = PortDirectoryProblem(problem);
    if (result.Error != 0 || !result.Refused.isEmpty())
        return result;
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd.Fd, buffer, sizeof buffer);
        if (got > 0) {
            result.Data.append(buffer, got);
        } else if (got == 0) {
            return result;
        } else if (errno != EINTR) {
            result.Error = errno;
            result.Data.clear();
            return result;
        }
    }
}

QString QuotedText(const QString& text) {
    QString shown;
    for (QChar c : text)
        shown += c.isPrint() || c.isSurrogate()
                     ? QString(c)
                     : QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    return shown;
}

} // namespace kv52804
