#pragma once
// The module's face: twelve digits in the order the main window shows them
// (digits 9 to 12, then 5 to 8, then 1 to 4 from left to right), lit or dark
// as the last command left them.
#include "FrameDecoder.h"

#include <QWidget>
#include <array>

namespace kv52804 {
class TVornLED7Seg;
}
class QLabel;

class TSimDisplay : public QWidget {
    Q_OBJECT
public:
    explicit TSimDisplay(QWidget* AOwner = nullptr);

    // Shows what one decoded item does to the module, and its log line.
    void Apply(const TFrameDecoder::TItem& item);
    void SetPortText(const QString& text);

    // Digit i (1..12) of the frame.
    kv52804::TVornLED7Seg* Digit(int i) const { return FDigits.at(i - 1); }

private:
    std::array<kv52804::TVornLED7Seg*, TFrameDecoder::DigitCount> FDigits{};
    QLabel* FPortLabel;
    QLabel* FLastLabel;
};
