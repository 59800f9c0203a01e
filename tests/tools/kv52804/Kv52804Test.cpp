// The real kv52804 against the real kv52804-sim, each run in a private port
// directory and a fake sysfs tree. Expected frames are written out by hand
// from the character table: 14 blank, 15 minus, 0B..13 digits with a point,
// 1D degree, 1E O, 1F C, 20 E, 22 H, 23 L; frame digits d1..d12 stand on
// the module in the order 9-12, 5-8, 1-4.
#include "NetServers.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTime>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Deadline = 20000; // ms; only a hang waits this long

struct TRun {
    int Status;
    QString Out, Err;
};

// What stands on the tool's standard input or output instead of a pipe.
enum class TStream { Pipe, ClosedInput, DirectoryInput, ClosedOutput, FullOutput };

// Waits until done() holds; false when the deadline passes first.
template <typename F> bool WaitUntil(F done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.hasExpired(Deadline))
            return false;
        QThread::msleep(10);
    }
    return true;
}

// The descriptor through which process pid holds path open, or -1.
int FdOf(qint64 pid, const QString& path) {
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QFileInfo& fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot))
        if (fd.symLinkTarget() == path)
            return fd.fileName().toInt();
    return -1;
}

// A copy of that descriptor in this process, or -1.
int StealFd(qint64 pid, const QString& path) {
    const int process = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
    const int copy = int(::syscall(SYS_pidfd_getfd, process, FdOf(pid, path), 0));
    ::close(process);
    return copy;
}

