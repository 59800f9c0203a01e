// The port component on real kernel drivers: a 16550A UART (8250 driver) on
// ttyS1 and an FTDI USB adapter (ftdi_sio) on ttyUSB0. The host's end of each
// line is reached through HostPeer. QEMU holds CTS, DSR and DCD high on both
// and does not pace transmission at the baud rate; its USB adapter does not
// hold output back for a peer that stops reading the way a UART does, so
// stalled lines are shown on the UART only.
#include "CPort.h"
#include "CPortEventRecorder.h"
#include "HostPeer.h"
#include "Termios2.h"
#include "ThreadSwitches.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <utility>

using namespace kv52804;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct Adapter {
    const char* Name;
    const char* Device;
    uint32_t MaxRate; // the fastest rate the driver accepts
    bool SixDataBits; // ftdi_sio keeps the old size when asked for six
};
const Adapter kUart{"Uart16550A", "ttyS1", 115200, true};
const Adapter kFtdi{"Ftdi", "ttyUSB0", 3000000, false};

// Bytes the UART has taken from the driver (its transmit FIFO) are out of
// the driver's reach: a stalled line loses them when the port closes.
constexpr int kUartFifo = 16;

std::vector<std::string> Ask(const std::string& request) {
    return HostPeer::Ask(request);
}

