#include "Options.h"

#include "SysUtils.h"
#include "gnugettext.h"

#include <cerrno>
#include <optional>

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
    for (const TCommandName& known : Commands) {
        if (command != QLatin1String(known.Name))
            continue;
        if (words.size() != known.Arguments)
            Fail("Command %s takes %d argument(s), not %d",
                 {command, QString::number(known.Arguments), QString::number(words.size())});
        options.Command = known.Command;
        options.Arguments = words;
        return options;
    }
    Fail("Unknown command %s", {command});
}

QString DefaultsFile() {
    return UserConfigDirectory() + QStringLiteral("/kv52804.ini");
}

std::unique_ptr<TComPort> LinePort(const TOptions& options) {
    auto port = std::make_unique<TComPort>();
    port->SetPort(QString()); // stays empty unless the file names one
    const QString file = DefaultsFile();
    try {
        port->LoadSettings(file);
    } catch (const EComPort& error) {
        if (error.WinErrorCode() != ENOENT)
            throw EBadDefaults(file + QStringLiteral(": ") + error.Message());
    }
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
    // The backend refuses these at the port; said here, before anything opens.
    if (port->StopBits() == sbOne5StopBits && port->DataBits() != dbFive)
        Fail("--stop-bits 1.5 needs --data-bits 5", {});
    if (port->StopBits() == sbTwoStopBits && port->DataBits() == dbFive)
        Fail("--stop-bits 2 needs --data-bits 6, 7 or 8", {});
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
        "                    (default: $KV52804_PORT, else the only port there is)\n"
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
