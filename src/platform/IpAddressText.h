#pragma once
#include <string>

namespace platform {

// True when the text is exactly one IPv4 address in dotted-quad form or one IPv6 address
// in any of its RFC 4291 text forms (no zone, no prefix length, no surrounding blanks).
bool IsIpAddressText(const std::string& text);

}  // namespace platform
