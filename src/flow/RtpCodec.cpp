#include "flow/RtpCodec.h"

int CodecRank(std::string_view name) {
    if (name == "G711a" || name == "G711u" || name == "G729" || name == "G722") return 100;
    if (name == "DTMF" || name == "CN") return 50;
    if (name == "Keep-alive") return 1;
    return 10;
}

CodecGuess NameCodec(std::span<const uint8_t> payload) {
    const size_t length = payload.size();
    if (length == 0) return {};
    if (length <= 4) return {"Keep-alive", std::nullopt};
    if (length < 12) return {"UDP Control", std::nullopt};
    const int pt = payload[1] & 0x7F;  // RFC 3550: marker bit above the 7-bit payload type
    switch (pt) {
        case 0: return {"G711u", pt};
        case 3: return {"GSM", pt};
        case 4: return {"G723", pt};
        case 8: return {"G711a", pt};
        case 9: return {"G722", pt};
        case 13: return {"CN", pt};
        case 18: return {"G729", pt};
        case 101: return {"DTMF", pt};
        default: break;
    }
    if (pt >= 96) return {"Dyn", pt};  // RFC 3551 dynamic range 96-127
    return {"PT:" + std::to_string(pt), pt};
}

std::string RtpFlowLabel(const std::string& codec, const std::optional<int>& payloadType) {
    std::string label = codec;
    if (payloadType && label.find("PT:") == std::string::npos) label += "/PT:" + std::to_string(*payloadType);
    return label;
}

VoiceFormat VoiceFormatOf(std::string_view name) {
    if (name == "G711a") return {VoiceDecoderKind::G711a, 8000, 8000};
    if (name == "G711u") return {VoiceDecoderKind::G711u, 8000, 8000};
    if (name == "G722") return {VoiceDecoderKind::G722, 16000, 8000};  // RFC 3551 section 4.5.2
    if (name == "GSM") return {VoiceDecoderKind::Gsm, 8000, 8000};
    // Opus: always a 48 kHz RTP clock, whatever the audio bandwidth (RFC 7587).
    if (name.size() == 4) {
        std::string lower(name);
        for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (lower == "opus") return {VoiceDecoderKind::Opus, 48000, 48000};
    }
    return {};
}
