// The port against a real pseudo-terminal: the slave is the port's device,
// the master plays the display module.
#include "CPort.h"
#include "PtyPair.h"

#include <QDir>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <random>
#include <thread>
#include <vector>

using namespace kv52804;

namespace {

QString SlavePath(const PtyPair& pty) {
    return QString::fromStdString(pty.Path());
}

int CountEntries(const char* dir) {
    return static_cast<int>(QDir(QString::fromLatin1(dir))
                                .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                                .size());
}

// Reads the master until `count` bytes came or the line stays silent for
// `idleMs`; runs beside the writer so the pty's small buffer never stalls it.
class MasterReader {
public:
    MasterReader(PtyPair& pty, std::size_t count, int idleMs = 5000)
        : FThread([&pty, count, idleMs, this] { FGot = pty.Receive(count, idleMs); }) {}
    std::string Finish() {
        FThread.join();
        return FGot;
    }

private:
    std::string FGot;
    std::thread FThread;
};

// Waits (bounded) until the port's input queue holds `count` bytes: the
// backend's I/O thread moves them in on its own schedule.
bool WaitForQueued(TComPort& port, int32_t count) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (port.InputQueueLength() < count) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST(PtyTransfer, OneMebibyteOfEveryByteValueArrivesUnchanged) {
    PtyPair pty;
    std::string data(1 << 20, '\0');
    std::mt19937 rng(20261208);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i < 256 ? i : rng() & 0xFF); // all 256 values, 0 first

    TComPort port;
    port.SetPort(SlavePath(pty));
    port.Open();
    MasterReader reader(pty, data.size());
    std::size_t sent = 0;
    const std::size_t piece = 64 * 1024;
    while (sent < data.size()) {
        const std::string chunk = data.substr(sent, piece);
        ASSERT_EQ(port.WriteString(chunk), static_cast<int32_t>(chunk.size()));
        sent += chunk.size();
    }
    const std::string got = reader.Finish();
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "bytes differ";
}

TEST(PtyTransfer, TheDisplayFrameArrivesWhole) {
    PtyPair pty;
    TComPort port;
    port.SetPort(SlavePath(pty));
    port.Open();
    std::string frame("\x80", 1);
    for (int i = 0; i < 12; ++i)
        frame += static_cast<char>(i == 3 ? 0 : 20 + i);
    frame += "\x84\x82";
    ASSERT_EQ(frame.size(), 15u);
    EXPECT_EQ(port.WriteString(frame), 15);
    EXPECT_EQ(pty.Receive(15), frame);
}

TEST(PtyTransfer, AStalledLineEndsTheWriteAtItsTimeoutWithTheShortCountAndCloseKeepsIt) {
    PtyPair pty;
    TComPort port;
    port.SetPort(SlavePath(pty));
    port.Timeouts()->SetWriteTotalMultiplier(0);
    port.Timeouts()->SetWriteTotalConstant(300);
    port.Open();
    // The master reads nothing, so the pty's buffer fills and stays full.
    const std::string big(4 << 20, 'z');
    int32_t written = -1;
    EXPECT_NO_THROW(written = port.WriteString(big));
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int32_t>(big.size()));
    // The pseudo-terminal holds more than the master's own queue on the way
    // there; closing (with the event thread's purge) must not take it back.
    port.Close();
    // The count is what really went out on the line.
    std::string got;
    for (std::string part; !(part = pty.Receive(big.size(), 200)).empty();)
        got += part;
    EXPECT_EQ(got.size(), static_cast<std::size_t>(written));
}

TEST(PtyTransfer, TheDefaultReadReturnsAtOnceWithWhatIsQueued) {
    PtyPair pty;
    TComPort port;
    port.SetPort(SlavePath(pty));
    port.Open();
    char buf[64] = {};
    EXPECT_EQ(port.ReadBytes(buf, sizeof buf), 0); // nothing there: no wait
    pty.Send(std::string("ab\0c", 4));
    ASSERT_TRUE(WaitForQueued(port, 4));
    EXPECT_EQ(port.ReadBytes(buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), std::string("ab\0c", 4));
    EXPECT_EQ(port.InputQueueLength(), 0);
}

