// The port list, read from fake sysfs trees and local port directories.
#include "CPortTexts.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Sets an environment variable for one scope and restores it, also to unset.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QString& value)
        : FName(name), FWasSet(qEnvironmentVariableIsSet(name)), FOld(qgetenv(name)) {
        qputenv(name, QFile::encodeName(value));
    }
    ~ScopedEnv() {
        if (FWasSet)
            qputenv(FName, FOld);
        else
            qunsetenv(FName);
    }

private:
    const char* FName;
    bool FWasSet;
    QByteArray FOld;
};

class PortListTest : public testing::Test {
protected:
    QTemporaryDir FTemp;
    QString FSysfs;
    QString FLocal;

    void SetUp() override {
        ASSERT_TRUE(FTemp.isValid());
        FSysfs = FTemp.filePath("sys");
        FLocal = FTemp.filePath("serialcomm");
        ASSERT_TRUE(QDir().mkpath(FSysfs + "/class/tty"));
        ASSERT_TRUE(QDir().mkpath(FSysfs + "/devices/platform/serial8250"));
        ASSERT_TRUE(QDir().mkpath(FLocal));
    }

    static void Link(const QString& target, const QString& link) {
        ASSERT_EQ(
            symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()), 0)
            << link.toStdString();
    }
    static void Write(const QString& path, const QByteArray& content) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
        f.write(content);
    }

    // A tty entry laid out as the kernel does: the class entry is a link into
    // the device hierarchy, and a "device" link inside leads to the hardware.
    // type: the serial-core port type, or empty for drivers without one.
    void Tty(const QString& name, bool hardware, const QByteArray& type = {}) {
        const QString real = FSysfs + "/devices/platform/serial8250/tty/" + name;
        ASSERT_TRUE(QDir().mkpath(real));
        if (hardware)
            Link("../../../serial8250", real + "/device");
        if (!type.isEmpty())
            Write(real + "/type", type);
        Link("../../devices/platform/serial8250/tty/" + name, FSysfs + "/class/tty/" + name);
    }

    QStringList List() {
        QStringList list;
        ListComPorts(list, FSysfs, FLocal);
        return list;
    }

    // The code and OS code of the error raised while listing; the caller's
    // list must come back as it was.
    std::pair<int, int> Failure(const QString& sysfs, const QString& local) {
        QStringList list{"kept"};
        try {
            ListComPorts(list, sysfs, local);
        } catch (const EComPort& e) {
            EXPECT_EQ(list, QStringList{"kept"});
            return {int(e.ErrorCode()), int(e.WinErrorCode())};
        }
        ADD_FAILURE() << "no error";
        return {0, 0};
    }
};

TEST_F(PortListTest, ListsDevicesWithHardwareAndSkipsPhantomUarts) {
    Tty("ttyS0", true, "4\n"); // a 16550A that answered
    Tty("ttyS1", true, "0\n"); // registered by the 8250 driver, no UART there
    Tty("ttyS2", true, "0");   // the same without the line end
    Tty("ttyUSB0", true);      // usb-serial: no type attribute
    Tty("ttyACM0", true);
    Tty("rfcomm0", true);
    Tty("tty1", false); // virtual console
    Tty("ptmx", false);
    EXPECT_EQ(List(), (QStringList{"rfcomm0", "ttyACM0", "ttyS0", "ttyUSB0"}));
}

TEST_F(PortListTest, ListsNamedLinksThatLeadSomewhere) {
    Write(FTemp.filePath("pts-7"), "");
    Link(FTemp.filePath("pts-7"), FLocal + "/kv52804");
    Link(FTemp.filePath("gone"), FLocal + "/ended");     // its simulator has ended
    Write(FLocal + "/kv52804.lock", "");                 // bookkeeping, not a link
    Link(FTemp.filePath("pts-7"), FLocal + "/.kv52804"); // not yet renamed into place
    EXPECT_EQ(List(), (QStringList{"kv52804"}));
}

