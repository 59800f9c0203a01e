#include "StopSignals.h"

#include <cerrno>
#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

namespace kv52804 {

namespace {
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
}

TStopSignals::TStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kStopSignals)
        sigaddset(&set, signal);
    if (const int error = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); error != 0)
        throw ESystemCall(QStringLiteral("pthread_sigmask"), error);
    FFd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (FFd < 0)
        throw ESystemCall(QStringLiteral("signalfd"), errno);
}

TStopSignals::~TStopSignals() {
    ::close(FFd);
}

int TStopSignals::Arrived() const {
    sigset_t pending;
    if (::sigpending(&pending) != 0)
        return 0;
    for (int signal : kStopSignals)
        if (sigismember(&pending, signal) == 1)
            return signal;
    return 0;
}

} // namespace kv52804
