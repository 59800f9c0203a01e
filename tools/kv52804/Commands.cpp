#include "Commands.h"

#include "DisplayFrames.h"
#include "Ports.h"
#include "SysUtils.h"
#include "gnugettext.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string_view>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace DisplayFrames;

namespace {

[[noreturn]] void SystemCallFailed(const char* call) {
    const int error = errno;
    throw Exception(
        QStringLiteral("%1 failed: %2 (%3)")
            .arg(QString::fromLatin1(call), QString::fromLocal8Bit(std::strerror(error)))
            .arg(error));
}

// Waits until fd is readable or the stop signal arrives (false), at most
// timeout (nullptr: no limit).
bool WaitReadable(int fd, const TStopSignals& stop, const timespec* timeout) {
    for (;;) {
        pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {fd, POLLIN, 0}};
        const int ready = ::ppoll(fds, fd < 0 ? 1 : 2, timeout, nullptr);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            SystemCallFailed("ppoll");
        return fds[0].revents == 0;
    }
}

// A line longer than this cannot be shown anyway; what follows of it, up to
// the next line break, is skipped instead of held in memory.
constexpr std::size_t LongestLine = 4096;

} // namespace

TFrameSink::TFrameSink(const TOptions& options) {
    if (options.DryRun)
        return;
    FPort = std::make_unique<TComPort>();
    FPort->BeginSettingsUpdate();
    FPort->SetPort(ChoosePort(options));
    FPort->SetBaudRate(options.BaudRate);
    FPort->SetDataBits(options.DataBits);
    FPort->Parity()->SetBits(options.Parity);
    FPort->SetStopBits(options.StopBits);
    FPort->FlowControl()->SetFlowControl(options.FlowControl);
    // Nothing is ever read back from the module, so no thread watches the line.
    FPort->SetEvents(TComEvents{});
    FPort->EndSettingsUpdate();
    FPort->Open();
    // About ten bits a byte: start bit, data, parity, stop bits.
    FBatchLimit = std::size_t(BaudRateText(options.BaudRate).toInt() / 10);
}

void TFrameSink::Queue(const std::string& frame) {
    if (!FPort) {
        std::printf("%s\n", Hex(frame).c_str());
        return;
    }
    if (!FBatch.empty() && FBatch.size() + frame.size() > FBatchLimit)
        Flush();
    FBatch += frame;
}

void TFrameSink::Flush() {
    if (FBatch.empty())
        return;
    // A write that times out reports fewer bytes without an error; for a
    // script that is a failure all the same.
    const int32_t sent = FPort->WriteString(FBatch);
    if (sent != int32_t(FBatch.size()))
        throw Exception(Format(Translate(QStringLiteral("Write timed out: %d of %d bytes sent")),
                               {QString::number(sent), QString::number(FBatch.size())}));
    FBatch.clear();
}

TStopSignals::TStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&set, signal);
    if (const int error = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); error != 0) {
        errno = error;
        SystemCallFailed("pthread_sigmask");
    }
    FFd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (FFd < 0)
        SystemCallFailed("signalfd");
}

// The signals stay blocked: one that has arrived is still pending, and the
// process is about to end by its own exit status, not by that signal.
TStopSignals::~TStopSignals() {
    ::close(FFd);
}

int StreamLines(TFrameSink& sink, const TOptions& options, const TStopSignals& stop) {
    int number = 0;
    bool rejected = false;
    const auto show = [&](std::string_view line) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        try {
            sink.Queue(DataFrame(CodesFromText(
                QString::fromUtf8(line.data(), qsizetype(line.size())), options.Align)));
        } catch (const EDisplayText& error) {
            rejected = true;
            std::fprintf(stderr, "kv52804: %s\n",
                         qPrintable(Format(Translate(QStringLiteral("line %d: %s")),
                                           {QString::number(number), error.Message()})));
        }
    };

    std::string pending; // the line begun, without its end
    bool skipping = false;
    char buffer[64 * 1024];
    for (;;) {
        if (!WaitReadable(STDIN_FILENO, stop, nullptr))
            return ExitDone;
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got < 0)
            SystemCallFailed("read");
        if (got == 0)
            break;
        std::string_view data(buffer, std::size_t(got));
        for (std::size_t end; (end = data.find('\n')) != std::string_view::npos;) {
            if (!skipping)
                show(pending.append(data.substr(0, end)));
            pending.clear();
            skipping = false;
            data.remove_prefix(end + 1);
        }
        sink.Flush(); // nothing waits for more input
        if (!skipping)
            pending.append(data);
        if (pending.size() > LongestLine) {
            show(pending);
            pending.clear();
            skipping = true;
        }
    }
    if (!pending.empty())
        show(pending);
    sink.Flush();
    return rejected ? ExitBadInput : ExitDone;
}

int RunClock(TFrameSink& sink, const TStopSignals& stop) {
    time_t shown = -1;
    for (;;) {
        timespec now;
        ::clock_gettime(CLOCK_REALTIME, &now);
        if (now.tv_sec != shown) {
            tm local;
            ::localtime_r(&now.tv_sec, &local);
            char text[16];
            std::snprintf(text, sizeof text, "%02d.%02d.%02d", local.tm_hour, local.tm_min,
                          local.tm_sec);
            sink.Send(DataFrame(CodesFromText(QString::fromLatin1(text), TAlign::Centre)));
            shown = now.tv_sec;
            continue; // the send took time: the second may be over already
        }
        // Until the next second begins; an early wake-up finds the same
        // second and waits again.
        const timespec rest{0, 1000000000L - now.tv_nsec};
        if (!WaitReadable(-1, stop, &rest))
            return ExitDone;
    }
}
