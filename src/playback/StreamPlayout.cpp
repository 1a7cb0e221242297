#include "playback/StreamPlayout.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "playback/VoiceDecoder.h"

namespace {

// RTP time that runs ahead of the arrivals (or behind, outside what the segment covered) by
// more than this is a jump of the source's clock, not network delay.
constexpr double kJumpMs = 1000.0;
// Silence longer than this (between segments, or a pause inside one) is shortened to it: a
// capture whose clock leapt must not make a file of days.
constexpr double kMaxGapSeconds = 600.0;

struct Placed {
    int64_t units;      // timestamp units after the segment's reference packet
    size_t index;       // in arrival order
};

struct Segment {
    double firstArrival = 0;
    std::vector<Placed> packets;
};

}  // namespace

DecodedAudioFacts MeasureAudio(std::span<const int16_t> samples, uint32_t rate) {
    DecodedAudioFacts f;
    const size_t frame = std::max<size_t>(1, rate / 50);
    bool loudFrame = false;
    int peak = 0;
    int run = 0, runSign = 0;
    for (size_t start = 0; start < samples.size(); start += frame) {
        const size_t end = std::min(samples.size(), start + frame);
        double energy = 0;
        for (size_t i = start; i < end; ++i) {
            const int s = samples[i];
            energy += double(s) * s;
            peak = std::max(peak, std::abs(s));
            const int sign = s >= AudioLevelRules::kClipLevel ? 1 : s <= -AudioLevelRules::kClipLevel ? -1 : 0;
            if (sign != 0 && sign == runSign) {
                if (++run == AudioLevelRules::kClipRun) ++f.clipEvents;
            } else {
                run = sign != 0 ? 1 : 0;
            }
            runSign = sign;
        }
        if (std::sqrt(energy / double(end - start)) >= AudioLevelRules::kSilenceRms) loudFrame = true;
    }
    f.silent = !loudFrame;
    f.clipped = f.clipEvents >= AudioLevelRules::kClippedEvents;
    f.peakDbfs = peak > 0 ? 20.0 * std::log10(double(peak) / 32768.0) : -120.0;
    return f;
}

