#pragma once
// The command line of kv52804: one command, its arguments and the options,
// which may stand anywhere before a "--". Besides "-h" and "-V" only "--"
// options exist, so a lone "-" (standard input) or "-5" (a text, a code) is
// always an argument.
#include "CPort.h"
#include "DisplayFrames.h"
#include "Exception.h"

#include <QStringList>

// Bad usage: the message says what is wrong; the caller adds how to get help.
class EUsage : public Exception {
public:
    using Exception::Exception;
};

struct TOptions {
    enum TCommand { cmHelp, cmVersion, cmList, cmText, cmCodes, cmOn, cmOff, cmClock };
    TCommand Command = cmHelp;
    QStringList Arguments;

    bool PortGiven = false;
    QString Port;
    bool DryRun = false;
    DisplayFrames::TAlign Align = DisplayFrames::TAlign::Right;

    // The module's line: 9600 baud, 8 data bits, no parity, 1 stop bit.
    TBaudRate BaudRate = br9600;
    TDataBits DataBits = dbEight;
    TParityBits Parity = prNone;
    TStopBits StopBits = sbOneStopBit;
    TFlowControl FlowControl = fcNone;

    // Whether the command sends frames, and so needs a port (or --dry-run).
    bool Sends() const { return Command >= cmText; }
    // "text -": one frame per line of standard input.
    bool Streams() const { return Command == cmText && Arguments.value(0) == QStringLiteral("-"); }
};

// Raises EUsage for an unknown command or option, a missing or extra
// argument, or a line setting that is not one of the setup dialog's texts.
TOptions ParseCommandLine(const QStringList& arguments);

// The text of --help, translated.
QString HelpText();