TEST(PtyOpen, ASecondOpenOfTheSameDeviceFailsWithCode1) {
    PtyPair pty;
    TComPort first, second;
    first.SetPort(SlavePath(pty));
    second.SetPort(SlavePath(pty));
    first.Open();
    try {
        second.Open();
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 1);
        EXPECT_GT(e.WinErrorCode(), 0);
    }
    EXPECT_FALSE(second.Connected());
    EXPECT_TRUE(first.Connected());
    first.Close();
    second.Open(); // free again
    EXPECT_TRUE(second.Connected());
}

TEST(PtyOpen, ADeviceAnotherProcessHoldsGivesCode1UnlessItHoldsTheFarEnd) {
    struct Row {
        const char* Name;
        bool Master, Slave;
        bool Refused;
        bool AsControllingTerminal = false;
    } rows[] = {
        {"holds the port's end", false, true, true},
        {"holds both ends, as the display simulator does", true, true, false},
        {"holds the far end only", true, false, false},
        {"holds it only as /dev/tty, its controlling terminal", false, false, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        PtyPair pty;
        TComPort port;
        port.SetPort(SlavePath(pty));
        {
            std::vector<int> ends;
            if (row.Master)
                ends.push_back(pty.Master());
            if (row.Slave)
                ends.push_back(pty.Slave());
            PtyHolder holder(ends, row.AsControllingTerminal ? pty.Path() : std::string());
            try {
                port.Open();
                EXPECT_FALSE(row.Refused) << "opened";
            } catch (const EComPort& e) {
                EXPECT_TRUE(row.Refused) << e.Message().toStdString();
                EXPECT_EQ(e.ErrorCode(), 1);
                EXPECT_EQ(e.WinErrorCode(), EBUSY);
            }
            port.Close();
        }
        port.Open(); // the holder has gone
        EXPECT_TRUE(port.Connected());
    }
}

TEST(PtyOpen, AMissingDeviceGivesCode1AndFileNotFound) {
    TComPort port;
    port.SetPort(QStringLiteral("/dev/ttyNoSuchDevice42"));
    bool afterOpen = false;
    port.OnAfterOpen = [&](QObject*) { afterOpen = true; };
    try {
        port.Open();
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 1);
        EXPECT_EQ(e.WinErrorCode(), 2);
        EXPECT_EQ(e.Message(), QStringLiteral("Unable to open com port (win error code: 2)"));
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(afterOpen);
}

TEST(PtyOpen, WriteOnANeverOpenedPortGivesCode2WithBadHandle) {
    TComPort port;
    try {
        port.WriteString("x");
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 2);
        EXPECT_EQ(e.WinErrorCode(), 9);
        EXPECT_EQ(e.Message(), QStringLiteral("WriteFile function failed (win error code: 9)"));
    }
}

TEST(PtyHangUp, AfterTheMasterClosesTheNextWriteFailsAndNothingHangs) {
    auto pty = std::make_unique<PtyPair>();
    auto port = std::make_unique<TComPort>();
    port->SetPort(SlavePath(*pty));
    port->Open();
    ASSERT_EQ(port->WriteString("before"), 6);
    pty->CloseSlave();
    pty->CloseMaster();
    try {
        port->WriteString("after");
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 2);
        EXPECT_GT(e.WinErrorCode(), 0);
    }
    EXPECT_TRUE(port->Connected());
    // Destroying the port releases everything even if closing reports the
    // dead line.
    port.reset();
}

TEST(PtyLifecycle, ManyOpenCloseCyclesLeaveNoDescriptorOrThreadBehind) {
    PtyPair pty;
    TComPort port;
    port.SetPort(SlavePath(pty));
    // Warm up once: the backend's process-wide parts are made on first use.
    port.Open();
    port.Close();
    const int fds = CountEntries("/proc/self/fd");
    const int threads = CountEntries("/proc/self/task");
    for (int i = 0; i < 1000; ++i) {
        port.Open();
        port.Close();
    }
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    // A joined thread may still be listed for a moment: the kernel lets its
    // joiner go before it has taken the thread's entry away.
    for (int i = 0; i < 2000 && CountEntries("/proc/self/task") != threads; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(CountEntries("/proc/self/task"), threads);
    port.Open();
    EXPECT_EQ(port.WriteString("ok"), 2);
    EXPECT_EQ(pty.Receive(2), "ok");
}

} // namespace
