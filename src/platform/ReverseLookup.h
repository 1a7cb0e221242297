#pragma once
#include <optional>
#include <string>

namespace platform {

// The name registered for a numeric IPv4 or IPv6 address (reverse DNS, or the hosts file where
// the system consults it). Nothing when the address has no name or the lookup fails: a caller
// shows the address instead. May block for as long as the system's resolver takes.
std::optional<std::string> ReverseLookup(const std::string& address);

}  // namespace platform