class Kv52804 : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Temp.isValid());
        ASSERT_TRUE(QDir().mkpath(Temp.filePath("sys/class/tty")));
        Env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"KV52804_PORT", "LC_ALL", "LC_MESSAGES", "LANGUAGE"})
            Env.remove(name);
        Env.insert("LANG", "C.UTF-8");
        Env.insert("KV_SERIALCOMM_DIR", Temp.filePath("ports"));
        Env.insert("KV_SYSFS_ROOT", Temp.filePath("sys"));
        Env.insert("XDG_CONFIG_HOME", Temp.filePath("config"));
    }
    // A file of the user's configuration directory; returns its name.
    QString WriteConfigFile(const char* name, const QByteArray& text) {
        const QString file = Temp.filePath("config/kv52804/") + name;
        QDir().mkpath(Temp.filePath("config/kv52804"));
        QFile config(file);
        EXPECT_TRUE(config.open(QIODevice::WriteOnly));
        config.write(text);
        return file;
    }
    // The named network ports; returns the file's name.
    QString WritePortsFile(const QByteArray& text) { return WriteConfigFile("ports", text); }
    void TearDown() override {
        for (auto& [name, sim] : Sims) {
            sim->terminate();
            sim->waitForFinished(Deadline);
        }
    }

    // A simulator publishing NAME, started and ready; its pseudo-terminal.
    QString StartSim(const QString& name = "SIM") {
        auto& sim = Sims[name];
        sim = std::make_unique<QProcess>();
        sim->setProcessEnvironment(Env);
        sim->start(KV52804_SIM, {"--headless", "--log", "--name", name});
        while (!sim->canReadLine() && sim->waitForReadyRead(Deadline)) {
        }
        const QString ready = QString::fromUtf8(sim->readLine()).trimmed();
        EXPECT_TRUE(ready.startsWith("ready: ")) << name.toStdString();
        return ready.section(" -> ", 1);
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

    TRun Run(const QStringList& args, const QByteArray& input = {},
             TStream stream = TStream::Pipe) {
        QProcess tool;
        tool.setProcessEnvironment(Env);
        if (stream == TStream::DirectoryInput)
            tool.setStandardInputFile("/");
        if (stream == TStream::FullOutput)
            tool.setStandardOutputFile("/dev/full");
        tool.setChildProcessModifier([stream] {
            if (stream == TStream::ClosedInput || stream == TStream::ClosedOutput)
                ::close(stream == TStream::ClosedInput ? 0 : 1);
        });
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
        // Blanks around a code, before or after it, do not count.
        {{"codes", " 0", "1 ", "$FF", "x10", "0x1f", "128", "130", "131", "132", "20", "21",
          "\t7\t"},
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
    const TRun run = Run({"text", "-"}, "1\n\u00B0C\r\nbad X\n1\xB0\n-12.5");
    EXPECT_EQ(run.Status, 2);
    EXPECT_EQ(run.Err, "kv52804: line 3: 'a' (character 2) cannot be shown on the display\n"
                       "kv52804: line 4: '\\xB0' (character 2) cannot be shown on the display\n");
    EXPECT_EQ(Received("SIM", 45), "80 14 14 14 01 14 14 14 14 14 14 14 14 84 82 "
                                   "80 14 14 1D 1F 14 14 14 14 14 14 14 14 84 82 "
                                   "80 15 01 0C 05 14 14 14 14 14 14 14 14 84 82");
}

// Every error ends the run with its message and status, and sends nothing:
// the "off" sent afterwards is the first thing the module receives. Bad
// input (2) is found before the port opens; the port and the output fail
// with 1.
TEST_F(Kv52804, BadInputAndUnusablePortsAndOutputsSendNothing) {
    StartSim();
    const QString here = QDir::currentPath();
    struct Row {
        QStringList args;
        int status;
        QString message;
        QStringList env = {}; // NAME=VALUE, on top of LANG=C.UTF-8
        TStream stream = TStream::Pipe;
        QByteArray defaults = {}; // the defaults file's lines under [ComPort]
        QByteArray ports = {};    // the ports file
        mode_t portsMode = 0600;
        mode_t defaultsMode = 0600;
        void (*prepare)(const QString& defaultsFile) = nullptr; // after the files are written
    };
    const QString defaultsFile = Temp.filePath("config/kv52804/kv52804.ini");
    const QString portsFile = Temp.filePath("config/kv52804/ports");
    const QString notUrl = "' is not rfc2217://HOST:PORT or socket://HOST:PORT\n";
    const Row rows[] = {
        {{"text", "HALLO"}, 2, "kv52804: 'A' (character 2) cannot be shown on the display\n"},
        {{"text", "HALLO"},
         2,
         "kv52804: 'A' (znak 2) nie może zostać wyświetlony\n",
         {"LANG=pl_PL.UTF-8"}},
        // As gettext programs: the C locale wins over LANG; LANGUAGE over LANG.
        {{"text", "HALLO"},
         2,
         "kv52804: 'A' (character 2) cannot be shown on the display\n",
         {"LANG=pl_PL.UTF-8", "LC_ALL=C", "LANGUAGE=pl"}},
        {{"text", "HALLO"},
         2,
         "kv52804: 'A' (znak 2) nie może zostać wyświetlony\n",
         {"LC_MESSAGES=en_GB.UTF-8", "LANGUAGE=de:pl"}},
        {{"text", "1234567890123"},
         2,
         "kv52804: Text too long for twelve digits: '3' (character 13) does not fit\n"},
        {{"codes", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "1a"},
         2,
         "kv52804: code 12: '1a' is not a valid integer value\n"},
        {{"codes", "0", "256", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"},
         2,
         "kv52804: code 2: '256' is not in 0..255\n"},
        // Out of range however far, also past what the conversion takes.
        {{"codes", "0", "1", "4294967297", "4", "5", "6", "7", "8", "9", "10", "11", "12"},
         2,
         "kv52804: code 3: '4294967297' is not in 0..255\n"},
        // What cannot be seen is named, a no-break space too.
        {{"codes", "1\u00A0", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"},
         2,
         "kv52804: code 1: '1<U+00A0>' is not a valid integer value\n"},
        {{"--left", "codes", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"},
         2,
         "kv52804: Option --left does not go with codes: they are sent as given\nTry"},
        {{"codes", "1", "2"}, 2, "kv52804: Command codes takes 12 argument(s), not 2\n"},
        {{"--baud", "9601", "on"}, 2, "kv52804: Invalid value '9601' for --baud"},
        {{"--stop-bits", "1.5", "on"}, 2, "kv52804: --stop-bits 1.5 needs --data-bits 5\n"},
        {{"--data-bits", "5", "--stop-bits", "2", "on"},
         2,
         "kv52804: --stop-bits 2 needs --data-bits 6, 7 or 8\n"},
        {{"blink"}, 2, "kv52804: Unknown command blink\nTry 'kv52804 --help'.\n"},
        {{"-x", "on"}, 2, "kv52804: Unknown option -x\nTry 'kv52804 --help'.\n"},
        {{"text", "HELLO", "-l"}, 2, "kv52804: Unknown option -l\n"},
        {{"text", "-"},
         2,
         "kv52804: standard input: Bad file descriptor\n",
         {},
         TStream::ClosedInput},
        {{"text", "-"},
         2,
         "kv52804: standard input: Is a directory\n",
         {},
         TStream::DirectoryInput},
        {{"--port", "NOPE", "on"},
         1,
         "kv52804: /dev/NOPE: No such file or directory (Unable to open com port, win error "
         "code: 2)\n"},
        {{"--port", "/dev/null", "on"},
         1,
         "kv52804: /dev/null: Inappropriate ioctl for device (Unable to open com port, win "
         "error code: 25)\n"},
        {{"--port", "no/port", "on"},
         1,
         "kv52804: " + here +
             "/no/port: No such file or directory (Unable to open com port, "
             "win error code: 2)\n"},
        {{"list"}, 1, "kv52804: write error: Bad file descriptor\n", {}, TStream::ClosedOutput},
        {{"--dry-run", "on"},
         1,
         "kv52804: write error: No space left on device\n",
         {},
         TStream::FullOutput},
        {{"-h"}, 1, "kv52804: write error: No space left on device\n", {}, TStream::FullOutput},
        // The defaults file is read before the port is opened; options win over it.
        {{"on"},
         2,
         "kv52804: " + defaultsFile + ": Parity.Check = 'maybe' is not one of Yes, No\n",
         {},
         TStream::Pipe,
         "BaudRate=19200\nParity.Check=maybe\n"},
        // A clash names where each setting came from.
        {{"on"},
         2,
         "kv52804: " + defaultsFile + ": StopBits=2 needs DataBits 6, 7 or 8\n",
         {},
         TStream::Pipe,
         "StopBits=2\nDataBits=5\n"},
        {{"--data-bits", "5", "on"},
         2,
         "kv52804: --data-bits 5 does not go with StopBits=2 of " + defaultsFile + "\n",
         {},
         TStream::Pipe,
         "StopBits=2\n"},
        {{"--stop-bits", "1.5", "on"},
         2,
         "kv52804: --stop-bits 1.5 needs --data-bits 5; " + defaultsFile + " has DataBits=7\n",
         {},
         TStream::Pipe,
         "DataBits=7\n"},
        // The defaults file follows the ports file's rule; read errors say why.
        {{"on"},
         2,
         "kv52804: " + defaultsFile + ": not trusted: other users may write to it\n",
         {},
         TStream::Pipe,
         "BaudRate=19200\n",
         {},
         0600,
         0622},
        {{"on"},
         2,
         "kv52804: " + defaultsFile + ": not trusted: its directory " +
             QFileInfo(defaultsFile).path() + ": other users may write to it\n",
         {},
         TStream::Pipe,
         "BaudRate=19200\n",
         {},
         0600,
         0600,
         [](const QString& file) {
             ::chmod(QFile::encodeName(QFileInfo(file).path()).constData(), 0777);
         }},
        {{"on"},
         2,
         "kv52804: " + defaultsFile + ": not trusted: it is a symbolic link\n",
         {},
         TStream::Pipe,
         "BaudRate=19200\n",
         {},
         0600,
         0600,
         [](const QString& file) {
             QFile::rename(file, file + ".real");
             QFile::link(QFileInfo(file).fileName() + ".real", file);
         }},
        {{"on"},
         2,
         "kv52804: /dev/null/kv52804/kv52804.ini: cannot be read: Not a directory\n",
         {"XDG_CONFIG_HOME=/dev/null"}},
        {{"on"},
         2,
         "kv52804: " + defaultsFile + ": cannot be read: Permission denied\n",
         {},
         TStream::Pipe,
         "BaudRate=19200\n",
         {},
         0600,
         0000},
        {{"--port", "OPTION", "on"},
         1,
         "kv52804: /dev/OPTION: No such file",
         {},
         TStream::Pipe,
         "Port=FILE\n"},
        // A name the ports file was meant to give, but whose lines were
        // skipped, is tried in /dev only after their warnings.
        {{"--port", "far", "on"},
         1,
         "kv52804: warning: " + portsFile + ":2: 'rfc2217://127.0.0.1:02217" + notUrl +
             "kv52804: warning: " + portsFile +
             ":4: 'far' has no URL after it\n"
             "kv52804: /dev/far: No such file",
         {},
         TStream::Pipe,
         {},
         "near\nfar rfc2217://127.0.0.1:02217\nfarther socket://h:0\nfar\n"},
        {{"on"},
         1,
         "kv52804: warning: " + portsFile + ":1: 'rfc2217://[fe80::1%lo]:2217" + notUrl +
             "kv52804: /dev/lo6: No such file",
         {"KV52804_PORT=lo6"},
         TStream::Pipe,
         {},
         "lo6 rfc2217://[fe80::1%lo]:2217\n"},
        // A file that is not read at all is worth a word only when /dev
        // has no such name either.
        {{"--port", "NOPE", "on"},
         1,
         "kv52804: warning: the ports file " + portsFile +
             " is not used: other users may write to it\n"
             "kv52804: /dev/NOPE: No such file",
         {},
         TStream::Pipe,
         {},
         "NOPE socket://h:1\n",
         0622},
        {{"--port", "null", "on"},
         1,
         "kv52804: /dev/null: Inappropriate ioctl",
         {},
         TStream::Pipe,
         {},
         "null socket://h:1\n",
         0622},
    };
    const QProcessEnvironment base = Env;
    const QString configDir = QFileInfo(defaultsFile).path();
    for (const Row& row : rows) {
        SCOPED_TRACE((row.args.join(' ') + ' ' + row.env.join(' ')).toStdString());
        // Root reads whatever the mode says.
        if ((row.defaultsMode & 0400) == 0 && ::geteuid() == 0)
            continue;
        Env = base;
        for (const QString& setting : row.env)
            Env.insert(setting.section('=', 0, 0), setting.section('=', 1));
        ::chmod(QFile::encodeName(configDir).constData(), 0700);
        QFile::remove(defaultsFile);
        QFile::remove(defaultsFile + ".real");
        if (!row.defaults.isEmpty()) {
            const QString file = WriteConfigFile("kv52804.ini", "[ComPort]\n" + row.defaults);
            ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), row.defaultsMode), 0);
        }
        QFile::remove(portsFile);
        if (!row.ports.isEmpty()) {
            const QString file = WritePortsFile(row.ports);
            ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), row.portsMode), 0);
        }
        if (row.prepare)
            row.prepare(defaultsFile);
        const TRun run = Run(row.args, {}, row.stream);
        EXPECT_EQ(run.Status, row.status);
        EXPECT_TRUE(run.Err.startsWith(row.message)) << run.Err.toStdString();
    }
    Env = base;
    ::chmod(QFile::encodeName(configDir).constData(), 0700);
    QFile::remove(defaultsFile);
    QFile::remove(portsFile);
    ASSERT_EQ(Run({"off"}).Status, 0);
    EXPECT_EQ(Received("SIM", 1), "83");
}

