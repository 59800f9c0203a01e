// Network ports against servers of the tests' own that misbehave on purpose:
// floods, silence, a server that speaks no Telnet, refuses or ignores
// settings, holds the output, drops the connection mid-request, or stops
// reading. Each shows a promise of CommApi.h about time, stopping or words.
#include "NetServers.h"
#include "NetworkFixture.h"
#include "TelnetCodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <optional>
#include <tuple>

#include <poll.h>

using namespace kv52804;

namespace {

using namespace std::chrono_literals;
using namespace telnet;
using Clock = std::chrono::steady_clock;

// Takes one connection on 127.0.0.1 and runs `serve` on it in a thread.
class TOneShotServer {
public:
    explicit TOneShotServer(std::function<void(int fd)> serve) : FSocket(true) {
        FThread = std::thread([this, serve = std::move(serve)] {
            const int c = ::accept(FSocket.Fd, nullptr, nullptr);
            if (c >= 0) {
                serve(c);
                ::close(c);
            }
        });
    }
    ~TOneShotServer() {
        ::shutdown(FSocket.Fd, SHUT_RDWR); // ends an accept still waiting
        FThread.join();
    }
    std::string Url(const char* scheme = "rfc2217") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(FSocket.Port);
    }

private:
    TLocalSocket FSocket;
    std::thread FThread;
};

