#pragma once
// Not part of the component's API. The one rule for a network port's URL:
// the ports file takes a line by it, and the network transport opens by it,
// so that a URL the list refuses can never be opened by name, nor the other
// way round.
#include <string>

namespace kv52804 {

namespace commlinux {

struct TNetworkUrl {
    bool Telnet = false; // rfc2217:// (Telnet with the Com Port Control Option), else socket://
    std::string Host;    // a DNS name, an IPv4 address, or an IPv6 address without its brackets
    std::string Port;    // 1..65535 in decimal, as written
};

// Whether url is "rfc2217://" or "socket://" (lower case), a host, ":" and a
// port, and nothing more; fills `out` when it is. The host is a DNS name
// (labels of ASCII letters, digits and inner hyphens), a dotted-quad IPv4
// address, or an IPv6 address in brackets without a zone. The port is
// 1..65535 without a leading zero. Refused, though the resolver would take
// them: an IPv4 address in any other form (127.1, 2130706433, 0x7f.1,
// 010.0.0.1), a zone (%eth0), and any byte outside ASCII.
bool ParseNetworkUrl(const std::string& url, TNetworkUrl& out);

// Whether `name` begins with one of the schemes: a network port's name,
// well formed or not.
bool IsNetworkName(const std::string& name);

} // namespace commlinux

} // namespace kv52804
