#pragma once
// Not part of the component's API. Telnet with the Com Port Control Option
// (RFC 854, 855, 2217) as pure functions over bytes: no sockets, no clocks.
// The network transport (CommNet.cpp) feeds received bytes to a TDecoder and
// gets back the data bytes and the commands found between them; it builds
// what it sends with the encoders below. Data passes in binary mode both
// ways: 0xFF is doubled, nothing else is changed (no CR NUL).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kv52804 {

namespace telnet {

// Commands (RFC 854).
inline constexpr std::uint8_t SE = 240, NOP = 241, BRK = 243, GA = 249, SB = 250, WILL = 251,
                              WONT = 252, DO = 253, DONT = 254, IAC = 255;
// Options.
inline constexpr std::uint8_t BINARY = 0, SGA = 3, COM_PORT = 44;

// Com Port Control commands, client to server; the server answers with the
// same number plus ServerOffset.
enum TComPort : std::uint8_t {
    cpSignature = 0,
    cpBaudRate = 1,
    cpDataSize = 2,
    cpParity = 3,
    cpStopSize = 4,
    cpControl = 5,
    cpNotifyLineState = 6,
    cpNotifyModemState = 7,
    cpFlowSuspend = 8,
    cpFlowResume = 9,
    cpLineStateMask = 10,
    cpModemStateMask = 11,
    cpPurgeData = 12,
};
inline constexpr std::uint8_t ServerOffset = 100;

// SET-CONTROL values.
inline constexpr std::uint8_t CtlNoFlow = 1, CtlXonXoff = 2, CtlHardware = 3, CtlBreakOn = 5,
                              CtlBreakOff = 6, CtlDtrOn = 8, CtlDtrOff = 9, CtlRtsOn = 11,
                              CtlRtsOff = 12;
// NOTIFY-LINESTATE bits.
inline constexpr std::uint8_t LsOverrun = 0x02, LsParity = 0x04, LsFraming = 0x08,
                              LsBreak = 0x10;
// NOTIFY-MODEMSTATE bits: the lines and their changes since the last notice.
inline constexpr std::uint8_t MsDeltaCts = 0x01, MsDeltaDsr = 0x02, MsTrailingRing = 0x04,
                              MsDeltaCd = 0x08, MsCts = 0x10, MsDsr = 0x20, MsRing = 0x40,
                              MsCd = 0x80;
// PURGE-DATA values.
inline constexpr std::uint8_t PurgeRx = 1, PurgeTx = 2, PurgeBoth = 3;

// Longest subnegotiation kept; longer ones (a server's signature text) are
// dropped whole.
inline constexpr std::size_t MaxSubneg = 64;

// A command found in the stream.
struct TCommand {
    std::uint8_t Verb = 0;   // WILL/WONT/DO/DONT, SB for a subnegotiation, else the command
    std::uint8_t Option = 0; // the option of WILL..DONT and SB
    std::string Payload;     // a subnegotiation's bytes after the option, 0xFF undoubled
    bool operator==(const TCommand&) const = default;
};

// Splits a received byte stream into data and commands. Feed may be called
// with any split of the stream; a command cut between two calls is finished
// by the next.
class TDecoder {
public:
    void Feed(const std::uint8_t* in, std::size_t n, std::string& data,
              std::vector<TCommand>& commands);

private:
    enum TState { sData, sIac, sVerb, sSbOption, sSb, sSbIac };
    TState FState = sData;
    TCommand FCurrent;
    bool FOverlong = false;
};

// A Com Port Control answer from the server: the command it answers (the
// client's number) and its value (4 bytes big-endian for the baud rate, 1
// byte otherwise). False when the command is not one or its value is short.
struct TComAnswer {
    TComPort Command = cpSignature;
    std::uint32_t Value = 0;
};
bool ParseComAnswer(const TCommand& command, TComAnswer& answer);

// Data with 0xFF doubled, appended to `out`.
void EncodeData(const std::uint8_t* in, std::size_t n, std::string& out);
// IAC verb option.
std::string Negotiation(std::uint8_t verb, std::uint8_t option);
// IAC SB COM-PORT-OPTION command value IAC SE, the value in `width` bytes,
// big-endian, 0xFF doubled.
std::string ComPortCommand(TComPort command, std::uint32_t value, int width = 1);

// The option negotiation of a client: which options it wants on each side,
// and the answer to a request (empty when the request needs none: it
// confirms the state already agreed, so no answer loop can start).
class TOptions {
public:
    // Wants the option done by the client, the server or both; returns the
    // requests to send.
    std::string Want(std::uint8_t option, bool client = true, bool server = true);
    std::string Answer(const TCommand& request);
    // The state agreed so far: whether the server does the option (WILL) and
    // whether it lets the client do it (DO); whether the server refused it.
    bool ServerWill(std::uint8_t option) const { return FServer[option]; }
    bool ClientDoes(std::uint8_t option) const { return FClient[option]; }
    bool Refused(std::uint8_t option) const { return FRefused[option]; }

private:
    bool FWantClient[256] = {};
    bool FWantServer[256] = {};
    bool FServer[256] = {};
    bool FClient[256] = {};
    bool FRefused[256] = {};
};

} // namespace telnet

} // namespace kv52804
