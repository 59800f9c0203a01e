#pragma once
// The byte frames understood by the display module. Frames are counted byte
// strings: every value 0..255 may occur, 0 included, and nothing is escaped.
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace DisplayFrames {

inline constexpr int DigitCount = 12;
inline constexpr std::size_t DataFrameSize = DigitCount + 3;

inline constexpr unsigned char OpeningByte = 0x80;
inline constexpr unsigned char ClosingByte = 0x84;
inline constexpr unsigned char SwitchOnByte = 0x82;
inline constexpr unsigned char SwitchOffByte = 0x83;

// One-byte commands that light and darken the whole module.
std::string SwitchOnCommand();
std::string SwitchOffCommand();

// Character code of one code box: the text converted by StrToInt and checked
// to lie in 0..255. Raises EConvertError ("'<text>' is not a valid integer
// value") or ERangeError ("Range check error").
uint8_t CodeFromText(const QString& text);

// 0x80, the twelve codes, 0x84, 0x82.
std::string DataFrame(const std::array<uint8_t, DigitCount>& codes);

// Reads the code boxes one at a time: for i = 1..12, box(i) gives the text,
// which is converted, and then accepted(i, code) runs before box i + 1 is read.
// The first bad box raises its error; later boxes are not read and no frame is
// returned, so a caller can never send part of a frame.
std::string DataFrameFromBoxes(const std::function<QString(int i)>& box,
                               const std::function<void(int i, uint8_t code)>& accepted);

} // namespace DisplayFrames
