#pragma once
// The commands that send frames, and where the frames go.
#include "CPort.h"
#include "Options.h"

#include <memory>
#include <string>

// The port, opened with the options' line settings; or, with --dry-run,
// standard output, one line of hexadecimal bytes per frame.
class TFrameSink {
public:
    // Raises EPortChoice or EComPort when no port can be chosen or opened.
    explicit TFrameSink(const TOptions& options);
    // Writes one frame, or several back to back, in one write. Raises
    // EComPort when the write fails or times out with bytes unsent.
    void Send(const std::string& frames);

private:
    std::unique_ptr<TComPort> FPort;
};

// SIGINT, SIGTERM and SIGHUP, blocked for the whole process and readable
// through a descriptor, so that the stream and the clock end in order (the
// port closed) however they are stopped. Made before the port opens, so the
// port's own threads keep them blocked too.
class TStopSignals {
public:
    TStopSignals();
    ~TStopSignals();
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;
    int Fd() const { return FFd; }

private:
    int FFd = -1;
};

// Exit statuses.
inline constexpr int ExitDone = 0;
inline constexpr int ExitPortFailed = 1;
inline constexpr int ExitBadInput = 2;

// "text -": every line of standard input becomes a frame. A line that cannot
// be shown is reported and skipped; the result is then ExitBadInput once the
// input ends. A stop signal ends the stream with ExitDone.
int StreamLines(TFrameSink& sink, const TOptions& options, const TStopSignals& stop);

// The local time as HH.MM.SS, centred, sent at the start of every second
// until a stop signal arrives.
int RunClock(TFrameSink& sink, const TStopSignals& stop);
