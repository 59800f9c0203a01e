// The component's error class, its translated texts, and the module start-up.
#include "CPort.h"

#include "SysUtils.h"
#include "gnugettext.h"

#include <QDir>
#include <QFileInfo>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kv52804 {

namespace {
constexpr int kErrorCount = 23;

const std::array<const char*, kErrorCount> kErrorTexts = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

// Filled once by CPortStartup; a language change later does not touch it.
// Published through an atomic pointer so an error raised on the event thread
// reads either the whole table or none.
using TErrorTable = std::array<QString, kErrorCount>;
std::atomic<const TErrorTable*> gPortErrorTexts{nullptr};

QString ErrorText(int32_t ACode) {
    if (ACode < 1 || ACode > kErrorCount)
        return QString();
    if (const TErrorTable* table = gPortErrorTexts.load(std::memory_order_acquire))
        return (*table)[ACode - 1];
    // Raised before start-up or after shutdown: the English text still tells
    // the user what failed.
    return QString::fromLatin1(kErrorTexts[ACode - 1]);
}
} // namespace

QString PortErrorOriginal(int32_t ACode) {
    if (ACode < 1 || ACode > kErrorCount)
        return QString();
    return QString::fromLatin1(kErrorTexts[ACode - 1]);
}

namespace {
QString WithWinCode(const QString& text, int32_t AWinCode) {
    return Format(text + TranslateResourceString(QStringLiteral(" (win error code: %d)")),
                  {QString::number(AWinCode)});
}
} // namespace

EComPort::EComPort(int32_t ACode, int32_t AWinCode)
    : Exception(WithWinCode(ErrorText(ACode), AWinCode)), FWinCode(AWinCode), FCode(ACode) {}

// The classic text stays first and whole, so whoever matches on it still
// finds it; the detail says which file, key or value it was.
EComPort::EComPort(int32_t ACode, const QString& ADetail, int32_t AWinCode)
    : Exception(AWinCode == -1
                    ? ErrorText(ACode) + QStringLiteral(": ") + ADetail
                    : WithWinCode(ErrorText(ACode) + QStringLiteral(": ") + ADetail, AWinCode)),
      FWinCode(AWinCode), FCode(ACode), FDetail(ADetail) {}

EComPort::EComPort(int32_t ACode) : Exception(ErrorText(ACode)), FWinCode(-1), FCode(ACode) {}

EComPort EComPort::FromApi(int32_t ACode, CommApi& api) {
    const auto code = static_cast<int32_t>(api.GetLastError());
    const CommApi::TErrorDetail detail = api.GetLastErrorDetail();
    if (detail.Text.empty())
        return EComPort(ACode, code);
    // The values are translated too where they are words ("stop bits").
    QStringList values;
    for (const std::string& value : detail.Values)
        values.append(TranslateResourceString(QString::fromStdString(value)));
    return EComPort(
        ACode, Format(TranslateResourceString(QString::fromStdString(detail.Text)), values), code);
}

CPortStartup::CPortStartup() {
    AddResourceStringDomain(QStringLiteral("cport"));
    auto table = std::make_unique<TErrorTable>();
    for (int i = 0; i < kErrorCount; ++i)
        (*table)[i] = TranslateResourceString(QString::fromLatin1(kErrorTexts[i]));
    delete gPortErrorTexts.exchange(table.release(), std::memory_order_acq_rel);
}

CPortStartup::~CPortStartup() {
    delete gPortErrorTexts.exchange(nullptr);
}

QString LocalPortDirectory() {
    const QByteArray over = qgetenv("KV_SERIALCOMM_DIR");
    if (!over.isEmpty())
        return QDir::cleanPath(QString::fromLocal8Bit(over));
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return QDir::cleanPath(QString::fromLocal8Bit(runtime) + QStringLiteral("/serialcomm"));
    return QStringLiteral("/tmp/serialcomm-%1").arg(::getuid());
}

int CheckPortDirectory(const QString& dir) {
    struct stat info;
    if (::lstat(QFile::encodeName(dir).constData(), &info) != 0)
        return errno;
    if (S_ISLNK(info.st_mode))
        return ELOOP;
    if (!S_ISDIR(info.st_mode))
        return ENOTDIR;
    return CheckOwnership(info.st_uid, info.st_mode);
}

int CheckOwnership(unsigned owner, unsigned mode) {
    if (owner != ::geteuid())
        return EPERM;
    if (mode & (S_IWGRP | S_IWOTH))
        return EACCES;
    return 0;
}

QString PortDirectoryProblem(int code) {
    switch (code) {
    case ELOOP:
        return TranslateResourceString(QStringLiteral("it is a symbolic link"));
    case ENOTDIR:
        return TranslateResourceString(QStringLiteral("it is not a directory"));
    case EPERM:
        return TranslateResourceString(QStringLiteral("it belongs to another user"));
    case EACCES:
        return TranslateResourceString(QStringLiteral("other users may write to it"));
    default:
        return QString::fromLocal8Bit(std::strerror(code));
    }
}

QString ResolvePortPath(const QString& APort) {
    if (APort.startsWith(u'/') || IsNetworkPort(APort))
        return APort;
    const QString device = QStringLiteral("/dev/") + APort;
    // Only a plain name can be a published port; "a/b" would leave the
    // directory, and dotted names are the directory itself, its parent and
    // the publishers' records, which no list shows. A directory that another
    // user could have prepared (the /tmp fallback) is not trusted with the
    // name at all.
    if (APort.isEmpty() || APort.contains(u'/') || APort.startsWith(u'.'))
        return device;
    const QString dir = LocalPortDirectory();
    if (CheckPortDirectory(dir) == 0) {
        const QFileInfo entry(dir + u'/' + APort);
        if (entry.isSymLink()) {
            // A stale link falls through to /dev, where the name is not
            // found: it never leads to another line.
            const QString target = PublishedPortTarget(dir, APort);
            return target.isEmpty() ? device : target;
        }
        if (entry.exists())
            return entry.filePath();
    }
    // Warnings about the file are the list's to give.
    for (const TNetworkPort& port : ReadNetworkPorts(NetworkPortsFile(), nullptr))
        if (port.Name == APort)
            return port.Url;
    return device;
}

} // namespace kv52804
