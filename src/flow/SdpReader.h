#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

// Audio port of the first "m=audio" line of a SIP message's SDP body, if one can be read.
// Only the first audio media line counts; video and other media lines are ignored.
std::optional<int32_t> ReadSdpAudioPort(std::string_view text);

#include "capture/NetAddress.h"

// Where a SIP message's SDP body says its audio arrives (RFC 4566): the port of the first
// "m=audio" line whose port is not 0, at the "c=" address of that media section, else at the
// session-level one. Nothing when the body has no such line, no usable address, or the
// address is the "on hold" 0.0.0.0 / :: of RFC 3264 section 8.4.
std::optional<Endpoint> ReadSdpAudioEndpoint(std::string_view message);
