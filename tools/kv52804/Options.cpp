#include "Options.h"

#include "Language.h"
#include "SysUtils.h"
#include "gnugettext.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using namespace kv52804;

namespace {

struct TCommandName {
    const char* Name;
    TOptions::TCommand Command;
    int Arguments; // how many the command takes
};
constexpr TCommandName Commands[] = {
    {"list", TOptions::cmList, 0}, {"text", TOptions::cmText, 1}, {"codes", TOptions::cmCodes, 12},
    {"on", TOptions::cmOn, 0},     {"off", TOptions::cmOff, 0},   {"clock", TOptions::cmClock, 0},
};

[[noreturn]] void Fail(const char* format, const QStringList& arguments) {
    throw EUsage(Format(Translate(QString::fromUtf8(format)), arguments));
}

// A line setting given as the setup dialog's selector shows it. "Custom"
// stands for settings made elsewhere, which a command line cannot make.
template <typename E>
E Setting(const QString& option, const QString& text, E last, QString (*toText)(E),
          E (*fromText)(const QString&)) {
    const E value = fromText(text);
    if (toText(value).compare(text, Qt::CaseInsensitive) == 0 &&
        text.compare(QStringLiteral("Custom"), Qt::CaseInsensitive) != 0)
        return value;
    QStringList choices;
    for (int i = 0; i <= int(last); ++i)
        if (toText(E(i)) != QStringLiteral("Custom"))
            choices.append(toText(E(i)));
    Fail("Invalid value '%s' for %s; choose one of: %s",
         {text, option, choices.join(QStringLiteral(", "))});
}

// Only "-h" and "-V" are short options, but a word such as "-x" where no
// argument can stand, or beside too many, is meant as one. "-5" and "-" stay
// words: a code, a text, standard input.
bool LooksLikeOption(const QString& word) {
    return word.size() > 1 && word[0] == u'-' && word[1].isLetter();
}

} // namespace

TOptions ParseCommandLine(const QStringList& arguments) {
    TOptions options;
    std::optional<TOptions::TCommand> asked; // --help or --version
    QStringList words;
    bool optionsEnd = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (!optionsEnd && argument == QStringLiteral("-h")) {
            asked = TOptions::cmHelp;
            continue;
        }
        if (!optionsEnd && argument == QStringLiteral("-V")) {
            asked = asked.value_or(TOptions::cmVersion);
            continue;
        }
        if (optionsEnd || !argument.startsWith(QStringLiteral("--"))) {
            words.append(argument);
            continue;
        }
        if (argument == QStringLiteral("--")) {
            optionsEnd = true;
            continue;
        }
        // "--name value" and "--name=value" alike.
        const qsizetype equals = argument.indexOf(u'=');
        const QString name = argument.left(equals);
        const auto value = [&]() -> QString {
            if (equals >= 0)
                return argument.mid(equals + 1);
            if (i + 1 >= arguments.size())
                Fail("Option %s needs a value", {name});
            return arguments[++i];
        };
        if (name == QStringLiteral("--help") && equals < 0)
            asked = TOptions::cmHelp;
        else if (name == QStringLiteral("--version") && equals < 0)
            asked = asked.value_or(TOptions::cmVersion);
        else if (name == QStringLiteral("--dry-run") && equals < 0)
            options.DryRun = true;
        else if (name == QStringLiteral("--left") && equals < 0)
            options.Align = DisplayFrames::TAlign::Left;
        else if (name == QStringLiteral("--port")) {
            options.Port = value();
            options.PortGiven = true;
            if (options.Port.isEmpty())
                Fail("Option %s needs a value", {name});
        } else if (name == QStringLiteral("--baud"))
            options.BaudRate = Setting(name, value(), br256000, BaudRateText, BaudRateFromText);
        else if (name == QStringLiteral("--data-bits"))
            options.DataBits = Setting(name, value(), dbEight, DataBitsText, DataBitsFromText);
        else if (name == QStringLiteral("--parity"))
            options.Parity = Setting(name, value(), prSpace, ParityText, ParityFromText);
        else if (name == QStringLiteral("--stop-bits"))
            options.StopBits =
                Setting(name, value(), sbTwoStopBits, StopBitsText, StopBitsFromText);
        else if (name == QStringLiteral("--flow"))
            options.FlowControl =
                Setting(name, value(), fcCustom, FlowControlText, FlowControlFromText);
        else
            Fail("Unknown option %s", {argument});
    }
    // --help and --version win over whatever else stands on the line.
    if (asked) {
        options.Command = *asked;
        return options;
    }
    if (words.isEmpty())
        Fail("No command given", {});
    const QString command = words.takeFirst();
    if (LooksLikeOption(command))
        Fail("Unknown option %s", {command});
    for (const TCommandName& known : Commands) {
        if (command != QLatin1String(known.Name))
            continue;
        if (words.size() != known.Arguments) {
            for (const QString& word : words)
                if (LooksLikeOption(word))
                    Fail("Unknown option %s", {word});
            Fail("Command %s takes %d argument(s), not %d",
                 {command, QString::number(known.Arguments), QString::number(words.size())});
        }
        // Codes go out as given; the option would be dropped without a word.
        if (known.Command == TOptions::cmCodes && options.Align == DisplayFrames::TAlign::Left)
            Fail("Option --left does not go with codes: they are sent as given", {});
        options.Command = known.Command;
        options.Arguments = words;
        return options;
    }
    Fail("Unknown command %s", {command});
}

