#pragma once
// The commands that send frames, and where the frames go.
#include "CPort.h"
#include "Options.h"

#include <memory>
#include <string>

// The port, opened with the options' line settings; or, with --dry-run,
// standard output, one line of hexadecimal bytes per frame.
//
// Frames that are ready together (lines that arrived together) go out back
// to back in one write: a write per frame costs several times what the
// bytes do. A batch is kept to about a second of the line's time, so a stop
// signal is never kept waiting for long.
class TFrameSink {
public:
    // Raises EPortChoice or EComPort when no port can be chosen or opened.
    explicit TFrameSink(const TOptions& options);
    // Adds a frame to the batch, first sending the batch if the frame would
    // make it too long.
    void Queue(const std::string& frame);
    // Sends the batch. Raises EComPort when the write fails, and Exception
    // when it times out with bytes unsent.
    void Flush();
    void Send(const std::string& frame) {
        Queue(frame);
        Flush();
    }

private:
    std::unique_ptr<TComPort> FPort;
    std::string FBatch;
    std::size_t FBatchLimit = 0; // bytes
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
