#include "DisplayFrames.h"

#include "Exception.h"
#include "RtlConsts.h"
#include "SysUtils.h"

namespace DisplayFrames {

std::string SwitchOnCommand() {
    return std::string(1, char(SwitchOnByte));
}
std::string SwitchOffCommand() {
    return std::string(1, char(SwitchOffByte));
}

uint8_t CodeFromText(const QString& text) {
    const int32_t value = StrToInt(text);
    if (value < 0 || value > 255)
        throw ERangeError(LoadResString(SRangeError));
    return uint8_t(value);
}

std::string DataFrame(const std::array<uint8_t, DigitCount>& codes) {
    std::string frame;
    frame.reserve(DataFrameSize);
    frame += char(OpeningByte);
    for (uint8_t code : codes)
        frame += char(code);
    frame += char(ClosingByte);
    frame += char(SwitchOnByte);
    return frame;
}

std::string DataFrameFromBoxes(const std::function<QString(int i)>& box,
                               const std::function<void(int i, uint8_t code)>& accepted) {
    std::array<uint8_t, DigitCount> codes{};
    for (int i = 1; i <= DigitCount; ++i) {
        codes[i - 1] = CodeFromText(box(i));
        if (accepted)
            accepted(i, codes[i - 1]);
    }
    return DataFrame(codes);
}

} // namespace DisplayFrames
