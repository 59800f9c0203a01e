#pragma once
// SIGINT, SIGTERM and SIGHUP as a readable descriptor, so that a program ends
// in order (its port closed, its published name removed) however it is
// stopped, instead of dying inside whatever it was doing.
#include "Exception.h"

namespace kv52804 {

// The signals are blocked in the calling thread and read through a signalfd:
// no handler runs, so nothing is restricted to async-signal-safe calls. Make
// one on the main thread before any other thread starts (the port's threads,
// Qt's own), so that every thread inherits the blocked signals; a thread
// that has them unblocked would take one and end the process. The descriptor
// stays readable once a signal has come: nothing takes the signal, so every
// watcher can see it.
class TStopSignals {
public:
    // Raises ESystemCall.
    TStopSignals();
    // The signals stay blocked: one that has come is still pending, and the
    // process is about to end by its own exit status, not by that signal.
    ~TStopSignals();
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;
    int Fd() const { return FFd; }
    // The stop signal that has come, 0 while none has.
    int Arrived() const;

private:
    int FFd = -1;
};

} // namespace kv52804
