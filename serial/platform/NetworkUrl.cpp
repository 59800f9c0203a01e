// The syntax of a network port's URL, checked byte by byte before any
// address parser sees it: those parsers stop at an embedded NUL, and the
// resolver reads more into a host than a user means (a bare number is an
// IPv4 address to it, "%eth0" a zone).
#include "NetworkUrl.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string_view>
#include <utility>

namespace kv52804 {

namespace commlinux {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsAlnum(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsHexDigit(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A DNS name of letters, digits and inner hyphens, or a dotted-quad IPv4
// address. Whatever inet_aton reads as an address (the resolver does), and
// every name of digits and dots, must be a dotted quad: 127.1 and
// 0x7f000001 would lead to 127.0.0.1 under a name that does not say so,
// and 10.0.0.300 is no host at all.
bool IsHost(std::string_view host) {
    if (host.empty() || host.size() > 253)
        return false;
    bool numeric = true;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = std::min(host.find('.', start), host.size());
        const std::string_view label = host.substr(start, dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label) {
            if (!IsAlnum(c) && c != '-')
                return false;
            numeric = numeric && IsDigit(c);
        }
        if (dot == host.size())
            break;
        start = dot + 1;
    }
    const std::string text(host);
    in_addr address;
    if (!numeric && ::inet_aton(text.c_str(), &address) == 0)
        return true;
    return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

// The inside of "[...]": an IPv6 address, possibly ending in a dotted quad.
bool IsIpv6(std::string_view inner) {
    if (inner.empty() || !std::all_of(inner.begin(), inner.end(),
                                      [](char c) { return IsHexDigit(c) || c == ':' || c == '.'; }))
        return false;
    in6_addr address;
    return ::inet_pton(AF_INET6, std::string(inner).c_str(), &address) == 1;
}

bool IsPortNumber(std::string_view text) {
    if (text.empty() || text.size() > 5 || text.front() == '0' ||
        !std::all_of(text.begin(), text.end(), IsDigit))
        return false;
    unsigned value = 0;
    for (char c : text)
        value = value * 10 + unsigned(c - '0');
    return value <= 65535;
}

} // namespace

namespace {
// The schemes, and whether each is Telnet.
constexpr std::pair<std::string_view, bool> kSchemes[] = {{"rfc2217://", true},
                                                          {"socket://", false}};

const std::pair<std::string_view, bool>* SchemeOf(std::string_view text) {
    const auto scheme = std::find_if(std::begin(kSchemes), std::end(kSchemes),
                                     [&](const auto& s) { return text.starts_with(s.first); });
    return scheme == std::end(kSchemes) ? nullptr : scheme;
}
} // namespace

bool IsNetworkName(const std::string& name) {
    return SchemeOf(name) != nullptr;
}

bool ParseNetworkUrl(const std::string& url, TNetworkUrl& out) {
    const std::string_view text(url);
    const auto* scheme = SchemeOf(text);
    if (!scheme)
        return false;
    const std::string_view rest = text.substr(scheme->first.size());
    // The port follows the last colon: an IPv6 address has its own colons,
    // inside the brackets.
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos || !IsPortNumber(rest.substr(colon + 1)))
        return false;
    std::string_view host = rest.substr(0, colon);
    if (host.starts_with('[')) {
        if (host.size() < 2 || !host.ends_with(']') || !IsIpv6(host.substr(1, host.size() - 2)))
            return false;
        host = host.substr(1, host.size() - 2);
    } else if (!IsHost(host)) {
        return false;
    }
    out = {scheme->second, std::string(host), std::string(rest.substr(colon + 1))};
    return true;
}

} // namespace commlinux

} // namespace kv52804
