#include "FrameDecoder.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <vector>

using namespace kv52804;

namespace {

using TKind = TFrameDecoder::TKind;

std::string Bytes(const std::string& hex) {
    std::istringstream in(hex);
    std::string out;
    unsigned value;
    while (in >> std::hex >> value)
        out += char(value);
    return out;
}

struct TDecoded {
    std::vector<TFrameDecoder::TItem> Items;
    std::string Pending;

    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        for (const auto& item : Items)
            lines.push_back(TFrameDecoder::Describe(item));
        return lines;
    }
    // Everything the decoder accounted for, in order.
    std::string Seen() const {
        std::string all;
        for (const auto& item : Items)
            all += item.Bytes;
        return all + Pending;
    }
};

// Feeds the stream in the given chunk sizes (the rest in one piece).
TDecoded Decode(const std::string& stream, const std::vector<std::size_t>& chunks = {}) {
    TDecoded result;
    TFrameDecoder decoder([&](const TFrameDecoder::TItem& item) { result.Items.push_back(item); });
    std::size_t at = 0;
    for (std::size_t size : chunks) {
        decoder.Feed(stream.substr(at, size));
        at = std::min(stream.size(), at + size);
    }
    decoder.Feed(stream.substr(at));
    result.Pending = decoder.Pending();
    return result;
}

const std::string DefaultFrame = "80 15 0B 02 03 14 0F 06 07 12 09 0A 0B 84 82";
const std::string DefaultData = "80 15 0B 02 03 14 0F 06 07 12 09 0A 0B 84  "
                                "data: 21 11 2 3 20 15 6 7 18 9 10 11";

TEST(FrameDecoder, StreamsDecodeToTheModulesActions) {
    struct Row {
        const char* name;
        std::string stream;
        std::vector<std::string> lines;
        std::string pending;
    };
    const Row rows[] = {
        {"default frame", DefaultFrame, {DefaultData, "82  display on"}, ""},
        {"switch off then on", "83 82", {"83  display off", "82  display on"}, ""},
        {"command bytes and zero inside the data",
         "80 80 82 83 84 00 FF 00 00 00 00 00 00 84",
         {"80 80 82 83 84 00 FF 00 00 00 00 00 00 84  data: 128 130 131 132 0 255 0 0 0 0 0 0"},
         ""},
        {"garbage before a frame",
         "15 0B " + DefaultFrame,
         {"15 0B  ignored: not part of a frame", DefaultData, "82  display on"},
         ""},
        {"short frame then a whole one",
         "80 01 02 " + DefaultFrame,
         {"80 01 02  ignored: not part of a frame", DefaultData, "82  display on"},
         ""},
        {"frame that does not close, then a command",
         "80 01 02 03 04 05 06 07 08 09 0A 0B 0C 00 83",
         {"80 01 02 03 04 05 06 07 08 09 0A 0B 0C 00  ignored: not part of a frame",
          "83  display off"},
         ""},
        {"unclosed frame hides a command byte in its data",
         "80 01 82 03 04 05 06 07 08 09 0A 0B 0C 00",
         {"80 01  ignored: not part of a frame", "82  display on",
          "03 04 05 06 07 08 09 0A 0B 0C 00  ignored: not part of a frame"},
         ""},
        {"frame still arriving", "83 80 15 0B", {"83  display off"}, "80 15 0B"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const TDecoded decoded = Decode(Bytes(row.stream));
        EXPECT_EQ(decoded.Lines(), row.lines);
        EXPECT_EQ(DisplayFrames::Hex(decoded.Pending), row.pending);
    }
}

TEST(FrameDecoder, FrameSplitAcrossReadsDecodesAsOne) {
    const std::string stream = Bytes("83 " + DefaultFrame);
    const auto whole = Decode(stream).Lines();
    for (std::size_t size = 1; size <= stream.size(); ++size) {
        SCOPED_TRACE(size);
        EXPECT_EQ(Decode(stream, std::vector<std::size_t>(stream.size() / size, size)).Lines(),
                  whole);
    }
}

// Any byte sequence, cut anywhere: nothing crashes, every byte is accounted
// for once and in order, the items are well formed, and how the stream was
// cut changes nothing but how stray bytes are grouped.
TEST(FrameDecoder, RandomStreamsAreDecodedConsistently) {
    std::mt19937 random(52804);
    for (int round = 0; round < 2000; ++round) {
        std::string stream(random() % 200, '\0');
        for (char& c : stream) {
            // Favour the command bytes so that frames and near-frames occur.
            const unsigned pick = random() % 8;
            c = char(pick < 4 ? 0x80 + pick : random() % 256);
        }
        std::vector<std::size_t> chunks;
        for (std::size_t left = stream.size(); left > 0;) {
            const std::size_t size = 1 + random() % std::min<std::size_t>(left, 20);
            chunks.push_back(size);
            left -= size;
        }
        const TDecoded whole = Decode(stream);
        const TDecoded cut = Decode(stream, chunks);
        ASSERT_EQ(whole.Seen(), stream);
        ASSERT_EQ(cut.Seen(), stream);
        ASSERT_LE(whole.Pending.size(), 13u);
        std::vector<std::string> meaningful[2];
        for (int k = 0; k < 2; ++k) {
            for (const auto& item : (k ? cut : whole).Items) {
                switch (item.Kind) {
                case TKind::DataFrame:
                    ASSERT_EQ(item.Bytes.size(), 14u);
                    ASSERT_EQ(uint8_t(item.Bytes.front()), 0x80);
                    ASSERT_EQ(uint8_t(item.Bytes.back()), 0x84);
                    break;
                case TKind::SwitchOn:
                    ASSERT_EQ(item.Bytes, "\x82");
                    break;
                case TKind::SwitchOff:
                    ASSERT_EQ(item.Bytes, "\x83");
                    break;
                case TKind::Ignored:
                    ASSERT_FALSE(item.Bytes.empty());
                    continue;
                }
                meaningful[k].push_back(TFrameDecoder::Describe(item));
            }
        }
        ASSERT_EQ(meaningful[0], meaningful[1]);
    }
}

TEST(FrameDecoder, FrameAfterGarbageWithoutOpeningBytesIsAlwaysFound) {
    std::mt19937 random(7);
    for (int round = 0; round < 500; ++round) {
        std::string garbage(random() % 40, '\0');
        for (char& c : garbage)
            do
                c = char(random() % 256);
            while (uint8_t(c) == 0x80);
        const TDecoded decoded = Decode(garbage + Bytes(DefaultFrame));
        const auto lines = decoded.Lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], DefaultData);
        EXPECT_EQ(lines.back(), "82  display on");
    }
}

} // namespace
