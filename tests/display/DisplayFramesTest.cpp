#include "DisplayFrames.h"
#include "Exception.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

using namespace kv52804;

namespace {

using namespace DisplayFrames;

const char* const DefaultTexts[DigitCount] = {"021", "011", "002", "003", "020", "015",
                                              "006", "007", "018", "009", "010", "011"};

TEST(DisplayFrames, DefaultBoxesGiveTheDocumentedFrame) {
    std::vector<std::pair<int, int>> accepted;
    const std::string frame =
        DataFrameFromBoxes([](int i) { return QString(DefaultTexts[i - 1]); },
                           [&](int i, uint8_t code) { accepted.emplace_back(i, code); });
    EXPECT_EQ(Hex(frame), "80 15 0B 02 03 14 0F 06 07 12 09 0A 0B 84 82");
    ASSERT_EQ(accepted.size(), 12u);
    for (int i = 1; i <= 12; ++i)
        EXPECT_EQ(accepted[i - 1].first, i);
}

TEST(DisplayFrames, CommandsAreSingleBytes) {
    EXPECT_EQ(Hex(SwitchOnCommand()), "82");
    EXPECT_EQ(Hex(SwitchOffCommand()), "83");
}

TEST(DisplayFrames, CodeBoxTextsGiveOneByteOrTheExactError) {
    struct Row {
        const char* text;
        int code; // -1: conversion error, -2: range error
    };
    const Row rows[] = {
        {"7", 7},  {" 7", 7},  {"007", 7},   {"$FF", 255}, {"0x1f", 31}, {"x10", 16},  {"+5", 5},
        {"-0", 0}, {"000", 0}, {"255", 255}, {"128", 128}, {"130", 130}, {"1a", -1},   {"", -1},
        {" ", -1}, {"$", -1},  {"0x", -1},   {"256", -2},  {"-1", -2},   {"$100", -2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const QString text(row.text);
        if (row.code >= 0) {
            EXPECT_EQ(CodeFromText(text), row.code);
            continue;
        }
        try {
            CodeFromText(text);
            ADD_FAILURE() << "accepted";
        } catch (const EConvertError& e) {
            EXPECT_EQ(row.code, -1);
            EXPECT_EQ(e.Message(), "'" + text + "' is not a valid integer value");
        } catch (const ERangeError& e) {
            EXPECT_EQ(row.code, -2);
            EXPECT_EQ(e.Message(), "Range check error");
        }
    }
}

TEST(DisplayFrames, FirstBadBoxStopsBeforeLaterBoxesAreRead) {
    for (const char* bad : {"abc", "256"}) {
        SCOPED_TRACE(bad);
        std::vector<int> read, accepted;
        bool produced = false;
        try {
            DataFrameFromBoxes(
                [&](int i) {
                    read.push_back(i);
                    return i == 5 ? QString(bad) : QString("1");
                },
                [&](int i, uint8_t) { accepted.push_back(i); });
            produced = true;
        } catch (const Exception&) {
        }
        EXPECT_FALSE(produced);
        EXPECT_EQ(read, (std::vector<int>{1, 2, 3, 4, 5}));
        EXPECT_EQ(accepted, (std::vector<int>{1, 2, 3, 4}));
    }
}

// Codes as a person reads them, left to right; the test's own copy of the
// module's order puts them into frame order.
TCodes Frame(std::initializer_list<int> shown) {
    const int frameDigit[DigitCount] = {9, 10, 11, 12, 5, 6, 7, 8, 1, 2, 3, 4};
    TCodes codes{};
    int p = 0;
    for (int code : shown)
        codes[frameDigit[p++] - 1] = uint8_t(code);
    return codes;
}

TEST(DisplayFrames, TextBecomesCodesOfTheCharacterTableInTheModulesOrder) {
    struct Row {
        const char* text;
        TAlign align;
        TCodes codes;
    };
    const auto R = TAlign::Right, L = TAlign::Left, C = TAlign::Centre;
    const Row rows[] = {
        {"HELLO 12.5", R, Frame({20, 20, 20, 34, 32, 35, 35, 30, 20, 1, 12, 5})},
        {"hello", R, Frame({20, 20, 20, 20, 20, 20, 20, 53, 32, 35, 35, 56})},
        {"OCEFHLPU", L, Frame({30, 31, 32, 33, 34, 35, 36, 37, 20, 20, 20, 20})},
        {"bcdhinou", L, Frame({50, 51, 52, 53, 54, 55, 56, 57, 20, 20, 20, 20})},
        {"BDINocefl", L, Frame({50, 52, 54, 55, 56, 51, 32, 33, 35, 20, 20, 20})},
        {"-1,5°C _", L, Frame({21, 11, 5, 29, 31, 20, 23, 20, 20, 20, 20, 20})},
        {".5 1.. -. O.b.", L, Frame({28, 5, 20, 11, 28, 20, 21, 28, 20, 40, 60, 20})},
        {"12.34.56", C, Frame({20, 20, 20, 1, 12, 3, 14, 5, 6, 20, 20, 20})},
        {"123456789012.", R, Frame({1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 12})},
        {"", R, Frame({20, 20, 20, 20, 20, 20, 20, 20, 20, 20, 20, 20})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(CodesFromText(QString::fromUtf8(row.text), row.align), row.codes);
    }
}

TEST(DisplayFrames, TextThatCannotBeShownNamesTheCharacterAndItsPosition) {
    const std::pair<const char*, const char*> rows[] = {
        {"HALLO", "'A' (character 2) cannot be shown on the display"},
        {"12\t3", "'U+0009' (character 3) cannot be shown on the display"},
        {"°😀", "'😀' (character 2) cannot be shown on the display"},
        {"1234567890123", "Text too long for twelve digits: '3' (character 13) does not fit"},
        {"1.2.3.4.5.6.7.8.9.0.1.2. ", "Text too long for twelve digits: ' ' (character 25) "
                                      "does not fit"},
    };
    for (const auto& [text, message] : rows) {
        SCOPED_TRACE(text);
        try {
            CodesFromText(QString::fromUtf8(text));
            ADD_FAILURE() << "accepted";
        } catch (const EDisplayText& e) {
            EXPECT_EQ(e.Message(), QString::fromUtf8(message));
        }
    }
}

TEST(DisplayFrames, EveryByteValueTravelsUnescaped) {
    for (int v = 0; v < 256; ++v) {
        std::array<uint8_t, DigitCount> codes;
        codes.fill(uint8_t(v));
        const std::string frame = DataFrame(codes);
        ASSERT_EQ(frame.size(), DataFrameSize);
        for (int i = 1; i <= DigitCount; ++i)
            ASSERT_EQ(uint8_t(frame[i]), v);
    }
}

} // namespace