// In every language, and for the simulator too.
TEST_F(Kv52804, HelpGoesToStandardOutputWithinEightyColumns) {
    for (const char* language : {"C.UTF-8", "pl_PL.UTF-8"}) {
        SCOPED_TRACE(language);
        Env.insert("LANG", language);
        const TRun run = Run({"--help"});
        EXPECT_EQ(run.Status, 0);
        EXPECT_TRUE(run.Err.isEmpty());
        for (const QString& line : run.Out.split('\n'))
            EXPECT_LE(line.size(), 80) << line.toStdString();
    }
    QProcess sim;
    sim.start(KV52804_SIM, {"--help"});
    ASSERT_TRUE(sim.waitForFinished(Deadline));
    EXPECT_EQ(sim.exitCode(), 0);
    EXPECT_TRUE(sim.readAllStandardOutput().startsWith("usage: kv52804-sim"));
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
                             "with --port, KV52804_PORT or Port= in " +
                                 Temp.filePath("config/kv52804/kv52804.ini") + "\n");
    // Or the defaults file names it.
    WriteConfigFile("kv52804.ini", "[ComPort]\nPort=KV52804-SIM\nBaudRate=19200\n");
    EXPECT_EQ(Run({"off"}).Status, 0);
    EXPECT_EQ(Received("KV52804-SIM", 1), "83");
    Env.insert("KV52804_PORT", "KV52804-SIM");
    EXPECT_EQ(Run({"on"}).Status, 0);
    EXPECT_EQ(Received("KV52804-SIM", 1), "82");

    // A port directory others may write to is left out, said so, and the
    // hardware is still listed.
    const QString ports = Temp.filePath("ports");
    ASSERT_EQ(::chmod(QFile::encodeName(ports).constData(), 0777), 0);
    const TRun unsafe = Run({"list"});
    EXPECT_EQ(unsafe.Status, 0);
    EXPECT_EQ(unsafe.Out, "ttyUSB0\tFTDI FT232R USB UART (0403:6001)\n");
    EXPECT_EQ(unsafe.Err, "kv52804: warning: the port directory " + ports +
                              " is not used: other users may write to it\n");
}

