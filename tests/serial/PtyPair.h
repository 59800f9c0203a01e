#pragma once
// A pseudo-terminal pair for serial tests: the slave is the "serial device"
// the port opens by path, the master plays the peer on the other end of the
// line. Both ends are closed when the object goes.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

class PtyPair {
public:
    PtyPair() {
        char name[256] = {};
        if (::openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0)
            throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
        FPath = name;
        // The master must not echo or translate what the port sends.
        termios tio{};
        if (::tcgetattr(FSlave, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(FSlave, TCSANOW, &tio);
        }
        ::fcntl(FMaster, F_SETFD, FD_CLOEXEC);
        ::fcntl(FSlave, F_SETFD, FD_CLOEXEC);
        ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() {
        CloseSlave();
        CloseMaster();
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // Path of the slave device, e.g. /dev/pts/3.
    const std::string& Path() const { return FPath; }
    int Master() const { return FMaster; }
    int Slave() const { return FSlave; }

    // Our own slave descriptor keeps the line from hanging up when the port
    // closes; tests of exclusive open or hang-up may want it gone.
    void CloseSlave() {
        if (FSlave >= 0)
            ::close(FSlave);
        FSlave = -1;
    }
    // Closing the master hangs up the line for the slave side.
    void CloseMaster() {
        if (FMaster >= 0)
            ::close(FMaster);
        FMaster = -1;
    }

    // Writes every byte to the master (the peer sends).
    void Send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(FMaster, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EAGAIN) {
                pollfd p{FMaster, POLLOUT, 0};
                ::poll(&p, 1, 1000);
                continue;
            }
            if (n < 0)
                throw std::runtime_error(std::string("write master: ") + std::strerror(errno));
            done += static_cast<std::size_t>(n);
        }
    }

    // Reads from the master until `count` bytes arrived or `timeoutMs` passed
    // without any byte (the peer receives).
    std::string Receive(std::size_t count, int timeoutMs = 2000) {
        std::string got;
        char buf[4096];
        while (got.size() < count) {
            pollfd p{FMaster, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0)
                break;
            ssize_t n = ::read(FMaster, buf, std::min(sizeof buf, count - got.size()));
            if (n <= 0)
                break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }

    // Reads whatever is there now.
    std::string Drain() {
        std::string got;
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(FMaster, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }

private:
    int FMaster = -1;
    int FSlave = -1;
    std::string FPath;
};

// Another process that holds the given descriptors (ends of a pair) open, as
// its standard input, output and so on, until the object goes. Given a
// `controllingTerminal`, it makes that device its controlling terminal in a
// session of its own and holds it only as /dev/tty.
class PtyHolder {
public:
    explicit PtyHolder(const std::vector<int>& fds, const std::string& controllingTerminal = {}) {
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        posix_spawnattr_t attr;
        ::posix_spawnattr_init(&attr);
        int target = 0;
        for (int fd : fds)
            ::posix_spawn_file_actions_adddup2(&actions, fd, target++);
        if (!controllingTerminal.empty()) {
            ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
            ::posix_spawn_file_actions_addopen(&actions, target, controllingTerminal.c_str(),
                                               O_RDWR, 0);
            ::posix_spawn_file_actions_addopen(&actions, target + 1, "/dev/tty", O_RDWR, 0);
            ::posix_spawn_file_actions_addclose(&actions, target);
        }
        char program[] = "sleep", seconds[] = "3600";
        char* argv[] = {program, seconds, nullptr};
        // Returns once the child runs `sleep`, holding the descriptors.
        int error = ::posix_spawnp(&FPid, "sleep", &actions, &attr, argv, environ);
        ::posix_spawnattr_destroy(&attr);
        ::posix_spawn_file_actions_destroy(&actions);
        if (error != 0)
            throw std::runtime_error(std::string("posix_spawnp: ") + std::strerror(error));
    }
    ~PtyHolder() {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
    }
    PtyHolder(const PtyHolder&) = delete;
    PtyHolder& operator=(const PtyHolder&) = delete;

private:
    pid_t FPid = -1;
};
