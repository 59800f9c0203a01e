#include "SignalPipe.h"

#include "VirtualPort.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// One pipe per process: a signal handler can only reach static storage.
int Pipe[2] = {-1, -1};
constexpr int Signals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void OnSignal(int signal) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    // A full pipe already holds a wake-up; losing this byte changes nothing.
    [[maybe_unused]] const ssize_t n = ::write(Pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

TSignalPipe::TSignalPipe() {
    if (::pipe2(Pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw ESystemCall(QStringLiteral("pipe2"), errno);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : Signals)
        ::sigaction(signal, &action, nullptr);
}

TSignalPipe::~TSignalPipe() {
    for (int signal : Signals)
        ::signal(signal, SIG_DFL);
    ::close(Pipe[0]);
    ::close(Pipe[1]);
    Pipe[0] = Pipe[1] = -1;
}

int TSignalPipe::ReadFd() const {
    return Pipe[0];
}

int TSignalPipe::Take() {
    unsigned char byte = 0;
    return ::read(Pipe[0], &byte, 1) == 1 ? byte : 0;
}
