#pragma once
// The commands that send frames, and where the frames go.
#include "CPort.h"
#include "Options.h"
#include "StopSignals.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Exit statuses; a stop signal gives 128 + its number, as a shell reports it.
inline constexpr int ExitDone = 0;
inline constexpr int ExitPortFailed = 1; // also the output
inline constexpr int ExitBadInput = 2;

// The port failed (or could not be chosen): the message names the port, the
// reason in words and the component's own text.
class EPortFailed : public kv52804::Exception {
public:
    using kv52804::Exception::Exception;
};

// A stop signal ended the run.
class EStopped : public kv52804::Exception {
public:
    explicit EStopped(int signal);
    int Signal() const { return FSignal; }

private:
    int FSignal;
};

// The port, opened with the options' line settings; or, with --dry-run,
// standard output, one line of hexadecimal bytes per frame.
//
// Frames that are ready together (lines that arrived together) go out back
// to back in one write: a write per frame costs several times what the
// bytes do. A batch is kept to about a second of the line's time.
//
// Given stop signals, a thread waits for them from the open on: a stop ends
// an open or a setting that waits for a network server, aborts the write
// under way at once, however long the line would take (a
// module that has stopped reading takes for ever), and drops what is left
// of it in the output queue, so the module never gets the rest of a frame
// later. The write then ends with EStopped.
class TFrameSink {
public:
    // Opens port (see LinePort) unless the options ask for a dry run. Raises
    // EPortFailed when no port can be chosen or opened.
    TFrameSink(const TOptions& options, std::unique_ptr<kv52804::TComPort> port,
               const kv52804::TStopSignals* stop);
    ~TFrameSink();
    TFrameSink(const TFrameSink&) = delete;
    TFrameSink& operator=(const TFrameSink&) = delete;
    // Adds a frame to the batch, first sending the batch if the frame would
    // make it too long.
    void Queue(const std::string& frame);
    // Sends the batch. Raises EPortFailed when the write fails or times out
    // with bytes unsent, EStopped when a stop signal aborts it, EOutput when
    // a dry run cannot write to standard output.
    void Flush();
    void Send(const std::string& frame) {
        Queue(frame);
        Flush();
    }

private:
    void WatchForStop(const kv52804::TStopSignals& stop);
    void EndWatcher();
    [[noreturn]] void Failed(const kv52804::Exception& error) const;

    std::unique_ptr<kv52804::TComPort> FPort;
    QString FPortLabel; // the port as messages name it
    std::string FBatch;
    std::size_t FBatchLimit = 0; // bytes
    // The stop watcher, and what it shares with the writes.
    const kv52804::TStopSignals* FStop = nullptr;
    std::mutex FStopMutex;
    bool FStopped = false; // under FStopMutex
    int FQuitFd = -1;      // ends the watcher
    std::thread FWatcher;
};

// "text -": every line of standard input becomes a frame. A line that cannot
// be shown is reported and skipped; the result is then ExitBadInput once the
// input ends. Raises EInput when standard input cannot be read, EStopped
// when a stop signal comes.
int StreamLines(TFrameSink& sink, const TOptions& options, const kv52804::TStopSignals& stop);

// The local time as HH.MM.SS, centred, sent at the start of every second
// until a stop signal comes (EStopped).
[[noreturn]] void RunClock(TFrameSink& sink, const kv52804::TStopSignals& stop);

// The message for a port error: "<port>: <reason in words> (<the component's
// text>, win error code: <code>)"; without a port name, the reason first.
QString PortErrorMessage(const QString& port, const kv52804::EComPort& error);
