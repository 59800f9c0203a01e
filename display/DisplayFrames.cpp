#include "DisplayFrames.h"

#include "RtlConsts.h"
#include "SysUtils.h"
#include "gnugettext.h"

#include <string_view>

namespace kv52804 {

namespace DisplayFrames {

namespace {

constexpr uint8_t BlankCode = 20;
constexpr uint8_t PointAloneCode = 28;
constexpr int NoCode = -1;

// The letters of the character table, each case with its own run of codes.
constexpr std::u32string_view Capitals = U"OCEFHLPU"; // codes 30..37
constexpr std::u32string_view Smalls = U"bcdhinou";   // codes 50..57

struct TSymbol {
    char32_t Character;
    uint8_t Code;
};
constexpr TSymbol Symbols[] = {{U' ', BlankCode}, {U'-', 21}, {U'_', 23}, {U'\u00B0', 29}};

int LetterCode(std::u32string_view letters, int first, char32_t c) {
    const std::size_t i = letters.find(c);
    return i == std::u32string_view::npos ? NoCode : first + int(i);
}

// A letter the table lacks in its own case borrows the other case's form.
int CharacterCode(char32_t c) {
    if (c >= U'0' && c <= U'9')
        return int(c - U'0');
    for (const TSymbol& symbol : Symbols)
        if (symbol.Character == c)
            return symbol.Code;
    if (c >= U'A' && c <= U'Z') {
        const int own = LetterCode(Capitals, 30, c);
        return own != NoCode ? own : LetterCode(Smalls, 50, c - U'A' + U'a');
    }
    if (c >= U'a' && c <= U'z') {
        const int own = LetterCode(Smalls, 50, c);
        return own != NoCode ? own : LetterCode(Capitals, 30, c - U'a' + U'A');
    }
    return NoCode;
}

// Digits and letters have a second form with the point lit, ten codes on.
bool HasPointForm(uint8_t code) {
    return code <= 9 || (code >= 30 && code <= 37) || (code >= 50 && code <= 57);
}

QString Shown(char32_t c) {
    // A byte that was not UTF-8, kept as a lone low surrogate by whoever
    // decoded the text, is shown as the byte itself.
    if (c >= 0xDC80 && c <= 0xDCFF)
        return QStringLiteral("\\x") + QString::number(uint(c - 0xDC00), 16).toUpper();
    const QString text = QString::fromUcs4(&c, 1);
    // A control character in quotes would be invisible or break the line.
    if (QChar::isPrint(c))
        return text;
    return QStringLiteral("U+%1").arg(uint(c), 4, 16, QChar(u'0')).toUpper();
}

} // namespace

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

std::string DataFrame(const TCodes& codes) {
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
    TCodes codes{};
    for (int i = 1; i <= DigitCount; ++i) {
        codes[i - 1] = CodeFromText(box(i));
        if (accepted)
            accepted(i, codes[i - 1]);
    }
    return DataFrame(codes);
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (unsigned char b : bytes) {
        if (!out.empty())
            out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

EDisplayText::EDisplayText(TKind kind, const QString& character, int position)
    : Exception(Format(
          kind == ekTooLong
              ? TranslateResourceString(QStringLiteral("Text too long for twelve digits: '%s' "
                                                       "(character %d) does not fit"))
              : TranslateResourceString(
                    QStringLiteral("'%s' (character %d) cannot be shown on the display")),
          {character, QString::number(position)})),
      FKind(kind), FPosition(position) {}

TCodes CodesFromText(const QString& text, TAlign align) {
    // Left to right as read; the frame order comes last.
    std::array<uint8_t, DigitCount> shown{};
    int used = 0;
    int position = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        // Pairs of surrogates are one character; a lone one (toUcs4 would
        // make it U+FFFD) stays itself, so Shown can name it.
        char32_t c = text[i].unicode();
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
        }
        ++position;
        const bool point = c == U'.' || c == U',';
        if (point && used > 0 && HasPointForm(shown[used - 1])) {
            shown[used - 1] += 10;
            continue;
        }
        const int code = point ? PointAloneCode : CharacterCode(c);
        if (code == NoCode)
            throw EDisplayText(EDisplayText::ekUnknownCharacter, Shown(c), position);
        if (used == DigitCount)
            throw EDisplayText(EDisplayText::ekTooLong, Shown(c), position);
        shown[used++] = uint8_t(code);
    }
    const int free = DigitCount - used;
    const int left = align == TAlign::Right ? free : align == TAlign::Centre ? free / 2 : 0;
    TCodes codes;
    codes.fill(BlankCode);
    for (int p = 0; p < used; ++p)
        codes[DigitAtPosition[left + p] - 1] = shown[p];
    return codes;
}

} // namespace DisplayFrames

} // namespace kv52804
