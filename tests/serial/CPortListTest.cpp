// The port list, read from fake sysfs trees and local port directories.
#include "CPortTexts.h"
#include "NetworkUrl.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace kv52804;

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
    ASSERT_TRUE(QDir().mkpath(FTemp.filePath("config/kv52804")));
    Write(FTemp.filePath("config/kv52804/ports"), "office socket://h:1\n");
    const ScopedEnv root("KV_SYSFS_ROOT", FSysfs), dir("KV_SERIALCOMM_DIR", FLocal),
        config("XDG_CONFIG_HOME", FTemp.filePath("config"));
    QStringList list;
    ListComPorts(list);
    EXPECT_EQ(list, (QStringList{"ttyUSB3", "virtual", "office"}));
    // A relative setting does not count; the home directory's does.
    const ScopedEnv relative("XDG_CONFIG_HOME", "config"), home("HOME", FTemp.path());
    EXPECT_EQ(NetworkPortsFile(), FTemp.filePath(".config/kv52804/ports"));
}

// Named network ports: the local ports come first, then the good names of
// the ports file in its order; every bad line is named with its number.
class NetworkPortsTest : public PortListTest {
protected:
    QString FDir, FFile;
    void SetUp() override {
        PortListTest::SetUp();
        Tty("ttyS0", true, "4\n");
        Write(FTemp.filePath("dev"), "");
        Link(FTemp.filePath("dev"), FLocal + "/zeta");
        FDir = FTemp.filePath("config/kv52804");
        FFile = FDir + "/ports";
        ASSERT_TRUE(QDir().mkpath(FDir));
    }
    // The names after the local ports, and the warnings without "<file>:".
    std::pair<QStringList, QStringList> Named() {
        QStringList list, warnings;
        ListComPorts(list, FSysfs, FLocal, FFile, &warnings);
        EXPECT_EQ(list.mid(0, 2), (QStringList{"ttyS0", "zeta"}));
        return {list.mid(2), warnings.replaceInStrings(FFile + ':', "")};
    }
};

TEST_F(NetworkPortsTest, GoodLinesAreListedInOrderAndBadOnesNamedWithTheirLine) {
    const QString noName = "' cannot be a port name: it has a '/', a ':' or a control "
                           "character, or begins with '.'";
    const std::tuple<QByteArray, QStringList, QStringList> rows[] = {
        {"# sites\n\nb rfc2217://host-1.example:2217  # till\r\n\ta\tsocket://10.0.0.5:4001\n"
         "v6 rfc2217://[::1]:1\n\u00f3 socket://127.0.0.1:65535",
         {"b", "a", "v6", "\u00f3"},
         {}},
        {"alone\nx socket://h:1 z\nok socket://h:1",
         {"ok"},
         {"1: 'alone' has no URL after it", "2: 'z' after the URL is not understood"}},
        {".dot socket://h:1\na/b socket://h:1\nc:d socket://h:1\nbell\x1b socket://h:1",
         {},
         {"1: '.dot" + noName, "2: 'a/b" + noName, "3: 'c:d" + noName, "4: 'bell\\x1b" + noName}},
        {"a socket://h:1\na socket://h:2\nttyS0 socket://h:3", // a local name stands once
         {"a"},
         {"2: 'a' is named on line 1 already; the first is used"}},
    };
    for (const auto& [text, names, warnings] : rows) {
        SCOPED_TRACE(text.toStdString());
        Write(FFile, text);
        EXPECT_EQ(Named(), std::make_pair(names, warnings));
    }
}

// One rule for a URL, whether the ports file or the network transport reads
// it: a row gives the host and port the URL yields, or no host when it is
// refused. The same rows, as lines of the ports file, are listed or warned of.
TEST_F(NetworkPortsTest, UrlsFollowOneRuleInTheFileAndTheTransport) {
    using namespace std::string_view_literals;
    struct Row {
        std::string_view url;
        bool telnet;
        const char* host;
        const char* port;
    };
    const Row taken[] = {
        {"rfc2217://host-1.example:2217", true, "host-1.example", "2217"},
        {"socket://10.0.0.5:65535", false, "10.0.0.5", "65535"},
        {"rfc2217://[::1]:1", true, "::1", "1"},
        {"socket://[FD00::12]:7000", false, "FD00::12", "7000"},
        {"socket://[::ffff:1.2.3.4]:1", false, "::ffff:1.2.3.4", "1"},
        {"socket://Gate.EXAMPLE:1", false, "Gate.EXAMPLE", "1"},
        {"socket://0x7f.example:1", false, "0x7f.example", "1"}, // no address to the resolver
        {"socket://3com:1", false, "3com", "1"},
    };
    const std::string_view refused[] = {
        // The scheme, the port, and nothing after it.
        "http://h:1", "RFC2217://h:1", "rfc2217://h", "rfc2217://h:", "rfc2217://h:0",
        "rfc2217://h:65536", "rfc2217://h:99999", "rfc2217://h:+1", "rfc2217://127.0.0.1:02217",
        "rfc2217://h:1/", "socket://[::1]x:1",
        // Hosts: DNS names, dotted quads, IPv6 in brackets and nothing else.
        "socket://:1", "socket://-h:1", "socket://h-:1", "socket://a..b:1", "socket://h.:1",
        "socket://user@h:1", "socket://h_1:1", "socket://ex\xc3\xa4mple:1", "socket://h\0x:1"sv,
        "socket://300.1.1.1:1", "socket://10.0.0.300:1", "socket://1.2.3:1", "rfc2217://127.1:2217",
        "rfc2217://2130706433:2217", "rfc2217://0x7f000001:2217", "socket://0x7f.1:1",
        "socket://010.0.0.1:1", "socket://::1:2", "socket://[::1:2", "socket://[]:1",
        "socket://[::g]:2", "socket://[1.2.3.4]:1", "rfc2217://[fe80::1%lo]:2217",
        "socket://[::1%251]:1"};
    std::vector<std::pair<std::string_view, const Row*>> rows;
    for (const Row& row : taken)
        rows.emplace_back(row.url, &row);
    for (std::string_view url : refused)
        rows.emplace_back(url, nullptr);

    QByteArray file;
    QStringList names, warnings;
    for (const auto& [bytes, row] : rows) {
        const QString url = QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
        SCOPED_TRACE(url.toStdString());
        commlinux::TNetworkUrl parts;
        const bool ok = commlinux::ParseNetworkUrl(std::string(bytes), parts);
        EXPECT_EQ(ok, row != nullptr);
        if (ok && row) {
            EXPECT_EQ(std::tuple(parts.Telnet, parts.Host, parts.Port),
                      std::tuple(row->telnet, std::string(row->host), std::string(row->port)));
        }
        const qsizetype line = names.size() + warnings.size() + 1;
        const QString name = QStringLiteral("n%1").arg(line);
        file += name.toUtf8() + ' ' + QByteArray(bytes.data(), qsizetype(bytes.size())) + '\n';
        if (row)
            names += name;
        else
            warnings += QStringLiteral("%1: '%2' is not rfc2217://HOST:PORT or socket://HOST:PORT")
                            .arg(line)
                            .arg(QString(url).replace(QChar(0), QStringLiteral("\\x00")));
    }
    Write(FFile, file);
    EXPECT_EQ(Named(), std::make_pair(names, warnings));
}