std::string Sha256(const std::string& data) {
    return QCryptographicHash::hash(QByteArray::fromRawData(data.data(), data.size()),
                                    QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

std::string RandomBytes(std::mt19937& rng, std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

std::string Hex(const std::string& bytes) {
    return QByteArray::fromStdString(bytes).toHex().toStdString();
}

// Waits (bounded) for a condition that some other party makes true. The
// event thread's deliveries run meanwhile (they wait for the main thread).
template <typename Pred> bool WaitUntil(Pred done, Clock::duration limit) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

// The codes (ErrorCode, WinErrorCode) of what a step raises; none: {0, 0}.
using Codes = std::pair<int32_t, int32_t>;
constexpr Codes kNoError{0, 0};
constexpr Codes kRefused{CError_SetStateFailed, EINVAL};
template <typename Fn> Codes ErrorOf(Fn step) {
    try {
        step();
        return kNoError;
    } catch (const EComPort& e) {
        return {e.ErrorCode(), e.WinErrorCode()};
    }
}

int OutputQueued(int fd) {
    int n = -1;
    ::ioctl(fd, TIOCOUTQ, &n);
    return n;
}

int TaskCount() {
    return static_cast<int>(QDir(QStringLiteral("/proc/self/task"))
                                .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                                .size());
}

// Where each thread of the process sleeps, for messages about threads that
// should have ended.
std::string Threads() {
    std::string all;
    for (const QString& tid :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(QStringLiteral("/proc/self/task/%1/wchan").arg(tid));
        f.open(QIODevice::ReadOnly);
        all += " " + tid.toStdString() + ":" + f.readAll().toStdString();
    }
    return all;
}

QStringList Ports() {
    QStringList list;
    ListComPorts(list);
    return list;
}

class OnDriver : public testing::TestWithParam<Adapter> {
protected:
    void SetUp() override {
        // The 8250 driver drops the UART's receive trigger to one byte at
        // rates below 2400 and keeps it there; each test starts from the
        // machine's setting (an interrupt per byte makes TCG crawl).
        QFile trigger(QStringLiteral("/sys/class/tty/%1/rx_trig_bytes").arg(GetParam().Device));
        if (trigger.open(QIODevice::WriteOnly))
            trigger.write("14");
        Log.Attach(Port);
        Port.SetPort(QString::fromLatin1(GetParam().Device));
        Port.SetBaudRate(br115200);
        Port.Buffer()->SetInputSize(1 << 16);
        Port.Buffer()->SetOutputSize(1 << 16);
        // Reads wait for their whole count, up to a minute.
        Port.Timeouts()->SetReadInterval(0);
        Port.Timeouts()->SetReadTotalMultiplier(0);
        Port.Timeouts()->SetReadTotalConstant(60000);
        // Writes may wait that long for a peer's XON on a loaded machine.
        Port.Timeouts()->SetWriteTotalMultiplier(0);
        Port.Timeouts()->SetWriteTotalConstant(60000);
        Port.Open();
        // Bytes of an earlier test still on their way are skipped up to a
        // marker of this one.
        static int run = 0;
        const std::string marker = "<sync" + std::to_string(++run) + ">";
        ASSERT_EQ(Port.WriteString(marker), static_cast<int32_t>(marker.size()));
        ASSERT_EQ(Ask(Verb("skipto") + " " + marker + " 60").at(0), "ok");
        Log.Clear();
    }

    std::string Verb(const char* verb) const { return std::string(verb) + " " + Dev(); }
    std::string Dev() const { return GetParam().Device; }
    int Fd() const { return static_cast<int>(Port.Handle()); }

    // XOFF from the peer, then a marker: once the marker is read, the driver
    // has stopped its output (XonXoffOut must be on).
    void HoldOutput() {
        ASSERT_EQ(Ask(Verb("sendhex") + " 13" + Hex("held")).at(0), "ok");
        ASSERT_EQ(ReadExactly(4), "held");
    }

    bool LineOn(int line) const {
        int bits = 0;
        return ::ioctl(Fd(), TIOCMGET, &bits) == 0 && (bits & line) != 0;
    }

    std::string ReadExactly(int32_t n) {
        std::string data(static_cast<std::size_t>(n), '\0');
        int32_t got = 0;
        while (got < n) {
            const int32_t r = Port.ReadBytes(data.data() + got, n - got);
            if (r == 0)
                break;
            got += r;
        }
        data.resize(static_cast<std::size_t>(got));
        return data;
    }

    EventLog Log;
    TComPort Port;
};

std::string AdapterName(const testing::TestParamInfo<Adapter>& info) {
    return info.param.Name;
}

void PrintTo(const Adapter& a, std::ostream* os) {
    *os << a.Device;
}

// --------------------------------------------------------------- settings --

uint32_t ParityFlags(TParityBits p) {
    switch (p) {
    case prOdd:
        return PARENB | PARODD;
    case prEven:
        return PARENB;
    case prMark:
        return PARENB | CMSPAR | PARODD;
    case prSpace:
        return PARENB | CMSPAR;
    default:
        return 0;
    }
}

// What the driver cannot make is refused (code 7) and leaves the frame that
// was in force; everything else reads back as set.
TEST_P(OnDriver, EveryCharacterFrameReadsBackFromTheDriverAsSet) {
    static constexpr uint32_t sizes[] = {CS5, CS6, CS7, CS8};
    constexpr uint32_t frameBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    KernelTermios t;
    ASSERT_EQ(ReadTermios2(Fd(), t), 0) << std::strerror(errno);
    uint32_t inForce = t.c_cflag & frameBits;
    for (TDataBits bits : {dbFive, dbSix, dbSeven, dbEight})
        for (TParityBits parity : {prNone, prOdd, prEven, prMark, prSpace})
            for (TStopBits stop : {sbOneStopBit, bits == dbFive ? sbOne5StopBits : sbTwoStopBits}) {
                SCOPED_TRACE(testing::Message()
                             << "bits " << 5 + bits << " parity " << parity << " stop " << stop);
                const uint32_t asked =
                    sizes[bits] | ParityFlags(parity) | (stop != sbOneStopBit ? CSTOPB : 0);
                Port.BeginSettingsUpdate();
                Port.SetDataBits(bits);
                Port.Parity()->SetBits(parity);
                Port.SetStopBits(stop);
                const Codes error = ErrorOf([&] { Port.EndSettingsUpdate(); });
                if (bits != dbSix || GetParam().SixDataBits) {
                    ASSERT_EQ(error, kNoError);
                    inForce = asked;
                } else {
                    EXPECT_EQ(error, kRefused);
                }
                ASSERT_EQ(ReadTermios2(Fd(), t), 0) << std::strerror(errno);
                EXPECT_EQ(t.c_cflag & frameBits, inForce);
            }
}

struct RateRow {
    TBaudRate Rate;
    int32_t Custom; // for brCustom
    uint32_t Value;
};

// A refused rate leaves the rate and the frame in force (7E1 here).
TEST_P(OnDriver, EveryRateTheDriverCanMakeReadsBackAndTheOthersAreRefused) {
    static constexpr RateRow rows[] = {
        {br110, 0, 110},
        {br300, 0, 300},
        {br600, 0, 600},
        {br1200, 0, 1200},
        {br2400, 0, 2400},
        {br4800, 0, 4800},
        {br9600, 0, 9600},
        {br14400, 0, 14400},
        {br19200, 0, 19200},
        {br38400, 0, 38400},
        {br56000, 0, 56000},
        {br57600, 0, 57600},
        {br115200, 0, 115200},
        {br128000, 0, 128000},
        {br256000, 0, 256000},
        {brCustom, 28800, 28800},
        {brCustom, 250000, 250000},
        {brCustom, 1000000, 1000000},
    };
    Port.BeginSettingsUpdate();
    Port.SetDataBits(dbSeven);
    Port.Parity()->SetBits(prEven);
    Port.EndSettingsUpdate();
    KernelTermios t;
    ASSERT_EQ(ReadTermios2(Fd(), t), 0) << std::strerror(errno);
    const uint32_t frame = t.c_cflag;
    uint32_t inForce = 115200;
    for (const RateRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "rate " << row.Value);
        Port.BeginSettingsUpdate();
        Port.SetCustomBaudRate(row.Custom ? row.Custom : 9600);
        Port.SetBaudRate(row.Rate);
        const Codes error = ErrorOf([&] { Port.EndSettingsUpdate(); });
        if (row.Value <= GetParam().MaxRate) {
            ASSERT_EQ(error, kNoError);
            inForce = row.Value;
        } else {
            EXPECT_EQ(error, kRefused);
        }
        ASSERT_EQ(ReadTermios2(Fd(), t), 0) << std::strerror(errno);
        EXPECT_EQ(t.c_ospeed, inForce);
        EXPECT_EQ(t.c_ispeed, inForce);
        EXPECT_EQ(t.c_cflag & ~Termios2SpeedBits(), frame & ~Termios2SpeedBits());
    }
}

// ---------------------------------------------------------------- transfer --

TEST_P(OnDriver, AMebibyteOfRandomBytesCrossesEachWayUnchanged) {
    // In pieces, each checked before the next: the UART has no flow control
    // towards the host, so more than its buffers hold must not be in flight.
    constexpr int32_t kPiece = 32 * 1024, kPieces = 32;
    std::vector<bool> seen(256);
    for (int i = 0; i < kPieces; ++i) {
        const auto reply = Ask(Verb("send") + " " + std::to_string(kPiece));
        ASSERT_EQ(reply.at(0), "ok");
        const std::string got = ReadExactly(kPiece);
        ASSERT_EQ(got.size(), static_cast<std::size_t>(kPiece)) << "piece " << i;
        ASSERT_EQ(Sha256(got), reply.at(1)) << "piece " << i;
        for (unsigned char c : got)
            seen[c] = true;
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 256);

    std::mt19937 rng(11);
    for (int i = 0; i < kPieces; ++i) {
        const std::string piece = RandomBytes(rng, kPiece);
        ASSERT_EQ(Port.WriteString(piece), kPiece);
        const auto reply = Ask(Verb("recv") + " " + std::to_string(kPiece) + " 60");
        ASSERT_EQ(reply.at(0), "ok") << "piece " << i << " got " << reply.at(1);
        ASSERT_EQ(reply.at(2), Sha256(piece)) << "piece " << i;
        ASSERT_EQ(reply.at(3), "256");
    }
}

TEST_P(OnDriver, AFrameWrittenJustBeforeCloseArrivesWhole) {
    const std::string frame("\x80\x15\x0B\x02\x03\x14\x0F\x06\x07\x12\x09\x0A\x0B\x84\x82", 15);
    EXPECT_EQ(Port.WriteString(frame), 15);
    Port.Close();
    const auto reply = Ask(Verb("recv") + " 15 30");
    EXPECT_EQ(reply.at(0), "ok") << "got " << reply.at(1);
    EXPECT_EQ(reply.at(2), Sha256(frame));
}

// ------------------------------------------------------------- line state --

TEST_P(OnDriver, ModemSignalsAreTheLinesTheDriverReports) {
    int bits = 0;
    ASSERT_EQ(::ioctl(Fd(), TIOCMGET, &bits), 0) << std::strerror(errno);
    TModemSignals driver;
    for (auto [bit, signal] : {std::pair{TIOCM_CTS, msCTS}, std::pair{TIOCM_DSR, msDSR},
                               std::pair{TIOCM_RI, msRing}, std::pair{TIOCM_CD, msRLSD}})
        if (bits & bit)
            driver.Include(signal);
    EXPECT_EQ(Port.ModemSignals(), driver);
    // What this machine's adapters hold up.
    EXPECT_EQ(driver, (TModemSignals{msCTS, msDSR, msRLSD}));
}

TEST_P(OnDriver, OutputLinesAndBreakFollowTheEscapeFunctions) {
    struct Row {
        DWORD Function;
        int Line; // 0: nothing to read back
        bool On;
    };
    static constexpr Row rows[] = {
        {SETDTR, TIOCM_DTR, true},  {CLRDTR, TIOCM_DTR, false}, {SETRTS, TIOCM_RTS, true},
        {CLRRTS, TIOCM_RTS, false}, {SETBREAK, 0, true},        {CLRBREAK, 0, false},
        {SETXOFF, 0, true},         {SETXON, 0, false},
    };
    CommApi& api = *Port.GetCommApi();
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "function " << row.Function);
        ASSERT_TRUE(api.EscapeCommFunction(Port.Handle(), row.Function))
            << std::strerror(static_cast<int>(api.GetLastError()));
        if (!row.Line)
            continue;
        int bits = 0;
        ASSERT_EQ(::ioctl(Fd(), TIOCMGET, &bits), 0);
        EXPECT_EQ((bits & row.Line) != 0, row.On);
    }
    // The line works after the break.
    const std::string text = "after break";
    EXPECT_EQ(Port.WriteString(text), static_cast<int32_t>(text.size()));
    EXPECT_EQ(Ask(Verb("recv") + " " + std::to_string(text.size()) + " 30").at(2), Sha256(text));
}

