// Network ports against real servers: ser2net in front of a pseudo-terminal,
// and pyserial's RFC 2217 server over its loop-back port; and the opens that
// must fail: bad names, a refused port, a server that stays silent or leaves.
#include "CPort.h"
#include "CommLinux.h"
#include "PtyPair.h"
#include "Termios2.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string AllBytes() {
    std::string s;
    for (int i = 0; i < 256; ++i)
        s.push_back(static_cast<char>(i));
    return s + "\xFF\xFF\r\n\r";
}

std::string Url(const char* scheme, int port) {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port);
}

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
bool Listening(int port) {
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

bool WaitFor(const std::function<bool()>& done, Clock::duration limit = 20s) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

class NetworkPort : public testing::Test {
protected:
    void SetUp() override { FApi.SetNetworkTimes(5000ms, 500ms); }
    void TearDown() override {
        if (FPort != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(FApi.CloseHandle(FPort));
        }
    }
    HANDLE Open(const std::string& url) {
        return FApi.CreateFile(url, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED);
    }
    DCB State(DWORD baud, BYTE size, BYTE parity, BYTE stop) {
        DCB d;
        d.BaudRate = baud;
        d.Flags = DCB_BINARY;
        d.ByteSize = size;
        d.Parity = parity;
        d.StopBits = stop;
        d.XonChar = 17;
        d.XoffChar = 19;
        return d;
    }
    std::string Read(std::size_t count) {
        COMMTIMEOUTS t{};
        t.ReadTotalTimeoutConstant = 10000;
        EXPECT_TRUE(FApi.SetCommTimeouts(FPort, t));
        std::string got(count, '\0');
        DWORD n = 0;
        EXPECT_TRUE(FApi.ReadFile(FPort, got.data(), static_cast<DWORD>(count), &n, nullptr));
        got.resize(n);
        return got;
    }
    bool Write(const std::string& s) {
        DWORD n = 0;
        return FApi.WriteFile(FPort, s.data(), static_cast<DWORD>(s.size()), &n, nullptr) &&
               n == s.size();
    }

    CommLinux FApi;
    HANDLE FPort = INVALID_HANDLE_VALUE;
};

TEST_F(NetworkPort, OpensThatFailSayWhy) {
    FApi.SetNetworkTimes(1000ms, 500ms);
    TLocalSocket refused(false), silent(true), leaving(true);
    std::thread closer([&] {
        const int c = ::accept(leaving.Fd, nullptr, nullptr);
        ::close(c);
    });
    struct Row {
        std::string Url;
        DWORD Error;
    } rows[] = {
        {"rfc2217://127.0.0.1", EINVAL},
        {"socket://:2217", EINVAL},
        {"rfc2217://127.0.0.1:0", EINVAL},
        {"rfc2217://127.0.0.1:65536", EINVAL},
        {"socket://127.0.0.1:22x", EINVAL},
        {"rfc2217://[::1:7", EINVAL},
        {"rfc2217://no-such-host.invalid:2217", EHOSTUNREACH},
        {Url("rfc2217", refused.Port), ECONNREFUSED},
        {Url("rfc2217", silent.Port), ETIMEDOUT},
        {Url("rfc2217", leaving.Port), ECONNRESET},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(Open(r.Url), INVALID_HANDLE_VALUE) << r.Url;
        EXPECT_EQ(FApi.GetLastError(), r.Error) << r.Url;
    }
    closer.join();
}

class Ser2net : public NetworkPort {
protected:
    void SetUp() override {
        NetworkPort::SetUp();
        FDir = testing::TempDir() + "ser2net-XXXXXX";
        ASSERT_NE(::mkdtemp(FDir.data()), nullptr);
        // A free port: one the kernel gave us a moment ago.
        FTcp = TLocalSocket(false).Port;
        std::ofstream(FDir + "/c.yaml") << "connection: &c1\n  accepter: telnet(rfc2217),tcp,127.0.0.1,"
                                        << FTcp << "\n  connector: serialdev," << FPty.Path()
                                        << ",9600n81,local\n";
        FServer = std::make_unique<TServer>(std::vector<std::string>{
            "ser2net", "-n", "-u", "-c", FDir + "/c.yaml", "-P", FDir + "/pid"});
        ASSERT_TRUE(WaitFor([&] { return Listening(FTcp); })) << "ser2net does not listen";
        FPort = Open(Url("rfc2217", FTcp));
        ASSERT_NE(FPort, INVALID_HANDLE_VALUE) << FApi.GetLastError();
    }
    void TearDown() override {
        NetworkPort::TearDown();
        FServer.reset();
        std::filesystem::remove_all(FDir);
    }
    PtyPair FPty;
    std::string FDir;
    int FTcp = 0;
    std::unique_ptr<TServer> FServer;
};

TEST_F(Ser2net, SettingsArriveAndOnesNotTakenLeaveTheOld) {
    const DCB wanted = State(19200, 8, NOPARITY, TWOSTOPBITS);
    ASSERT_TRUE(FApi.SetCommState(FPort, wanted)) << FApi.GetLastError();
    KernelTermios t;
    ASSERT_EQ(ReadTermios2(FPty.Slave(), t), 0);
    EXPECT_EQ(t.c_ospeed, 19200u);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    // ser2net does not answer 1.5 stop bits.
    EXPECT_FALSE(FApi.SetCommState(FPort, State(300, 5, EVENPARITY, ONE5STOPBITS)));
    EXPECT_EQ(FApi.GetLastError(), static_cast<DWORD>(ETIMEDOUT));
    DCB now;
    ASSERT_TRUE(FApi.GetCommState(FPort, now));
    EXPECT_EQ(now.BaudRate, 19200u);
    EXPECT_EQ(now.StopBits, TWOSTOPBITS);
    ASSERT_EQ(ReadTermios2(FPty.Slave(), t), 0);
    EXPECT_EQ(t.c_ospeed, 19200u);
    // Lines the pseudo-terminal does not have: not answered, and the rest works.
    EXPECT_TRUE(FApi.EscapeCommFunction(FPort, SETDTR));
    EXPECT_TRUE(FApi.SetCommState(FPort, State(9600, 8, NOPARITY, ONESTOPBIT)));
}

TEST_F(Ser2net, EveryByteValuePassesBothWays) {
    ASSERT_TRUE(Write(AllBytes()));
    EXPECT_EQ(FPty.Receive(AllBytes().size(), 10000), AllBytes());
    FPty.Send(AllBytes());
    EXPECT_EQ(Read(AllBytes().size()), AllBytes());
}

TEST_F(Ser2net, KilledMidWriteIsAnUnplug) {
    // Nobody reads the pseudo-terminal: the write stalls in ser2net.
    const std::string big(8 << 20, '\xFF');
    HANDLE ev = FApi.CreateEvent(true, false);
    OVERLAPPED ov{};
    ov.hEvent = ev;
    DWORD n = 0;
    ASSERT_FALSE(FApi.WriteFile(FPort, big.data(), static_cast<DWORD>(big.size()), &n, &ov));
    ASSERT_EQ(FApi.GetLastError(), ERROR_IO_PENDING);
    FServer->Kill();
    EXPECT_FALSE(FApi.GetOverlappedResult(FPort, &ov, &n, true));
    EXPECT_EQ(FApi.GetLastError(), static_cast<DWORD>(ECONNRESET));
    EXPECT_FALSE(FApi.WriteFile(FPort, "x", 1, &n, nullptr));
    EXPECT_EQ(FApi.GetLastError(), static_cast<DWORD>(ECONNRESET));
    FApi.CloseHandle(ev);
}

TEST_F(Ser2net, TheComponentSendsAFrameByUrl) {
    ASSERT_TRUE(FApi.CloseHandle(FPort)); // ser2net takes one client at a time
    FPort = INVALID_HANDLE_VALUE;
    TComPort port;
    port.SetPort(QString::fromStdString(Url("rfc2217", FTcp)));
    port.SetBaudRate(br19200);
    port.Open();
    const std::string frame = std::string("\x80\xFF\x0D\x00", 4) + std::string(9, '\x14') + "\x84\x82";
    EXPECT_EQ(port.WriteString(frame), 15);
    EXPECT_EQ(FPty.Receive(15, 10000), frame);
    KernelTermios t;
    ASSERT_EQ(ReadTermios2(FPty.Slave(), t), 0);
    EXPECT_EQ(t.c_ospeed, 19200u);
}

class PyserialServer : public NetworkPort {
protected:
    void SetUp() override {
        NetworkPort::SetUp();
        const std::string here = __FILE__;
        FServer = std::make_unique<TServer>(std::vector<std::string>{
            "/usr/bin/python3", here.substr(0, here.rfind('/')) + "/rfc2217_loop_server.py"});
        const std::string port = FServer->Line();
        ASSERT_FALSE(port.empty()) << "the pyserial server did not start";
        FPort = Open(Url("rfc2217", std::stoi(port)));
        ASSERT_NE(FPort, INVALID_HANDLE_VALUE) << FApi.GetLastError();
    }
    std::unique_ptr<TServer> FServer;
};

TEST_F(PyserialServer, LinesNotifyAndDataLoopsBack) {
    DCB on = State(115200, 8, NOPARITY, ONESTOPBIT);
    on.Flags |= DTR_CONTROL_ENABLE << DCB_DTR_CONTROL_SHIFT | RTS_CONTROL_ENABLE << DCB_RTS_CONTROL_SHIFT;
    ASSERT_TRUE(FApi.SetCommState(FPort, on));
    ASSERT_TRUE(Write(AllBytes()));
    EXPECT_EQ(Read(AllBytes().size()), AllBytes());

    // On the loop-back port CTS follows RTS and DSR follows DTR. The status
    // changes only with the server's notices: each step waits for its own.
    auto status = [&] {
        DWORD s = 0;
        FApi.GetCommModemStatus(FPort, &s);
        return s;
    };
    const DWORD both = MS_CTS_ON | MS_DSR_ON;
    ASSERT_TRUE(WaitFor([&] { return (status() & both) == both; }));
    ASSERT_TRUE(FApi.SetCommMask(FPort, EV_CTS | EV_DSR));
    HANDLE ev = FApi.CreateEvent(true, false);
    DWORD seen = 0;
    auto events = [&] {
        OVERLAPPED ov{};
        ov.hEvent = ev;
        DWORD mask = 0, n = 0;
        if (!FApi.WaitCommEvent(FPort, &mask, &ov)) {
            // A new mask ends a wait that saw nothing.
            if (FApi.WaitForSingleObject(ev, 1000) != WAIT_OBJECT_0)
                FApi.SetCommMask(FPort, EV_CTS | EV_DSR);
            FApi.GetOverlappedResult(FPort, &ov, &n, true);
        }
        seen |= mask;
        return seen;
    };
    for (auto [clear, set, bit, event] : {std::tuple{CLRRTS, SETRTS, MS_CTS_ON, EV_CTS},
                                          std::tuple{CLRDTR, SETDTR, MS_DSR_ON, EV_DSR}}) {
        seen = 0;
        ASSERT_TRUE(FApi.EscapeCommFunction(FPort, clear));
        EXPECT_TRUE(WaitFor([&] { return (status() & bit) == 0; })) << bit;
        EXPECT_TRUE(WaitFor([&] { return (events() & event) != 0; })) << bit;
        ASSERT_TRUE(FApi.EscapeCommFunction(FPort, set));
        EXPECT_TRUE(WaitFor([&] { return (status() & bit) != 0; })) << bit;
    }
    EXPECT_TRUE(FApi.EscapeCommFunction(FPort, SETBREAK));
    EXPECT_TRUE(FApi.EscapeCommFunction(FPort, CLRBREAK));
    EXPECT_TRUE(FApi.PurgeComm(FPort, PURGE_RXCLEAR | PURGE_TXCLEAR));
    FApi.CloseHandle(ev);
}

} // namespace
