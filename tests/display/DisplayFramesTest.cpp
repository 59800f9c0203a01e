#include "DisplayFrames.h"
#include "Exception.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace DisplayFrames;

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        if (!out.empty())
            out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

const char* const DefaultTexts[DigitCount] = {"021", "011", "002", "003", "020", "015",
                                              "006", "007", "018", "009", "010", "011"};

TEST(DisplayFrames, DefaultBoxesGiveTheDocumentedFrame) {
    std::vector<std::pair<int, int>> accepted;
    const std::string frame =
        DataFrameFromBoxes([](int i) { return QString(DefaultTexts[i - 1]); },
                           [&](int i, uint8_t code) { accepted.emplace_back(i, code); });
    EXPECT_EQ(hex(frame), "80 15 0B 02 03 14 0F 06 07 12 09 0A 0B 84 82");
    ASSERT_EQ(accepted.size(), 12u);
    for (int i = 1; i <= 12; ++i)
        EXPECT_EQ(accepted[i - 1].first, i);
}

TEST(DisplayFrames, CommandsAreSingleBytes) {
    EXPECT_EQ(hex(SwitchOnCommand()), "82");
    EXPECT_EQ(hex(SwitchOffCommand()), "83");
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