// The file says where a name leads, so it must be the user's own and
// nobody else's to change, as the local port directory must.
TEST_F(NetworkPortsTest, UnsafeFileIsIgnoredWithTheReason) {
    const QByteArray file = QFile::encodeName(FFile), dir = QFile::encodeName(FDir);
    const auto good = [&] { Write(FFile, "office socket://h:1\n"); };
    const std::pair<std::function<void()>, QString> rows[] = {
        {[] {}, ""}, // no file: no names and no warning
        {[&] { good(), chmod(file.constData(), 0664); }, "other users may write to it"},
        {[&] { chmod(file.constData(), 0602); }, "other users may write to it"},
        {[&] { chmod(file.constData(), 0600), chmod(dir.constData(), 0775); },
         "its directory " + FDir + ": other users may write to it"},
        {[&] {
             chmod(dir.constData(), 0755),
                 rename(file.constData(), QFile::encodeName(FTemp.filePath("real")).constData());
             Link(FTemp.filePath("real"), FFile);
         },
         "it is a symbolic link"},
        {[&] { unlink(file.constData()), mkfifo(file.constData(), 0600); },
         "it is not a regular file"},
    };
    for (const auto& [make, reason] : rows) {
        SCOPED_TRACE(reason.toStdString());
        make();
        EXPECT_EQ(Named(),
                  std::make_pair(QStringList{}, reason.isEmpty()
                                                    ? QStringList{}
                                                    : QStringList{"the ports file " + FFile +
                                                                  " is not used: " + reason}));
    }
    unlink(file.constData());
    good();
    EXPECT_EQ(Named().first, QStringList{"office"});
    if (geteuid() != 0)
        GTEST_SKIP() << "a file of another owner needs root to make";
    ASSERT_EQ(chown(file.constData(), 65534, 65534), 0);
    EXPECT_EQ(Named().second,
              QStringList{"the ports file " + FFile + " is not used: it belongs to another user"});
}

// A URL as given, then a path, the port directory, the ports file, /dev.
TEST_F(NetworkPortsTest, ResolvesInTheOrderUrlPathDirectoryFileDev) {
    Write(FFile, "zeta socket://h:1\nnet rfc2217://h:2\nstale socket://h:3\n");
    Link(FTemp.filePath("gone"), FLocal + "/stale");
    const ScopedEnv dir("KV_SERIALCOMM_DIR", FLocal),
        config("XDG_CONFIG_HOME", FTemp.filePath("config"));
    const std::pair<QString, QString> rows[] = {
        {"rfc2217://x:1", "rfc2217://x:1"},
        {"socket://no port", "socket://no port"}, // the network port says what is wrong
        {"/dev/ttyS9", "/dev/ttyS9"},
        {"zeta", FTemp.filePath("dev")},
        {"net", "rfc2217://h:2"},
        {"stale", "/dev/stale"}, // a dead publication never leads elsewhere
        {"ttyS0", "/dev/ttyS0"},
    };
    for (const auto& [name, path] : rows)
        EXPECT_EQ(ResolvePortPath(name), path) << name.toStdString();
    // Without a usable port directory the file still counts; an unsafe file does not.
    ASSERT_EQ(chmod(QFile::encodeName(FLocal).constData(), 0777), 0);
    EXPECT_EQ(ResolvePortPath("zeta"), "socket://h:1");
    ASSERT_TRUE(QDir(FLocal).removeRecursively());
    EXPECT_EQ(ResolvePortPath("net"), "rfc2217://h:2");
    ASSERT_EQ(chmod(QFile::encodeName(FFile).constData(), 0666), 0);
    EXPECT_EQ(ResolvePortPath("net"), "/dev/net");
}

} // namespace
