// Feeds arbitrary bytes to the Telnet decoder in two pieces, parses every
// command it finds as a Com Port Control answer and lets the option
// negotiation answer it: no read out of bounds, no unbounded growth, and the
// data never longer than the input.
#include "TelnetCodec.h"

#include <cstdlib>

using namespace kv52804;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    telnet::TDecoder decoder;
    telnet::TOptions options;
    options.Want(telnet::BINARY);
    options.Want(telnet::COM_PORT);
    std::string out;
    std::vector<telnet::TCommand> commands;
    const std::size_t half = size ? data[0] % (size + 1) : 0;
    decoder.Feed(data, half, out, commands);
    decoder.Feed(data + half, size - half, out, commands);
    if (out.size() > size)
        std::abort();
    for (const auto& c : commands) {
        if (c.Payload.size() > telnet::MaxSubneg)
            std::abort();
        telnet::TComAnswer answer;
        telnet::ParseComAnswer(c, answer);
        options.Answer(c);
    }
    std::string encoded;
    telnet::EncodeData(data, size, encoded);
    std::string back;
    std::vector<telnet::TCommand> none;
    telnet::TDecoder again;
    again.Feed(reinterpret_cast<const std::uint8_t*>(encoded.data()), encoded.size(), back, none);
    if (back != std::string(reinterpret_cast<const char*>(data), size) || !none.empty())
        std::abort();
    return 0;
}
