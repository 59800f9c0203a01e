#include "Exception.h"
#include "RtlConsts.h"
#include "SysUtils.h"

#include <gtest/gtest.h>

using namespace kv52804;

namespace {

struct Row {
    const char* text;
    bool ok;
    int32_t value;
};

TEST(StrToInt, AcceptsTheRuntimeSyntaxAndRejectsEverythingElse) {
    const Row rows[] = {
        {"0", true, 0},
        {"7", true, 7},
        {"   42", true, 42},
        {"+5", true, 5},
        {"-0", true, 0},
        {"-17", true, -17},
        {"010", true, 10}, // no octal
        {"$ff", true, 255},
        {"$FF", true, 255},
        {"x10", true, 16},
        {"X10", true, 16},
        {"0x1f", true, 31},
        {"0X1F", true, 31},
        {"-$10", true, -16},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, INT32_MIN},
        {"$7FFFFFFF", true, 2147483647},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"99999999999999999999", false, 0},
        {"$80000000", false, 0},
        {"", false, 0},
        {" ", false, 0},
        {"+", false, 0},
        {"-", false, 0},
        {"$", false, 0},
        {"0x", false, 0},
        {"x", false, 0},
        {"1a", false, 0},
        {"7 ", false, 0},
        {"\t7", false, 0},
        {"+-1", false, 0},
        {"$g", false, 0},
        {"1.0", false, 0},
        {"0b1", false, 0},
        {"\xd9\xa3", false, 0}, // Arabic-Indic digit three is not a digit here
    };
    for (const Row& row : rows) {
        const QString text = QString::fromUtf8(row.text);
        SCOPED_TRACE(row.text);
        if (row.ok) {
            EXPECT_EQ(StrToInt(text), row.value);
        } else {
            try {
                StrToInt(text);
                ADD_FAILURE() << "accepted";
            } catch (const EConvertError& e) {
                EXPECT_EQ(e.Message(), "'" + text + "' is not a valid integer value");
            }
        }
    }
}

TEST(Format, FillsDirectivesInOrderAndNeverReadsPastTheArguments) {
    EXPECT_EQ(Format("Cannot assign a %s to a %s", {"TComBuffer", "TComParity"}),
              "Cannot assign a TComBuffer to a TComParity");
    EXPECT_EQ(Format(" (win error code: %d)", {"2"}), " (win error code: 2)");
    EXPECT_EQ(Format("100%% %s %d %x", {"a"}), "100% a %d %x");
    EXPECT_EQ(Format("%", {"a"}), "%");
    EXPECT_EQ(Format("%s%s", {"a", "b", "c"}), "ab");
}

QString Bracketed(const TResString& res) {
    return "[" + QString::fromUtf8(res.Text) + "]";
}

TEST(ResStringLoader, RedirectsEveryMessageTextAndRestores) {
    EXPECT_EQ(LoadResString(SRangeError), "Range check error");
    const TResStringLoader previous = SetResStringLoader(&Bracketed);
    EXPECT_EQ(previous, &DefaultResStringLoader);
    EXPECT_EQ(LoadResString(SRangeError), "[Range check error]");
    try {
        StrToInt("z");
        ADD_FAILURE();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(),
                  "['z' is not a valid integer value]"); // the format is a message text
    }
    EXPECT_EQ(SetResStringLoader(previous), &Bracketed);
    EXPECT_EQ(LoadResString(SAssignError), "Cannot assign a %s to a %s");
}

TEST(Exception, WhatIsTheMessageInUtf8) {
    const Exception e(QString::fromUtf8("Błąd zakresu"));
    EXPECT_STREQ(e.what(), "Błąd zakresu");
}

} // namespace