// A machine whose serial console is its only UART: the console is listed as
// such, and the tool takes it only when it is named.
TEST_F(Kv52804, TheKernelsConsoleIsListedButNeverChosenUnasked) {
    const QString tty = Temp.filePath("sys/class/tty");
    ASSERT_TRUE(QDir().mkpath(tty + "/ttyS0/device"));
    ASSERT_TRUE(QDir().mkpath(tty + "/console"));
    QFile active(tty + "/console/active");
    ASSERT_TRUE(active.open(QIODevice::WriteOnly));
    active.write("tty0 ttyS0\n");
    active.close();

    const TRun list = Run({"list"});
    EXPECT_EQ(list.Status, 0);
    EXPECT_EQ(list.Out, "ttyS0\tsystem console\n");
    const TRun alone = Run({"text", "1"});
    EXPECT_EQ(alone.Status, 1);
    EXPECT_EQ(alone.Err, "kv52804: No serial port found besides the system console (ttyS0); "
                         "connect the module, start kv52804-sim or name a port with --port\n");
    // Beside a module's port the console is no second choice.
    StartSim();
    EXPECT_EQ(Run({"text", "1"}).Status, 0);
    EXPECT_EQ(Received("SIM", 15), "80 14 14 14 01 14 14 14 14 14 14 14 14 84 82");
}

