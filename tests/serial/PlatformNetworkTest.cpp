// Network ports against real servers: ser2net in front of a pseudo-terminal,
// and pyserial's RFC 2217 server over its loop-back port; and the opens that
// must fail: bad names, a refused port, a server that stays silent or leaves.
#include "NetServers.h"
#include "NetworkFixture.h"
#include "PtyPair.h"
#include "Termios2.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>

using namespace kv52804;

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

bool WaitFor(const std::function<bool()>& done, Clock::duration limit = 20s) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

class NetworkPort : public TNetworkFixture {
protected:
    NetworkPort() : TNetworkFixture(5000ms) {}
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
        FServer = std::make_unique<TSer2net>(FPty.Path());
        FTcp = FServer->Port();
        FPort = Open(Url("rfc2217", FTcp));
        ASSERT_NE(FPort, INVALID_HANDLE_VALUE) << FApi.GetLastError();
    }
    PtyPair FPty;
    int FTcp = 0;
    std::unique_ptr<TSer2net> FServer;
};

TEST_F(Ser2net, SettingsArriveAndOnesNotTakenLeaveTheOld) {
    const DCB wanted = State(19200, 8, NOPARITY, TWOSTOPBITS);
    ASSERT_TRUE(FApi.SetCommState(FPort, wanted)) << FApi.GetLastError();
    KernelTermios t;
    ASSERT_EQ(ReadTermios2(FPty.Slave(), t), 0);
    EXPECT_EQ(t.c_ospeed, 19200u);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    // ser2net does not answer 1.5 stop bits: the request ends within the
    // answer time, the way back included, and says which setting it was.
    EXPECT_FALSE(FApi.SetCommState(FPort, State(300, 5, EVENPARITY, ONE5STOPBITS)));
    EXPECT_EQ(FApi.GetLastError(), static_cast<DWORD>(ETIMEDOUT));
    const CommApi::TErrorDetail detail = FApi.GetLastErrorDetail();
    EXPECT_EQ(detail.Text, "the server did not answer the setting of %s %s");
    EXPECT_EQ(detail.Values, (std::vector<std::string>{"stop bits", "1.5"}));
    DCB now;
    ASSERT_TRUE(FApi.GetCommState(FPort, now));
    EXPECT_EQ(now.BaudRate, 19200u);
    EXPECT_EQ(now.StopBits, TWOSTOPBITS);
    // The old settings were sent back; their answers may come later.
    EXPECT_TRUE(WaitFor([&] { return ReadTermios2(FPty.Slave(), t) == 0 && t.c_ospeed == 19200u; }));
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
    EXPECT_FALSE(FApi.SetCommState(FPort, State(9600, 8, NOPARITY, ONESTOPBIT)));
    EXPECT_EQ(FApi.GetLastError(), static_cast<DWORD>(ECONNRESET));
    FApi.CloseHandle(ev);
}

TEST_F(NetworkPort, RawSocketPassesBytesAndKeepsSettingsHere) {
    PtyPair pty;
    TSer2net server(pty.Path(), false);
    FPort = Open(Url("socket", server.Port()));
    ASSERT_NE(FPort, INVALID_HANDLE_VALUE) << FApi.GetLastError();
    EXPECT_TRUE(FApi.SetCommState(FPort, State(1200, 7, ODDPARITY, ONESTOPBIT)));
    EXPECT_TRUE(FApi.EscapeCommFunction(FPort, SETDTR));
    ASSERT_TRUE(Write(AllBytes()));
    EXPECT_EQ(pty.Receive(AllBytes().size(), 10000), AllBytes());
    pty.Send(AllBytes());
    EXPECT_EQ(Read(AllBytes().size()), AllBytes());
}

// The server sends more than the port takes in and reads nothing while the
// port writes and closes: a plain close would be a reset, which drops what
// the socket held of the write. Everything written must arrive, then the end.
TEST_F(NetworkPort, ClosingWithUnreadInputStillDeliversWhatWasWritten) {
    FApi.SetNetworkTimes(1000ms, 500ms);
    TLocalSocket server(true);
    const int small = 4096;
    ASSERT_EQ(::setsockopt(server.Fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    FPort = Open(Url("socket", server.Port));
    ASSERT_NE(FPort, INVALID_HANDLE_VALUE) << FApi.GetLastError();
    const int peer = ::accept(server.Fd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(FApi.SetupComm(FPort, 16, 16));
    const std::string flood(64 * 1024, 'x');
    for (std::size_t sent = 0; sent < flood.size();) {
        const ssize_t n = ::send(peer, flood.data() + sent, flood.size() - sent, MSG_DONTWAIT);
        if (n <= 0)
            break;
        sent += n;
    }
    COMSTAT stat{};
    DWORD errors = 0;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (FApi.ClearCommError(FPort, &errors, &stat) && stat.cbInQue < 16 &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(stat.cbInQue, 16u); // the port's queue is full: the kernel holds the rest
    // The socket takes a few KB of it (its queue is kept to the line): what
    // the write reports sent must all arrive.
    COMMTIMEOUTS t{};
    t.WriteTotalTimeoutConstant = 200;
    ASSERT_TRUE(FApi.SetCommTimeouts(FPort, t));
    std::string written(12 * 1024, 'y');
    DWORD sent = 0;
    ASSERT_TRUE(FApi.WriteFile(FPort, written.data(), DWORD(written.size()), &sent, nullptr));
    ASSERT_GT(sent, 0u);
    written.resize(sent);
    EXPECT_TRUE(FApi.CloseHandle(FPort));
    FPort = INVALID_HANDLE_VALUE;
    const timeval patience{10, 0};
    ASSERT_EQ(::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience), 0);
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(peer, buf, sizeof buf, 0)) > 0)
        got.append(buf, n);
    EXPECT_EQ(n, 0) << "no end but " << std::strerror(errno) << " after " << got.size() << " bytes";
    EXPECT_EQ(got.size(), written.size());
    EXPECT_TRUE(got == written);
    ::close(peer);
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
