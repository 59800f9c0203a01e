// kv52804: the display module from the command line and from scripts. QtCore
// only: it runs without a display, over ssh, from cron or at the end of a pipe.
#include "Commands.h"
#include "DisplayFrames.h"
#include "Options.h"
#include "Ports.h"
#include "ProgramModules.h"
#include "Streams.h"
#include "SysUtils.h"

#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

using namespace DisplayFrames;

namespace {

void PrintError(const QString& message) {
    std::fprintf(stderr, "kv52804: %s\n", message.toUtf8().constData());
}

// The language of the messages, chosen as gettext programs choose it: the
// locale for messages is the first of LC_ALL, LC_MESSAGES and LANG that is
// set; in the C locale nothing is translated, so a script that sets LC_ALL=C
// reads English whatever LANG says. Otherwise LANGUAGE, a list of languages
// in order of preference, wins: its first language that has catalogs.
QString MessageLanguage() {
    const auto plain = [](const QString& name) {
        return name.section(u'.', 0, 0).section(u'@', 0, 0);
    };
    QString locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (locale = qEnvironmentVariable(name); !locale.isEmpty())
            break;
    if (locale.isEmpty() || plain(locale) == QStringLiteral("C") ||
        plain(locale) == QStringLiteral("POSIX"))
        return QStringLiteral("C");
    const QString catalogs =
        QFileInfo(ProgramFilePath()).absolutePath() + QStringLiteral("/locale/");
    for (const QString& language :
         qEnvironmentVariable("LANGUAGE").split(u':', Qt::SkipEmptyParts)) {
        const QString code = plain(language);
        if (QFileInfo::exists(catalogs + code) || QFileInfo::exists(catalogs + code.left(2)))
            return code;
    }
    return plain(locale);
}

int ListPorts() {
    for (const QString& port : PortsPresent()) {
        const QString description = DescribePort(port);
        Print((description.isEmpty() ? port : port + u'\t' + description).toUtf8() + '\n');
    }
    return ExitDone;
}

class EBadCode : public Exception {
public:
    using Exception::Exception;
};

// The frame of "codes": a code that is no number or out of range is named
// with its place among the twelve.
std::string CodesFrame(const QStringList& codes) {
    int position = 0;
    const auto box = [&](int i) {
        position = i;
        return codes[i - 1];
    };
    try {
        return DataFrameFromBoxes(box, nullptr);
    } catch (const ERangeError&) {
        throw EBadCode(Format(Translate(QStringLiteral("code %d: '%s' is not in 0..255")),
                              {QString::number(position), codes[position - 1]}));
    } catch (const EConvertError& error) {
        throw EBadCode(Format(Translate(QStringLiteral("code %d: %s")),
                              {QString::number(position), error.Message()}));
    }
}

// The frame of a one-shot command. Built before any port is opened, so bad
// input never gets as far as the line.
std::string Frame(const TOptions& options) {
    switch (options.Command) {
    case TOptions::cmText:
        return DataFrame(CodesFromText(options.Arguments.front(), options.Align));
    case TOptions::cmCodes:
        return CodesFrame(options.Arguments);
    case TOptions::cmOn:
        return SwitchOnCommand();
    default:
        return SwitchOffCommand();
    }
}

int Run(const TOptions& options) {
    switch (options.Command) {
    case TOptions::cmHelp:
        Print(HelpText().toUtf8());
        return ExitDone;
    case TOptions::cmVersion:
        Print(QByteArrayLiteral("kv52804 " KV52804_VERSION "\n"));
        return ExitDone;
    case TOptions::cmList:
        return ListPorts();
    default:
        break;
    }
    const bool continuous = options.Streams() || options.Command == TOptions::cmClock;
    const std::string frame = continuous ? std::string() : Frame(options);
    std::unique_ptr<TComPort> port = LinePort(options);
    if (options.Streams())
        CheckStandardInput();
    std::optional<TStopSignals> stop;
    if (continuous)
        stop.emplace();
    TFrameSink sink(options, std::move(port), stop ? &*stop : nullptr);
    if (options.Streams())
        return StreamLines(sink, options, *stop);
    if (options.Command == TOptions::cmClock)
        RunClock(sink, *stop);
    sink.Send(frame);
    return ExitDone;
}

// Runs the command and turns every way it can end into a message and a
// status; standard output is flushed within, so a failure to write it counts.
int RunAndReport(const QStringList& arguments) {
    try {
        const int status = Run(ParseCommandLine(arguments));
        FlushOutput();
        return status;
    } catch (const EUsage& error) {
        PrintError(error.Message());
        std::fprintf(stderr, "%s\n",
                     Translate(QStringLiteral("Try 'kv52804 --help'.")).toUtf8().constData());
        return ExitBadInput;
    } catch (const EStopped& error) {
        return 128 + error.Signal();
    } catch (const Exception& error) {
        PrintError(error.Message());
        // Bad text, codes or input; the rest failed at the port or the output.
        const bool badInput = dynamic_cast<const EBadDefaults*>(&error) ||
                              dynamic_cast<const EDisplayText*>(&error) ||
                              dynamic_cast<const EBadCode*>(&error) ||
                              dynamic_cast<const EInput*>(&error);
        return badInput ? ExitBadInput : ExitPortFailed;
    } catch (const std::exception& error) {
        PrintError(QString::fromUtf8(error.what()));
        return ExitPortFailed;
    }
}

} // namespace

int main(int argc, char** argv) {
    GuardStandardDescriptors();
    // Whoever reads the output (a person, a pipe) sees each line at once.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // The translation engine first, then the serial port component, whose
    // error texts go through it.
    std::optional<TProgramModules> modules;
    try {
        modules.emplace(MessageLanguage());
    } catch (const std::exception& error) {
        PrintError(QString::fromUtf8(error.what()));
        return ExitPortFailed;
    }
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(DecodeUtf8Escaped(argv[i], std::strlen(argv[i])));
    const int status = RunAndReport(arguments);
    // Nothing more is written; a failure to close is still one to report.
    if (std::fclose(stdout) != 0 && status != ExitPortFailed) {
        PrintError(EOutput(errno).Message());
        return ExitPortFailed;
    }
    return status;
}
