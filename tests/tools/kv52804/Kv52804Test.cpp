// The real kv52804 against the real kv52804-sim, each run in a private port
// directory and a fake sysfs tree. Expected frames are written out by hand
// from the character table: 14 blank, 15 minus, 0B..13 digits with a point,
// 1D degree, 1E O, 1F C, 20 E, 22 H, 23 L; frame digits d1..d12 stand on
// the module in the order 9-12, 5-8, 1-4.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTime>
#include <gtest/gtest.h>

#include <map>
#include <memory>

namespace {

constexpr int Deadline = 20000; // ms; only a hang waits this long

struct TRun {
    int Status;
    QString Out, Err;
};

class Kv52804 : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Temp.isValid());
        ASSERT_TRUE(QDir().mkpath(Temp.filePath("sys/class/tty")));
        Env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"KV52804_PORT", "LC_ALL", "LC_MESSAGES"})
            Env.remove(name);
        Env.insert("LANG", "C.UTF-8");
        Env.insert("KV_SERIALCOMM_DIR", Temp.filePath("ports"));
        Env.insert("KV_SYSFS_ROOT", Temp.filePath("sys"));
    }
    void TearDown() override {
        for (auto& [name, sim] : Sims) {
            sim->terminate();
            sim->waitForFinished(Deadline);
        }
    }

    // A simulator publishing NAME, started and ready.
    QProcess& StartSim(const QString& name = "SIM") {
        auto& sim = Sims[name];
        sim = std::make_unique<QProcess>();
        sim->setProcessEnvironment(Env);
        sim->start(KV52804_SIM, {"--headless", "--log", "--name", name});
        while (!sim->canReadLine() && sim->waitForReadyRead(Deadline)) {
        }
        EXPECT_TRUE(sim->readLine().startsWith("ready: ")) << name.toStdString();
        return *sim;
    }

    // The next bytes the simulator logs, waited for until there are count of
    // them, in hexadecimal.
    QString Received(const QString& name, int count) {
        QProcess& sim = *Sims.at(name);
        QStringList bytes;
        while (bytes.size() < count) {
            if (!sim.canReadLine() && !sim.waitForReadyRead(Deadline))
                break;
            while (bytes.size() < count && sim.canReadLine())
                bytes += QString::fromLatin1(sim.readLine()).section("  ", 0, 0).split(' ');
        }
        return bytes.join(' ');
    }

    TRun Run(const QStringList& args, const QByteArray& input = {}) {
        QProcess tool;
        tool.setProcessEnvironment(Env);
        tool.start(KV52804_TOOL, args);
        if (!input.isEmpty()) {
            tool.write(input);
            tool.waitForBytesWritten(Deadline);
        }
        tool.closeWriteChannel();
        if (!tool.waitForFinished(Deadline)) {
            tool.kill();
            tool.waitForFinished();
            ADD_FAILURE() << "kv52804 did not end: " << args.join(' ').toStdString();
        }
        return {tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1,
                QString::fromUtf8(tool.readAllStandardOutput()),
                QString::fromUtf8(tool.readAllStandardError())};
    }

    QTemporaryDir Temp;
    QProcessEnvironment Env;
    std::map<QString, std::unique_ptr<QProcess>> Sims;
};

// The simulator is the only port, so none of these names one.
TEST_F(Kv52804, CommandsSendExactlyTheirFrames) {
    StartSim();
    const std::pair<QStringList, const char*> rows[] = {
        {{"text", "HELLO 12.5"}, "80 14 01 0C 05 20 23 23 1E 14 14 14 22 84 82"},
        {{"--left", "text", "-1.5\u00B0C"}, "80 14 14 14 14 1F 14 14 14 15 0B 05 1D 84 82"},
        {{"codes", "0", "1", "$FF", "x10", "0x1f", "128", "130", "131", "132", "20", "21", "7"},
         "80 00 01 FF 10 1F 80 82 83 84 14 15 07 84 82"},
        {{"on"}, "82"},
        {{"off"}, "83"},
    };
    for (const auto& [args, frame] : rows) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const TRun run = Run(args);
        EXPECT_EQ(run.Status, 0) << run.Err.toStdString();
        EXPECT_EQ(Received("SIM", int(QString(frame).count(' ') + 1)), frame);
    }
}

