#include "VirtualPort.h"
#include "SimDisplay.h"
#include "VornLED7Seg.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kv52804;

namespace {

bool WaitReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 5000) == 1;
}

// Close-on-exec, so that a process the test starts holds none of these.
struct TFd {
    int Fd;
    explicit TFd(const QString& path)
        : Fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~TFd() { Close(); }
    void Close() {
        if (Fd >= 0)
            ::close(Fd);
        Fd = -1;
    }
};

int Exclusive(int fd) {
    int set = -1;
    EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &set), 0);
    return set;
}

// Another process that holds the device open (as its standard input) and
// nothing else of ours, until End.
class THolder {
public:
    explicit THolder(const QString& path) {
        const QByteArray device = QFile::encodeName(path);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, device.constData(), O_RDWR | O_NOCTTY, 0);
        char program[] = "sleep", duration[] = "infinity";
        char* argv[] = {program, duration, nullptr};
        Error = ::posix_spawnp(&FPid, program, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~THolder() { End(); }
    void End() {
        if (Error == 0 && FPid > 0) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0); // its descriptors are closed by then
        }
        FPid = -1;
    }
    int Error = 0;

private:
    pid_t FPid = -1;
};

TEST(VirtualPort, BytesWrittenToThePublishedNameArriveUnchanged) {
    QTemporaryDir dir;
    const QString portDir = dir.path() + "/ports"; // created by Publish
    TVirtualPort port;
    port.Publish(portDir, "KV52804-SIM");
    EXPECT_EQ(QFileInfo(portDir + "/KV52804-SIM").symLinkTarget(), port.SlavePath());
    EXPECT_EQ(QFileInfo(portDir).permissions() & (QFile::ReadOther | QFile::ReadGroup), 0);

    TFd client(portDir + "/KV52804-SIM");
    ASSERT_GE(client.Fd, 0);
    // Raw mode: no byte is translated, dropped or added, 0x00, CR and LF included.
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += char(b);
    ASSERT_EQ(::write(client.Fd, all.data(), all.size()), ssize_t(all.size()));
    std::string received;
    while (received.size() < all.size() && WaitReadable(port.MasterFd()))
        received += port.ReadAvailable();
    EXPECT_EQ(received, all);
    EXPECT_EQ(port.ReadAvailable(), "");
}

TEST(VirtualPort, ClosingClientNeitherHangsUpTheModuleNorKeepsThePortLocked) {
    QTemporaryDir dir;
    TVirtualPort port;
    port.Publish(dir.path(), "SIM");
    {
        TFd client(port.LinkPath());
        ASSERT_EQ(::ioctl(client.Fd, TIOCEXCL), 0);
    }
    ASSERT_TRUE(WaitReadable(port.CloseWatchFd()));
    port.ClientClosed();
    TFd next(port.LinkPath());
    ASSERT_GE(next.Fd, 0);
    int exclusive = -1;
    ASSERT_EQ(::ioctl(next.Fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ASSERT_EQ(::write(next.Fd, "\x83", 1), 1);
    ASSERT_TRUE(WaitReadable(port.MasterFd()));
    EXPECT_EQ(port.ReadAvailable(), "\x83");
}

// Someone else opening and closing the line (root may, past the flag) must
// not let a third party in beside the client that holds it.
TEST(VirtualPort, AnotherCloseKeepsTheLineExclusiveUntilTheLastClientLeaves) {
    TVirtualPort port;
    // Both opened before the flag is set, so that no right to pass it is
    // needed. The flag belongs to the line, so it does not matter which
    // descriptor sets it.
    TFd probe(port.SlavePath()), looker(port.SlavePath());
    ASSERT_GE(probe.Fd, 0);
    ASSERT_GE(looker.Fd, 0);
    THolder client(port.SlavePath());
    ASSERT_EQ(client.Error, 0) << "cannot start sleep";
    ASSERT_EQ(::ioctl(probe.Fd, TIOCEXCL), 0);

    looker.Close();
    ASSERT_TRUE(WaitReadable(port.CloseWatchFd()));
    port.ClientClosed();
    EXPECT_EQ(Exclusive(probe.Fd), 1);

    client.End();
    ASSERT_TRUE(WaitReadable(port.CloseWatchFd()));
    port.ClientClosed();
    EXPECT_EQ(Exclusive(probe.Fd), 0);
}

TEST(VirtualPort, RemovesItsLinkButNotOneThatReplacedIt) {
    QTemporaryDir dir;
    const QString link = dir.path() + "/SIM";
    {
        TVirtualPort port;
        port.Publish(dir.path(), "SIM");
        ASSERT_TRUE(QFileInfo(link).isSymLink());
    }
    EXPECT_FALSE(QFileInfo(link).isSymLink());

    TVirtualPort first;
    first.Publish(dir.path(), "SIM");
    {
        TVirtualPort second;
        second.Publish(dir.path(), "SIM");
        EXPECT_EQ(QFileInfo(link).symLinkTarget(), second.SlavePath());
        first.Unpublish();
        EXPECT_EQ(QFileInfo(link).symLinkTarget(), second.SlavePath());
    }
    EXPECT_FALSE(QFileInfo(link).isSymLink());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
              QStringList());
}

// A directory someone else could have prepared is refused before anything
// is published in it.
TEST(VirtualPort, RefusesADirectoryItCannotTrust) {
    QTemporaryDir dir;
    QFile file(dir.path() + "/plain-file");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    const QString open = dir.path() + "/open", link = dir.path() + "/link";
    ASSERT_EQ(::mkdir(QFile::encodeName(open).constData(), 0777), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0777), 0);
    ASSERT_EQ(
        ::symlink(QFile::encodeName(dir.path()).constData(), QFile::encodeName(link).constData()),
        0);
    for (const auto& [path, why] : {std::pair{file.fileName(), "it is not a directory"},
                                    std::pair{open, "other users may write to it"},
                                    std::pair{link, "it is a symbolic link"}}) {
        TVirtualPort port;
        try {
            port.Publish(path, "SIM");
            ADD_FAILURE() << "no error for " << why;
        } catch (const Exception& error) {
            EXPECT_EQ(error.Message(),
                      "the port directory " + path + " is not safe to use: " + why);
        }
    }
    EXPECT_FALSE(QFileInfo::exists(open + "/SIM"));
    EXPECT_FALSE(QFileInfo::exists(dir.path() + "/SIM"));
}

TEST(SimDisplay, ShowsFramesInTheMainWindowsOrderAndLightsOnCommand) {
    TSimDisplay display;
    TFrameDecoder decoder([&](const TFrameDecoder::TItem& item) { display.Apply(item); });
    decoder.Feed(std::string("\x80\x15\x0B\x02\x03\x14\x0F\x06\x07\x12\x09\x0A\x0B\x84", 14));
    for (int i = 1; i <= 12; ++i)
        EXPECT_FALSE(display.Digit(i)->isEnabled()) << i;
    EXPECT_EQ(display.Digit(1)->Value(), 0x15);
    EXPECT_EQ(display.Digit(12)->Value(), 0x0B);
    decoder.Feed("\x82");
    for (int i = 1; i <= 12; ++i)
        EXPECT_TRUE(display.Digit(i)->isEnabled()) << i;
    decoder.Feed("\x83");
    EXPECT_FALSE(display.Digit(7)->isEnabled());

    const int screenOrder[] = {9, 10, 11, 12, 5, 6, 7, 8, 1, 2, 3, 4};
    for (int k = 1; k < 12; ++k)
        EXPECT_LT(display.Digit(screenOrder[k - 1])->x(), display.Digit(screenOrder[k])->x()) << k;
}

} // namespace
