// The Telnet/Com Port Control codec: received bytes in, data and commands
// out (in one piece and byte by byte), and the bytes the client sends.
#include "TelnetCodec.h"

#include <gtest/gtest.h>

using namespace kv52804;

using namespace telnet;

namespace {

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes)
        s.push_back(static_cast<char>(b));
    return s;
}

struct DecodeRow {
    const char* Name;
    std::string In;
    std::string Data;
    std::vector<TCommand> Commands;
};

const DecodeRow kDecode[] = {
    {"plain bytes, CR NUL kept", B({'a', 13, 0, 13, 10}), B({'a', 13, 0, 13, 10}), {}},
    {"doubled 0xFF is one byte", B({1, IAC, IAC, 2}), B({1, IAC, 2}), {}},
    {"negotiation between data", B({'x', IAC, WILL, BINARY, 'y'}), "xy", {{WILL, BINARY, {}}}},
    {"NOP and GA vanish", B({IAC, NOP, 'a', IAC, GA}), "a", {}},
    {"break is told", B({IAC, BRK}), "", {{BRK, 0, {}}}},
    {"com port answer", B({IAC, SB, COM_PORT, 101, 0, 0, 0x25, 0x80, IAC, SE, 'z'}), "z",
     {{SB, COM_PORT, B({101, 0, 0, 0x25, 0x80})}}},
    {"0xFF doubled inside SB", B({IAC, SB, COM_PORT, 101, IAC, IAC, 0, 0, 0, IAC, SE}), "",
     {{SB, COM_PORT, B({101, IAC, 0, 0, 0})}}},
    {"SB cut by another command is dropped", B({IAC, SB, COM_PORT, 105, IAC, DO, SGA, 'q'}), "q",
     {{DO, SGA, {}}}},
    {"SB at the length limit kept",
     B({IAC, SB, COM_PORT}) + std::string(MaxSubneg, 'a') + B({IAC, SE}), "",
     {{SB, COM_PORT, std::string(MaxSubneg, 'a')}}},
    {"SB one past the limit dropped",
     B({IAC, SB, COM_PORT}) + std::string(MaxSubneg + 1, 'a') + B({IAC, SE, 'k'}), "k", {}},
    {"stray SE is nothing", B({IAC, SE, 'k'}), "k", {}},
    {"ends inside a command", B({'k', IAC, SB, COM_PORT, 1}), "k", {}},
};

class Decode : public testing::TestWithParam<DecodeRow> {};

TEST_P(Decode, WholeAndByteByByte) {
    const DecodeRow& row = GetParam();
    for (bool split : {false, true}) {
        TDecoder decoder;
        std::string data;
        std::vector<TCommand> commands;
        const auto* in = reinterpret_cast<const std::uint8_t*>(row.In.data());
        if (split) {
            for (std::size_t i = 0; i < row.In.size(); ++i)
                decoder.Feed(in + i, 1, data, commands);
        } else {
            decoder.Feed(in, row.In.size(), data, commands);
        }
        EXPECT_EQ(data, row.Data) << (split ? "byte by byte" : "whole");
        EXPECT_EQ(commands, row.Commands) << (split ? "byte by byte" : "whole");
    }
}

INSTANTIATE_TEST_SUITE_P(TelnetCodec, Decode, testing::ValuesIn(kDecode),
                         [](const auto& info) {
                             std::string n = info.param.Name;
                             for (char& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return n;
                         });

TEST(TelnetCodec, AnswersAndTheirValues) {
    struct Row {
        std::string Payload;
        bool Ok;
        TComPort Command;
        std::uint32_t Value;
    } rows[] = {
        {B({101, 0, 1, 0xC2, 0}), true, cpBaudRate, 115200},
        {B({102, 7}), true, cpDataSize, 7},
        {B({107, 0x33}), true, cpNotifyModemState, 0x33},
        {B({101, 0, 1}), false, cpSignature, 0}, // short rate
        {B({103}), false, cpSignature, 0},       // no value
        {B({108}), true, cpFlowSuspend, 0},      // flow control: no value ...
        {B({109, 0}), true, cpFlowResume, 0},    // ... or one
        {B({3, 1}), false, cpSignature, 0},      // a client's command
        {B({113, 1}), false, cpSignature, 0},    // past the last
    };
    for (const Row& r : rows) {
        TComAnswer a;
        ASSERT_EQ(ParseComAnswer({SB, COM_PORT, r.Payload}, a), r.Ok) << testing::PrintToString(r.Payload);
        if (r.Ok) {
            EXPECT_EQ(a.Command, r.Command);
            EXPECT_EQ(a.Value, r.Value);
        }
    }
    TComAnswer a;
    EXPECT_FALSE(ParseComAnswer({SB, SGA, B({101, 0, 0, 0, 1})}, a));
}

TEST(TelnetCodec, EncodesDataAndCommands) {
    std::string out;
    const std::uint8_t data[] = {IAC, 13, 0, IAC};
    EncodeData(data, sizeof data, out);
    EXPECT_EQ(out, B({IAC, IAC, 13, 0, IAC, IAC}));
    EXPECT_EQ(ComPortCommand(cpBaudRate, 0x0001FF00, 4),
              B({IAC, SB, COM_PORT, 1, 0, 1, IAC, IAC, 0, IAC, SE}));
    EXPECT_EQ(ComPortCommand(cpControl, CtlDtrOn), B({IAC, SB, COM_PORT, 5, 8, IAC, SE}));
}

TEST(TelnetCodec, NegotiationAnswersOnceAndNeverLoops) {
    TOptions o;
    EXPECT_EQ(o.Want(BINARY), B({IAC, DO, BINARY, IAC, WILL, BINARY}));
    // (request, answer, server does it, client does it, refused)
    struct Step {
        TCommand In;
        std::string Out;
        bool Server, Client, Refused;
    } steps[] = {
        {{WILL, BINARY, {}}, "", true, false, false},
        {{DO, BINARY, {}}, "", true, true, false},
        {{WILL, BINARY, {}}, "", true, true, false}, // repeated: no answer
        {{WONT, BINARY, {}}, B({IAC, DONT, BINARY}), false, true, true},
        {{WONT, BINARY, {}}, "", false, true, true},
        {{DONT, BINARY, {}}, B({IAC, WONT, BINARY}), false, false, true},
        {{WILL, 24, {}}, B({IAC, DONT, 24}), false, false, true}, // not wanted
        {{DO, 24, {}}, B({IAC, WONT, 24}), false, false, true},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(o.Answer(s.In), s.Out) << int(s.In.Verb) << " " << int(s.In.Option);
        EXPECT_EQ(o.ServerWill(BINARY), s.Server);
        EXPECT_EQ(o.ClientDoes(BINARY), s.Client);
        EXPECT_EQ(o.Refused(BINARY), s.Refused);
    }
}

} // namespace
