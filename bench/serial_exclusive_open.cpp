// The cost of an exclusive open with many other processes about: one
// CreateFile+CloseHandle on a pseudo-terminal, and its look through /proc
// for other holders, against a plain open() and a plain walk of /proc (one
// readlinkat per descriptor) in the same run.
//
//   bench_serial_exclusive_open
#include "CommLinux.h"
#include "CommLinuxExclusive.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <pty.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace kv52804;

namespace {
using Clock = std::chrono::steady_clock;

void Check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// Descriptors like an ordinary process holds: its terminal, /dev/null,
// pipes, sockets, files. Children inherit them.
std::vector<int> OrdinaryDescriptors(int count, const std::string& terminal) {
    std::vector<int> fds;
    while (static_cast<int>(fds.size()) < count) {
        switch (fds.size() % 5) {
        case 0:
            fds.push_back(::open(terminal.c_str(), O_RDWR | O_NOCTTY));
            break;
        case 1:
            fds.push_back(::open("/dev/null", O_RDONLY));
            break;
        case 2: {
            int p[2];
            Check(::pipe(p) == 0, "pipe");
            fds.push_back(p[0]);
            fds.push_back(p[1]);
            break;
        }
        case 3: {
            int s[2];
            Check(::socketpair(AF_UNIX, SOCK_STREAM, 0, s) == 0, "socketpair");
            fds.push_back(s[0]);
            fds.push_back(s[1]);
            break;
        }
        default:
            fds.push_back(::open("/etc/passwd", O_RDONLY));
        }
        Check(fds.back() >= 0, "open");
    }
    return fds;
}

// Children that hold the given descriptors (and their own three) and wait:
// `cat` reading a pipe whose other end only this process holds, so that
// they end with it, however it ends.
class Children {
public:
    Children() {
        Check(::pipe2(FLife, O_CLOEXEC) == 0, "pipe2");
        ::posix_spawn_file_actions_init(&FActions);
        ::posix_spawn_file_actions_adddup2(&FActions, FLife[0], 0);
        ::posix_spawn_file_actions_addopen(&FActions, 1, "/dev/null", O_WRONLY, 0);
    }
    ~Children() {
        ::close(FLife[1]);
        for (pid_t pid : FPids)
            ::waitpid(pid, nullptr, 0);
        ::close(FLife[0]);
        ::posix_spawn_file_actions_destroy(&FActions);
    }
    void GrowTo(std::size_t n) {
        char program[] = "cat";
        char* argv[] = {program, nullptr};
        while (FPids.size() < n) {
            pid_t pid;
            if (int error = ::posix_spawnp(&pid, "cat", &FActions, nullptr, argv, environ)) {
                errno = error;
                Check(false, "posix_spawnp");
            }
            FPids.push_back(pid);
        }
    }

private:
    int FLife[2];
    posix_spawn_file_actions_t FActions;
    std::vector<pid_t> FPids;
};

// The baseline: every descriptor of every process read once.
std::size_t Walk() {
    std::size_t links = 0;
    const int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* proc = ::fdopendir(procFd);
    char link[4096], fdDir[300];
    while (dirent* p = ::readdir(proc)) {
        if (p->d_name[0] < '1' || p->d_name[0] > '9')
            continue;
        std::snprintf(fdDir, sizeof fdDir, "%s/fd", p->d_name);
        const int dirFd = ::openat(procFd, fdDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0)
            continue;
        DIR* fds = ::fdopendir(dirFd);
        while (dirent* e = ::readdir(fds))
            if (e->d_name[0] != '.' && ::readlinkat(dirFd, e->d_name, link, sizeof link) > 0)
                ++links;
        ::closedir(fds);
    }
    ::closedir(proc);
    return links;
}

double Seconds(const std::function<void()>& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
} // namespace

int main() {
    try {
        int master, slave;
        char name[256] = {};
        Check(::openpty(&master, &slave, name, nullptr, nullptr) == 0, "openpty");
        const std::string path = name;
        struct stat device;
        Check(::stat(name, &device) == 0, "stat");
        int otherMaster, otherSlave;
        char terminal[256] = {};
        Check(::openpty(&otherMaster, &otherSlave, terminal, nullptr, nullptr) == 0, "openpty");
        // The children hold neither end of the line.
        for (int fd : {master, slave, otherMaster, otherSlave})
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        char lockDir[] = "/tmp/bench-lock-XXXXXX";
        Check(::mkdtemp(lockDir) != nullptr, "mkdtemp");
        CommLinux api;
        api.SetLockDirectory(lockDir);

        std::printf("cost of an exclusive open against other processes (median of 9 rounds; "
                    "goal: look <= 1.2x walk)\n");
        for (int perChild : {8, 35}) {
            // The children's own three (stdin, stdout, stderr) count too.
            std::vector<int> held = OrdinaryDescriptors(perChild - 3, terminal);
            Children children;
            for (std::size_t n : {100u, 1000u, 2000u}) {
                children.GrowTo(n);
                std::vector<double> plain, walk, look, open;
                for (int round = 0; round < 9; ++round) {
                    plain.push_back(Seconds([&] {
                        for (int i = 0; i < 100; ++i)
                            ::close(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
                    }) / 100);
                    walk.push_back(Seconds([] { Walk(); }));
                    look.push_back(Seconds([&] {
                        if (commlinux::HeldElsewhere(path, device))
                            throw std::runtime_error("the device looks held");
                    }));
                    open.push_back(Seconds([&] {
                        HANDLE h = api.CreateFile(path, GENERIC_READ | GENERIC_WRITE, 0,
                                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
                        Check(h != INVALID_HANDLE_VALUE, "CreateFile");
                        api.CloseHandle(h);
                    }));
                }
                const double w = Median(walk), l = Median(look), o = Median(open);
                std::printf("%4zu children x %2d descriptors: plain open() %.1f us, walk %.2f ms, "
                            "look %.2f ms = %.2fx walk (goal <= 1.2x), CreateFile+CloseHandle "
                            "%.2f ms = %.2fx walk\n",
                            n, perChild, Median(plain) * 1e6, w * 1e3, l * 1e3, l / w, o * 1e3,
                            o / w);
                std::fflush(stdout);
            }
            for (int fd : held)
                ::close(fd);
        }
        ::rmdir(lockDir);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
