// kv52804: the display module from the command line and from scripts. QtCore
// only: it runs without a display, over ssh, from cron or at the end of a pipe.
#include "Commands.h"
#include "DisplayFrames.h"
#include "Language.h"
#include "Options.h"
#include "Ports.h"
#include "ProgramModules.h"
#include "RtlConsts.h"
#include "Streams.h"
#include "SysUtils.h"
#include "gnugettext.h"

#include <QRegularExpression>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

using namespace kv52804;

using namespace DisplayFrames;

namespace {

void PrintError(const QString& message) {
    std::fprintf(stderr, "kv52804: %s\n", message.toUtf8().constData());
}

// An empty list is an answer, not a failure (status 0): a script that
// counts the lines gets none. A person is told that it is empty.
int ListPorts() {
    const QStringList ports = PortsPresent();
    for (const QString& port : ports) {
        const QString description = DescribePort(port);
        Print((description.isEmpty() ? port : port + u'\t' + description).toUtf8() + '\n');
    }
    if (ports.isEmpty())
        PrintError(Translate(
            QStringLiteral("No serial port found; connect the module or start kv52804-sim")));
    return ExitDone;
}

class EBadCode : public Exception {
public:
    using Exception::Exception;
};

// Blanks around a code do not count, after it as before it (the
// conversion itself passes over leading blanks only).
QString WithoutBlanks(const QString& code) {
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    qsizetype begin = 0, end = code.size();
    while (begin < end && blank(code[begin]))
        ++begin;
    while (end > begin && blank(code[end - 1]))
        --end;
    return code.mid(begin, end - begin);
}

// A code as a message quotes it: a character that cannot be seen, or that
// would pass for a plain blank, is named by its code point; a byte that was
// not UTF-8 is shown as the byte.
QString Shown(const QString& code) {
    QString shown;
    for (qsizetype i = 0; i < code.size(); ++i) {
        char32_t c = code[i].unicode();
        if (code[i].isHighSurrogate() && i + 1 < code.size() && code[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(code[i], code[i + 1]);
            ++i;
        }
        if (c >= 0xDC80 && c <= 0xDCFF)
            shown += QStringLiteral("\\x") + QString::number(uint(c - 0xDC00), 16).toUpper();
        else if (QChar::isPrint(c) && (c == U' ' || QChar::category(c) != QChar::Separator_Space))
            shown += QString::fromUcs4(&c, 1);
        else
            shown += QStringLiteral("<U+%1>").arg(uint(c), 4, 16, QChar(u'0')).toUpper();
    }
    return shown;
}

// Whether code is written as a number, decimal or hexadecimal, of any size:
// one that the conversion refuses is too large for it.
bool IsNumber(const QString& code) {
    static const QRegularExpression number(QRegularExpression::anchoredPattern(
        QStringLiteral("[+-]?(?:[0-9]+|(?:\\$|[xX]|0[xX])[0-9A-Fa-f]+)")));
    return number.match(code).hasMatch();
}

// The frame of "codes": a code that is no number or out of range is named
// with its place among the twelve.
std::string CodesFrame(const QStringList& codes) {
    int position = 0;
    const auto box = [&](int i) {
        position = i;
        return WithoutBlanks(codes[i - 1]);
    };
    const auto outOfRange = [&] {
        return EBadCode(Format(Translate(QStringLiteral("code %d: '%s' is not in 0..255")),
                               {QString::number(position), Shown(codes[position - 1])}));
    };
    try {
        return DataFrameFromBoxes(box, nullptr);
    } catch (const ERangeError&) {
        throw outOfRange();
    } catch (const EConvertError&) {
        if (IsNumber(WithoutBlanks(codes[position - 1])))
            throw outOfRange();
        throw EBadCode(Format(Translate(QStringLiteral("code %d: %s")),
                              {QString::number(position), Format(LoadResString(SInvalidInteger),
                                                                 {Shown(codes[position - 1])})}));
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
    const QString language = MessageLanguage();
    FollowMessageLanguage(language);
    std::optional<TProgramModules> modules;
    try {
        modules.emplace(language);
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
