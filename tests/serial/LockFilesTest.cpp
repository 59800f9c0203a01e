// The lock files of an exclusive open as other serial programs write and look
// for them: named after the path they were given, links not resolved. The
// device is a pseudo-terminal; links in a temporary directory play
// /dev/ttyUSB7 and /dev/serial/by-id.
#include "CommLinux.h"
#include "CommLinuxExclusive.h"
#include "PtyPair.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <vector>

using namespace kv52804;

namespace {

// An error's detail with its values filled in.
std::string Said(const CommApi::TErrorDetail& detail) {
    std::string text = detail.Text;
    for (const std::string& value : detail.Values)
        if (const std::size_t at = text.find("%s"); at != std::string::npos)
            text.replace(at, 2, value);
    return text;
}

std::string OwnerText(pid_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

std::vector<std::string> Listing(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Content(const std::string& file) {
    std::ifstream f(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// Paths below /dev that the tests below cannot make (pseudo-terminals: there).
TEST(LockFileNames, AreThoseOtherSerialProgramsLookForFirstOurOwn) {
    struct stat usb{};
    usb.st_rdev = makedev(188, 0);
    const std::string byId = "usb-KV_Adapter_0001-if00-port0";
    struct Row {
        std::string Given;
        std::vector<std::string> Names;
    } rows[] = {
        {"/dev/serial/by-id/" + byId,
         {"LCK..ttyUSB0", "LCK.." + byId, "LCK..serial_by-id_" + byId}},
        // Outside /dev the path's last part is all either program uses.
        {"/home/kv/display", {"LCK..ttyUSB0", "LCK..display"}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(commlinux::LockFileNames(row.Given, "/dev/ttyUSB0", usb), row.Names) << row.Given;
}

class LockFiles : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string n = Pty.Path().substr(Pty.Path().rfind('/') + 1);
        const std::string root = Tmp.path().toStdString();
        Dir = root + "/lock";
        const std::string byId = root + "/serial/by-id/usb-KV_Adapter_0001-if00-port0";
        ASSERT_EQ(::mkdir(Dir.c_str(), 0755), 0);
        ASSERT_TRUE(QDir().mkpath(Tmp.path() + "/serial/by-id"));
        ASSERT_EQ(::symlink(Pty.Path().c_str(), (root + "/ttyUSB7").c_str()), 0);
        ASSERT_EQ(::symlink(Pty.Path().c_str(), byId.c_str()), 0);
        Ways = {{"pts path", Pty.Path(), {"LCK.." + n, "LCK..pts_" + n}},
                {"link", root + "/ttyUSB7", {"LCK.." + n, "LCK..pts_" + n, "LCK..ttyUSB7"}},
                {"by-id link", byId,
                 {"LCK.." + n, "LCK..pts_" + n, "LCK..usb-KV_Adapter_0001-if00-port0"}}};
        Api.SetLockDirectory(Dir);
    }
    // Lets other users (nobody, uucp) reach the port and the lock directory,
    // sticky as /run/lock.
    void Share() {
        ASSERT_EQ(::chmod(Tmp.path().toLocal8Bit().constData(), 0755), 0);
        ASSERT_EQ(::chmod(Dir.c_str(), 01777), 0);
        ASSERT_EQ(::chmod(Pty.Path().c_str(), 0666), 0);
    }
    HANDLE Open(const std::string& path) {
        return Api.CreateFile(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED);
    }

    struct TWay {
        const char* Name;
        std::string Path;
        std::vector<std::string> Names; // sorted
    };
    PtyPair Pty;
    QTemporaryDir Tmp;
    std::string Dir;
    std::vector<TWay> Ways;
    CommLinux Api;
};

TEST_F(LockFiles, EachNameKeepsUsOutWhileItsOwnerLivesAndIsOursWhileWeHoldTheDevice) {
    const pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    for (const TWay& way : Ways) {
        SCOPED_TRACE(way.Name);
        for (const std::string& name : way.Names) {
            const std::string lock = Dir + "/" + name;
            for (pid_t owner : {pid_t(1), dead}) {
                SCOPED_TRACE(name + (owner == dead ? ", stale" : ", live"));
                std::ofstream(lock, std::ios::binary) << OwnerText(owner);
                HANDLE h = Open(way.Path);
                if (owner != dead) {
                    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
                    EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EBUSY));
                    EXPECT_EQ(Said(Api.GetLastErrorDetail()),
                              "lock file " + lock + " names the running process 1");
                    EXPECT_EQ(Listing(Dir), std::vector<std::string>{name}); // ours went again
                    EXPECT_EQ(Content(lock), OwnerText(1));
                    ::unlink(lock.c_str());
                } else {
                    // Ours under every name, where each program looks.
                    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "errno " << Api.GetLastError();
                    EXPECT_EQ(Listing(Dir), way.Names);
                    for (const std::string& each : way.Names)
                        EXPECT_EQ(Content(Dir + "/" + each), OwnerText(::getpid())) << each;
                    EXPECT_TRUE(Api.CloseHandle(h));
                    EXPECT_EQ(Listing(Dir), std::vector<std::string>());
                }
            }
        }
        // Refused after every lock file was written: all of them go again.
        PtyHolder holder({Pty.Slave()});
        EXPECT_EQ(Open(way.Path), INVALID_HANDLE_VALUE);
        EXPECT_EQ(Api.GetLastError(), static_cast<DWORD>(EBUSY));
        EXPECT_EQ(Listing(Dir), std::vector<std::string>());
    }
}

// Opens the port in a child that gave up root (when it had it): what the
// open says, its code and then the lock file's trouble.
std::string OpenAsNobody(const std::string& path, const std::string& dir) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        return "pipe failed";
    const pid_t child = ::fork();
    if (child == 0) {
        CommLinux api;
        api.SetLockDirectory(dir);
        std::string said = "125"; // could not give up root
        if (::geteuid() != 0 ||
            (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0)) {
            HANDLE h = api.CreateFile(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
            said = h == INVALID_HANDLE_VALUE ? std::to_string(api.GetLastError()) + " " +
                                                   Said(api.GetLastErrorDetail())
                                             : std::to_string(!api.CloseHandle(h));
        }
        ::_exit(::write(pipe[1], said.data(), said.size()) > 0 ? 0 : 1);
    }
    ::close(pipe[1]);
    ::waitpid(child, nullptr, 0);
    char said[512];
    const ssize_t n = ::read(pipe[0], said, sizeof said);
    ::close(pipe[0]);
    return std::string(said, n > 0 ? n : 0);
}

// A lock file that cannot be read refuses the open with the system's code,
// and the words say that the lock file, not the device, is wrong. It stands
// under the pseudo-terminal's second name: ours under the first goes again.
TEST_F(LockFiles, TroubleWithALockFileNamesTheFile) {
    const std::string lock = Dir + "/" + Ways[0].Names[0]; // LCK..<n>, after LCK..pts_<n>
    struct Row {
        const char* Name;
        int (*Make)(const char* path);
        int Error;
        const char* What;
    } rows[] = {
        {"a directory", [](const char* p) { return ::mkdir(p, 0755); }, EISDIR,
         "is not a regular file"},
        {"a symbolic link", [](const char* p) { return ::symlink("/dev/null", p); }, ELOOP,
         "is not a regular file"},
        {"a fifo", [](const char* p) { return ::mkfifo(p, 0644); }, EINVAL,
         "is not a regular file"},
        // Every file can be read as root: this one is root's, the open nobody's.
        {"another user's, mode 600", [](const char* p) { return ::close(::creat(p, 0600)); },
         EACCES, "belongs to another user and cannot be read"},
    };
    Share();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        if (row.Error == EACCES && ::geteuid() != 0)
            continue; // needs root to be another user
        ASSERT_EQ(row.Make(lock.c_str()), 0) << std::strerror(errno);
        EXPECT_EQ(OpenAsNobody(Pty.Path(), Dir), std::to_string(row.Error) + " lock file " +
                                                     lock + " " + row.What + ": " +
                                                     std::strerror(row.Error));
        EXPECT_EQ(Listing(Dir), std::vector<std::string>{Ways[0].Names[0]});
        ::rmdir(lock.c_str());
        ::unlink(lock.c_str());
    }
}

// The other serial programs themselves, started on the port's path while we
// hold it, find our lock files and give up before they open the device: as
// root, minicom would get past the exclusive flag, and cu (which runs as the
// uucp user) would stop only at its open and say so.
TEST_F(LockFiles, MinicomAndCuGiveUpWhileWeHoldThePort) {
    if (::access("/usr/bin/minicom", X_OK) != 0 || ::access("/usr/bin/cu", X_OK) != 0)
        GTEST_SKIP() << "needs minicom and cu (scripts/deps.sh installs them)";
    const std::string root = Tmp.path().toStdString();
    Share();
    ASSERT_EQ(::mkdir((root + "/home").c_str(), 0700), 0);
    std::ofstream(root + "/home/.minirc.dfl") << "pu lock " << Dir << "\n";
    std::ofstream(root + "/cu.config") << "lockdir " << Dir << "\n";
    const std::string home = "HOME=" + root + "/home",
                      path = std::string("PATH=") + ::getenv("PATH");
    const char* env[] = {"TERM=vt100", "LANG=C", home.c_str(), path.c_str(), nullptr};
    struct Program {
        const char* Name;
        std::vector<std::string> Args; // the port's path follows
        const char* Says;
    } programs[] = {{"minicom", {"minicom", "-D"}, "is locked"},
                    {"cu", {"cu", "-I", root + "/cu.config", "-s", "9600", "-l"}, "Line in use"}};
    for (const Program& program : programs) {
        for (const TWay& way : Ways) {
            SCOPED_TRACE(std::string(program.Name) + ", " + way.Name);
            HANDLE h = Open(way.Path);
            ASSERT_NE(h, INVALID_HANDLE_VALUE) << "errno " << Api.GetLastError();
            std::vector<std::string> args = program.Args;
            args.push_back(way.Path);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            PtyPair terminal; // the program's own, as a user's
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::setsid();
                const int t = ::open(terminal.Path().c_str(), O_RDWR);
                for (int std : {0, 1, 2})
                    ::dup2(t, std);
                ::execvpe(argv[0], argv.data(), const_cast<char* const*>(env));
                ::_exit(127);
            }
            // It ends by itself when refused; the deadline only ends a
            // program that got the port.
            const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
            pollfd ended{pidFd, POLLIN, 0};
            if (::poll(&ended, 1, 30000) != 1)
                ::kill(pid, SIGKILL);
            ::close(pidFd);
            int status = 0;
            ::waitpid(pid, &status, 0);
            const std::string said = terminal.Drain();
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << said;
            EXPECT_NE(said.find(program.Says), std::string::npos) << said;
            EXPECT_EQ(said.find("open ("), std::string::npos) << said;
            EXPECT_TRUE(Api.CloseHandle(h));
            EXPECT_EQ(Listing(Dir), std::vector<std::string>());
        }
    }
}

} // namespace
