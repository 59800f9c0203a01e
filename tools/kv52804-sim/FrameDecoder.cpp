#include "FrameDecoder.h"

#include <utility>

using namespace kv52804;

using namespace DisplayFrames;

namespace {

constexpr std::size_t FrameSize = DataFrameSize - 1; // without the trailing 0x82

} // namespace

void TFrameDecoder::Feed(const std::string& bytes) {
    for (char c : bytes)
        FeedByte(uint8_t(c));
    // Stray bytes are reported once per read rather than byte by byte, but
    // never held back past the end of what has arrived.
    if (!FIgnored.empty())
        Emit(TKind::Ignored, std::exchange(FIgnored, {}));
}

void TFrameDecoder::FeedByte(uint8_t byte) {
    if (FPending.empty()) {
        switch (byte) {
        case OpeningByte:
            break;
        case SwitchOnByte:
        case SwitchOffByte:
            if (!FIgnored.empty())
                Emit(TKind::Ignored, std::exchange(FIgnored, {}));
            Emit(byte == SwitchOnByte ? TKind::SwitchOn : TKind::SwitchOff,
                 std::string(1, char(byte)));
            return;
        default:
            FIgnored += char(byte);
            return;
        }
        if (!FIgnored.empty())
            Emit(TKind::Ignored, std::exchange(FIgnored, {}));
    }
    FPending += char(byte);
    if (FPending.size() < FrameSize)
        return;
    if (byte == ClosingByte) {
        TItem item{TKind::DataFrame, std::exchange(FPending, {}), {}};
        for (int i = 0; i < DigitCount; ++i)
            item.Codes[i] = uint8_t(item.Bytes[1 + i]);
        FSink(item);
        return;
    }
    Resynchronise();
}

// The frame did not close after twelve data bytes: it was cut short or was
// never a frame. Its opening byte is dropped and the rest is decoded again,
// so a real frame that began inside it is still found.
void TFrameDecoder::Resynchronise() {
    const std::string rest = FPending.substr(1);
    FPending.clear();
    FIgnored += char(OpeningByte);
    for (char c : rest)
        FeedByte(uint8_t(c));
}

void TFrameDecoder::Emit(TKind kind, std::string bytes) {
    FSink(TItem{kind, std::move(bytes), {}});
}

std::string TFrameDecoder::Describe(const TItem& item) {
    std::string line = Hex(item.Bytes) + "  ";
    switch (item.Kind) {
    case TKind::DataFrame:
        line += "data:";
        for (uint8_t code : item.Codes)
            line += ' ' + std::to_string(code);
        break;
    case TKind::SwitchOn:
        line += "display on";
        break;
    case TKind::SwitchOff:
        line += "display off";
        break;
    case TKind::Ignored:
        line += "ignored: not part of a frame";
        break;
    }
    return line;
}
