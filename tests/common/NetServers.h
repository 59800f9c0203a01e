#pragma once
// Real network serial servers for tests and benchmarks: a TCP socket of our
// own on 127.0.0.1, a server process, and ser2net in front of a device.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <optional>
#include <vector>

extern char** environ;

// A TCP socket of ours on 127.0.0.1: listening (a server that never answers)
// or only bound (a port nobody listens on).
struct TLocalSocket {
    int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int Port = 0;
    explicit TLocalSocket(bool listen) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            (listen && ::listen(Fd, 4) != 0) ||
            ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("local socket");
        Port = ntohs(a.sin_port);
    }
    ~TLocalSocket() { ::close(Fd); }
};

// Whether something listens on 127.0.0.1:port (from /proc, so the look
// takes no connection of the server's).
inline bool Listening(int port) {
    std::ifstream f("/proc/net/tcp");
    char want[16];
    std::snprintf(want, sizeof want, "0100007F:%04X", port);
    for (std::string line; std::getline(f, line);)
        if (line.find(want) != std::string::npos && line.find(" 0A ") != std::string::npos)
            return true;
    return false;
}

// A server process, its standard output readable, killed at the end.
class TServer {
public:
    explicit TServer(std::vector<std::string> args) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int error = ::posix_spawnp(&FPid, argv[0], &actions, nullptr, argv.data(), environ);
        ::posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        FOut = out[0];
        if (error != 0)
            throw std::runtime_error(args[0] + ": " + std::strerror(error));
    }
    ~TServer() {
        Kill();
        ::close(FOut);
    }
    void Kill() {
        if (FPid > 0) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
        FPid = -1;
    }
    std::string Line() {
        std::string s;
        char c;
        while (::read(FOut, &c, 1) == 1 && c != '\n')
            s.push_back(c);
        return s;
    }

private:
    pid_t FPid = -1;
    int FOut = -1;
};

// ser2net, telnet with the Com Port Control Option (or raw TCP) on a free
// port of 127.0.0.1, in front of `device` at 9600 8N1; it listens when
// constructed. It takes two clients, so that one of ours can keep the
// device open (KeepDeviceOpen).
class TSer2net {
public:
    explicit TSer2net(const std::string& device, bool telnet = true) {
        FDir = std::filesystem::temp_directory_path().string() + "/ser2net-XXXXXX";
        if (!::mkdtemp(FDir.data()))
            throw std::runtime_error("mkdtemp");
        FPort = TLocalSocket(false).Port; // free a moment ago
        std::ofstream(FDir + "/c.yaml") << "connection: &c1\n  accepter: "
                                        << (telnet ? "telnet(rfc2217)," : "") << "tcp,127.0.0.1,"
                                        << FPort << "\n  connector: serialdev," << device
                                        << ",9600n81,local\n  options:\n    max-connections: 2\n";
        FServer.emplace(std::vector<std::string>{"ser2net", "-n", "-u", "-c", FDir + "/c.yaml",
                                                 "-P", FDir + "/pid"});
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!Listening(FPort)) {
            if (std::chrono::steady_clock::now() > end)
                throw std::runtime_error("ser2net does not listen");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~TSer2net() {
        if (FHolder >= 0)
            ::close(FHolder);
        FServer.reset();
        std::filesystem::remove_all(FDir);
    }
    int Port() const { return FPort; }
    // When its last client goes, ser2net flushes the device before closing
    // it. On a pseudo-terminal that flush also drops the bytes the kernel
    // has not yet passed on to the master's reader, so on a busy machine
    // bytes written just before a client closes can be lost. A client of our
    // own keeps the device open from here on; ser2net has taken it, and
    // opened the device, once its first Telnet bytes arrive (Telnet only: a
    // raw accepter says nothing first).
    void KeepDeviceOpen() {
        FHolder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(FPort));
        timeval wait{20, 0};
        char c;
        if (FHolder < 0 || ::setsockopt(FHolder, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0 ||
            ::connect(FHolder, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::recv(FHolder, &c, 1, 0) != 1)
            throw std::runtime_error("ser2net does not take a second client");
    }
    void Kill() { FServer->Kill(); }

private:
    std::string FDir;
    int FPort = 0;
    int FHolder = -1;
    std::optional<TServer> FServer;
};
