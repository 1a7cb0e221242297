#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

// Audio port of the first "m=audio" line of a SIP message's SDP body, if one can be read.
// Only the first audio media line counts; video and other media lines are ignored.
std::optional<int32_t> ReadSdpAudioPort(std::string_view text);
