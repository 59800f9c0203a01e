// Start-up to the main window's first paint, and peak memory at that moment,
// each as a ratio to a minimal Qt Widgets program with the same number of
// widgets, measured in the same run (alternating child processes). When
// bench_app_startup_shared (the same window with the components as shared
// libraries) is beside it, that one runs in turn too and is set against this
// static build.
//
//   bench_app_startup            runs both kinds 15 times each and prints medians
//   bench_app_startup app|plain  one run: prints "<monotonic ns at first paint> <peak KiB>"
//
// bench/app_startup.sh runs it under Xvfb; without a display it uses the
// offscreen platform.
#include "ProgramModules.h"
#include "U001.h"

#include <QApplication>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sys/resource.h>
#include <vector>

using namespace kv52804;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Runs = 15;

// Reports the first paint of the window, once, after it has been painted.
class TFirstPaint : public QObject {
public:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint && !FSeen) {
            FSeen = true;
            const auto at = Clock::now().time_since_epoch();
            QTimer::singleShot(0, [at] {
                rusage usage{};
                ::getrusage(RUSAGE_SELF, &usage);
                std::printf("%lld %ld\n",
                            static_cast<long long>(
                                std::chrono::duration_cast<std::chrono::nanoseconds>(at).count()),
                            usage.ru_maxrss);
                std::fflush(stdout);
                QCoreApplication::exit(0);
            });
        }
        return false;
    }

private:
    bool FSeen = false;
};

// The same number and kinds of widgets as the main window, with nothing behind
// them: 12 digit areas, 12 text boxes, 5 buttons, 8 labels, 3 rectangles.
void BuildPlainWindow(QWidget& w) {
    w.setFixedSize(1143, 571);
    w.setWindowTitle(QStringLiteral("plain"));
    for (int i = 0; i < 12; ++i) {
        auto* digit = new QWidget(&w);
        digit->setAutoFillBackground(true);
        digit->setPalette(QPalette(Qt::black));
        digit->setGeometry(32 + 56 * i, 104, 63, 73);
        (new QLineEdit(QStringLiteral("011"), &w))->setGeometry(392 + 40 * i, 344, 41, 26);
    }
    for (int i = 0; i < 5; ++i)
        (new QPushButton(QStringLiteral("Button"), &w))->setGeometry(1016, 280 + 40 * i, 73, 25);
    for (int i = 0; i < 8; ++i)
        (new QLabel(QStringLiteral("130"), &w))->setGeometry(56 + 100 * i, 408, 33, 18);
    for (int i = 0; i < 3; ++i)
        (new QFrame(&w))->setGeometry(100 + 48 * i, 440, 33, 25);
}

int RunOne(int argc, char** argv, bool app) {
    std::optional<TProgramModules> modules;
    if (app)
        modules.emplace();
    QApplication application(argc, argv);
    TFirstPaint firstPaint;
    std::unique_ptr<QWidget> window;
    if (app) {
        window = std::make_unique<TFormMain>();
    } else {
        window = std::make_unique<QWidget>();
        BuildPlainWindow(*window);
    }
    window->installEventFilter(&firstPaint);
    window->show();
    QTimer::singleShot(10000, [] { QCoreApplication::exit(1); });
    return application.exec();
}

struct TSample {
    double Ms;
    long PeakKiB;
};

std::optional<TSample> Spawn(const QString& self, const char* kind) {
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const auto start = Clock::now().time_since_epoch();
    child.start(self, {QString::fromLatin1(kind)});
    if (!child.waitForFinished(20000) || child.exitCode() != 0)
        return std::nullopt;
    long long paintedNs = 0;
    long peak = 0;
    if (std::sscanf(child.readAllStandardOutput().constData(), "%lld %ld", &paintedNs, &peak) != 2)
        return std::nullopt;
    const double ms =
        (paintedNs - std::chrono::duration_cast<std::chrono::nanoseconds>(start).count()) / 1e6;
    return TSample{ms, peak};
}

template <typename T> T Median(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "app") == 0 || std::strcmp(argv[1], "plain") == 0))
        return RunOne(argc, argv, std::strcmp(argv[1], "app") == 0);

    const QString self = QString::fromLocal8Bit("/proc/self/exe");
    const QString shared = QFileInfo(self).canonicalPath() + "/bench_app_startup_shared";
    const bool withShared = QFileInfo(shared).isExecutable();
    std::vector<double> appMs, plainMs, sharedMs;
    std::vector<long> appKiB, plainKiB, sharedKiB;
    for (int i = 0; i < Runs; ++i) {
        const auto plain = Spawn(self, "plain");
        const auto app = Spawn(self, "app");
        const auto viaShared = withShared ? Spawn(shared, "app") : app;
        if (!plain || !app || !viaShared) {
            std::fprintf(stderr, "a child run failed\n");
            return 1;
        }
        plainMs.push_back(plain->Ms);
        plainKiB.push_back(plain->PeakKiB);
        appMs.push_back(app->Ms);
        appKiB.push_back(app->PeakKiB);
        sharedMs.push_back(viaShared->Ms);
        sharedKiB.push_back(viaShared->PeakKiB);
    }
    const double tApp = Median(appMs), tPlain = Median(plainMs), tShared = Median(sharedMs);
    const long mApp = Median(appKiB), mPlain = Median(plainKiB), mShared = Median(sharedKiB);
    const auto row = [](const char* what, double ratio, double goal) {
        std::printf("  %-32s: %6.2f x  (goal at most %.1fx: %s)\n", what, ratio, goal,
                    ratio <= goal ? "met" : "NOT met");
    };
    std::printf("start-up to first paint (median of %d runs each)\n", Runs);
    std::printf("  main window                     : %8.1f ms   peak %7ld KiB\n", tApp, mApp);
    if (withShared)
        std::printf("  main window, shared components  : %8.1f ms   peak %7ld KiB\n", tShared,
                    mShared);
    std::printf("  plain Qt window                 : %8.1f ms   peak %7ld KiB\n", tPlain, mPlain);
    row("time, main / plain", tApp / tPlain, 1.5);
    row("memory, main / plain", double(mApp) / mPlain, 1.3);
    if (withShared) {
        row("time, shared / static", tShared / tApp, 1.1);
        row("memory, shared / static", double(mShared) / mApp, 1.1);
    }
    return 0;
}
