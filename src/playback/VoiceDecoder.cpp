#include "playback/VoiceDecoder.h"

#include <algorithm>
#include <cstddef>

extern "C" {
#include <gsm.h>
#include <opus/opus.h>
#include <spandsp/telephony.h>
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>
#include <spandsp/g722.h>
#include <spandsp/plc.h>
}

namespace {

class G711Decoder final : public VoiceDecoder {
public:
    G711Decoder(bool alaw, bool concealing)
        : alaw(alaw), plc(concealing ? plc_init(nullptr) : nullptr), recent(PLC_HISTORY_LEN, 0) {}
    ~G711Decoder() override {
        if (plc) plc_free(plc);
    }
    G711Decoder(const G711Decoder&) = delete;
    G711Decoder& operator=(const G711Decoder&) = delete;
    void Decode(std::span<const uint8_t> payload, std::vector<int16_t>& out) override {
        const size_t at = out.size();
        out.reserve(at + payload.size());
        for (uint8_t b : payload) out.push_back(alaw ? alaw_to_linear(b) : ulaw_to_linear(b));
        if (!plc || out.size() == at) return;
        // The first packet after a gap: spandsp fades the concealed pitch into it.
        if (filling) plc_rx(plc, out.data() + at, static_cast<int>(out.size() - at));
        filling = false;
        recent.insert(recent.end(), out.begin() + static_cast<std::ptrdiff_t>(at), out.end());
        recent.erase(recent.begin(), recent.end() - PLC_HISTORY_LEN);
    }
    bool Conceals() const override { return plc != nullptr; }
    void Conceal(size_t samples, std::vector<int16_t>& out) override {
        if (!plc) return VoiceDecoder::Conceal(samples, out);
        // The history goes in whole just before a gap: spandsp's ring of it, fed packet by
        // packet, is rotated in place with overlapping copies when a concealment starts.
        if (!filling) {
            std::vector<int16_t> history = recent;
            plc_rx(plc, history.data(), PLC_HISTORY_LEN);
            filling = true;
        }
        const size_t at = out.size();
        out.resize(at + samples, 0);
        // spandsp repeats the last pitch period, fading it to nothing over 50 ms.
        for (size_t done = 0; done < samples;) {
            const int n = static_cast<int>(std::min<size_t>(samples - done, 8000));
            plc_fillin(plc, out.data() + at + done, n);
            done += static_cast<size_t>(n);
        }
    }

private:
    bool alaw;
    plc_state_t* plc;
    std::vector<int16_t> recent;  // the last PLC_HISTORY_LEN samples decoded
    bool filling = false;         // concealing since the last packet
};

class G722Decoder final : public VoiceDecoder {
public:
    G722Decoder() : state(g722_decode_init(nullptr, 64000, 0)) {}
    ~G722Decoder() override {
        if (state) g722_decode_free(state);
    }
    G722Decoder(const G722Decoder&) = delete;
    G722Decoder& operator=(const G722Decoder&) = delete;
    void Decode(std::span<const uint8_t> payload, std::vector<int16_t>& out) override {
        if (!state || payload.empty()) return;
        const size_t at = out.size();
        out.resize(at + 2 * payload.size());  // two 16 kHz samples per byte at 64 kbit/s
        const int n = g722_decode(state, out.data() + at, payload.data(), static_cast<int>(payload.size()));
        out.resize(at + static_cast<size_t>(n > 0 ? n : 0));
    }

private:
    g722_decode_state_t* state;
};

class GsmDecoder final : public VoiceDecoder {
public:
    static constexpr size_t kFrameBytes = 33;
    static constexpr size_t kFrameSamples = 160;
    GsmDecoder() : state(gsm_create()) {}
    ~GsmDecoder() override {
        if (state) gsm_destroy(state);
    }
    GsmDecoder(const GsmDecoder&) = delete;
    GsmDecoder& operator=(const GsmDecoder&) = delete;
    void Decode(std::span<const uint8_t> payload, std::vector<int16_t>& out) override {
        if (!state) return;
        // RFC 3551 section 4.5.8: a payload carries whole 33-byte frames.
        for (size_t i = 0; i + kFrameBytes <= payload.size(); i += kFrameBytes) {
            gsm_byte frame[kFrameBytes];
            for (size_t k = 0; k < kFrameBytes; ++k) frame[k] = payload[i + k];
            gsm_signal pcm[kFrameSamples];
            if (gsm_decode(state, frame, pcm) != 0) continue;
            out.insert(out.end(), pcm, pcm + kFrameSamples);
        }
    }

private:
    gsm state;
};

class OpusVoiceDecoder final : public VoiceDecoder {
public:
    static constexpr int kRate = 48000;
    static constexpr int kMaxFrame = 5760;  // 120 ms at 48 kHz, the longest packet
    OpusVoiceDecoder() {
        int error = 0;
        state = opus_decoder_create(kRate, 1, &error);
        if (error != OPUS_OK) state = nullptr;
    }
    ~OpusVoiceDecoder() override {
        if (state) opus_decoder_destroy(state);
    }
    OpusVoiceDecoder(const OpusVoiceDecoder&) = delete;
    OpusVoiceDecoder& operator=(const OpusVoiceDecoder&) = delete;
    void Decode(std::span<const uint8_t> payload, std::vector<int16_t>& out) override {
        if (!state || payload.empty()) return;
        const size_t at = out.size();
        out.resize(at + kMaxFrame);
        const int n = opus_decode(state, payload.data(), static_cast<opus_int32>(payload.size()), out.data() + at,
                                  kMaxFrame, 0);
        out.resize(at + static_cast<size_t>(n > 0 ? n : 0));
    }
    bool Conceals() const override { return state != nullptr; }
    void Conceal(size_t samples, std::vector<int16_t>& out) override {
        // The library's concealment works in frames of 2.5 ms multiples up to 120 ms.
        while (samples > 0 && state) {
            const int want = static_cast<int>(std::min<size_t>(samples, kMaxFrame) / 120 * 120);
            if (want == 0) break;
            const size_t at = out.size();
            out.resize(at + static_cast<size_t>(want));
            const int n = opus_decode(state, nullptr, 0, out.data() + at, want, 0);
            if (n <= 0) {
                out.resize(at);
                break;
            }
            out.resize(at + static_cast<size_t>(n));
            samples -= std::min(samples, static_cast<size_t>(n));
        }
        out.insert(out.end(), samples, 0);
    }

private:
    ::OpusDecoder* state = nullptr;
};

}  // namespace

std::unique_ptr<VoiceDecoder> MakeVoiceDecoder(const VoiceFormat& format, bool concealing) {
    switch (format.decoder) {
        case VoiceDecoderKind::G711a: return std::make_unique<G711Decoder>(true, concealing);
        case VoiceDecoderKind::G711u: return std::make_unique<G711Decoder>(false, concealing);
        case VoiceDecoderKind::G722: return std::make_unique<G722Decoder>();
        case VoiceDecoderKind::Gsm: return std::make_unique<GsmDecoder>();
        case VoiceDecoderKind::Opus: return std::make_unique<OpusVoiceDecoder>();
        case VoiceDecoderKind::None: break;
    }
    return nullptr;
}
