// Text forms of the port settings, both ways.
#include "CPortTexts.h"

#include <gtest/gtest.h>

using namespace kv52804;

namespace {

// Every value of an enumeration turns into its own text and back, and the
// texts are the ones the selectors list (so a stored setup stays readable).
template <typename E>
void ExpectRoundTrip(const QStringList& texts, QString (*toText)(E),
                     E (*fromText)(const QString&)) {
    for (int i = 0; i < texts.size(); ++i) {
        const E value = E(i);
        EXPECT_EQ(toText(value), texts[i]) << "ordinal " << i;
        EXPECT_EQ(fromText(toText(value)), value) << "ordinal " << i;
        EXPECT_EQ(fromText(texts[i].toLower()), value) << "lower case, ordinal " << i;
        EXPECT_EQ(fromText(texts[i].toUpper()), value) << "upper case, ordinal " << i;
    }
}

TEST(SettingTexts, EveryValueRoundTrips) {
    ExpectRoundTrip<TBaudRate>({"Custom", "110", "300", "600", "1200", "2400", "4800", "9600",
                                "14400", "19200", "38400", "56000", "57600", "115200", "128000",
                                "256000"},
                               BaudRateText, BaudRateFromText);
    ExpectRoundTrip<TStopBits>({"1", "1.5", "2"}, StopBitsText, StopBitsFromText);
    ExpectRoundTrip<TDataBits>({"5", "6", "7", "8"}, DataBitsText, DataBitsFromText);
    ExpectRoundTrip<TParityBits>({"None", "Odd", "Even", "Mark", "Space"}, ParityText,
                                 ParityFromText);
    ExpectRoundTrip<TFlowControl>({"Hardware", "Software", "None", "Custom"}, FlowControlText,
                                  FlowControlFromText);
    ExpectRoundTrip<TDTRFlowControl>({"Disable", "Enable", "Handshake"}, DTRControlText,
                                     DTRControlFromText);
    ExpectRoundTrip<TRTSFlowControl>({"Disable", "Enable", "Handshake", "Toggle"}, RTSControlText,
                                     RTSControlFromText);
}

TEST(SettingTexts, TextsThatMatchNothingGiveTheFallback) {
    struct Row {
        const char* name;
        QString text;
    };
    // Nothing is trimmed, no other decimal mark is read, and only ASCII
    // letters fold: a dotless i or a long s upper-cases to I or S in Unicode,
    // yet "Dısable" is no way of writing "Disable".
    const Row rows[] = {{"empty", ""},
                        {"trailing blank", "9600 "},
                        {"leading blank", " 9600"},
                        {"comma", "1,5"},
                        {"number of another setting", "250000"},
                        {"dotless i", QString::fromUtf8("D\u0131SABLE")},
                        {"long s", QString::fromUtf8("\u017fPACE")}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(BaudRateFromText(row.text), br9600);
        EXPECT_EQ(StopBitsFromText(row.text), sbOneStopBit);
        EXPECT_EQ(DataBitsFromText(row.text), dbEight);
        EXPECT_EQ(ParityFromText(row.text), prNone);
        EXPECT_EQ(FlowControlFromText(row.text), fcCustom);
        EXPECT_EQ(DTRControlFromText(row.text), dtrDisable);
        EXPECT_EQ(RTSControlFromText(row.text), rtsDisable);
    }
    EXPECT_EQ(BaudRateFromText("custom"), brCustom);
    EXPECT_EQ(FlowControlFromText("none"), fcNone);
    EXPECT_EQ(StopBitsFromText("1.5"), sbOne5StopBits);
}

TEST(SettingTexts, BooleanTexts) {
    EXPECT_EQ(BoolText(true), "Yes");
    EXPECT_EQ(BoolText(false), "No");
    for (const char* yes : {"YES", "yes", "Yes", "yEs"})
        EXPECT_TRUE(BoolFromText(yes)) << yes;
    for (const char* other : {"Y", "true", "1", "No", "", "yes "})
        EXPECT_FALSE(BoolFromText(other)) << other;
}

TEST(SettingTexts, CharacterTexts) {
    struct Row {
        int code;
        QString text;
    };
    const Row toText[] = {{0, "#0"},     {13, "#13"},   {32, "#32"},   {33, "!"},    {65, "A"},
                          {127, "\x7f"}, {128, "#128"}, {200, "#200"}, {255, "#255"}};
    for (const Row& row : toText)
        EXPECT_EQ(CharText(char(row.code)), row.text) << row.code;

    const Row fromText[] = {{0, ""},       {13, "#13"}, {'#', "#"}, {0, "#A"},   {44, "#300"},
                            {200, "#200"}, {'A', "AB"}, {'!', "!"}, {0, "#13x"}, {32, "#32"}};
    for (const Row& row : fromText)
        EXPECT_EQ(static_cast<unsigned char>(CharFromText(row.text)), row.code)
            << row.text.toStdString();

    // Every code survives the trip through its text.
    for (int code = 0; code < 256; ++code)
        EXPECT_EQ(static_cast<unsigned char>(CharFromText(CharText(char(code)))), code) << code;
}

} // namespace