// Context switches of every thread but the calling one.
std::map<QString, long> OtherThreadSwitches() {
    auto all = SwitchesPerThread();
    all.erase(QString::number(::gettid()));
    return all;
}

TEST_P(OnDriver, AnIdlePortWatchingEveryEventWakesNobody) {
    ASSERT_EQ(Port.Events(), AllComEvents);
    // The sync marker's output-drained report is the last thing to settle.
    ASSERT_TRUE(Log.WaitFor("TxEmpty", 30000));
    // Then the threads go back to sleep: no switch for 200 ms.
    auto before = OtherThreadSwitches();
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::this_thread::sleep_for(milliseconds(200));
            return std::exchange(before, OtherThreadSwitches()) == before;
        },
        seconds(30)));
    std::this_thread::sleep_for(seconds(2)); // the span measured, not a wait for anything
    const auto after = OtherThreadSwitches();
    EXPECT_GE(before.size(), 2u); // the backend's I/O thread and the event thread at least
    EXPECT_EQ(before, after);
}

INSTANTIATE_TEST_SUITE_P(Adapters, OnDriver, testing::Values(kUart, kFtdi), AdapterName);

// ------------------------------------------------------------ UART only --

class OnUart : public OnDriver {};

TEST_P(OnUart, AWriteToAStalledPeerEndsAtItsTimeOutWithAShortCount) {
    constexpr int32_t kPiece = 64 * 1024;
    const auto timeout = milliseconds(1500);
    Port.Timeouts()->SetWriteTotalMultiplier(0);
    Port.Timeouts()->SetWriteTotalConstant(static_cast<int32_t>(timeout.count()));
    ASSERT_EQ(Ask(Verb("stall")).at(0), "ok");
    // The host socket takes a few hundred KiB before the UART stops.
    std::mt19937 rng(7);
    std::string all;
    int64_t written = 0;
    Clock::duration took{};
    for (int i = 0; i < 64 && written == static_cast<int64_t>(all.size()); ++i) {
        const std::string piece = RandomBytes(rng, kPiece);
        all += piece;
        const auto start = Clock::now();
        int32_t n = 0;
        ASSERT_NO_THROW(n = Port.WriteString(piece));
        took = Clock::now() - start;
        written += n;
    }
    ASSERT_LT(written, static_cast<int64_t>(all.size())) << "the line never stalled";
    EXPECT_GE(took, timeout);
    EXPECT_LT(took, timeout + seconds(30)); // ended by its time-out, not by the peer
    const auto closing = Clock::now();
    Port.Close();
    const auto closeTook = Clock::now() - closing;
    std::printf(
        "stalled write: %lld of %zu bytes, last write %lld ms, Close %lld ms\n",
        static_cast<long long>(written), all.size(),
        static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()),
        static_cast<long long>(std::chrono::duration_cast<milliseconds>(closeTook).count()));
    // The driver's own closing wait for a stuck line is 30 s.
    EXPECT_LT(closeTook, seconds(10));

    // Every byte reported as written reaches the peer once it reads again.
    ASSERT_EQ(Ask(Verb("resume")).at(0), "ok");
    const int64_t expected = std::max<int64_t>(0, written - kUartFifo);
    const auto reply = Ask(Verb("recv") + " " + std::to_string(expected) + " 120");
    EXPECT_EQ(reply.at(0), "ok") << "got " << reply.at(1) << " of " << written;
    EXPECT_EQ(reply.at(2), Sha256(all.substr(0, static_cast<std::size_t>(expected))));
}