TEST_F(Kv52804, EachLineOfAStreamReplacesTheDisplayAndABadLineIsSkipped) {
    StartSim();
    const TRun run = Run({"text", "-"}, "1\n\u00B0C\r\nbad X\n-12.5");
    EXPECT_EQ(run.Status, 2);
    EXPECT_EQ(run.Err, "kv52804: line 3: 'a' (character 2) cannot be shown on the display\n");
    EXPECT_EQ(Received("SIM", 45), "80 14 14 14 01 14 14 14 14 14 14 14 14 84 82 "
                                   "80 14 14 1D 1F 14 14 14 14 14 14 14 14 84 82 "
                                   "80 15 01 0C 05 14 14 14 14 14 14 14 14 84 82");
}

// Every error ends the run with its message and status, and sends nothing:
// the "off" sent afterwards is the first thing the module receives.
TEST_F(Kv52804, BadInputAndUnusablePortsSendNothing) {
    StartSim();
    struct Row {
        QStringList args;
        int status;
        const char* message;
        const char* language = "C.UTF-8";
    };
    const Row rows[] = {
        {{"text", "HALLO"}, 2, "kv52804: 'A' (character 2) cannot be shown on the display\n"},
        {{"text", "HALLO"},
         2,
         "kv52804: 'A' (znak 2) nie może zostać wyświetlony\n",
         "pl_PL.UTF-8"},
        {{"text", "1234567890123"},
         2,
         "kv52804: Text too long for twelve digits: '3' (character 13) does not fit\n"},
        {{"codes", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "1a"},
         2,
         "kv52804: '1a' is not a valid integer value\n"},
        {{"codes", "1", "2"}, 2, "kv52804: Command codes takes 12 argument(s), not 2\n"},
        {{"--baud", "9601", "on"}, 2, "kv52804: Invalid value '9601' for --baud"},
        {{"blink"}, 2, "kv52804: Unknown command blink\nTry 'kv52804 --help'.\n"},
        {{"--port", "NOPE", "on"}, 1, "kv52804: Unable to open com port (win error code: 2)\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        Env.insert("LANG", row.language);
        const TRun run = Run(row.args);
        EXPECT_EQ(run.Status, row.status);
        EXPECT_TRUE(run.Err.startsWith(QString::fromUtf8(row.message))) << run.Err.toStdString();
    }
    Env.insert("LANG", "C.UTF-8");
    ASSERT_EQ(Run({"off"}).Status, 0);
    EXPECT_EQ(Received("SIM", 1), "83");
}

// A fake USB adapter beside the simulator: the list names both, and with
// two ports the tool must be told which one.
TEST_F(Kv52804, ListsThePortsAndAsksForAChoiceAmongSeveral) {
    const QString sys = Temp.filePath("sys");
    const QString usb = sys + "/devices/usb1/1-2";
    ASSERT_TRUE(QDir().mkpath(usb + "/1-2:1.0/ttyUSB0/tty/ttyUSB0"));
    for (const auto& [file, text] : {std::pair{"idVendor", "0403"},
                                     {"idProduct", "6001"},
                                     {"manufacturer", "FTDI"},
                                     {"product", "FT232R USB UART"}}) {
        QFile attribute(usb + '/' + file);
        ASSERT_TRUE(attribute.open(QIODevice::WriteOnly));
        attribute.write(QByteArray(text) + '\n');
    }
    ASSERT_TRUE(QFile::link("../../../ttyUSB0", usb + "/1-2:1.0/ttyUSB0/tty/ttyUSB0/device"));
    ASSERT_TRUE(QFile::link("../../devices/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0",
                            sys + "/class/tty/ttyUSB0"));
    StartSim("KV52804-SIM");

    const TRun list = Run({"list"});
    EXPECT_EQ(list.Status, 0);
    EXPECT_EQ(list.Out,
              "KV52804-SIM\tvirtual display\nttyUSB0\tFTDI FT232R USB UART (0403:6001)\n");

    const TRun ambiguous = Run({"on"});
    EXPECT_EQ(ambiguous.Status, 1);
    EXPECT_EQ(ambiguous.Err, "kv52804: Several ports found (KV52804-SIM, ttyUSB0); choose one "
                             "with --port or KV52804_PORT\n");
    Env.insert("KV52804_PORT", "KV52804-SIM");
    EXPECT_EQ(Run({"on"}).Status, 0);
    EXPECT_EQ(Received("KV52804-SIM", 1), "82");
}

TEST_F(Kv52804, WithoutAnyPortOnlyADryRunWorks) {
    const TRun run = Run({"on"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Err, "kv52804: No serial port found; connect the module, start kv52804-sim or "
                       "name a port with --port\n");
    const TRun dry = Run({"--dry-run", "text", "1"});
    EXPECT_EQ(dry.Status, 0);
    EXPECT_EQ(dry.Out, "80 14 14 14 01 14 14 14 14 14 14 14 14 84 82\n");
}

TEST_F(Kv52804, StreamEndsWithThePortsErrorWhenTheModuleGoesAway) {
    StartSim();
    QProcess tool;
    tool.setProcessEnvironment(Env);
    tool.start(KV52804_TOOL, {"text", "-"});
    tool.write("1\n");
    ASSERT_TRUE(tool.waitForBytesWritten(Deadline));
    EXPECT_EQ(Received("SIM", 15), "80 14 14 14 01 14 14 14 14 14 14 14 14 84 82");
    Sims["SIM"]->terminate();
    ASSERT_TRUE(Sims["SIM"]->waitForFinished(Deadline));
    tool.write("2\n"); // the input goes on; the line has hung up
    tool.waitForBytesWritten(Deadline);
    ASSERT_TRUE(tool.waitForFinished(Deadline)) << "kv52804 hangs";
    EXPECT_EQ(tool.exitCode(), 1);
    EXPECT_EQ(tool.readAllStandardError(),
              "kv52804: WriteFile function failed (win error code: 5)\n");
}

// The time as HH.MM.SS, centred: digit tens of hours at position 4 (d12),
// then d5 (with point), d6, d7 (with point), d8, d1.
TEST_F(Kv52804, ClockShowsTheCurrentSecondUntilStopped) {
    StartSim();
    QProcess tool;
    tool.setProcessEnvironment(Env);
    const QTime start = QTime::currentTime();
    tool.start(KV52804_TOOL, {"clock"});
    QStringList frames;
    for (int i = 0; i < 3; ++i)
        frames += Received("SIM", 15);
    const QTime end = QTime::currentTime();
    tool.terminate();
    ASSERT_TRUE(tool.waitForFinished(Deadline));
    EXPECT_EQ(tool.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(tool.exitCode(), 0);

    int previous = -1;
    for (const QString& frame : frames) {
        SCOPED_TRACE(frame.toStdString());
        const QStringList b = frame.split(' '); // b[i] is d<i>, b[0] 80
        ASSERT_EQ(b.size(), 15);
        EXPECT_EQ(QStringList({b[0], b[2], b[3], b[4], b[9], b[10], b[11], b[13], b[14]}),
                  QStringList({"80", "14", "14", "14", "14", "14", "14", "84", "82"}));
        const auto digit = [&](int i, bool point) {
            return b[i].toInt(nullptr, 16) - (point ? 10 : 0);
        };
        const QTime shown(digit(12, false) * 10 + digit(5, true),
                          digit(6, false) * 10 + digit(7, true),
                          digit(8, false) * 10 + digit(1, false));
        ASSERT_TRUE(shown.isValid());
        const int second = shown.msecsSinceStartOfDay() / 1000;
        // Within the run (a run across midnight is let through).
        if (start <= end) {
            EXPECT_TRUE(second >= start.msecsSinceStartOfDay() / 1000 &&
                        second <= end.msecsSinceStartOfDay() / 1000);
        }
        EXPECT_NE(second, previous);
        previous = second;
    }
}

} // namespace
