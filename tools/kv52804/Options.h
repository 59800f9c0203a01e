#pragma once
// The command line of kv52804: one command, its arguments and the options,
// which may stand anywhere before a "--". Besides "-h" and "-V" only "--"
// options exist, so a lone "-" (standard input) or "-5" (a text, a code) is
// always an argument; a word such as "-x" in the command's place, or beside
// too many arguments, is an unknown option.
#include "CPort.h"
#include "DisplayFrames.h"
#include "Exception.h"

#include <QStringList>
#include <memory>
#include <optional>

// Bad usage: the message says what is wrong; the caller adds how to get help.
class EUsage : public kv52804::Exception {
public:
    using kv52804::Exception::Exception;
};

struct TOptions {
    enum TCommand { cmHelp, cmVersion, cmList, cmText, cmCodes, cmOn, cmOff, cmClock };
    TCommand Command = cmHelp;
    QStringList Arguments;

    bool PortGiven = false;
    QString Port;
    bool DryRun = false;
    kv52804::DisplayFrames::TAlign Align = kv52804::DisplayFrames::TAlign::Right;

    // The line settings given; the others come from the defaults file, else
    // they are the module's: 9600 baud, 8 data bits, no parity, 1 stop bit.
    std::optional<kv52804::TBaudRate> BaudRate;
    std::optional<kv52804::TDataBits> DataBits;
    std::optional<kv52804::TParityBits> Parity;
    std::optional<kv52804::TStopBits> StopBits;
    std::optional<kv52804::TFlowControl> FlowControl;

    // Whether the command sends frames, and so needs a port (or --dry-run).
    bool Sends() const { return Command >= cmText; }
    // "text -": one frame per line of standard input.
    bool Streams() const { return Command == cmText && Arguments.value(0) == QStringLiteral("-"); }
};

// Raises EUsage for an unknown command or option, a missing or extra
// argument, a line setting that is not one of the setup dialog's texts, or
// --left with codes.
TOptions ParseCommandLine(const QStringList& arguments);

// The defaults file cannot be used (unreadable, damaged, not the user's, or
// others may write to it or its directory): bad input, "<file>: <reason>".
class EBadDefaults : public kv52804::Exception {
public:
    using kv52804::Exception::Exception;
};

// Where the defaults of the port and line settings are read from:
// UserConfigDirectory() + "/kv52804.ini", as TComPort::StoreSettings writes.
QString DefaultsFile();

// A closed port set as the defaults file says (a missing file says
// nothing), with the options' line settings over it. Its Port is the file's
// or empty. Raises EBadDefaults, also when the file's stop bits do not go
// with its data bits; EUsage when an option's do not, the message saying
// which setting came from where.
std::unique_ptr<kv52804::TComPort> LinePort(const TOptions& options);

// The text of --help, translated.
QString HelpText();
