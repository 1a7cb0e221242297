#pragma once
// Decoders of the voice codecs VoiceFormatOf names, each behind the library that implements
// it: spandsp (G.711, G.722), libgsm (GSM full rate), libopus (Opus).
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "flow/RtpCodec.h"

class VoiceDecoder {
public:
    virtual ~VoiceDecoder() = default;
    // Appends the audio of one RTP payload (16-bit samples at the format's audio rate) to
    // `out`; what the library rejects adds nothing.
    virtual void Decode(std::span<const uint8_t> payload, std::vector<int16_t>& out) = 0;
    // Appends `samples` of the codec's own concealment of a missing packet, where the
    // library has one; silence elsewhere.
    virtual void Conceal(size_t samples, std::vector<int16_t>& out) { out.insert(out.end(), samples, 0); }
};

// A decoder for `format`, null when it names none.
std::unique_ptr<VoiceDecoder> MakeVoiceDecoder(const VoiceFormat& format);