TEST_P(OnUart, RtsToggleWaitsForTheTransmittersLastBit) {
    Port.FlowControl()->SetControlRTS(rtsToggle);
    Port.Timeouts()->SetWriteTotalConstant(1500);
    auto transmitterEmpty = [this] {
        unsigned int lsr = 0;
        return ::ioctl(Fd(), TIOCSERGETLSR, &lsr) == 0 && (lsr & TIOCSER_TEMT);
    };
    ASSERT_EQ(Ask(Verb("stall")).at(0), "ok");
    // Writes until one runs out of time: its rest is dropped from the driver,
    // and the UART keeps what it took, which the stalled line cannot send.
    std::mt19937 rng(11);
    std::string all;
    int64_t written = 0;
    for (int i = 0; i < 64 && written == static_cast<int64_t>(all.size()); ++i) {
        const std::string piece = RandomBytes(rng, 64 * 1024);
        all += piece;
        written += Port.WriteString(piece);
    }
    ASSERT_LT(written, static_cast<int64_t>(all.size())) << "the line never stalled";
    EXPECT_EQ(OutputQueued(Fd()), 0);
    ASSERT_FALSE(transmitterEmpty());
    EXPECT_TRUE(LineOn(TIOCM_RTS)); // the UART's last bytes are still to go

    ASSERT_EQ(Ask(Verb("resume")).at(0), "ok");
    ASSERT_TRUE(WaitUntil([&] { return !LineOn(TIOCM_RTS); }, seconds(30)));
    EXPECT_TRUE(transmitterEmpty());
    // What the write reported as sent arrives, and nothing after it.
    const auto reply = Ask(Verb("recv") + " " + std::to_string(written) + " 120");
    EXPECT_EQ(reply.at(0), "ok") << "got " << reply.at(1) << " of " << written;
    EXPECT_EQ(reply.at(2), Sha256(all.substr(0, static_cast<std::size_t>(written))));
    EXPECT_EQ(Port.WriteString("next"), 4);
    EXPECT_EQ(Ask(Verb("recv") + " 4 30").at(2), Sha256("next"));
}