// The system's reasons in the language of the rest of the message, also
// when LANGUAGE lists a language the system has but the tool has not.
TEST_F(Kv52804, SystemReasonsSpeakTheMessageLanguage) {
    if (!QFileInfo::exists("/usr/share/locale/pl/LC_MESSAGES/libc.mo"))
        GTEST_SKIP() << "the C library's Polish texts are not installed (Debian: libc-l10n)";
    StartSim();
    const std::pair<QStringList, QString> rows[] = {
        {{"LANG=pl_PL.UTF-8"},
         "kv52804: /dev/NOPE: Nie ma takiego pliku ani katalogu (Nie można otworzyć portu "
         "szeregowego, kod błędu systemu: 2)\n"},
        {{"LC_MESSAGES=en_GB.UTF-8", "LANGUAGE=de:pl"},
         "kv52804: /dev/NOPE: Nie ma takiego pliku ani katalogu (Nie można otworzyć portu "
         "szeregowego, kod błędu systemu: 2)\n"},
        {{"LANG=pl_PL.UTF-8", "LC_ALL=C", "LANGUAGE=pl"},
         "kv52804: /dev/NOPE: No such file or directory (Unable to open com port, win error "
         "code: 2)\n"},
    };
    const QProcessEnvironment base = Env;
    for (const auto& [env, message] : rows) {
        SCOPED_TRACE(env.join(' ').toStdString());
        Env = base;
        for (const QString& setting : env)
            Env.insert(setting.section('=', 0, 0), setting.section('=', 1));
        const TRun run = Run({"--port", "NOPE", "on"});
        EXPECT_EQ(run.Status, 1);
        EXPECT_EQ(run.Err, message);
    }
    // A port another run holds: open once its first frame has arrived.
    Env = base;
    QProcess holder;
    holder.setProcessEnvironment(Env);
    holder.start(KV52804_TOOL, {"text", "-"});
    holder.write("1\n");
    ASSERT_TRUE(holder.waitForBytesWritten(Deadline));
    ASSERT_EQ(Received("SIM", 15), "80 14 14 14 01 14 14 14 14 14 14 14 14 84 82");
    Env.insert("LANG", "pl_PL.UTF-8");
    const TRun busy = Run({"on"});
    EXPECT_EQ(busy.Status, 1);
    EXPECT_EQ(busy.Err, "kv52804: SIM: Urządzenie lub zasoby zajęte (Nie można otworzyć portu "
                        "szeregowego, kod błędu systemu: 16)\n");
    holder.closeWriteChannel();
    EXPECT_TRUE(holder.waitForFinished(Deadline));
}

