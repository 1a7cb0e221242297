#pragma once
// One RTP stream played out as its receiver would have played it: packets ordered by RTP
// timestamp and decoded on a timeline that follows the timestamps; what was lost, and what
// came later than the adaptive jitter buffer allows (JitterBufferReplay, the buffer the MOS
// estimate assumes), stays silent, and so do the gaps of silence suppression. A timestamp
// jump (a source that restarted its clock) starts a new segment, placed at the time its
// first packet arrived.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "flow/RtpCodec.h"
#include "flow/RtpStreamStats.h"

// One RTP packet of a stream, with its capture time.
struct StreamPacket {
    double arrivalSeconds = 0;
    RtpHeader header;
    std::vector<uint8_t> payload;  // after the RTP header (and its CSRCs, extension, padding)
};

enum class PlayoutMode : uint8_t {
    JitterBuffer,  // the receiver's adaptive buffer: late packets are dropped
    EveryPacket,   // every packet that arrived, however late (to compare)
};

// What fills the place of a packet that was lost or dropped late.
enum class LossFill : uint8_t {
    Silence,  // nothing: the WAV files, the receiver's worst case
    Conceal,  // the codec library's own concealment (G.711, Opus), silence for the others
};

// A stretch of the timeline with continuous RTP timestamps.
struct AudioSegment {
    size_t startSample = 0;
    size_t samples = 0;
};

struct StreamAudio {
    std::string codec;             // the stream's voice codec (DescribePayload's name)
    int payloadType = -1;
    VoiceFormat format;            // decoder None: nothing was decoded ("sem decodificador")
    std::vector<int16_t> samples;  // mono at format.audioRate
    std::vector<AudioSegment> segments;
    uint64_t packets = 0;          // every packet of the stream
    uint64_t played = 0;           // voice packets decoded onto the timeline
    uint64_t late = 0;             // voice packets later than the buffer (dropped in JitterBuffer mode)
    uint64_t lost = 0;             // sequence numbers that never arrived
    uint64_t duplicates = 0;
    size_t coveredSamples = 0;     // timeline samples a played packet filled
    size_t concealedSamples = 0;   // of the others, those the codec's concealment filled
    DecodedAudioFacts facts;       // of the decoded samples
    // The timeline's share no played packet filled (loss, late drops, pauses), 0 to 1.
    double UncoveredShare() const {
        return samples.empty() ? 0.0 : 1.0 - double(coveredSamples) / double(samples.size());
    }
    bool HasDecoder() const { return format.decoder != VoiceDecoderKind::None; }
    double Seconds() const { return format.audioRate ? double(samples.size()) / format.audioRate : 0.0; }
};

// Plays out `packets` (one stream, in arrival order); sdpMaps: the call's a=rtpmap lines.
// With LossFill::Conceal a gap in the sequence numbers between two played packets (lost, or
// dropped late) is filled by the codec's concealment, as long as the missing packets last
// and at most kMaxConcealSeconds; a pause of silence suppression (no numbers missing) stays
// silent either way.
constexpr double kMaxConcealSeconds = 0.2;
StreamAudio PlayOutStream(std::span<const StreamPacket> packets, const std::vector<SdpRtpMap>& sdpMaps,
                          PlayoutMode mode, LossFill fill = LossFill::Silence);

// Silence and clipping of decoded audio. A 20 ms frame whose RMS stays below kSilenceRms is
// silent; kClipRun samples in a row at kClipLevel or beyond are one clip event, and
// kClippedEvents of them make the stream clipped.
struct AudioLevelRules {
    static constexpr double kSilenceRms = 100.0;  // about -50 dBFS
    static constexpr int kClipLevel = 31000;      // G.711's largest values (32124, 32256) are above it
    static constexpr int kClipRun = 3;
    static constexpr uint32_t kClippedEvents = 10;
};
DecodedAudioFacts MeasureAudio(std::span<const int16_t> samples, uint32_t sampleRate);