TEST_P(OnUart, AFrameHeldByXoffIsSentBeforeCloseReturns) {
    Port.FlowControl()->SetXonXoffOut(true);
    HoldOutput();
    const std::string frame("\x80\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x84\x82", 15);
    // The peer lets the line go on (XON) once the frame waits in the driver.
    std::thread peer([this] {
        if (WaitUntil([&] { return OutputQueued(Fd()) >= 15; }, seconds(30)))
            Ask(Verb("sendhex") + " 11");
    });
    const int32_t written = Port.WriteString(frame);
    Port.Close();
    peer.join();
    EXPECT_EQ(written, 15);
    const auto reply = Ask(Verb("recv") + " 15 30");
    EXPECT_EQ(reply.at(0), "ok") << "got " << reply.at(1);
    EXPECT_EQ(reply.at(2), Sha256(frame));
    EXPECT_TRUE(Log.Contains("TxEmpty"));
}

TEST_P(OnUart, OutputPurgedWhileHeldNeverGoesOutAndCountsAsUnsent) {
    Port.FlowControl()->SetXonXoffOut(true);
    HoldOutput();
    PAsync async = nullptr;
    NewAsyncRecord(async);
    Port.BeginWriteString("purged", async);
    ASSERT_TRUE(WaitUntil([&] { return OutputQueued(Fd()) >= 6; }, seconds(30)));
    EXPECT_TRUE(Port.GetCommApi()->PurgeComm(Port.Handle(), PURGE_TXCLEAR));
    EXPECT_EQ(Port.AwaitCompletion(async), 0);
    FreeAsyncRecord(async);
    ASSERT_EQ(Ask(Verb("sendhex") + " 11").at(0), "ok");
    // The next bytes the peer sees are the ones written after the purge.
    EXPECT_EQ(Port.WriteString("after"), 5);
    EXPECT_EQ(Ask(Verb("recv") + " 5 30").at(2), Sha256("after"));
}

