// What an open port costs while nothing happens on the line, and how soon a
// received byte reaches OnRxChar on the main thread, against a plain poll()
// reader thread on another pseudo-terminal in the same run.
//
//   bench_serial_events [idle seconds, default 5] [samples, default 2000]
#include "CPort.h"
#include "ThreadSwitches.h"
#include "gnugettext.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QMetaObject>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace kv52804;

namespace {
using Clock = std::chrono::steady_clock;

// A received byte should reach its handler on the main thread within twice
// the time a thread of its own, asleep in poll(), takes to see it.
constexpr double kGoalRatio = 2.0;

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

void RunLoopFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// One byte at a time: the writer stamps, writes and waits for the receiver's
// stamp before the next byte.
class Latency {
public:
    void Received() {
        const auto now = Clock::now();
        std::lock_guard lock(FLock);
        FReceived = now;
        FGot = true;
        FDone.notify_all();
    }
    // Runs on its own thread; `quit` is called after the last sample.
    void Write(int fd, int samples, const std::function<void()>& quit) {
        for (int i = 0; i < samples; ++i) {
            {
                std::lock_guard lock(FLock);
                FGot = false;
            }
            const auto sent = Clock::now();
            if (::write(fd, "x", 1) != 1)
                break;
            std::unique_lock lock(FLock);
            if (!FDone.wait_for(lock, std::chrono::seconds(2), [&] { return FGot; })) {
                ++FMissed;
                continue;
            }
            FSamples.push_back(std::chrono::duration<double, std::micro>(FReceived - sent).count());
        }
        quit();
    }
    double Percentile(double p) {
        std::sort(FSamples.begin(), FSamples.end());
        if (FSamples.empty())
            return 0;
        return FSamples[std::min(FSamples.size() - 1,
                                 static_cast<std::size_t>(p * FSamples.size()))];
    }
    int Missed() const { return FMissed; }

private:
    std::mutex FLock;
    std::condition_variable FDone;
    Clock::time_point FReceived;
    bool FGot = false;
    std::vector<double> FSamples;
    int FMissed = 0;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    GnuGettextStartup gettext;
    CPortStartup cport;
    const int idleSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int samples = argc > 2 ? std::max(10, std::atoi(argv[2])) : 2000;

    // --- An idle open port -----------------------------------------------------
    {
        Pty pty;
        TComPort port;
        port.SetPort(QString::fromStdString(pty.Path));
        port.Open();     // all ten events, delivered by synchronised calls
        RunLoopFor(200); // start-up settles
        const auto before = SwitchesPerThread();
        RunLoopFor(idleSeconds * 1000);
        const auto after = SwitchesPerThread();
        long total = 0, others = 0;
        const QString mainTid = QString::number(::gettid());
        for (const auto& [tid, n] : after) {
            const long delta = n - (before.count(tid) ? before.at(tid) : 0);
            total += delta;
            if (tid != mainTid)
                others += delta;
        }
        std::printf("idle open port, all ten events, %d s: %ld context switches in %zu threads "
                    "(%ld outside the main thread, whose only wake-up is the end of the run)\n",
                    idleSeconds, total, after.size(), others);
        port.Close();
    }

    // --- One byte to OnRxChar on the main thread ------------------------------
    double portMedian = 0, portP99 = 0;
    {
        Pty pty;
        TComPort port;
        port.SetPort(QString::fromStdString(pty.Path));
        Latency latency;
        port.OnRxChar = [&](QObject*, int32_t count) {
            latency.Received();
            std::vector<char> buf(static_cast<std::size_t>(count));
            port.ReadBytes(buf.data(), count); // so the next byte counts 1 again
        };
        port.Open();
        QEventLoop loop;
        std::thread writer([&] {
            latency.Write(pty.Master, samples, [&] {
                QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
            });
        });
        loop.exec();
        writer.join();
        port.Close();
        portMedian = latency.Percentile(0.5);
        portP99 = latency.Percentile(0.99);
        std::printf("byte -> OnRxChar (main thread, smThreadSync): median %.1f us, p99 %.1f us, "
                    "%d lost\n",
                    portMedian, portP99, latency.Missed());
    }

    // --- The same with a plain poll() reader thread -----------------------------
    {
        Pty pty;
        Latency latency;
        std::atomic<bool> stop{false};
        std::thread reader([&] {
            char c;
            while (!stop.load()) {
                pollfd p{pty.Slave, POLLIN, 0};
                if (::poll(&p, 1, -1) <= 0)
                    continue;
                if (::read(pty.Slave, &c, 1) == 1 && !stop.load())
                    latency.Received();
            }
        });
        std::thread writer([&] { latency.Write(pty.Master, samples, [] {}); });
        writer.join();
        stop.store(true);
        [[maybe_unused]] ssize_t n = ::write(pty.Master, "x", 1); // wakes the reader
        reader.join();
        const double median = latency.Percentile(0.5);
        const double p99 = latency.Percentile(0.99);
        std::printf("byte -> poll() reader thread (baseline):        median %.1f us, p99 %.1f us\n",
                    median, p99);
        const double ratio = median > 0 ? portMedian / median : 0.0;
        std::printf("ratio port / baseline: median %.2f, p99 %.2f (goal: median <= %.1fx: %s)\n",
                    ratio, p99 > 0 ? portP99 / p99 : 0.0, kGoalRatio,
                    median > 0 && ratio <= kGoalRatio ? "met" : "NOT met");
    }
    return 0;
}
