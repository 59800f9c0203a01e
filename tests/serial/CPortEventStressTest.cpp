// Many open/close cycles while the peer floods the line: every cycle must
// end its threads and descriptors, whatever the event thread was doing.
#include "CPort.h"
#include "PtyPair.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>

using namespace kv52804;

namespace {

int CountEntries(const char* dir) {
    return static_cast<int>(QDir(QString::fromLatin1(dir))
                                .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                                .size());
}

// Generous: on a loaded machine an ended thread can take a while to be reaped.
bool WaitForTaskCount(int count) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (CountEntries("/proc/self/task") > count) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Writes to the master as fast as the line takes it until told to stop.
class Flood {
public:
    explicit Flood(PtyPair& pty)
        : FThread([this, fd = pty.Master()] {
              const std::string chunk(512, '\x55');
              while (!FStop.load()) {
                  pollfd p{fd, POLLOUT, 0};
                  if (::poll(&p, 1, 20) > 0 && ::write(fd, chunk.data(), chunk.size()) > 0)
                      FSent.fetch_add(1);
              }
          }) {}
    ~Flood() {
        FStop.store(true);
        FThread.join();
    }
    int Chunks() const { return FSent.load(); }

private:
    std::atomic<bool> FStop{false};
    std::atomic<int> FSent{0};
    std::thread FThread;
};

// What the process's descriptors lead to, for a failure message.
std::string FdTargets() {
    std::string targets;
    const QDir dir(QStringLiteral("/proc/self/fd"));
    for (const QString& fd : dir.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System))
        targets += QFile::symLinkTarget(dir.filePath(fd)).toStdString() + " ";
    return targets;
}

// Names of the process's threads, for a failure message.
std::string ThreadNames() {
    std::string names;
    const QStringList tasks =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& tid : tasks) {
        QFile f(QStringLiteral("/proc/self/task/%1/comm").arg(tid));
        if (f.open(QIODevice::ReadOnly))
            names += f.readAll().trimmed().toStdString() + " ";
    }
    return names;
}

class EventStress : public testing::TestWithParam<TSyncMethod> {};

TEST_P(EventStress, FiveHundredCyclesUnderAFloodLeaveNothingBehind) {
    PtyPair pty;
    {
        // One cycle first: threads the process makes once, on first use (the
        // sanitizer's own, say), are not the port's.
        TComPort warm;
        warm.SetPort(QString::fromStdString(pty.Path()));
        warm.Open();
        warm.Close();
        QCoreApplication::processEvents();
    }
    const int fds = CountEntries("/proc/self/fd");
    const int tasks = CountEntries("/proc/self/task");
    std::atomic<int64_t> received{0};
    int cycles = 0;
    {
        Flood flood(pty);
        TComPort port;
        port.SetPort(QString::fromStdString(pty.Path()));
        port.SetSyncMethod(GetParam());
        port.SetReportCountOnly(false); // the steps read as well
        port.OnRxBuf = [&](QObject*, const void*, int32_t n) { received.fetch_add(n); };
        for (; cycles < 500; ++cycles) {
            port.Open();
            // Let some deliveries through on the main thread now and then;
            // the others are pending when Close comes.
            if (cycles % 5 == 0)
                QCoreApplication::processEvents();
            if (cycles % 7 == 0)
                std::this_thread::yield();
            port.Close();
        }
        EXPECT_GT(flood.Chunks(), 0);
        // On a loaded machine every cycle may end before its first delivery;
        // one more stays open until the flood gets through.
        port.Open();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (received.load() == 0 && std::chrono::steady_clock::now() < end) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        port.Close();
    }
    EXPECT_EQ(cycles, 500);
    EXPECT_GT(received.load(), 0);
    QCoreApplication::processEvents();
    EXPECT_TRUE(WaitForTaskCount(tasks)) << ThreadNames();
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds) << FdTargets();
}

std::string MethodName(const testing::TestParamInfo<TSyncMethod>& info) {
    static const char* const names[] = {"ThreadSync", "WindowSync", "None"};
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Methods, EventStress, testing::Values(smThreadSync, smWindowSync, smNone),
                         MethodName);

} // namespace