// A pseudo-terminal's number is reused once its master closes, so a link to
// one counts only while its record names a live process, by pid and start
// time, that holds the master; this process publishes one here.
TEST_F(PortListTest, LinksToPseudoTerminalsCountOnlyWhileTheirPublisherHoldsThem) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const QString pty = QString::fromLatin1(ptsname(master));
    Link(pty, FLocal + "/pty");
    const QString ours = PortPublisherRecord(pty);
    const QString pid = ours.section(' ', 0, 0), start = ours.section(' ', 1, 1);
    const QString record = FLocal + "/" + PortPublisherRecordName("pty");
    const std::pair<QString, bool> rows[] = {
        {"", false}, // no record: anybody's, or nobody's
        {ours, true},
        {pid + " 1 " + pty, false},                      // an earlier process with this pid
        {pid + ' ' + start + " /dev/pts/999999", false}, // another publication of the name
        {"garbage", false},
    };
    for (const auto& [text, listed] : rows) {
        SCOPED_TRACE(text.toStdString());
        unlink(QFile::encodeName(record).constData());
        if (!text.isEmpty())
            Link(text, record);
        EXPECT_EQ(List(), listed ? QStringList{"pty"} : QStringList{});
    }
    close(master); // the publisher lets go of its line
    EXPECT_EQ(List(), QStringList{});
}

TEST_F(PortListTest, SortsAsTextIgnoringCaseAndListsRepeatsOnce) {
    Write(FTemp.filePath("dev"), "");
    for (const char* name : {"COM2", "COM10", "com3", "COM1", "ttyS0"})
        Link(FTemp.filePath("dev"), FLocal + "/" + name);
    Tty("ttyS0", true, "4\n");
    Tty("ttyAMA0", true, "1\n");
    EXPECT_EQ(List(), (QStringList{"COM1", "COM10", "COM2", "com3", "ttyAMA0", "ttyS0"}));
}

TEST_F(PortListTest, NothingPresentGivesAnEmptyList) {
    QDir(FLocal).removeRecursively(); // no port ever published: not an error
    QStringList list{"old"};
    ListComPorts(list, FSysfs, FLocal);
    EXPECT_TRUE(list.isEmpty());
}

TEST_F(PortListTest, UnreadableTreesRaiseCode23WithTheOsCode) {
    Write(FTemp.filePath("plain"), "");
    EXPECT_EQ(Failure(FTemp.filePath("missing"), FLocal), std::make_pair(23, ENOENT));
    EXPECT_EQ(Failure(FTemp.filePath("plain"), FLocal), std::make_pair(23, ENOTDIR));
    EXPECT_EQ(Failure(FSysfs, FTemp.filePath("plain")), std::make_pair(23, ENOTDIR));
    // A type attribute that cannot be read fails the list rather than
    // guessing whether a UART is there.
    Tty("ttyS0", true);
    ASSERT_TRUE(QDir().mkpath(FSysfs + "/devices/platform/serial8250/tty/ttyS0/type"));
    EXPECT_EQ(Failure(FSysfs, FLocal), std::make_pair(23, EISDIR));
}

// Under a shared /tmp another user can make the directory first and plant
// links; such a directory is neither listed nor used to resolve a name.
TEST_F(PortListTest, UntrustedLocalDirectoryIsRefusedByListAndResolution) {
    Write(FTemp.filePath("dev"), "");
    Link(FTemp.filePath("dev"), FLocal + "/planted");
    const QString link = FTemp.filePath("link");
    Link(FLocal, link);
    EXPECT_EQ(Failure(FSysfs, link), std::make_pair(23, ELOOP));
    ASSERT_EQ(chmod(QFile::encodeName(FLocal).constData(), 0775), 0);
    EXPECT_EQ(Failure(FSysfs, FLocal), std::make_pair(23, EACCES));
    const ScopedEnv dir("KV_SERIALCOMM_DIR", FLocal);
    EXPECT_EQ(ResolvePortPath("planted"), "/dev/planted");
    ASSERT_EQ(chmod(QFile::encodeName(FLocal).constData(), 0755), 0);
    EXPECT_EQ(ResolvePortPath("planted"), FTemp.filePath("dev"));
}

TEST_F(PortListTest, PlainCallReadsTheDirectoriesNamedByTheEnvironment) {
    Tty("ttyUSB3", true);
    Write(FTemp.filePath("dev"), "");
    Link(FTemp.filePath("dev"), FLocal + "/virtual");
    const ScopedEnv root("KV_SYSFS_ROOT", FSysfs), dir("KV_SERIALCOMM_DIR", FLocal);
    QStringList list;
    ListComPorts(list);
    EXPECT_EQ(list, (QStringList{"ttyUSB3", "virtual"}));
}

} // namespace
