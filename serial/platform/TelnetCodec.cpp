// Telnet and Com Port Control bytes in and out; see TelnetCodec.h.
#include "TelnetCodec.h"

namespace kv52804 {

namespace telnet {

void TDecoder::Feed(const std::uint8_t* in, std::size_t n, std::string& data,
                    std::vector<TCommand>& commands) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t c = in[i];
        switch (FState) {
        case sData:
            if (c == IAC)
                FState = sIac;
            else
                data.push_back(static_cast<char>(c));
            break;
        case sIac:
            FState = sData;
            FCurrent = TCommand{c, 0, {}};
            if (c == IAC) {
                data.push_back(static_cast<char>(IAC));
            } else if (c >= WILL) {
                FState = sVerb;
            } else if (c == SB) {
                FState = sSbOption;
            } else if (c != NOP && c != GA && c != SE) {
                commands.push_back(FCurrent); // BRK, AYT, ... : told, not data
            }
            break;
        case sVerb:
            FCurrent.Option = c;
            commands.push_back(FCurrent);
            FState = sData;
            break;
        case sSbOption:
            FCurrent.Option = c;
            FOverlong = false;
            FState = c == IAC ? sSbIac : sSb;
            break;
        case sSb:
            if (c == IAC) {
                FState = sSbIac;
            } else if (FCurrent.Payload.size() < MaxSubneg) {
                FCurrent.Payload.push_back(static_cast<char>(c));
            } else {
                FOverlong = true;
            }
            break;
        case sSbIac:
            if (c == IAC) {
                FState = sSb;
                if (FCurrent.Payload.size() < MaxSubneg)
                    FCurrent.Payload.push_back(static_cast<char>(IAC));
                else
                    FOverlong = true;
            } else if (c == SE) {
                FState = sData;
                if (!FOverlong)
                    commands.push_back(FCurrent);
            } else {
                // A subnegotiation that ends without IAC SE is dropped, and
                // what follows the IAC is a command of its own.
                FState = sIac;
                --i;
            }
            break;
        }
    }
}

bool ParseComAnswer(const TCommand& command, TComAnswer& answer) {
    const std::string& p = command.Payload;
    if (command.Verb != SB || command.Option != COM_PORT || p.empty())
        return false;
    const auto code = static_cast<std::uint8_t>(p[0]);
    if (code < ServerOffset || code > ServerOffset + cpPurgeData)
        return false;
    answer.Command = static_cast<TComPort>(code - ServerOffset);
    const std::size_t width = answer.Command == cpBaudRate ? 4 : 1;
    // The signature is free text; FLOWCONTROL-SUSPEND and -RESUME carry no
    // value, though some servers add a byte.
    if (answer.Command == cpSignature || answer.Command == cpFlowSuspend ||
        answer.Command == cpFlowResume)
        return true;
    if (p.size() < 1 + width)
        return false;
    answer.Value = 0;
    for (std::size_t k = 0; k < width; ++k)
        answer.Value = answer.Value << 8 | static_cast<std::uint8_t>(p[1 + k]);
    return true;
}

void EncodeData(const std::uint8_t* in, std::size_t n, std::string& out) {
    out.reserve(out.size() + n);
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(static_cast<char>(in[i]));
        if (in[i] == IAC)
            out.push_back(static_cast<char>(IAC));
    }
}

std::string Negotiation(std::uint8_t verb, std::uint8_t option) {
    return {static_cast<char>(IAC), static_cast<char>(verb), static_cast<char>(option)};
}

std::string ComPortCommand(TComPort command, std::uint32_t value, int width) {
    std::string out = {static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(COM_PORT)};
    std::uint8_t body[5] = {command};
    for (int k = 0; k < width; ++k)
        body[1 + k] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - k)));
    EncodeData(body, 1 + static_cast<std::size_t>(width), out);
    out.push_back(static_cast<char>(IAC));
    out.push_back(static_cast<char>(SE));
    return out;
}

std::string TOptions::Want(std::uint8_t option, bool client, bool server) {
    FWantClient[option] = client;
    FWantServer[option] = server;
    return (server ? Negotiation(DO, option) : std::string()) +
           (client ? Negotiation(WILL, option) : std::string());
}

// The requests for wanted options went out with Want: a WILL or DO for them
// is the agreement (answered only when it reopens an option that was off), a
// WONT or DONT the refusal. Options not wanted are declined.
std::string TOptions::Answer(const TCommand& request) {
    const std::uint8_t o = request.Option;
    // The server's side of an option (WILL/WONT, answered with DO/DONT) and
    // ours (DO/DONT, answered with WILL/WONT) follow one rule.
    const bool serverSide = request.Verb == WILL || request.Verb == WONT;
    if (!serverSide && request.Verb != DO && request.Verb != DONT)
        return {};
    const bool agreed = request.Verb == WILL || request.Verb == DO;
    const bool wanted = serverSide ? FWantServer[o] : FWantClient[o];
    bool& on = serverSide ? FServer[o] : FClient[o];
    const std::uint8_t decline = serverSide ? DONT : WONT;
    if (agreed) {
        if (!wanted)
            return Negotiation(decline, o);
        FRefused[o] = false;
        on = true;
        return {};
    }
    FRefused[o] = wanted;
    if (!on)
        return {};
    on = false;
    return Negotiation(decline, o);
}

} // namespace telnet

} // namespace kv52804