QString DefaultsFile() {
    return UserConfigDirectory() + QStringLiteral("/kv52804.ini");
}

namespace {

[[noreturn]] void BadDefaults(const char* format, const QStringList& arguments) {
    throw EBadDefaults(Format(Translate(QString::fromUtf8(format)), arguments));
}

[[noreturn]] void Unreadable(const QString& file, int error) {
    BadDefaults("%s: cannot be read: %s", {file, SystemReason(error)});
}

// Whether the defaults file is there to be loaded. It decides which device
// is opened and how, so it is held to the ports file's rule: a regular file
// of the user's, not a link, that nobody else may write to, in a directory
// of the user's that nobody else may write to; with such a directory nobody
// else can replace the file before it is loaded. Raises EBadDefaults saying
// why a file that is there cannot be used.
bool DefaultsToLoad(const QString& file) {
    const QByteArray path = QFile::encodeName(file);
    struct stat info;
    if (::lstat(path.constData(), &info) != 0) {
        if (errno == ENOENT)
            return false;
        Unreadable(file, errno);
    }
    const QString dir = QFileInfo(file).absolutePath();
    if (const int problem = CheckPortDirectory(dir); problem != 0)
        BadDefaults("%s: not trusted: its directory %s: %s",
                    {file, dir, PortDirectoryProblem(problem)});
    // Opened as the loader will read it, so that a file the user may not
    // read says so in the system's words. Non-blocking: a FIFO cannot hold it.
    const int fd =
        ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return false; // removed meanwhile, by the user
        if (errno == ELOOP)
            BadDefaults("%s: not trusted: %s", {file, PortDirectoryProblem(ELOOP)});
        Unreadable(file, errno);
    }
    const int error = ::fstat(fd, &info) != 0 ? errno : 0;
    ::close(fd);
    if (error != 0)
        Unreadable(file, error);
    if (!S_ISREG(info.st_mode))
        BadDefaults("%s: not trusted: %s",
                    {file, Translate(QStringLiteral("it is not a regular file"))});
    if (const int problem = CheckOwnership(info.st_uid, info.st_mode); problem != 0)
        BadDefaults("%s: not trusted: %s", {file, PortDirectoryProblem(problem)});
    return true;
}