TEST_P(OnUart, RtsToggleRaisesRtsWhileBytesAreGoingOut) {
    Port.FlowControl()->SetXonXoffOut(true);
    Port.FlowControl()->SetControlRTS(rtsToggle);
    EXPECT_FALSE(LineOn(TIOCM_RTS));
    HoldOutput();
    PAsync async = nullptr;
    NewAsyncRecord(async);
    Port.BeginWriteString("toggle", async);
    EXPECT_TRUE(LineOn(TIOCM_RTS));
    ASSERT_EQ(Ask(Verb("sendhex") + " 11").at(0), "ok");
    EXPECT_EQ(Port.AwaitCompletion(async), 6);
    FreeAsyncRecord(async);
    ASSERT_TRUE(Log.WaitFor("TxEmpty", 30000));
    EXPECT_FALSE(LineOn(TIOCM_RTS));
    EXPECT_EQ(Ask(Verb("recv") + " 6 30").at(2), Sha256("toggle"));
}

TEST_P(OnUart, TheDtrHandshakeHoldsThePeerWhileTheInputQueueIsFull) {
    Port.Buffer()->SetInputSize(1024); // DTR drops at 768 bytes queued, rises below 256
    Port.FlowControl()->SetControlDTR(dtrHandshake);
    EXPECT_TRUE(LineOn(TIOCM_DTR));
    const auto reply = Ask(Verb("send") + " 1024");
    ASSERT_TRUE(WaitUntil([&] { return !LineOn(TIOCM_DTR); }, seconds(30)));
    EXPECT_EQ(Sha256(ReadExactly(1024)), reply.at(1));
    EXPECT_TRUE(LineOn(TIOCM_DTR));
}

TEST_P(OnUart, ABreakFromThePeerRaisesOnBreakAndCeBreak) {
    ASSERT_EQ(Ask(Verb("break")).at(0), "ok");
    ASSERT_TRUE(Log.WaitFor("Break", 30000)) << testing::PrintToString(Log.Get());
    EXPECT_TRUE(Port.LineErrors().Contains(ceBreak));
    EXPECT_EQ(Port.InputQueueLength(), 0); // a break is no byte
}

