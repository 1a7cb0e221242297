#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Codec name and payload type of one media payload (RFC 3551 static types by the second
// RTP header byte; keep-alive and control sizes below a full RTP header).
struct CodecGuess {
    std::string name;
    std::optional<int> payloadType;
};
CodecGuess NameCodec(std::span<const uint8_t> payload);

// Priority of a codec name for a flow entry: a voice codec is never replaced by DTMF,
// comfort noise or keep-alives. 100 voice, 50 "DTMF"/"CN", 1 "Keep-alive", 10 others.
int CodecRank(std::string_view codecName);

// Label of a flow entry: the codec name, plus "/PT:<type>" when the packet had a payload
// type and the name does not already carry one.
std::string RtpFlowLabel(const std::string& codecName, const std::optional<int>& payloadType);

// The voice codecs this program decodes, and the audio each one gives. The codec names are
// those DescribePayload gives (an SDP map's encoding for the dynamic types: "opus").
enum class VoiceDecoderKind : uint8_t { None, G711a, G711u, G722, Gsm, Opus };
struct VoiceFormat {
    VoiceDecoderKind decoder = VoiceDecoderKind::None;  // None: no decoder ("sem decodificador")
    uint32_t audioRate = 0;  // samples per second the decoder gives
    uint32_t rtpClock = 0;   // RTP timestamp units per second (G.722: 8000 for 16 kHz audio)
};
VoiceFormat VoiceFormatOf(std::string_view codecName);