bool SendAll(int fd, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// The server's side of Telnet with the Com Port Control Option, as far as
// the tests need it: it speaks first (as ser2net does), agrees to every
// option, and answers each setting as `Rule` says (by default it takes it).
// The line's settings are kept by their command numbers.
struct TPeer {
    int Fd;
    TDecoder Decoder;
    std::string Data;                                    // data bytes received
    std::vector<std::pair<int, std::uint32_t>> Requests; // settings asked, in order
    std::uint32_t Line[cpControl + 1] = {0, 9600, 8, 1, 1, 1};
    // The value to answer a request with, or nullopt for none.
    std::function<std::optional<std::uint32_t>(int command, std::uint32_t value)> Rule;
    bool Said[256][2] = {};

    explicit TPeer(int fd) : Fd(fd) {
        SendAll(Fd,
                Negotiation(DO, COM_PORT) + Negotiation(WILL, BINARY) + Negotiation(DO, BINARY));
        Said[COM_PORT][1] = Said[BINARY][0] = Said[BINARY][1] = true;
    }
    // Reads once (20 s at most) and answers: false when the connection ends.
    bool Step() {
        pollfd in{Fd, POLLIN, 0};
        unsigned char buf[4096];
        if (::poll(&in, 1, 20000) != 1)
            return false;
        const ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        std::vector<TCommand> commands;
        Decoder.Feed(buf, static_cast<std::size_t>(n), Data, commands);
        for (const TCommand& c : commands)
            Answer(c);
        return true;
    }
    bool Until(const std::function<bool()>& done) {
        while (!done())
            if (!Step())
                return false;
        return true;
    }
    void Answer(const TCommand& c) {
        if (c.Verb == DO || c.Verb == WILL) {
            const bool will = c.Verb == DO;
            if (!std::exchange(Said[c.Option][will], true))
                SendAll(Fd, Negotiation(will ? WILL : DO, c.Option));
            return;
        }
        if (c.Verb != SB || c.Option != COM_PORT || c.Payload.empty())
            return;
        const int command = static_cast<std::uint8_t>(c.Payload[0]);
        std::uint32_t value = 0;
        for (std::size_t i = 1; i < c.Payload.size(); ++i)
            value = value << 8 | static_cast<std::uint8_t>(c.Payload[i]);
        if (command < cpBaudRate || command > cpControl)
            return;
        Requests.emplace_back(command, value);
        std::optional<std::uint32_t> answer = value ? value : Line[command];
        if (value && Rule)
            answer = Rule(command, value);
        if (!answer)
            return;
        if (value && command != cpControl)
            Line[command] = *answer;
        SendAll(Fd, ServerAnswer(static_cast<TComPort>(command), *answer));
    }
    static std::string ServerAnswer(TComPort command, std::uint32_t value) {
        std::string s = ComPortCommand(command, value, command == cpBaudRate ? 4 : 1);
        s[3] = static_cast<char>(s[3] + ServerOffset);
        return s;
    }
    bool Settled() const { return Requests.size() >= 5; } // the open's questions
};

class NetworkMisbehaviour : public TNetworkFixture {
protected:
    NetworkMisbehaviour() : TNetworkFixture(std::chrono::milliseconds(1000)) {}
    void Timeouts(DWORD read, DWORD write) {
        COMMTIMEOUTS t{};
        t.ReadTotalTimeoutConstant = read;
        t.WriteTotalTimeoutConstant = write;
        ASSERT_TRUE(FApi.SetCommTimeouts(FPort, t));
    }
};

// A server that never stops sending Telnet without data, or one endless
// subnegotiation: the open still ends at its time, long before the flood.
TEST_F(NetworkMisbehaviour, AFloodOfCommandsCannotHoldTheOpen) {
    const std::string nops(64 * 1024, static_cast<char>(NOP));
    std::string nopFlood;
    for (std::size_t i = 0; i < nops.size(); i += 2)
        nopFlood += std::string{static_cast<char>(IAC), static_cast<char>(NOP)};
    const std::string endlessSubneg(64 * 1024, 'x');
    struct Row {
        const char* Name;
        std::string Start, Chunk;
    } rows[] = {{"IAC NOP", "", nopFlood},
                {"IAC SB 44 106 ...", std::string{char(IAC), char(SB), char(COM_PORT), 106},
                 endlessSubneg}};
    for (const Row& r : rows) {
        constexpr std::size_t total = std::size_t(4) << 30;
        std::size_t flooded = 0;
        {
            TOneShotServer server([&](int fd) {
                SendAll(fd, r.Start);
                while (flooded < total && SendAll(fd, r.Chunk))
                    flooded += r.Chunk.size();
            });
            EXPECT_EQ(Open(server.Url()), INVALID_HANDLE_VALUE) << r.Name;
            EXPECT_EQ(FApi.GetLastError(), DWORD(ETIMEDOUT)) << r.Name;
        }
        EXPECT_LT(flooded, total) << r.Name << ": the open read the whole flood";
    }
}

// A server whose first bytes are no Telnet is none: nothing is sent to it,
// and the message quotes it.
TEST_F(NetworkMisbehaviour, AServerThatSpeaksNoTelnetIsSentNothingAndQuoted) {
    struct Row {
        std::string Says;
        bool Closes;
        std::string Quote;
    } rows[] = {{"\r\n12.5 C\r\n", false, "12.5 C"},
                {"Port already in use\r\n", true, "Port already in use"}};
    for (const Row& r : rows) {
        std::string received;
        {
            TOneShotServer server([&](int fd) {
                SendAll(fd, r.Says);
                if (r.Closes)
                    return;
                char buf[256];
                ssize_t n;
                while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
                    received.append(buf, n);
            });
            EXPECT_EQ(Open(server.Url()), INVALID_HANDLE_VALUE);
            const DWORD error = FApi.GetLastError();
            // A refusal is told by its close; one that comes late reads as
            // a server that speaks no Telnet, with the same words.
            EXPECT_TRUE(error == EPROTONOSUPPORT || (r.Closes && error == ECONNRESET)) << error;
            const CommApi::TErrorDetail detail = FApi.GetLastErrorDetail();
            EXPECT_EQ(detail.Values, std::vector<std::string>{r.Quote}) << detail.Text;
        }
        EXPECT_EQ(received, "");
    }
}

// The port starts with the server's own settings, goes back to them when a
// change is refused, and names the setting and the answer.
TEST_F(NetworkMisbehaviour, ARefusedSettingRestoresTheServersOwnAndSaysWhich) {
    std::promise<std::vector<std::pair<int, std::uint32_t>>> asked;
    TOneShotServer server([&](int fd) {
        TPeer peer(fd);
        const std::uint32_t own[] = {0, 115200, 7, 3, 2, 3}; // 7E2, hardware flow
        std::copy(std::begin(own), std::end(own), peer.Line);
        peer.Rule = [](int command, std::uint32_t value) -> std::optional<std::uint32_t> {
            if (command == cpDataSize)
                return 7; // only 7 data bits
            if (command == cpBaudRate && value == 300)
                return std::nullopt; // no answer at all
            return value;
        };
        peer.Until([&] { return peer.Requests.size() >= 5 + 10 + 10; });
        asked.set_value(peer.Requests);
        peer.Until([] { return false; }); // until the port closes
    });
    FPort = Open(server.Url());
    ASSERT_NE(FPort, INVALID_HANDLE_VALUE) << FApi.GetLastError();
    DCB now;
    ASSERT_TRUE(FApi.GetCommState(FPort, now));
    EXPECT_EQ(std::tuple(now.BaudRate, now.ByteSize, now.Parity, now.StopBits),
              std::tuple(115200u, BYTE(7), EVENPARITY, TWOSTOPBITS));
    EXPECT_TRUE(now.Flags & DCB_OUTX_CTS_FLOW);

    struct Row {
        DCB Wanted;
        DWORD Error;
        CommApi::TErrorDetail Detail;
    } rows[] = {
        {State(9600, 8, NOPARITY, ONESTOPBIT),
         EINVAL,
         {"the server did not take %s %s: it answered %s", {"data bits", "8", "7"}}},
        {State(300, 7, NOPARITY, ONESTOPBIT),
         ETIMEDOUT,
         {"the server did not answer the setting of %s %s", {"baud rate", "300"}}},
    };
    for (const Row& r : rows) {
        EXPECT_FALSE(FApi.SetCommState(FPort, r.Wanted));
        EXPECT_EQ(FApi.GetLastError(), r.Error);
        const CommApi::TErrorDetail detail = FApi.GetLastErrorDetail();
        EXPECT_EQ(detail.Text, r.Detail.Text);
        EXPECT_EQ(detail.Values, r.Detail.Values);
    }
    // Each refused change was followed by the server's own values.
    auto requests = asked.get_future();
    ASSERT_EQ(requests.wait_for(20s), std::future_status::ready);
    const auto got = requests.get();
    const std::vector<std::pair<int, std::uint32_t>> own = {
        {cpBaudRate, 115200}, {cpDataSize, 7}, {cpParity, 3}, {cpStopSize, 2}, {cpControl, 3}};
    for (std::size_t restore : {10u, 20u})
        EXPECT_EQ(std::vector(got.begin() + restore, got.begin() + restore + 5), own) << restore;
    EXPECT_TRUE(FApi.CloseHandle(FPort));
    FPort = INVALID_HANDLE_VALUE;
}

// FLOWCONTROL-SUSPEND holds the output until FLOWCONTROL-RESUME, with or
// without a value byte: a write meanwhile ends by its time-out, unsent.
TEST_F(NetworkMisbehaviour, TheServersFlowControlHoldsTheOutput) {
    std::promise<void> resume;
    std::promise<std::string> arrived;
    TOneShotServer server([&](int fd) {
        TPeer peer(fd);
        peer.Until([&] { return peer.Settled(); });
        SendAll(fd, std::string{char(IAC), char(SB), char(COM_PORT),
                                char(ServerOffset + cpFlowSuspend), char(IAC), char(SE), 's'});
        resume.get_future().wait();
        SendAll(fd, std::string{char(IAC), char(SB), char(COM_PORT),
                                char(ServerOffset + cpFlowResume), 0, char(IAC), char(SE), 'r'});
        peer.Until([&] { return peer.Data.size() >= 3; });
        arrived.set_value(peer.Data);
    });
    FPort = Open(server.Url());
    ASSERT_NE(FPort, INVALID_HANDLE_VALUE) << FApi.GetLastError();
    Timeouts(20000, 300);
    char c = 0;
    DWORD n = 0;
    // The byte behind the notice: the notice has been read.
    ASSERT_TRUE(FApi.ReadFile(FPort, &c, 1, &n, nullptr));
    ASSERT_EQ(c, 's');
    ASSERT_TRUE(FApi.WriteFile(FPort, "abc", 3, &n, nullptr));
    EXPECT_EQ(n, 0u);
    resume.set_value();
    ASSERT_TRUE(FApi.ReadFile(FPort, &c, 1, &n, nullptr));
    ASSERT_EQ(c, 'r');
    Timeouts(20000, 20000);
    ASSERT_TRUE(FApi.WriteFile(FPort, "xyz", 3, &n, nullptr));
    EXPECT_EQ(n, 3u);
    auto data = arrived.get_future();
    ASSERT_EQ(data.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(data.get(), "xyz");
}

// A server that leaves in the middle of a request ends it at once, however
// long the answer time.
TEST_F(NetworkMisbehaviour, AConnectionLostDuringARequestEndsItAtOnce) {
    FApi.SetNetworkTimes(1000ms, std::chrono::minutes(10));
    TOneShotServer server([&](int fd) {
        TPeer peer(fd);
        peer.Until([&] { return peer.Settled(); });
        peer.Rule = [](int, std::uint32_t) { return std::nullopt; };
        peer.Until([&] { return peer.Requests.size() > 5; }); // the first setting
    });
    FPort = Open(server.Url());
    ASSERT_NE(FPort, INVALID_HANDLE_VALUE) << FApi.GetLastError();
    auto set = std::async(std::launch::async, [&] {
        const bool ok = FApi.SetCommState(FPort, State(19200, 8, NOPARITY, ONESTOPBIT));
        return ok ? 0u : FApi.GetLastError();
    });
    ASSERT_EQ(set.wait_for(60s), std::future_status::ready) << "the request waits for its answer";
    EXPECT_EQ(set.get(), DWORD(ECONNRESET));
}

// StopNetworkWaits ends an open and a request that wait for a server, and
// every later open; transfers are not its business.
TEST_F(NetworkMisbehaviour, StoppingEndsEveryWaitForAServer) {
    FApi.SetNetworkTimes(std::chrono::minutes(10), std::chrono::minutes(10));
    {
        // Silent after the connection: the open waits; the server stops it
        // when the port has asked for the options.
        TOneShotServer silent([&](int fd) {
            char buf[64];
            if (::recv(fd, buf, sizeof buf, 0) > 0)
                FApi.StopNetworkWaits();
            ::recv(fd, buf, sizeof buf, 0);
        });
        auto open = std::async(std::launch::async, [&] {
            return Open(silent.Url()) == INVALID_HANDLE_VALUE ? FApi.GetLastError() : 0u;
        });
        ASSERT_EQ(open.wait_for(60s), std::future_status::ready);
        EXPECT_EQ(open.get(), DWORD(ECANCELED));
    }
    CommLinux other;
    other.SetNetworkTimes(1000ms, std::chrono::minutes(10));
    TOneShotServer server([&](int fd) {
        TPeer peer(fd);
        peer.Until([&] { return peer.Settled(); });
        peer.Rule = [&](int, std::uint32_t) {
            other.StopNetworkWaits();
            return std::nullopt;
        };
        peer.Until([] { return false; });
    });
    const HANDLE port = other.CreateFile(server.Url(), GENERIC_READ | GENERIC_WRITE, 0,
                                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << other.GetLastError();
    auto set = std::async(std::launch::async, [&] {
        return other.SetCommState(port, State(19200, 8, NOPARITY, ONESTOPBIT))
                   ? 0u
                   : other.GetLastError();
    });
    ASSERT_EQ(set.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(set.get(), DWORD(ECANCELED));
    DWORD n = 0;
    EXPECT_TRUE(other.WriteFile(port, "a", 1, &n, nullptr));
    EXPECT_EQ(other.CreateFile(server.Url(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(other.GetLastError(), DWORD(ECANCELED));
    EXPECT_TRUE(other.CloseHandle(port));
}

// A server that stops reading: the socket takes a few KB beyond what the
// server's side holds, not megabytes; a purge drops that rest for good (the
// connection is reset at the close, not drained into the server).
TEST_F(NetworkMisbehaviour, OutputIsKeptToTheLineAndAPurgeDropsIt) {
    std::promise<void> read;
    std::promise<std::pair<std::size_t, int>> got; // bytes, and how the reading ended
    TOneShotServer server([&](int fd) {
        read.get_future().wait();
        std::size_t total = 0;
        char buf[65536];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
            total += static_cast<std::size_t>(n);
        got.set_value({total, n == 0 ? 0 : errno});
    });
    FPort = Open(server.Url("socket"));
    ASSERT_NE(FPort, INVALID_HANDLE_VALUE) << FApi.GetLastError();
    Timeouts(0, 1000);
    const std::string big(16 << 20, 'x');
    DWORD sent = 0;
    ASSERT_TRUE(FApi.WriteFile(FPort, big.data(), DWORD(big.size()), &sent, nullptr));
    ASSERT_TRUE(FApi.PurgeComm(FPort, PURGE_TXABORT | PURGE_TXCLEAR));
    ASSERT_TRUE(FApi.CloseHandle(FPort));
    FPort = INVALID_HANDLE_VALUE;
    read.set_value();
    auto result = got.get_future();
    ASSERT_EQ(result.wait_for(60s), std::future_status::ready);
    const auto [received, end] = result.get();
    EXPECT_EQ(end, ECONNRESET) << "the connection was drained, not reset";
    EXPECT_LT(received, sent);
    EXPECT_LT(sent - received, 64u * 1024) << "the socket held " << sent - received << " bytes";
}

} // namespace
