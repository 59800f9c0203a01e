// Inside the driver tests' machine, for each adapter (16550A on ttyS1, FTDI on
// ttyUSB0): bytes per second from WriteString until the host has them all,
// against a plain write() loop on the same tty in the same run; and the time
// from a host byte to OnRxChar on the main thread, against a plain poll()
// reader thread, both measured by the host as an echo round trip (the echo is
// a plain write() in both, so the difference is the path to the handler).
//
// QEMU does not pace the lines at their baud rate: the figures are what the
// emulated hardware and the drivers cost, not line speeds.
#include "CPort.h"
#include "HostPeer.h"
#include "gnugettext.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace kv52804;

namespace {
using Clock = std::chrono::steady_clock;

struct Line {
    const char* Device;
    int Bytes; // per throughput run
};

std::string Random(std::size_t n) {
    std::mt19937 rng(5);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

// Seconds until the host has received `n` bytes that `send` starts writing.
template <typename Send> double Timed(const Line& line, int n, Send send) {
    const auto start = Clock::now();
    send();
    const auto reply =
        HostPeer::Ask("recv " + std::string(line.Device) + " " + std::to_string(n) + " 300");
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    if (reply.at(0) != "ok")
        std::printf("  host received only %s of %d bytes\n", reply.at(1).c_str(), n);
    return s;
}

int OpenRaw(const Line& line) {
    const std::string path = std::string("/dev/") + line.Device;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B115200);
    ::tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

void Throughput(const Line& line) {
    const std::string data = Random(static_cast<std::size_t>(line.Bytes));
    double port = 1e9, plain = 1e9; // best of three each, alternating
    for (int round = 0; round < 3; ++round) {
        {
            TComPort p;
            p.SetPort(QString::fromLatin1(line.Device));
            p.SetBaudRate(br115200);
            p.Timeouts()->SetWriteTotalMultiplier(0);
            p.Timeouts()->SetWriteTotalConstant(0);
            p.Open();
            port = std::min(port, Timed(line, line.Bytes, [&] { p.WriteString(data); }));
        }
        const int fd = OpenRaw(line);
        plain = std::min(plain, Timed(line, line.Bytes, [&] {
                             for (std::size_t done = 0; done < data.size();) {
                                 const ssize_t n =
                                     ::write(fd, data.data() + done, data.size() - done);
                                 if (n <= 0)
                                     break;
                                 done += static_cast<std::size_t>(n);
                             }
                         }));
        ::close(fd);
    }
    std::printf(
        "%s: %d bytes, WriteString %.0f B/s, write() %.0f B/s, WriteString / write() %.2f\n",
        line.Device, line.Bytes, line.Bytes / port, line.Bytes / plain, plain / port);
}

// The host's echo round trip, median and 90th percentile in microseconds,
// while the main thread runs its event loop.
std::pair<double, double> Echo(const Line& line, int samples) {
    std::vector<std::string> reply;
    QEventLoop loop;
    std::thread asker([&] {
        reply = HostPeer::Ask("ping " + std::string(line.Device) + " " + std::to_string(samples));
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    asker.join();
    if (reply.at(0) != "ok")
        return {0, 0};
    return {std::stod(reply.at(1)), std::stod(reply.at(2))};
}

void Latency(const Line& line) {
    constexpr int samples = 300;
    std::pair<double, double> port;
    {
        TComPort p;
        p.SetPort(QString::fromLatin1(line.Device));
        p.SetBaudRate(br115200);
        p.OnRxChar = [&](QObject*, int32_t count) {
            std::string got(static_cast<std::size_t>(count), '\0');
            const int32_t n = p.ReadBytes(got.data(), count);
            [[maybe_unused]] ssize_t w = ::write(static_cast<int>(p.Handle()), got.data(), n);
        };
        p.Open();
        port = Echo(line, samples);
    }
    const int fd = OpenRaw(line);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        char buf[64];
        while (!stop.load()) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                [[maybe_unused]] ssize_t w = ::write(fd, buf, static_cast<std::size_t>(n));
            }
        }
    });
    const auto plain = Echo(line, samples);
    stop.store(true);
    reader.join();
    ::close(fd);
    std::printf("%s: host byte -> OnRxChar -> echo: median %.0f us, p90 %.0f us; "
                "poll() reader thread: median %.0f us, p90 %.0f us; ratio %.2f, "
                "OnRxChar costs %.0f us more\n",
                line.Device, port.first, port.second, plain.first, plain.second,
                plain.first > 0 ? port.first / plain.first : 0.0, port.first - plain.first);
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    HostPeer::Init();
    GnuGettextStartup gettext;
    CPortStartup cport;
    for (const Line& line : {Line{"ttyS1", 128 * 1024}, Line{"ttyUSB0", 1 << 20}}) {
        Throughput(line);
        Latency(line);
    }
    return 0;
}
