#pragma once
// Turns SIGINT, SIGTERM and SIGHUP into a readable descriptor, so the event
// loop can end the run in order (removing the published port) instead of the
// process dying inside whatever it was doing.
class TSignalPipe {
public:
    TSignalPipe();
    ~TSignalPipe();
    TSignalPipe(const TSignalPipe&) = delete;
    TSignalPipe& operator=(const TSignalPipe&) = delete;

    int ReadFd() const;
    // The signal that arrived (0 if none is waiting).
    int Take();
};
