#pragma once
// Turns the byte stream that reaches the display module into what the module
// does with it. The data bytes of a frame may take any value, command bytes
// included, so only the position inside a frame tells data from commands; a
// frame that does not close where it should is dropped and decoding starts
// again at the next opening byte, which may lie inside the dropped bytes.
#include "DisplayFrames.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

class TFrameDecoder {
public:
    static constexpr int DigitCount = kv52804::DisplayFrames::DigitCount;
    using TCodes = kv52804::DisplayFrames::TCodes;

    enum class TKind {
        DataFrame, // 0x80, twelve codes, 0x84: the module stores the codes
        SwitchOn,  // 0x82: the module lights its digits
        SwitchOff, // 0x83: the module darkens its digits
        Ignored,   // bytes that are not part of any frame
    };

    struct TItem {
        TKind Kind;
        std::string Bytes; // exactly the received bytes this item stands for
        TCodes Codes{};    // DataFrame only: d1..d12
    };

    using TSink = std::function<void(const TItem&)>;

    explicit TFrameDecoder(TSink sink) : FSink(std::move(sink)) {}

    // Decodes the next bytes of the stream; every completed item goes to the
    // sink, in stream order. Bytes of an unfinished frame wait for the next
    // call. Every byte received ends up in exactly one item (or still waits).
    void Feed(const std::string& bytes);

    // Bytes of a frame begun but not finished yet.
    const std::string& Pending() const { return FPending; }

    // One log line for an item: the bytes in hexadecimal, then what they mean.
    static std::string Describe(const TItem& item);

private:
    void FeedByte(uint8_t byte);
    void Emit(TKind kind, std::string bytes);
    void Resynchronise();

    TSink FSink;
    std::string FPending;
    std::string FIgnored; // consecutive stray bytes, reported as one item
};
