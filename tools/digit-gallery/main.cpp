// digit-gallery: every character code of the seven-segment digit, in each of
// the three segment shapes, lit and unlit, in one scrollable window.
//
//   digit-gallery                   show the window
//   digit-gallery --screenshot F    render the whole gallery to the PNG file F and exit
#include "VornLED7Seg.h"

#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QPixmap>
#include <QScrollArea>
#include <QVBoxLayout>
#include <array>
#include <cstdio>

using namespace kv52804;

namespace {

// What each code shows, for the labels.
const std::array<const char*, TVornLED7Seg::CharacterCount> Pictures = {
    "0",     "1",     "2",   "3",      "4",       "5",       "6",       "7",     "8",     "9",
    "0.",    "1.",    "2.",  "3.",     "4.",      "5.",      "6.",      "7.",    "8.",    "9.",
    "blank", "minus", "top", "bottom", "mid+bot", "top+mid", "top+bot", "three", "point", "degree",
    "O",     "C",     "E",   "F",      "H",       "L",       "P",       "U",     "blank", "blank",
    "O.",    "C.",    "E.",  "F.",     "H.",      "L.",      "P.",      "U.",    "blank", "blank",
    "b",     "c",     "d",   "h",      "i",       "n",       "o",       "u",     "blank", "blank",
    "b.",    "c.",    "d.",  "h.",     "i.",      "n.",      "o.",      "u.",    "blank", "blank"};

struct ShapeInfo {
    TVornLED7Seg::TSegmentShape shape;
    const char* title;
    int spacing, width, height;
};

// The double-edge digits have the main window's size and proportions. The
// other two shapes keep no margin for the point on their own, so they get a
// wider Spacing (and size) here to show it whole beside the same bars.
const ShapeInfo Shapes[] = {
    {TVornLED7Seg::ssDoubleEdge, "ssDoubleEdge (main window digit: 63 x 73, Spacing 4)", 4, 63, 73},
    {TVornLED7Seg::ssRectangle, "ssRectangle (77 x 87, Spacing 11)", 11, 77, 87},
    {TVornLED7Seg::ssEdge, "ssEdge (77 x 87, Spacing 11)", 11, 77, 87},
};

TVornLED7Seg* MakeDigit(const ShapeInfo& info, int code, bool lit) {
    auto* digit = new TVornLED7Seg;
    digit->SetSegShape(info.shape);
    digit->SetSpacing(quint8(info.spacing));
    digit->SetGap(1);
    digit->SetSegWidth(8);
    digit->SetDimColor(80);
    digit->SetValue(quint8(code));
    digit->setEnabled(lit);
    // Fixed, so the grid never asks for a size the digit would correct.
    digit->setFixedSize(info.width, info.height);
    digit->setToolTip(QStringLiteral("code %1, %2").arg(code).arg(lit ? "lit" : "unlit"));
    return digit;
}

QWidget* MakeGallery() {
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    for (const ShapeInfo& info : Shapes) {
        auto* heading = new QLabel(QString::fromLatin1(info.title));
        QFont font = heading->font();
        font.setBold(true);
        font.setPointSizeF(font.pointSizeF() * 1.3);
        heading->setFont(font);
        column->addWidget(heading);
        auto* grid = new QGridLayout;
        grid->setHorizontalSpacing(14);
        for (int code = 0; code < TVornLED7Seg::CharacterCount; ++code) {
            auto* cell = new QWidget;
            auto* cellLayout = new QGridLayout(cell);
            cellLayout->setContentsMargins(0, 0, 0, 0);
            cellLayout->setSpacing(2);
            cellLayout->setHorizontalSpacing(6);
            cellLayout->addWidget(new QLabel(QStringLiteral("%1  %2").arg(code).arg(
                                      QString::fromLatin1(Pictures[code]))),
                                  0, 0, 1, 2);
            cellLayout->addWidget(MakeDigit(info, code, true), 1, 0);
            cellLayout->addWidget(MakeDigit(info, code, false), 1, 1);
            grid->addWidget(cell, code / 10, code % 10);
        }
        column->addLayout(grid);
    }
    column->addWidget(new QLabel(
        QStringLiteral("Each cell: code and picture, the digit lit (left) and unlit (right). "
                       "Codes 70 to 255 show blank, like the unassigned codes.")));
    column->addStretch();
    return page;
}

} // namespace

int main(int argc, char** argv) {
    QString screenshot;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
            screenshot = QString::fromLocal8Bit(argv[++i]);
        } else if (qstrcmp(argv[i], "--help") == 0 || qstrcmp(argv[i], "-h") == 0) {
            std::printf("usage: digit-gallery [--screenshot FILE.png]\n");
            return 0;
        }
    }
    // A screenshot needs no display: the offscreen platform renders the same.
    if (!screenshot.isEmpty() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QScrollArea window;
    window.setWindowTitle(QStringLiteral("Seven-segment digit gallery"));
    QWidget* gallery = MakeGallery();
    window.setWidget(gallery);
    window.resize(gallery->sizeHint().width() + 40, 800);
    if (screenshot.isEmpty()) {
        window.show();
        return app.exec();
    }

    // The whole gallery, not only the part the scroll area shows.
    gallery->adjustSize();
    if (!gallery->grab().save(screenshot, "PNG")) {
        std::fprintf(stderr, "digit-gallery: cannot write %s\n", qPrintable(screenshot));
        return 1;
    }
    return 0;
}