// The backend refuses these at the port; said here, before anything opens,
// with where each of the two settings came from: an option, the file, or
// (only the data bits) the module's 8.
void CheckStopBits(const TOptions& options, const QString& file, TDataBits fileData,
                   const TComPort& port) {
    const TStopBits stop = port.StopBits();
    const TDataBits data = port.DataBits();
    const bool onePointFive = stop == sbOne5StopBits;
    const bool clash = onePointFive ? data != dbFive : stop == sbTwoStopBits && data == dbFive;
    if (!clash)
        return;
    // Data bits that the file leaves at 8 or sets to 8 read the same.
    const bool dataFromFile = !options.DataBits && fileData != dbEight;
    if (options.StopBits) {
        const QString needs =
            Translate(onePointFive ? QStringLiteral("--stop-bits 1.5 needs --data-bits 5")
                                   : QStringLiteral("--stop-bits 2 needs --data-bits 6, 7 or 8"));
        if (!dataFromFile)
            throw EUsage(needs);
        throw EUsage(
            needs + QStringLiteral("; ") +
            Format(Translate(QStringLiteral("%s has DataBits=%s")), {file, DataBitsText(data)}));
    }
    if (options.DataBits)
        Fail("--data-bits %s does not go with StopBits=%s of %s",
             {DataBitsText(data), StopBitsText(stop), file});
    if (onePointFive)
        BadDefaults("%s: StopBits=1.5 needs DataBits 5", {file});
    BadDefaults("%s: StopBits=2 needs DataBits 6, 7 or 8", {file});
}

} // namespace

std::unique_ptr<TComPort> LinePort(const TOptions& options) {
    auto port = std::make_unique<TComPort>();
    port->SetPort(QString()); // stays empty unless the file names one
    const QString file = DefaultsFile();
    if (DefaultsToLoad(file)) {
        try {
            port->LoadSettings(file);
        } catch (const EComPort& error) {
            if (error.WinErrorCode() != ENOENT)
                throw EBadDefaults(error.Detail()); // "<file>: <reason>" already
        }
    }
    const TDataBits fileData = port->DataBits();
    if (options.BaudRate)
        port->SetBaudRate(*options.BaudRate);
    if (options.DataBits)
        port->SetDataBits(*options.DataBits);
    if (options.Parity)
        port->Parity()->SetBits(*options.Parity);
    if (options.StopBits)
        port->SetStopBits(*options.StopBits);
    if (options.FlowControl)
        port->FlowControl()->SetFlowControl(*options.FlowControl);
    CheckStopBits(options, file, fileData, *port);
    return port;
}

QString HelpText() {
    return Translate(QStringLiteral(
        "Usage: kv52804 [OPTION...] COMMAND [ARGUMENT...]\n"
        "Shows text, codes and the time on a KV52804 display module.\n"
        "\n"
        "Commands:\n"
        "  list              the serial ports, one per line, with what is known of each\n"
        "  text TEXT         show TEXT, right-aligned on the twelve digits\n"
        "  text -            show each line read from standard input in turn\n"
        "  codes C1 ... C12  send twelve character codes (decimal; hex after $, x, 0x)\n"
        "  on, off           light or darken the display\n"
        "  clock             show the time as HH.MM.SS until interrupted\n"
        "\n"
        "Options:\n"
        "  --port NAME       the port: a name from 'list', a path or a network port URL\n"
        "                    (default: $KV52804_PORT, else Port= of the defaults file\n"
        "                    ~/.config/kv52804/kv52804.ini, else the only port there is)\n"
        "  --baud RATE, --data-bits 5|6|7|8, --parity None|Odd|Even|Mark|Space,\n"
        "  --stop-bits 1|1.5|2, --flow None|Hardware|Software\n"
        "                    the line settings, as the setup dialog names them\n"
        "                    (the module's: 9600, 8, None, 1, None; 1.5 needs 5 bits)\n"
        "  --left            left-align the text\n"
        "  --dry-run         print the frames in hexadecimal instead of sending them\n"
        "  -h, --help        show this help\n"
        "  -V, --version     show the version\n"
        "\n"
        "Exit status: 0 done, 1 the port or the output failed, 2 bad usage or input,\n"
        "128+N stopped by signal N (130: Ctrl+C).\n"));
}