INSTANTIATE_TEST_SUITE_P(Adapters, OnUart, testing::Values(kUart), AdapterName);

// ------------------------------------------------------------- port list --

TEST(PortList, ListsTheMachinesSerialDevicesAndNoPhantomUarts) {
    // The 8250 driver registers ttyS2 and ttyS3 without a UART behind them.
    ASSERT_TRUE(QFile::exists(QStringLiteral("/sys/class/tty/ttyS3")));
    EXPECT_EQ(Ports(), (QStringList{"ttyS0", "ttyS1", "ttyUSB0"}));
}

// ----------------------------------------------------------------- unplug --

// Runs last: the parametrised suites run after the plain tests, in the order
// they are defined.
class Unplug : public testing::TestWithParam<Adapter> {};

TEST_P(Unplug, AnAdapterPulledMidSessionFailsCleanlyAndWorksAgainWhenBack) {
    // Threads of earlier tests leave the task list shortly after their join.
    const int tasks = 1;
    ASSERT_TRUE(WaitUntil([] { return TaskCount() == tasks; }, seconds(30))) << Threads();
    {
        TComPort port;
        port.SetPort(QStringLiteral("ttyUSB0"));
        port.Open();
        ASSERT_EQ(port.WriteString("before"), 6);
        ASSERT_EQ(Ask("recv ttyUSB0 6 30").at(0), "ok");

        ASSERT_EQ(Ask("unplug").at(0), "ok");
        ASSERT_TRUE(WaitUntil([] { return !Ports().contains("ttyUSB0"); }, seconds(60)));
        try {
            port.WriteString("lost");
            ADD_FAILURE() << "a write to the unplugged adapter succeeded";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode(), CError_WriteFailed);
            EXPECT_EQ(e.WinErrorCode(), EIO);
            EXPECT_EQ(e.Message(), QStringLiteral("WriteFile function failed (win error code: 5)"));
        }
        char byte;
        EXPECT_EQ(ErrorOf([&] { port.ReadBytes(&byte, 1); }), Codes(CError_ReadFailed, EIO));
        // The event thread and the modem-line waiter end; the I/O thread
        // stays until Close.
        EXPECT_TRUE(WaitUntil([&] { return TaskCount() == tasks + 1; }, seconds(30))) << Threads();
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        std::this_thread::sleep_for(seconds(2)); // the span measured
        ::getrusage(RUSAGE_SELF, &after);
        auto us = [](const rusage& r) {
            return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec +
                   r.ru_stime.tv_usec;
        };
        EXPECT_LT(us(after) - us(before), 10000) << "CPU time in microseconds";
        EXPECT_NO_THROW(port.Close());
    }
    EXPECT_TRUE(WaitUntil([&] { return TaskCount() == tasks; }, seconds(30)));
    EXPECT_FALSE(Ports().contains("ttyUSB0"));

    ASSERT_EQ(Ask("replug").at(0), "ok");
    ASSERT_TRUE(WaitUntil(
        [] { return Ports().contains("ttyUSB0") && QFile::exists("/dev/ttyUSB0"); }, seconds(60)));
    TComPort port;
    port.SetPort(QStringLiteral("ttyUSB0"));
    port.Timeouts()->SetReadInterval(0);
    port.Timeouts()->SetReadTotalConstant(30000);
    ASSERT_NO_THROW(port.Open());
    EXPECT_EQ(port.WriteString("after"), 5);
    EXPECT_EQ(Ask("recv ttyUSB0 5 30").at(2), Sha256("after"));
    const auto reply = Ask("send ttyUSB0 15");
    std::string got(15, '\0');
    EXPECT_EQ(port.ReadBytes(got.data(), 15), 15);
    EXPECT_EQ(Sha256(got), reply.at(1));
}

INSTANTIATE_TEST_SUITE_P(Adapters, Unplug, testing::Values(kFtdi), AdapterName);

} // namespace
