// How much the digit widget costs to paint, against the cheapest thing that
// covers the same pixels: twelve plain rectangles of a main-window digit's
// size filled into the same image, and twelve widgets that only fill their
// rectangle. The goal is twelve digits at most twice the plain widgets. Also
// what a change of codes costs, with the pictures shared between the digits
// and with every picture drawn anew, and the time of one layout.
#include "VornLED7Seg.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPixmapCache>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

using namespace kv52804;

namespace {

constexpr int Digits = 12;
constexpr int DigitWidth = 63, DigitHeight = 73, Pitch = 56;

class TBenchLED : public TVornLED7Seg {
public:
    using TVornLED7Seg::TVornLED7Seg;
    void RunLayout() { Layout(); }
};

// A widget that only fills its rectangle: the same trip through QWidget::render
// as a digit, with the least possible painting.
class TPlainWidget : public QWidget {
public:
    TPlainWidget() { setAttribute(Qt::WA_OpaquePaintEvent); }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), Qt::black); }
};

double ThreadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

// Nanoseconds of this thread's CPU time per call of f, best of several
// rounds: the machine is shared, and CPU time with the best round shows
// least of the other work on it.
double NsPerCall(int calls, const std::function<void()>& f) {
    double best = 1e300;
    for (int round = 0; round < 7; ++round) {
        const double start = ThreadCpuNs();
        for (int i = 0; i < calls; ++i)
            f();
        best = std::min(best, (ThreadCpuNs() - start) / calls);
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QImage image(Digits * Pitch + DigitWidth, DigitHeight, QImage::Format_RGB32);
    std::vector<std::unique_ptr<TBenchLED>> digits;
    std::vector<std::unique_ptr<TPlainWidget>> plains;
    for (int i = 0; i < Digits; ++i) {
        auto d = std::make_unique<TBenchLED>();
        d->SetSpacing(4);
        d->SetGap(1);
        d->SetSegWidth(8);
        d->SetValue(quint8(i % 10 + 10 * (i % 2))); // digits, every other with point
        digits.push_back(std::move(d));
        auto p = std::make_unique<TPlainWidget>();
        p->resize(DigitWidth, DigitHeight);
        plains.push_back(std::move(p));
    }

    const int calls = 2000;
    const double rects = NsPerCall(calls, [&] {
        QPainter painter(&image);
        for (int i = 0; i < Digits; ++i)
            painter.fillRect(QRect(i * Pitch, 0, DigitWidth, DigitHeight), Qt::black);
    });
    const double plainWidgets = NsPerCall(calls, [&] {
        for (int i = 0; i < Digits; ++i)
            plains[i]->render(&image, QPoint(i * Pitch, 0));
    });
    const double layoutAndPaint = NsPerCall(calls, [&] {
        for (int i = 0; i < Digits; ++i) {
            digits[i]->SetBounds(0, 0, DigitWidth, DigitHeight);
            digits[i]->RunLayout();
            digits[i]->render(&image, QPoint(i * Pitch, 0));
        }
    });
    const double paintOnly = NsPerCall(calls, [&] {
        for (int i = 0; i < Digits; ++i)
            digits[i]->render(&image, QPoint(i * Pitch, 0));
    });
    // Other codes before every paint: each digit's picture changes and comes
    // from the cache the digits share (drawn only in the first round).
    int shift = 0;
    const auto showNextCodes = [&] {
        ++shift;
        for (int i = 0; i < Digits; ++i) {
            digits[i]->SetValue(quint8((i + shift) % 20));
            digits[i]->render(&image, QPoint(i * Pitch, 0));
        }
    };
    const double newCodes = NsPerCall(calls, showNextCodes);
    const double drawnAnew = NsPerCall(calls, [&] {
        QPixmapCache::clear();
        showNextCodes();
    });
    const double oneLayout = NsPerCall(calls * 50, [&] { digits[0]->RunLayout(); });

    std::printf("twelve %dx%d rectangles filled:           %9.1f us\n", DigitWidth, DigitHeight,
                rects / 1000);
    std::printf("twelve plain widgets rendered:            %9.1f us  (%.2fx rectangles)\n",
                plainWidgets / 1000, plainWidgets / rects);
    std::printf("twelve digits laid out and painted:       %9.1f us  (%.2fx rectangles, %.2fx "
                "plain widgets)\n",
                layoutAndPaint / 1000, layoutAndPaint / rects, layoutAndPaint / plainWidgets);
    std::printf("twelve digits painted (layout kept):      %9.1f us  (%.2fx rectangles, %.2fx "
                "plain widgets)\n",
                paintOnly / 1000, paintOnly / rects, paintOnly / plainWidgets);
    std::printf("  goal, at most 2x twelve plain widgets:  %s\n",
                paintOnly <= 2 * plainWidgets ? "met" : "NOT met");
    std::printf("twelve digits painted, other codes:       %9.1f us  (%.2fx plain widgets)\n",
                newCodes / 1000, newCodes / plainWidgets);
    std::printf("the same, every picture drawn anew:       %9.1f us  (%.2fx plain widgets)\n",
                drawnAnew / 1000, drawnAnew / plainWidgets);
    std::printf("one layout (double-edge, 63x73):          %9.1f ns\n", oneLayout);
    return 0;
}