// Opening a network port is not the tool's concern; that the URL is what
// gets opened shows in the message. The address takes no connection.
TEST_F(Kv52804, ListsNamedNetworkPortsAndOpensTheirUrls) {
    const int closed = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(closed, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::getsockname(closed, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const QString url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(ntohs(address.sin_port));
    const QString file = WritePortsFile("office " + url.toUtf8() + "\nlab\noffice socket://h:1\n");
    const QString lab = "kv52804: warning: " + file + ":2: 'lab' has no URL after it\n",
                  again = "kv52804: warning: " + file +
                          ":3: 'office' is named on line 1 already; the first is used\n";

    const TRun list = Run({"list"});
    EXPECT_EQ(list.Status, 0);
    EXPECT_EQ(list.Out, "office\t" + url + '\n');
    EXPECT_EQ(list.Err, lab + again);
    // The warnings come before the port's error: those of the name's own
    // lines, or all of them when the list chose the port.
    const std::pair<QStringList, QString> runs[] = {
        {{"--port", "office", "on"}, again},
        {{"--port=" + url, "on"}, ""},
        {{"on"}, lab + again},
    };
    for (const auto& [args, warnings] : runs) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const TRun run = Run(args);
        EXPECT_EQ(run.Status, 1);
        EXPECT_TRUE(run.Err.startsWith(warnings + "kv52804: " + url + ": "))
            << run.Err.toStdString();
    }
    ::close(closed);

    // The module behind ser2net, by name and by URL. The tool closes at
    // once after its frame, which ser2net's close could drop on the way to
    // the simulator (see KeepDeviceOpen).
    TSer2net server(StartSim().toStdString());
    server.KeepDeviceOpen();
    const QString wall = QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.Port());
    WritePortsFile("wall " + wall.toUtf8() + "\n");
    const QString frame = Run({"--dry-run", "text", "HELLO"}).Out.trimmed();
    for (const QString& port : {QStringLiteral("wall"), wall}) {
        SCOPED_TRACE(port.toStdString());
        const TRun run = Run({"--port", port, "text", "HELLO"});
        EXPECT_EQ(run.Status, 0) << run.Err.toStdString();
        EXPECT_EQ(Received("SIM", 15), frame);
    }
}

