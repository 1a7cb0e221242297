#pragma once
// The per-packet path of the stream table, inline where the call tracker calls it: the
// statistics add about an eighth to the analysis of an RTP packet, and a function call with
// its register saves was a tenth of that. Included at the end of RtpStreamStats.h.
#include <cmath>
#include <cstring>

#include "flow/RtpStreamStats.h"


[[gnu::always_inline]] inline void RtpStreamStats::Update(const RtpHeader& h, double arrival, uint32_t voiceClock) {
    const uint16_t seq = h.sequence;
    int64_t ext = seq;
    if (arrival >= nextIntervalAt && packets != 0) [[unlikely]] CloseInterval(arrival);
    if (packets++ == 0) [[unlikely]] {
        FirstPacket(h, arrival);
    } else {
        const double deltaMs = (arrival - lastArrival) * 1000.0;
        minDeltaMs = std::min(minDeltaMs, deltaMs);
        maxDeltaMs = std::max(maxDeltaMs, deltaMs);
        lastArrival = arrival;

        const uint16_t udelta = static_cast<uint16_t>(seq - maxSeq);
        if (udelta < kMaxDropout) [[likely]] {
            if (seq < maxSeq) cycles += kSeqMod;  // wrapped
            maxSeq = seq;
            ext = int64_t(cycles) + seq;
        } else if (udelta <= kSeqMod - kMaxMisorder) {
            if (seq != badSeq) {
                badSeq = (uint32_t(seq) + 1) & (kSeqMod - 1);
                return;  // counted as received, not yet as part of the sequence
            }
            Resynchronise(seq);
        } else {
            // Behind the highest number: late (reordered) or repeated.
            ext = (seq > maxSeq ? int64_t(cycles) - int64_t(kSeqMod) : int64_t(cycles)) + seq;
        }
    }
    if (ext == maxExtended + 1) [[likely]] {  // the next number: mark it seen
        const uint64_t slot = static_cast<uint64_t>(ext) % uint64_t(kWindow);
        seen[slot / 64] |= uint64_t(1) << (slot % 64);
        maxExtended = ext;
    } else {
        const bool behind = ext < maxExtended;
        if (IsDuplicate(ext)) {
            ++duplicates;
            return;  // a copy adds nothing to play out or to time
        }
        outOfOrder += behind;
        baseExtended = std::min(baseExtended, ext);  // a late packet from before the first one
    }
    ++distinct;

    if (voiceClock != jitterClock) [[unlikely]] {  // the first voice packet, a new clock, or not voice
        if (voiceClock != 0) FirstVoicePacket(h, arrival, voiceClock);
        return;
    }
    if (voiceClock == 0) return;
    // Appendix A.8: D = (Rj - Ri) - (Sj - Si) in timestamp units, J += (|D| - J) / 16.
    const int32_t tsStep = static_cast<int32_t>(h.timestamp - lastVoiceTimestamp);
    const double d = (arrival - lastVoiceArrival) * double(jitterClock) - double(tsStep);
    rtpTimeMs += double(tsStep) * msPerUnit;
    lastVoiceTimestamp = h.timestamp;
    lastVoiceArrival = arrival;

    buffer.Add((arrival - firstVoiceArrival) * 1000.0 - rtpTimeMs, jitterMs);

    jitterUnits += (std::fabs(d) - jitterUnits) * (1.0 / 16.0);
    jitterMs = jitterUnits * msPerUnit;
    jitterSumMs += jitterMs;
    ++jitterSamples;
    maxJitterMs = std::max(maxJitterMs, jitterMs);
    openMaxJitterMs = std::max(openMaxJitterMs, static_cast<float>(jitterMs));
}

[[gnu::always_inline]] inline void RtpStreamTable::CountPacket(Stream& s, const RtpHeader& h, double arrival,
                                                              const std::vector<SdpRtpMap>& sdpMaps) {
    if (h.payloadType != s.lastPayloadType || sdpMaps.size() != s.mapsSeen) [[unlikely]] {
        s.lastPayloadType = h.payloadType;
        s.mapsSeen = static_cast<uint32_t>(sdpMaps.size());
        s.lastInfo = DescribePayload(h.payloadType, sdpMaps);
        s.voiceClock = RtpStreamStats::VoiceClock(s.lastInfo);
        s.stats.NotePayload(h.payloadType, s.lastInfo);
    }
    s.stats.Update(h, arrival, s.voiceClock);
}

[[gnu::always_inline]] inline bool RtpStreamTable::AddRtp(const Endpoint& source, const Endpoint& destination,
                                                          std::span<const uint8_t> payload, double arrival,
                                                          const std::string& callId,
                                                          const std::vector<SdpRtpMap>& sdpMaps) {
    RtpHeader h;
    if (!ParseRtpHeader(payload, h)) return false;
    // The SSRC narrows the search to one stream or a few (the same source heard on two
    // paths); the endpoints decide.
    Stream* found = FindStream(h.ssrc, source, destination, &callId);
    Stream& s = found ? *found : NewStream(h.ssrc, source, destination, callId);
    // A stream first seen without signalling joins the call whose SIP turned up later.
    if (s.callId.empty() && !callId.empty()) [[unlikely]] s.callId = callId;
    CountPacket(s, h, arrival, sdpMaps);
    return true;
}
