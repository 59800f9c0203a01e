// A network port against a plain TCP writer, both into the same ser2net in
// front of a pseudo-terminal whose reader drains it: bulk throughput as a
// ratio (goal at least 0.9), and a 15-byte frame from WriteString to the
// pseudo-terminal's reader, median and 99th percentile.
//
//   bench_serial_network [megabytes [bytes per WriteString, 65536]]
#include "CPort.h"
#include "NetServers.h"
#include "../serial/PtyPair.h" // tests/serial

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace kv52804;

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kGoal = 0.9;
static std::size_t kChunk = 64 * 1024;

// Payload without 0xFF, so both writers send the same bytes on the wire.
std::string Payload(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(i % 251);
    return s;
}

// Seconds from the first byte sent until the reader has all of them.
template <typename Send> double Timed(PtyPair& pty, std::size_t size, Send send) {
    std::atomic<std::size_t> got{0};
    std::thread reader([&] { got = pty.Receive(size, 10000).size(); });
    const auto start = Clock::now();
    send();
    reader.join();
    if (got != size)
        std::fprintf(stderr, "only %zu of %zu bytes arrived\n", got.load(), size);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double ViaPort(PtyPair& pty, int tcp, const std::string& data) {
    TComPort port;
    port.SetPort(QString::fromStdString("rfc2217://127.0.0.1:" + std::to_string(tcp)));
    port.SetBaudRate(br115200);
    port.Open();
    const double s = Timed(pty, data.size(), [&] {
        for (std::size_t at = 0; at < data.size(); at += kChunk)
            port.WriteString(data.substr(at, kChunk));
    });
    port.Close();
    return s;
}

double ViaSocket(PtyPair& pty, int tcp, const std::string& data) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(tcp));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        std::perror("connect");
    std::thread drain([fd] { // the server's negotiation, unanswered
        char buf[256];
        while (::read(fd, buf, sizeof buf) > 0) {
        }
    });
    const double s = Timed(pty, data.size(), [&] {
        for (std::size_t at = 0; at < data.size();) {
            const ssize_t n = ::write(fd, data.data() + at, data.size() - at);
            if (n <= 0)
                break;
            at += static_cast<std::size_t>(n);
        }
    });
    ::shutdown(fd, SHUT_RDWR);
    drain.join();
    ::close(fd);
    return s;
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t size = (argc > 1 ? std::stoul(argv[1]) : 8) << 20;
    if (argc > 2)
        kChunk = std::stoul(argv[2]);
    PtyPair pty;
    TSer2net server(pty.Path());
    const std::string data = Payload(size);
    // Alternate and keep the best of three each, so a busy moment of the
    // machine does not decide the ratio. ser2net takes one client at a
    // time; a short pause lets it let go of the last.
    double port = 1e9, plain = 1e9;
    for (int round = 0; round < 3; ++round) {
        plain = std::min(plain, ViaSocket(pty, server.Port(), data));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        port = std::min(port, ViaPort(pty, server.Port(), data));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const double ratio = plain / port;
    std::printf("bulk %zu MiB: port %.1f MB/s, plain TCP %.1f MB/s, ratio %.2f (goal >= %.2f)\n",
                size >> 20, size / port / 1e6, size / plain / 1e6, ratio, kGoal);

    TComPort frames;
    frames.SetPort(QString::fromStdString("rfc2217://127.0.0.1:" + std::to_string(server.Port())));
    frames.SetBaudRate(br115200);
    frames.Open();
    const std::string frame = std::string("\x80", 1) + std::string(12, '\x14') + "\x84\x82";
    std::vector<double> us;
    for (int i = 0; i < 500; ++i) {
        const auto start = Clock::now();
        frames.WriteString(frame);
        if (pty.Receive(frame.size(), 5000).size() != frame.size())
            break;
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(us.begin(), us.end());
    if (!us.empty())
        std::printf("15-byte frame to the pseudo-terminal's reader: median %.0f us, p99 %.0f us (%zu frames)\n",
                    us[us.size() / 2], us[us.size() * 99 / 100], us.size());
    return ratio >= kGoal ? 0 : 1;
}
