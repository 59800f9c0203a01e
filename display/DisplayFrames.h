#pragma once
// What the display module itself knows, in one place for every program that
// talks to it or stands in for it (the demo, the simulator, the command-line
// tool): its byte frames, its digit order and how text becomes character
// codes.
//
// Frames are counted byte strings: every value 0..255 may occur, 0 included,
// and nothing is escaped.
#include "kv_display_export.h"
#include "Exception.h"

#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace kv52804 {

namespace DisplayFrames {

inline constexpr int DigitCount = 12;
inline constexpr std::size_t DataFrameSize = DigitCount + 3;

inline constexpr unsigned char OpeningByte = 0x80;
inline constexpr unsigned char ClosingByte = 0x84;
inline constexpr unsigned char SwitchOnByte = 0x82;
inline constexpr unsigned char SwitchOffByte = 0x83;

// d1..d12, in frame order.
using TCodes = std::array<uint8_t, DigitCount>;

// The module's digit order. Read from left to right, the module (and the
// demo's window) shows digits 9-12, then 5-8, then 1-4: the group of digits
// 1-4 is the rightmost. Entry p - 1 is the frame digit at position p
// (1..12, counted from the left).
inline constexpr std::array<int, DigitCount> DigitAtPosition = {9, 10, 11, 12, 5, 6,
                                                                7, 8,  1,  2,  3, 4};

// One-byte commands that light and darken the whole module.
KV_DISPLAY_EXPORT std::string SwitchOnCommand();
KV_DISPLAY_EXPORT std::string SwitchOffCommand();

// Character code of one code box: the text converted by StrToInt and checked
// to lie in 0..255. Raises EConvertError ("'<text>' is not a valid integer
// value") or ERangeError ("Range check error").
KV_DISPLAY_EXPORT uint8_t CodeFromText(const QString& text);

// 0x80, the twelve codes, 0x84, 0x82.
KV_DISPLAY_EXPORT std::string DataFrame(const TCodes& codes);

// Reads the code boxes one at a time: for i = 1..12, box(i) gives the text,
// which is converted, and then accepted(i, code) runs before box i + 1 is read.
// The first bad box raises its error; later boxes are not read and no frame is
// returned, so a caller can never send part of a frame.
KV_DISPLAY_EXPORT std::string DataFrameFromBoxes(const std::function<QString(int i)>& box,
                               const std::function<void(int i, uint8_t code)>& accepted);

// "80 15 0B": bytes in hexadecimal, upper case, one blank between.
KV_DISPLAY_EXPORT std::string Hex(const std::string& bytes);

// Text as a person reads it, left to right across the twelve digits.
// Characters map to the character table: digits, blank, "-", "_" (bottom
// bar), "°", the capital letters O C E F H L P U and the small letters
// b c d h i n o u; a letter the table lacks in its case takes the other
// case's form. A "." or "," lights the point of the character before it
// when that character has a form with a point, and otherwise takes a digit
// of its own (the point alone).
enum class TAlign { Right, Left, Centre };

// Why a text cannot be shown. Position counts characters from 1, as the
// text was given.
class KV_DISPLAY_EXPORT EDisplayText : public Exception {
public:
    enum TKind { ekUnknownCharacter, ekTooLong };
    EDisplayText(TKind kind, const QString& character, int position);
    TKind Kind() const { return FKind; }
    int Position() const { return FPosition; }

private:
    TKind FKind;
    int FPosition;
};

// The codes of a text, in frame order, padded with blanks as align says.
// Raises EDisplayText for the first character the table cannot show, or for
// the first character that would need a thirteenth digit.
KV_DISPLAY_EXPORT TCodes CodesFromText(const QString& text, TAlign align = TAlign::Right);

} // namespace DisplayFrames

} // namespace kv52804
