#pragma once
// The far end of the machine's serial lines, reached through the console.
//
// The program asks with one "@@req VERB ARGS" line on stdout (the console,
// ttyS0) and blocks until the host's "@@rep WORDS" line arrives on stdin; the
// host (tests/drivers/vm.py) does what only a peer can: send or receive and
// check bytes, stop reading, send a break, unplug or replug the adapter.
#include <string>
#include <vector>

namespace HostPeer {
// The reply's words; the first is "ok" when the host did what was asked.
std::vector<std::string> Ask(const std::string& request);
// Puts the console into the state the exchange needs (no echo).
void Init();
} // namespace HostPeer
