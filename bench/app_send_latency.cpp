// Time from a click on "Wyślij" to the fifteenth byte of the data frame at
// the display module's end of the line, median over 50 clicks, against a
// baseline measured in the same run: a plain button whose click writes the
// same 15 bytes with write(2) to the same kind of pseudo-terminal.
//
// Under X (run it through bench/app_send_latency.sh, which starts Xvfb) the
// clicks are real pointer clicks made with xdotool, and the clock starts when
// the button release (the click) reaches the application; without xdotool the press and
// release are delivered as events, from the same starting point.
#include "ProgramModules.h"
#include "U001.h"

#include <QApplication>
#include <QEventLoop>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace kv52804;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Clicks = 50;
constexpr std::size_t FrameSize = 15;

// The module's end: a pseudo-terminal master read by a thread of its own,
// which stamps the moment each fifteenth byte arrives.
class TModuleEnd {
public:
    TModuleEnd() {
        FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (FMaster < 0 || ::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0)
            throw std::runtime_error("posix_openpt failed");
        FSlavePath = QString::fromLocal8Bit(::ptsname(FMaster));
        // Held open so the line never hangs up between clients.
        FSlave = ::open(::ptsname(FMaster), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        ::tcgetattr(FSlave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(FSlave, TCSANOW, &tio);
        FStop = ::eventfd(0, EFD_CLOEXEC);
        FThread = std::thread([this] { Run(); });
    }
    ~TModuleEnd() {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(FStop, &one, sizeof one);
        FThread.join();
        ::close(FStop);
        ::close(FSlave);
        ::close(FMaster);
    }
    const QString& SlavePath() const { return FSlavePath; }
    int SlaveFd() const { return FSlave; }
    std::size_t Frames() const { return FFrames.load(); }
    Clock::time_point FrameTime(std::size_t i) {
        std::lock_guard lock(FMutex);
        return FTimes.at(i);
    }

private:
    void Run() {
        std::size_t bytes = 0;
        char buffer[256];
        for (;;) {
            pollfd fds[2] = {{FMaster, POLLIN, 0}, {FStop, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0)
                continue;
            if (fds[1].revents)
                return;
            const ssize_t n = ::read(FMaster, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            const auto now = Clock::now();
            const std::size_t before = bytes / FrameSize;
            bytes += std::size_t(n);
            if (bytes / FrameSize > before) {
                std::lock_guard lock(FMutex);
                FTimes.push_back(now);
                FFrames = bytes / FrameSize;
            }
        }
    }
    int FMaster = -1, FSlave = -1, FStop = -1;
    QString FSlavePath;
    std::thread FThread;
    std::mutex FMutex;
    std::vector<Clock::time_point> FTimes;
    std::atomic<std::size_t> FFrames{0};
};

// The main window with the setup dialog answered by the benchmark.
class TBenchForm : public TFormMain {
public:
    explicit TBenchForm(QString APort) : FPort(std::move(APort)) {}

protected:
    void RunPortSetup(TComPort& APort) override { APort.SetPort(FPort); }

private:
    QString FPort;
};

// Stamps the moment the button's release reaches the button: that is when
// a push button is clicked (the time the pointer is held down belongs to the
// person or the tool, not to the program).
class TClickClock : public QObject {
public:
    Clock::time_point Clicked;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::MouseButtonRelease)
            Clicked = Clock::now();
        return false;
    }
};

class TClicker {
public:
    TClicker() : FXdotool(QStandardPaths::findExecutable("xdotool")) {
        FReal = !FXdotool.isEmpty() && QGuiApplication::platformName() == "xcb";
    }
    bool Real() const { return FReal; }
    // Starts a click; Finish waits for the tool that makes it, if any.
    void Click(QWidget* w) {
        const QPoint centre = w->rect().center();
        if (FReal) {
            const QString window = QString::number(w->window()->winId());
            const QPoint p = w->mapTo(w->window(), centre);
            FProcess.start(FXdotool, {"mousemove", "--window", window, QString::number(p.x()),
                                      QString::number(p.y()), "click", "1"});
            return;
        }
        const QPointF global = w->mapToGlobal(QPointF(centre));
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(centre), global, Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(centre), global, Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(w, &press);
        QApplication::sendEvent(w, &release);
    }

    void Finish() {
        if (FProcess.state() != QProcess::NotRunning)
            FProcess.waitForFinished(5000);
    }

private:
    QString FXdotool;
    bool FReal = false;
    QProcess FProcess;
};

// Waits (running the event loop) until the module end has seen `frames`
// frames; false after five seconds.
bool WaitFrames(TModuleEnd& module, std::size_t frames) {
    QEventLoop loop;
    QTimer poll, deadline;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (module.Frames() >= frames)
            loop.quit();
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start(0);
    deadline.start(5000);
    if (module.Frames() < frames)
        loop.exec();
    return module.Frames() >= frames;
}

void WaitExposed(QWidget& w) {
    w.show();
    QEventLoop loop;
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Clicks `button` 50 times; each time the latency from the press reaching the
// button to the frame's last byte at the module end, in milliseconds.
std::vector<double> Measure(TClicker& clicker, QPushButton* button, TModuleEnd& module) {
    TClickClock clock;
    button->installEventFilter(&clock);
    std::vector<double> latencies;
    for (int i = 0; i < Clicks; ++i) {
        const std::size_t before = module.Frames();
        clicker.Click(button);
        const bool arrived = WaitFrames(module, before + 1);
        clicker.Finish();
        if (!arrived) {
            std::fprintf(stderr, "click %d: no frame arrived\n", i + 1);
            break;
        }
        latencies.push_back(
            std::chrono::duration<double, std::milli>(module.FrameTime(before) - clock.Clicked)
                .count());
    }
    button->removeEventFilter(&clock);
    return latencies;
}

} // namespace

int main(int argc, char** argv) {
    TProgramModules modules;
    QApplication app(argc, argv);
    TClicker clicker;

    // Baseline: the same click and the same 15 bytes, written with write(2).
    TModuleEnd baselineEnd;
    QPushButton plain(QStringLiteral("Wyślij"));
    plain.setGeometry(100, 100, 73, 25);
    const std::string frame("\x80\x15\x0B\x02\x03\x14\x0F\x06\x07\x12\x09\x0A\x0B\x84\x82", 15);
    QObject::connect(&plain, &QPushButton::clicked, [&] {
        [[maybe_unused]] ssize_t n = ::write(baselineEnd.SlaveFd(), frame.data(), frame.size());
    });
    WaitExposed(plain);
    const auto baseline = Measure(clicker, &plain, baselineEnd);
    plain.hide();

    TModuleEnd moduleEnd;
    TBenchForm form(moduleEnd.SlavePath());
    WaitExposed(form);
    form.Button1->click();
    if (!form.ComPort1->Connected()) {
        std::fprintf(stderr, "the port did not open\n");
        return 1;
    }
    const auto latencies = Measure(clicker, form.ButtonSend, moduleEnd);
    form.ComPort1->Close();

    if (latencies.size() != Clicks || baseline.size() != Clicks) {
        std::fprintf(stderr, "incomplete run\n");
        return 1;
    }
    const double app_ms = Median(latencies), base_ms = Median(baseline);
    std::printf("send latency (%s clicks, median of %d)\n",
                clicker.Real() ? "X pointer" : "delivered", Clicks);
    std::printf("  main window \"Wyslij\" -> 15th byte : %8.3f ms (max %.3f)\n", app_ms,
                *std::max_element(latencies.begin(), latencies.end()));
    std::printf("  baseline button + write(2)       : %8.3f ms\n", base_ms);
    std::printf("  ratio                            : %8.2f x\n", app_ms / base_ms);
    std::printf("  target under 5 ms                : %s\n", app_ms < 5.0 ? "met" : "NOT met");
    return 0;
}
