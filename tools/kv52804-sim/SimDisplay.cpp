#include "SimDisplay.h"

#include "VornLED7Seg.h"

#include <QLabel>

using namespace kv52804;

namespace {

// Spaced as in the main window: 56 pixels from digit to digit, 264 from
// group to group, the first digit 16 pixels from the edge.
constexpr int Margin = 16;
constexpr int DigitPitch = 56;
constexpr int GroupPitch = 264;
constexpr int Top = 12;
constexpr int DigitWidth = 63;
constexpr int DigitHeight = 73;
constexpr int BlankCode = 20;

} // namespace

TSimDisplay::TSimDisplay(QWidget* AOwner) : QWidget(AOwner) {
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::black);
    palette.setColor(QPalette::WindowText, QColor(0xC0, 0xC0, 0xC0));
    setPalette(palette);
    for (int p = 0; p < TFrameDecoder::DigitCount; ++p) {
        // Position p from the left shows the frame digit the module shows there.
        const int i = DisplayFrames::DigitAtPosition[p] - 1;
        auto* digit = new TVornLED7Seg(this);
        digit->setObjectName(QStringLiteral("Digit%1").arg(i + 1));
        digit->SetBrightColor(255);
        digit->SetDimColor(80);
        digit->SetBackColor(0);
        digit->SetSpacing(4);
        digit->SetGap(1);
        digit->SetSegWidth(8);
        digit->SetSegShape(TVornLED7Seg::ssDoubleEdge);
        digit->SetValue(BlankCode);
        digit->setEnabled(false);
        digit->SetBounds(Margin + p / 4 * GroupPitch + p % 4 * DigitPitch, Top, DigitWidth,
                         DigitHeight);
        FDigits[i] = digit;
    }
    const int width = Margin + 2 * GroupPitch + 3 * DigitPitch + DigitWidth + Margin;
    FPortLabel = new QLabel(this);
    FPortLabel->setGeometry(16, Top + DigitHeight + 10, width - 32, 18);
    FLastLabel = new QLabel(this);
    FLastLabel->setObjectName(QStringLiteral("LastItem"));
    FLastLabel->setGeometry(16, Top + DigitHeight + 30, width - 32, 18);
    FLastLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    setFixedSize(width, Top + DigitHeight + 56);
}

void TSimDisplay::SetPortText(const QString& text) {
    FPortLabel->setText(text);
}

void TSimDisplay::Apply(const TFrameDecoder::TItem& item) {
    switch (item.Kind) {
    case TFrameDecoder::TKind::DataFrame:
        for (int i = 0; i < TFrameDecoder::DigitCount; ++i)
            FDigits[i]->SetValue(item.Codes[i]);
        break;
    case TFrameDecoder::TKind::SwitchOn:
    case TFrameDecoder::TKind::SwitchOff:
        for (TVornLED7Seg* digit : FDigits)
            digit->setEnabled(item.Kind == TFrameDecoder::TKind::SwitchOn);
        break;
    case TFrameDecoder::TKind::Ignored:
        break;
    }
    FLastLabel->setText(QString::fromStdString(TFrameDecoder::Describe(item)));
}