StreamAudio PlayOutStream(std::span<const StreamPacket> packets, const std::vector<SdpRtpMap>& sdpMaps,
                          PlayoutMode mode, LossFill fill) {
    StreamAudio out;
    out.packets = packets.size();
    if (packets.empty()) return out;

    // The lateness verdicts are the receiver statistics' own: each packet goes through the
    // same update the stream table runs, and a packet that raised the adaptive buffer's count
    // was late. Duplicates are what the statistics call duplicates.
    RtpStreamStats stats;
    std::vector<uint8_t> late(packets.size(), 0), voice(packets.size(), 0);
    int lastType = -1;
    RtpPayloadInfo info;
    for (size_t i = 0; i < packets.size(); ++i) {
        const RtpHeader& h = packets[i].header;
        if (h.payloadType != lastType) {
            lastType = h.payloadType;
            info = DescribePayload(h.payloadType, sdpMaps);
        }
        if (info.voice && out.payloadType < 0) {
            out.payloadType = h.payloadType;
            out.codec = info.codec;
        }
        const uint64_t lateBefore = stats.Buffer().lateAdaptive, duplicatesBefore = stats.Duplicates();
        stats.Add(h, packets[i].arrivalSeconds, info);
        late[i] = stats.Buffer().lateAdaptive > lateBefore;
        // Only the stream's voice payload plays; a codec change mid-stream is not followed.
        voice[i] = stats.Duplicates() == duplicatesBefore && info.voice && h.payloadType == out.payloadType;
        out.late += late[i] && voice[i];
    }
    out.duplicates = stats.Duplicates();
    out.lost = static_cast<uint64_t>(std::max<int64_t>(0, stats.Lost()));
    out.format = VoiceFormatOf(out.codec);
    std::unique_ptr<VoiceDecoder> decoder = MakeVoiceDecoder(out.format, fill == LossFill::Conceal);
    if (!decoder) {
        out.format.decoder = VoiceDecoderKind::None;
        return out;
    }
    const uint32_t clock = out.format.rtpClock;
    const uint32_t rate = out.format.audioRate;

    // Segments, in arrival order.
    std::vector<Segment> segments;
    uint32_t refTs = 0;
    double refArrival = 0;
    int64_t minUnits = 0, maxUnits = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        if (!voice[i]) continue;
        const StreamPacket& p = packets[i];
        bool fresh = segments.empty();
        int64_t units = 0;
        if (!fresh) {
            units = static_cast<int32_t>(p.header.timestamp - refTs);
            const double rtpMs = double(units) * 1000.0 / clock;
            const double arrivalMs = (p.arrivalSeconds - refArrival) * 1000.0;
            const double minMs = double(minUnits) * 1000.0 / clock;
            const bool ahead = rtpMs - arrivalMs > kJumpMs;
            const bool behind = arrivalMs - rtpMs > kJumpMs && (rtpMs < minMs - kJumpMs || units > maxUnits);
            fresh = ahead || behind;
        }
        if (fresh) {
            segments.push_back({p.arrivalSeconds, {}});
            refTs = p.header.timestamp;
            refArrival = p.arrivalSeconds;
            units = minUnits = maxUnits = 0;
        }
        minUnits = std::min(minUnits, units);
        maxUnits = std::max(maxUnits, units);
        segments.back().packets.push_back({units, i});
    }

    const double streamStart = packets.front().arrivalSeconds;
    const size_t maxConceal = static_cast<size_t>(kMaxConcealSeconds * rate);
    const bool concealing = fill == LossFill::Conceal && decoder->Conceals();
    std::vector<int16_t> frame, hidden;
    for (Segment& seg : segments) {
        std::stable_sort(seg.packets.begin(), seg.packets.end(),
                         [](const Placed& a, const Placed& b) { return a.units < b.units; });
        const int64_t base = seg.packets.front().units;
        // The segment starts where its first arrival falls on the stream's clock, less the
        // RTP time of the packets before it in timestamp order; never over the previous one.
        const size_t previousEnd = out.samples.size();
        const double firstUnits = double(std::find_if(seg.packets.begin(), seg.packets.end(), [&](const Placed& p) {
                                             return packets[p.index].arrivalSeconds == seg.firstArrival;
                                         })->units - base);
        const double startAt = (seg.firstArrival - streamStart) * rate - firstUnits * rate / clock;
        const double maxGap = kMaxGapSeconds * rate;
        const size_t start =
            previousEnd + static_cast<size_t>(std::clamp(std::floor(startAt) - double(previousEnd), 0.0, maxGap));
        out.samples.resize(start, 0);
        size_t filledTo = start;
        int64_t shortened = 0;  // samples cut out of over-long pauses so far
        const StreamPacket* previous = nullptr;  // the segment's last played packet
        size_t previousFrame = 0;                // and its samples
        for (const Placed& p : seg.packets) {
            if (mode == PlayoutMode::JitterBuffer && late[p.index]) continue;
            const StreamPacket& packet = packets[p.index];
            int64_t offset = (p.units - base) * int64_t(rate) / int64_t(clock) - shortened;
            int64_t cut = 0;
            if (double(offset) - double(filledTo - start) > maxGap) {
                cut = offset - int64_t(filledTo - start) - static_cast<int64_t>(maxGap);
                offset -= cut;
            }
            const size_t at = start + static_cast<size_t>(offset);
            // The missing packets' place is concealed before this one is decoded: the
            // decoder's state runs in the order the receiver would have run it.
            if (concealing && previous && at > filledTo) {
                const uint16_t step = static_cast<uint16_t>(packet.header.sequence - previous->header.sequence);
                if (step > 1 && step < 0x8000) {
                    const size_t missing =
                        std::min({at - filledTo, size_t(step - 1) * previousFrame, maxConceal});
                    hidden.clear();
                    decoder->Conceal(missing, hidden);
                    hidden.resize(missing, 0);
                    if (out.samples.size() < filledTo + missing) out.samples.resize(filledTo + missing, 0);
                    std::copy(hidden.begin(), hidden.end(), out.samples.begin() + static_cast<std::ptrdiff_t>(filledTo));
                    out.concealedSamples += missing;
                }
            }
            frame.clear();
            decoder->Decode(packet.payload, frame);
            if (frame.empty()) continue;
            ++out.played;
            shortened += cut;
            previous = &packet;
            previousFrame = frame.size();
            const size_t end = at + frame.size();
            if (out.samples.size() < end) out.samples.resize(end, 0);
            std::copy(frame.begin(), frame.end(), out.samples.begin() + static_cast<std::ptrdiff_t>(at));
            // A packet that overlaps the one before it covers only what is new.
            out.coveredSamples += end - std::max(at, std::min(end, filledTo));
            filledTo = std::max(filledTo, end);
        }
        out.segments.push_back({start, out.samples.size() - start});
    }
    out.facts = MeasureAudio(out.samples, rate);
    return out;
}
