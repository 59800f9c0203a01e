// kv52804: the display module from the command line and from scripts. QtCore
// only: it runs without a display, over ssh, from cron or at the end of a pipe.
#include "Commands.h"
#include "DisplayFrames.h"
#include "Options.h"
#include "Ports.h"
#include "ProgramModules.h"

#include <cstdio>
#include <optional>

using namespace DisplayFrames;

namespace {

void PrintError(const QString& message) {
    std::fprintf(stderr, "kv52804: %s\n", message.toUtf8().constData());
}

int ListPorts() {
    QStringList ports;
    ListComPorts(ports);
    for (const QString& port : ports) {
        const QString description = DescribePort(port);
        const QString line = description.isEmpty() ? port : port + u'\t' + description;
        std::printf("%s\n", line.toUtf8().constData());
    }
    return ExitDone;
}

// The frame of a one-shot command. Built before any port is opened, so bad
// input never gets as far as the line.
std::string Frame(const TOptions& options) {
    switch (options.Command) {
    case TOptions::cmText:
        return DataFrame(CodesFromText(options.Arguments.front(), options.Align));
    case TOptions::cmCodes:
        return DataFrameFromBoxes([&](int i) { return options.Arguments[i - 1]; }, nullptr);
    case TOptions::cmOn:
        return SwitchOnCommand();
    default:
        return SwitchOffCommand();
    }
}

int Run(const TOptions& options) {
    switch (options.Command) {
    case TOptions::cmHelp:
        std::printf("%s", HelpText().toUtf8().constData());
        return ExitDone;
    case TOptions::cmVersion:
        std::printf("kv52804 %s\n", KV52804_VERSION);
        return ExitDone;
    case TOptions::cmList:
        return ListPorts();
    default:
        break;
    }
    const bool continuous = options.Streams() || options.Command == TOptions::cmClock;
    const std::string frame = continuous ? std::string() : Frame(options);
    std::optional<TStopSignals> stop;
    if (continuous)
        stop.emplace();
    TFrameSink sink(options);
    if (options.Streams())
        return StreamLines(sink, options, *stop);
    if (options.Command == TOptions::cmClock)
        return RunClock(sink, *stop);
    sink.Send(frame);
    return ExitDone;
}

} // namespace

int main(int argc, char** argv) {
    // Whoever reads the output (a person, a pipe) sees each line at once.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // The translation engine first, then the serial port component, whose
    // error texts go through it.
    std::optional<TProgramModules> modules;
    try {
        modules.emplace();
    } catch (const std::exception& error) {
        PrintError(QString::fromUtf8(error.what()));
        return ExitPortFailed;
    }
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    try {
        return Run(ParseCommandLine(arguments));
    } catch (const EUsage& error) {
        PrintError(error.Message());
        std::fprintf(stderr, "%s\n",
                     Translate(QStringLiteral("Try 'kv52804 --help'.")).toUtf8().constData());
        return ExitBadInput;
    } catch (const EDisplayText& error) {
        PrintError(error.Message());
        return ExitBadInput;
    } catch (const EConvertError& error) {
        PrintError(error.Message());
        return ExitBadInput;
    } catch (const ERangeError& error) {
        PrintError(error.Message());
        return ExitBadInput;
    } catch (const std::exception& error) {
        // The port could not be chosen, opened or written.
        PrintError(QString::fromUtf8(error.what()));
        return ExitPortFailed;
    }
}