TEST_F(Kv52804, WithoutAnyPortOnlyADryRunWorks) {
    // An empty list is no failure, but a person is told.
    const TRun list = Run({"list"});
    EXPECT_EQ(list.Status, 0);
    EXPECT_EQ(list.Out, "");
    EXPECT_EQ(list.Err, "kv52804: No serial port found; connect the module or start kv52804-sim\n");
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
    EXPECT_EQ(tool.readAllStandardError(), "kv52804: SIM: Input/output error (WriteFile function "
                                           "failed, win error code: 5)\n");
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
    EXPECT_EQ(tool.exitCode(), 128 + SIGTERM);

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

// A stalled module (stopped, its pseudo-terminal full) keeps every write
// waiting; a stop signal ends the tool all the same, with 128 + the signal.
TEST_F(Kv52804, StopSignalsEndAStalledStreamAndClock) {
    const QString pty = StartSim();
    QProcess& sim = *Sims["SIM"];
    ASSERT_EQ(::kill(pid_t(sim.processId()), SIGSTOP), 0);
    // Filled through the module's own end of the line, which nobody reads
    // now, before any run: each run's first write finds no room.
    const int line = StealFd(sim.processId(), pty);
    if (line < 0)
        GTEST_SKIP() << "the module's line cannot be reached (pidfd_getfd)";
    const int flags = ::fcntl(line, F_GETFL);
    ASSERT_EQ(::fcntl(line, F_SETFL, flags | O_NONBLOCK), 0);
    const std::string stray(4096, '\0'); // bytes outside a frame: ignored
    while (::write(line, stray.data(), stray.size()) > 0) {
    }
    EXPECT_EQ(errno, EAGAIN);
    ::fcntl(line, F_SETFL, flags);
    ::close(line); // a holder of the line would keep the tool from opening it

    const std::pair<QStringList, int> rows[] = {
        {{"text", "-"}, SIGINT}, {{"clock"}, SIGTERM}, {{"text", "-"}, SIGHUP}};
    for (const auto& [args, signal] : rows) {
        SCOPED_TRACE(signal);
        QProcess tool;
        tool.setProcessEnvironment(Env);
        tool.start(KV52804_TOOL, args);
        tool.write(QByteArray("8\n").repeated(1000)); // batches of a second of the line
        ASSERT_TRUE(WaitUntil([&] {
            tool.waitForBytesWritten(10);
            return FdOf(tool.processId(), pty) >= 0;
        }));
        ::kill(pid_t(tool.processId()), signal);
        ASSERT_TRUE(tool.waitForFinished(Deadline)) << "kv52804 hangs";
        EXPECT_EQ(tool.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(tool.exitCode(), 128 + signal);
        EXPECT_EQ(tool.readAllStandardError(), "");
    }
    // Once the module reads again, the next frame is shown whole.
    ASSERT_EQ(::kill(pid_t(sim.processId()), SIGCONT), 0);
    ASSERT_EQ(Run({"text", "1"}).Status, 0);
    const QByteArray shown = "80 14 14 14 01 14 14 14 14 14 14 14 14 84  data:";
    bool found = false;
    while (!found && (sim.canReadLine() || sim.waitForReadyRead(Deadline)))
        found = sim.readLine().startsWith(shown);
    EXPECT_TRUE(found);
}

// Bytes a socket of 127.0.0.1:port holds unacknowledged (/proc/net/tcp).
long SendQueue(int port) {
    QFile f(QStringLiteral("/proc/net/tcp"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray local = QByteArrayLiteral("0100007F:") + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 4 && fields[1] == local)
            return fields[4].split(':').value(0).toLong(nullptr, 16);
    }
    return -1;
}

// Behind a network port a stop ends the tool in every phase: while the open
// waits for a silent server, and while a server that reads nothing holds a
// stream's write; then what the socket still held is dropped (the server
// sees a reset), not delivered after the tool has gone.
TEST_F(Kv52804, StopSignalsEndANetworkOpenAndAStalledNetworkStream) {
    for (const char* scheme : {"rfc2217", "socket"}) {
        SCOPED_TRACE(scheme);
        TLocalSocket server(true);
        QProcess tool;
        tool.setProcessEnvironment(Env);
        tool.start(KV52804_TOOL, {"--port", QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(server.Port),
                                  "text", "-"});
        tool.write(QByteArray("8\n").repeated(100000));
        const int peer = ::accept(server.Fd, nullptr, nullptr);
        ASSERT_GE(peer, 0);
        if (std::string(scheme) == "socket") {
            // The stream has begun and stalls: the tool's socket holds bytes
            // the server has not taken.
            sockaddr_in tool_end{};
            socklen_t len = sizeof tool_end;
            ASSERT_EQ(::getpeername(peer, reinterpret_cast<sockaddr*>(&tool_end), &len), 0);
            ASSERT_TRUE(WaitUntil([&] {
                tool.waitForBytesWritten(10);
                return SendQueue(ntohs(tool_end.sin_port)) > 0;
            }));
        }
        ::kill(pid_t(tool.processId()), SIGINT);
        ASSERT_TRUE(tool.waitForFinished(Deadline)) << "kv52804 hangs";
        EXPECT_EQ(tool.exitCode(), 128 + SIGINT);
        EXPECT_EQ(tool.readAllStandardError(), "");
        char buf[65536];
        ssize_t n;
        while ((n = ::recv(peer, buf, sizeof buf, 0)) > 0) {
        }
        EXPECT_EQ(n < 0 ? errno : 0, std::string(scheme) == "socket" ? ECONNRESET : 0);
        ::close(peer);
    }
}

// A simulator killed with SIGKILL leaves its name behind; a new one that
// gets the same pseudo-terminal must not be reached through that name.
TEST_F(Kv52804, ANameWhosePublisherHasGoneNeverResolves) {
    const QString pty = StartSim("OLD");
    Sims["OLD"]->kill();
    ASSERT_TRUE(Sims["OLD"]->waitForFinished(Deadline));
    ASSERT_TRUE(QFileInfo(Temp.filePath("ports/OLD")).isSymLink());
    // The test takes the freed number itself. The kernel hands out the lowest
    // free number, so masters are opened and kept until one has it (unless
    // somebody else on the machine took it first).
    const unsigned wanted = pty.section('/', -1).toUInt();
    std::vector<int> masters;
    const auto closeAll = [&] {
        for (int fd : masters)
            ::close(fd);
    };
    unsigned got = 0;
    do {
        const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        masters.push_back(fd);
        ASSERT_EQ(::ioctl(fd, TIOCGPTN, &got), 0);
    } while (got < wanted);
    if (got != wanted) {
        closeAll();
        GTEST_SKIP() << "another process took " << pty.toStdString() << " first";
    }
    ::unlockpt(masters.back()); // a name that led here would open and write

    const TRun stale = Run({"--port", "OLD", "on"});
    EXPECT_EQ(stale.Status, 1);
    EXPECT_EQ(stale.Err, "kv52804: OLD: No such file or directory (Unable to open com port, win "
                         "error code: 2)\n");
    EXPECT_FALSE(Run({"list"}).Out.contains("OLD"));
    closeAll();
}

// The completion script, run by bash as it would complete a command line.
TEST_F(Kv52804, CompletesOptionValuesInAnyCaseAndDevicePaths) {
    StartSim("KV52804-SIM");
    WritePortsFile("office socket://127.0.0.1:4001\n");
    const QString script = QStringLiteral(KV52804_COMPLETION);
    const QString options = "--port --baud --data-bits --parity --stop-bits --flow --left "
                            "--dry-run --help --version -h -V";
    const std::pair<QStringList, QString> rows[] = {
        {{"--port", "=", "K"}, "KV52804-SIM"}, // bash splits --port=K at the "="
        {{"--port", "O"}, "office"},
        {{"--port=k"}, "--port=KV52804-SIM"}, // unless "=" is no word break
        {{"--parity", "m"}, "Mark"},
        {{"--flow", "=", "H"}, "Hardware"},
        {{"--port", "/dev/nul"}, "/dev/null"},
        {{"T"}, "text"},
        {{"text", ""}, ""}, // no "-" put in unasked
        {{"--dry-run", "text", "-"}, "-"},
        {{"-"}, options},
        {{"list", "-"}, options},
        {{"text", "--d"}, "--data-bits --dry-run"},
    };
    for (const auto& [words, expected] : rows) {
        SCOPED_TRACE(words.join(' ').toStdString());
        QProcess bash;
        QProcessEnvironment env = Env;
        env.insert("PATH", QFileInfo(KV52804_TOOL).absolutePath() + ':' + env.value("PATH"));
        bash.setProcessEnvironment(env);
        QStringList quoted;
        for (const QString& word : QStringList{"kv52804"} + words)
            quoted += '\'' + word + '\'';
        bash.start("bash", {"-c",
                            "source \"$0\"; COMP_WORDS=(" + quoted.join(' ') +
                                "); COMP_CWORD=" + QString::number(words.size()) +
                                "; _kv52804; echo \"${COMPREPLY[*]}\"",
                            script});
        ASSERT_TRUE(bash.waitForFinished(Deadline));
        EXPECT_EQ(QString::fromUtf8(bash.readAllStandardOutput()).trimmed(), expected)
            << bash.readAllStandardError().toStdString();
    }
}

} // namespace
