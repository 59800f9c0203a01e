#include "Commands.h"

#include "CommLinux.h"
#include "DisplayFrames.h"
#include "Language.h"
#include "Ports.h"
#include "Streams.h"
#include "SysUtils.h"
#include "gnugettext.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <string_view>
#include <sys/eventfd.h>
#include <unistd.h>

using namespace kv52804;

using namespace DisplayFrames;

namespace {

[[noreturn]] void SystemCallFailed(const char* call) {
    throw ESystemCall(QString::fromLatin1(call), errno);
}

// Waits until fd is readable (true) or a stop signal has come (EStopped), at
// most timeout (nullptr: no limit; false when it runs out).
bool WaitReadable(int fd, const TStopSignals& stop, const timespec* timeout) {
    for (;;) {
        pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {fd, POLLIN, 0}};
        const int ready = ::ppoll(fds, fd < 0 ? 1 : 2, timeout, nullptr);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            SystemCallFailed("ppoll");
        if (fds[0].revents != 0)
            throw EStopped(stop.Arrived());
        return ready > 0;
    }
}

// A line longer than this cannot be shown anyway; what follows of it, up to
// the next line break, is skipped instead of held in memory.
constexpr std::size_t LongestLine = 4096;

// The error codes that are no errno value (ERROR_IO_PENDING and friends) have
// no words of their own.
QString ReasonInWords(int32_t code) {
    if (code <= 0 || code >= int32_t(ERROR_IO_INCOMPLETE) || code == int32_t(WAIT_TIMEOUT))
        return QString();
    return SystemReason(code);
}

// Releases an overlapped record on every path.
struct TAsync {
    explicit TAsync(CommApi& api) { NewAsyncRecord(Record, api); }
    ~TAsync() { FreeAsyncRecord(Record); }
    TAsync(const TAsync&) = delete;
    TAsync& operator=(const TAsync&) = delete;
    PAsync Record = nullptr;
};

} // namespace

QString PortErrorMessage(const QString& port, const EComPort& error) {
    QString reason = ReasonInWords(error.WinErrorCode());
    if (!reason.isEmpty() && !error.Detail().isEmpty())
        reason += QStringLiteral(": ") + error.Detail(); // which lock file, what a server said
    QString message = error.Message();
    if (!reason.isEmpty())
        message = Format(Translate(QStringLiteral("%s (%s, win error code: %d)")),
                         {reason, TranslateResourceString(PortErrorOriginal(error.ErrorCode())),
                          QString::number(error.WinErrorCode())});
    return port.isEmpty() ? message : port + QStringLiteral(": ") + message;
}

EStopped::EStopped(int signal)
    : Exception(QStringLiteral("stopped by signal %1").arg(signal)), FSignal(signal) {}

TFrameSink::TFrameSink(const TOptions& options, std::unique_ptr<TComPort> port,
                       const TStopSignals* stop) {
    if (options.DryRun)
        return;
    const QString name = ChoosePort(options, port->Port());
    FPortLabel = PortLabel(name);
    FPort = std::move(port);
    // Watched from before the open: a network open may wait for its server.
    if (stop)
        WatchForStop(*stop);
    try {
        FPort->SetPort(name);
        // Nothing is ever read back from the module, so no thread watches the line.
        FPort->SetEvents(TComEvents{});
        FPort->Open();
    } catch (const EComPort& error) {
        EndWatcher();
        if (FStop && FStop->Arrived() != 0)
            throw EStopped(FStop->Arrived());
        Failed(error);
    }
    // About ten bits a byte: start bit, data, parity, stop bits.
    FBatchLimit = std::size_t(FPort->BuildDCB().BaudRate / 10);
}

TFrameSink::~TFrameSink() {
    EndWatcher();
    // The port closes after the watcher has gone: the watcher uses it.
}

void TFrameSink::EndWatcher() {
    if (FWatcher.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(FQuitFd, &one, sizeof one);
        FWatcher.join();
    }
    if (FQuitFd >= 0)
        ::close(FQuitFd);
    FQuitFd = -1;
}

void TFrameSink::WatchForStop(const TStopSignals& stop) {
    FStop = &stop;
    FQuitFd = ::eventfd(0, EFD_CLOEXEC);
    if (FQuitFd < 0)
        SystemCallFailed("eventfd");
    FWatcher = std::thread([this] {
        pollfd fds[2] = {{FStop->Fd(), POLLIN, 0}, {FQuitFd, POLLIN, 0}};
        while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
        }
        if (fds[0].revents == 0)
            return; // asked to quit
        std::lock_guard lock(FStopMutex);
        FStopped = true;
        // An open or a setting that waits for a network server ends at once.
        if (auto* backend = dynamic_cast<CommLinux*>(FPort->GetCommApi()))
            backend->StopNetworkWaits();
        // Ends a write under way (it reports ECANCELED) and drops its bytes
        // from the output queue, the network socket's too; a write that
        // comes later is never begun.
        if (FPort->Handle() != INVALID_HANDLE_VALUE)
            FPort->GetCommApi()->PurgeComm(FPort->Handle(), PURGE_TXABORT | PURGE_TXCLEAR);
    });
}

void TFrameSink::Failed(const Exception& error) const {
    if (const auto* port = dynamic_cast<const EComPort*>(&error))
        throw EPortFailed(PortErrorMessage(FPortLabel, *port));
    throw EPortFailed(FPortLabel + QStringLiteral(": ") + error.Message());
}

void TFrameSink::Queue(const std::string& frame) {
    if (!FPort) {
        Print(QByteArray::fromStdString(Hex(frame) + '\n'));
        return;
    }
    if (!FBatch.empty() && FBatch.size() + frame.size() > FBatchLimit)
        Flush();
    FBatch += frame;
}

void TFrameSink::Flush() {
    if (!FPort) {
        FlushOutput();
        return;
    }
    if (FBatch.empty())
        return;
    int32_t sent = 0;
    try {
        TAsync async(*FPort->GetCommApi());
        {
            // Begun under the lock, so a stop either finds the write under
            // way and aborts it, or comes first and the write never begins.
            std::lock_guard lock(FStopMutex);
            if (FStopped)
                throw EStopped(FStop->Arrived());
            FPort->BeginWriteString(FBatch, async.Record);
        }
        sent = FPort->AwaitCompletion(async.Record);
    } catch (const EComPort& error) {
        if (FStop && FStop->Arrived() != 0)
            throw EStopped(FStop->Arrived());
        Failed(error);
    }
    // A write that times out reports fewer bytes without an error; for a
    // script that is a failure all the same.
    if (sent != int32_t(FBatch.size())) {
        if (FStop && FStop->Arrived() != 0)
            throw EStopped(FStop->Arrived());
        Failed(Exception(Format(Translate(QStringLiteral("Write timed out: %d of %d bytes sent")),
                                {QString::number(sent), QString::number(FBatch.size())})));
    }
    FBatch.clear();
}

int StreamLines(TFrameSink& sink, const TOptions& options, const TStopSignals& stop) {
    int number = 0;
    bool rejected = false;
    const auto show = [&](std::string_view line) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        try {
            sink.Queue(DataFrame(
                CodesFromText(DecodeUtf8Escaped(line.data(), line.size()), options.Align)));
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
        WaitReadable(STDIN_FILENO, stop, nullptr);
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got < 0)
            throw EInput(errno);
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

void RunClock(TFrameSink& sink, const TStopSignals& stop) {
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
        WaitReadable(-1, stop, &rest);
    }
}
