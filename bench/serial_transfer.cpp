// Throughput and latency of the port's writes through a pseudo-terminal,
// against plain write() on the same pair in the same run.
//
//   bench_serial_transfer
//   bench_serial_transfer --writes N   only N 15-byte WriteString calls, for
//                                      counting system calls (strace -c -f)
#include "CPort.h"
#include "gnugettext.h"

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace kv52804;

namespace {
using Clock = std::chrono::steady_clock;

struct Pty {
    int Master = -1;
    int Slave = -1;
    std::string Path;
    Pty() {
        char name[256] = {};
        if (::openpty(&Master, &Slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
        Path = name;
        termios tio{};
        ::tcgetattr(Slave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(Slave, TCSANOW, &tio);
    }
    ~Pty() {
        ::close(Slave);
        ::close(Master);
    }
};

// Reads exactly n bytes from the master.
void ReadAll(int fd, std::size_t n) {
    std::vector<char> buf(64 * 1024);
    while (n > 0) {
        const ssize_t got = ::read(fd, buf.data(), std::min(buf.size(), n));
        if (got <= 0) {
            if (got < 0 && errno == EINTR)
                continue;
            throw std::runtime_error(std::string("read master: ") + std::strerror(errno));
        }
        n -= static_cast<std::size_t>(got);
    }
}

void WriteAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(std::string("write slave: ") + std::strerror(errno));
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

template <typename Send>
double Throughput(Pty& pty, const std::string& data, std::size_t piece, Send send) {
    const auto start = Clock::now();
    std::thread reader([&] { ReadAll(pty.Master, data.size()); });
    for (std::size_t off = 0; off < data.size(); off += piece)
        send(data.data() + off, std::min(piece, data.size() - off));
    reader.join();
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    return data.size() / s / (1024.0 * 1024.0);
}

template <typename Send>
std::vector<double> Latencies(Pty& pty, const std::string& frame, int rounds, Send send) {
    std::vector<double> us;
    us.reserve(rounds);
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        send(frame);
        ReadAll(pty.Master, frame.size());
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(us.begin(), us.end());
    return us;
}

double Percentile(const std::vector<double>& sorted, double p) {
    const std::size_t i = std::min(sorted.size() - 1, static_cast<std::size_t>(p * sorted.size()));
    return sorted[i];
}

// Alternates the two senders over `rounds` rounds and keeps each one's best:
// the machine's other load then weighs on both alike, not on whichever ran
// while it was busy.
template <typename Plain, typename Port>
std::pair<double, double> BestOf(int rounds, Plain plain, Port port) {
    double bestPlain = 0, bestPort = 0;
    for (int i = 0; i < rounds; ++i) {
        bestPlain = std::max(bestPlain, plain());
        bestPort = std::max(bestPort, port());
    }
    return {bestPlain, bestPort};
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    GnuGettextStartup gettext;
    CPortStartup cport;
    try {
        const std::size_t total = 16u << 20;
        const std::size_t piece = 4096;
        std::string data(total, '\0');
        for (std::size_t i = 0; i < total; ++i)
            data[i] = static_cast<char>((i * 131 + (i >> 9)) & 0xFF);
        std::string frame("\x80", 1);
        for (int i = 0; i < 12; ++i)
            frame += static_cast<char>(i);
        frame += "\x84\x82";
        std::string frames;
        for (int i = 0; i < 20000; ++i)
            frames += frame;
        const int rounds = 2000;

        Pty pty;
        TComPort port;
        port.SetPort(QString::fromStdString(pty.Path));
        port.Open();
        if (argc == 3 && std::strcmp(argv[1], "--writes") == 0) {
            const int n = std::atoi(argv[2]);
            std::thread reader([&] { ReadAll(pty.Master, frame.size() * n); });
            for (int i = 0; i < n; ++i)
                port.WriteString(frame);
            reader.join();
            port.Close();
            return 0;
        }
        // Plain blocking write() on the same slave, while the port has it open.
        auto plain = [&](const char* p, std::size_t n) { WriteAll(pty.Slave, p, n); };
        auto viaPort = [&](const char* p, std::size_t n) { port.WriteString(std::string(p, n)); };

        const auto [plainMiB, portMiB] =
            BestOf(3, [&] { return Throughput(pty, data, piece, plain); },
                   [&] { return Throughput(pty, data, piece, viaPort); });
        const auto [plainFrames, portFrames] =
            BestOf(3, [&] { return Throughput(pty, frames, frame.size(), plain); },
                   [&] { return Throughput(pty, frames, frame.size(), viaPort); });
        const auto plainLat = Latencies(pty, frame, rounds, [&](const std::string& f) {
            WriteAll(pty.Slave, f.data(), f.size());
        });
        const auto portLat =
            Latencies(pty, frame, rounds, [&](const std::string& f) { port.WriteString(f); });
        port.Close();

        const double perFrame = 1024.0 * 1024.0 / static_cast<double>(frame.size());
        std::printf("16 MiB in 4 KiB WriteString pieces: %.1f MiB/s, plain write(): %.1f MiB/s, "
                    "ratio %.2fx (goal >= 1.0x)\n",
                    portMiB, plainMiB, portMiB / plainMiB);
        std::printf("15-byte frames back to back, one WriteString each: %.0f frames/s, plain "
                    "write(): %.0f frames/s, ratio %.2fx (goal >= 0.8x)\n",
                    portFrames * perFrame, plainFrames * perFrame, portFrames / plainFrames);
        const double pm = Percentile(plainLat, 0.5), pp = Percentile(plainLat, 0.99);
        const double wm = Percentile(portLat, 0.5), wp = Percentile(portLat, 0.99);
        std::printf("15-byte frame until the peer has it: WriteString median %.1f us, p99 %.1f us; "
                    "plain write() median %.1f us, p99 %.1f us; ratio median %.2fx, p99 %.2fx "
                    "(goal <= 1.5x)\n",
                    wm, wp, pm, pp, wm / pm, wp / pp);
        std::printf("(throughputs: best of 3 alternating rounds each)\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
