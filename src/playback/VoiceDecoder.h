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
    // Appends `samples` of the codec's own concealment of missing packets, where the
    // library has one (spandsp's for G.711, libopus's); silence elsewhere.
    virtual void Conceal(size_t samples, std::vector<int16_t>& out) { out.insert(out.end(), samples, 0); }
    // Conceal() makes more than silence.
    virtual bool Conceals() const { return false; }
};

// A decoder for `format`, null when it names none. `concealing`: Conceal() will be asked for
// (G.711 then keeps the history its concealment repeats, and smooths the packet after a gap
// into it; without it the decoded samples are the payload's own).
std::unique_ptr<VoiceDecoder> MakeVoiceDecoder(const VoiceFormat& format, bool concealing = false);
