// Text forms of the port settings.
#include "CPortTexts.h"

#include "Exception.h"
#include "SysUtils.h"

#include <array>
#include <string_view>

namespace kv52804 {

namespace {

// Index = ordinal of the value.
constexpr std::array<std::string_view, 16> BaudRateTexts{
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<std::string_view, 3> StopBitsTexts{"1", "1.5", "2"};
constexpr std::array<std::string_view, 4> DataBitsTexts{"5", "6", "7", "8"};
constexpr std::array<std::string_view, 5> ParityTexts{"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<std::string_view, 4> FlowControlTexts{"Hardware", "Software", "None",
                                                           "Custom"};
constexpr std::array<std::string_view, 3> DTRControlTexts{"Disable", "Enable", "Handshake"};
constexpr std::array<std::string_view, 4> RTSControlTexts{"Disable", "Enable", "Handshake",
                                                          "Toggle"};

// Only a to z change: the table texts are ASCII, and a wider case mapping
// would let look-alike letters ("ſ", the dotless "ı") match.
constexpr char16_t AsciiUpper(char16_t c) {
    return c >= u'a' && c <= u'z' ? c - 32 : c;
}

constexpr char16_t Code(char c) {
    return char16_t(static_cast<unsigned char>(c));
}
constexpr char16_t Code(QChar c) {
    return c.unicode();
}

template <typename Text> bool EqualsIgnoringAsciiCase(const QString& text, const Text& tableText) {
    if (text.size() != qsizetype(tableText.size()))
        return false;
    for (qsizetype i = 0; i < text.size(); ++i)
        if (AsciiUpper(text[i].unicode()) != AsciiUpper(Code(tableText[i])))
            return false;
    return true;
}

template <typename E, std::size_t N>
QString ValueText(const std::array<std::string_view, N>& table, E value) {
    const auto ordinal = std::size_t(value);
    if (ordinal >= N)
        return QString();
    return QString::fromLatin1(table[ordinal].data(), qsizetype(table[ordinal].size()));
}

template <typename E, std::size_t N>
E ValueFromText(const std::array<std::string_view, N>& table, const QString& text, E fallback) {
    for (std::size_t i = 0; i < N; ++i)
        if (EqualsIgnoringAsciiCase(text, table[i]))
            return E(i);
    return fallback;
}

} // namespace

QString BaudRateText(TBaudRate value) {
    return ValueText(BaudRateTexts, value);
}
QString StopBitsText(TStopBits value) {
    return ValueText(StopBitsTexts, value);
}
QString DataBitsText(TDataBits value) {
    return ValueText(DataBitsTexts, value);
}
QString ParityText(TParityBits value) {
    return ValueText(ParityTexts, value);
}
QString FlowControlText(TFlowControl value) {
    return ValueText(FlowControlTexts, value);
}
QString DTRControlText(TDTRFlowControl value) {
    return ValueText(DTRControlTexts, value);
}
QString RTSControlText(TRTSFlowControl value) {
    return ValueText(RTSControlTexts, value);
}

TBaudRate BaudRateFromText(const QString& text) {
    return ValueFromText(BaudRateTexts, text, br9600);
}
TStopBits StopBitsFromText(const QString& text) {
    return ValueFromText(StopBitsTexts, text, sbOneStopBit);
}
TDataBits DataBitsFromText(const QString& text) {
    return ValueFromText(DataBitsTexts, text, dbEight);
}
TParityBits ParityFromText(const QString& text) {
    return ValueFromText(ParityTexts, text, prNone);
}
TFlowControl FlowControlFromText(const QString& text) {
    return ValueFromText(FlowControlTexts, text, fcCustom);
}
TDTRFlowControl DTRControlFromText(const QString& text) {
    return ValueFromText(DTRControlTexts, text, dtrDisable);
}
TRTSFlowControl RTSControlFromText(const QString& text) {
    return ValueFromText(RTSControlTexts, text, rtsDisable);
}

bool IsSettingText(const QString& text, const QString& settingText) {
    return EqualsIgnoringAsciiCase(text, QStringView(settingText));
}

QString BoolText(bool value) {
    return value ? QStringLiteral("Yes") : QStringLiteral("No");
}
bool BoolFromText(const QString& text) {
    return EqualsIgnoringAsciiCase(text, std::string_view("YES"));
}

QString CharText(char value) {
    const auto code = static_cast<unsigned char>(value);
    if (code >= 33 && code <= 127)
        return QString(QChar(code));
    return u'#' + QString::number(code);
}

char CharFromText(const QString& text) {
    if (text.isEmpty())
        return 0;
    if (text[0] == u'#' && text.size() > 1) {
        try {
            return static_cast<char>(StrToInt(text.mid(1)) & 0xFF);
        } catch (const EConvertError&) {
            return 0;
        }
    }
    // Only Latin-1 characters have an 8-bit code; anything beyond gives 0,
    // like an invalid number.
    return text[0].toLatin1();
}

} // namespace kv52804
