#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "capture/NetAddress.h"
#include "flow/Rtcp.h"

// Fixed RTP header fields (RFC 3550 section 5.1) of a UDP payload.
struct RtpHeader {
    uint8_t payloadType = 0;
    bool marker = false;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
};

// The header of an RTP packet: version 2, room for the CSRC list and any header extension,
// padding that fits. RTCP (types 200-204 share the version bits) is not RTP. False (and
// `out` untouched) when the payload is not RTP. Inline: it runs for every media packet.
inline bool ParseRtpHeader(std::span<const uint8_t> payload, RtpHeader& out) {
    // Every read below lies inside a length checked before it.
    const size_t size = payload.size();
    if (size < 12) return false;
    const uint8_t* p = payload.data();
    if ((p[0] >> 6) != 2) return false;
    const uint8_t pt = p[1] & 0x7F;
    if (pt >= 72 && pt <= 76) return false;  // RTCP 200-204 seen through the marker bit
    size_t headerLength = 12 + 4 * size_t{static_cast<uint8_t>(p[0] & 0x0F)};
    if (headerLength > size) return false;
    if (p[0] & 0x10) {  // header extension: 4-byte head, then its length in 32-bit words
        if (size - headerLength < 4) return false;
        headerLength += 4 + 4 * ((size_t{p[headerLength + 2]} << 8) | p[headerLength + 3]);
        if (headerLength > size) return false;
    }
    if (p[0] & 0x20) {  // padding: its length is the last byte and must fit after the header
        const uint8_t padding = p[size - 1];
        if (padding == 0 || headerLength + padding > size) return false;
    }
    out.payloadType = pt;
    out.marker = (p[1] & 0x80) != 0;
    out.sequence = static_cast<uint16_t>((p[2] << 8) | p[3]);
    out.timestamp = (uint32_t{p[4]} << 24) | (uint32_t{p[5]} << 16) | (uint32_t{p[6]} << 8) | p[7];
    out.ssrc = (uint32_t{p[8]} << 24) | (uint32_t{p[9]} << 16) | (uint32_t{p[10]} << 8) | p[11];
    return true;
}

// The media bytes of a packet ParseRtpHeader accepted: after the CSRC list and any header
// extension, before any padding. Empty when the payload is not RTP.
inline std::span<const uint8_t> RtpMediaBytes(std::span<const uint8_t> payload) {
    RtpHeader h;
    if (!ParseRtpHeader(payload, h)) return {};
    const uint8_t* p = payload.data();
    size_t headerLength = 12 + 4 * size_t{static_cast<uint8_t>(p[0] & 0x0F)};
    if (p[0] & 0x10) headerLength += 4 + 4 * ((size_t{p[headerLength + 2]} << 8) | p[headerLength + 3]);
    const size_t padding = (p[0] & 0x20) ? p[payload.size() - 1] : 0;
    return payload.subspan(headerLength, payload.size() - headerLength - padding);
}

inline std::optional<RtpHeader> ReadRtpHeader(std::span<const uint8_t> payload) {
    RtpHeader h;
    if (!ParseRtpHeader(payload, h)) return std::nullopt;
    return h;
}

// What a payload type carries: codec name as the call table shows it, RTP clock rate (0
// when unknown), and whether it is voice (telephone-event and comfort noise are not).
struct RtpPayloadInfo {
    std::string codec;
    uint32_t clockRate = 0;
    bool voice = true;
};

// One "a=rtpmap:<pt> <encoding>/<rate>" line of an SDP body.
struct SdpRtpMap {
    int payloadType = 0;
    std::string encoding;
    uint32_t clockRate = 0;
};
std::vector<SdpRtpMap> ReadSdpRtpMaps(std::string_view sdp);

// Payload type -> codec and clock: the call's SDP maps first (dynamic types), then the static
// types of RFC 3551.
RtpPayloadInfo DescribePayload(int payloadType, const std::vector<SdpRtpMap>& sdpMaps);

// Replays arrivals against RTP time through a receiver's jitter buffer and counts the voice
// packets it would have to drop as late. A packet is late when it arrives more than the
// buffer depth after the earliest arrival its timestamp allows, judged by the fastest of the
// last 500 to 550 voice packets (ten closed blocks of kBlock and the open one): a window
// rather than the whole call, because the two ends' clocks drift apart by tens of ms per
// hour and a receiver follows that drift. Blocks keep the state fixed and small, as a
// receiver's would be. The fixed buffer holds `kFixedDepthMs`; the adaptive buffer holds four
// times the current interarrival jitter, at least kAdaptiveMinMs and at most kAdaptiveMaxMs.
struct JitterBufferReplay {
    static constexpr double kFixedDepthMs = 50.0;
    static constexpr double kAdaptiveMinMs = 20.0;
    static constexpr double kAdaptiveMaxMs = 200.0;
    static constexpr double kAdaptiveJitterFactor = 4.0;
    static constexpr uint32_t kBlock = 50;  // 1 s of 20 ms packets
    static constexpr size_t kBlocks = 10;

    // transitMs: arrival minus RTP time, both in ms on one continuous scale; jitterMs: the
    // interarrival jitter before this packet.
    void Add(double transitMs, double jitterMs) {
        // No buffer is shallower than kAdaptiveMinMs: most packets stop at the first test.
        // (Before the first packet the anchor is huge and the lateness far below it.)
        const double lateness = transitMs - std::min(openMin, closedMin);
        if (lateness > kAdaptiveMinMs) [[unlikely]] {
            lateFixed += lateness > kFixedDepthMs;
            lateAdaptive += lateness > AdaptiveDepthMs(jitterMs);
        }
        openMin = std::min(openMin, transitMs);
        if (++inOpen == kBlock) CloseBlock();
    }
    static double AdaptiveDepthMs(double jitterMs) {
        return std::clamp(kAdaptiveJitterFactor * jitterMs, kAdaptiveMinMs, kAdaptiveMaxMs);
    }

    // Restart the anchor (the source restarted its numbering and time stamps).
    void Restart();

    uint64_t lateFixed = 0;
    uint64_t lateAdaptive = 0;

private:
    void CloseBlock();

    static constexpr double kNone = 1e300;
    double openMin = kNone;    // fastest transit of the open block
    double closedMin = kNone;  // fastest of the closed blocks
    uint32_t inOpen = 0;
    uint32_t closedCount = 0;
    uint32_t nextClosed = 0;   // ring position the next closed block takes
    std::array<double, kBlocks> closed{};
};

// The figures of one interval of a stream: kIntervalSeconds of capture time, counted from
// the stream's first packet (interval `index` starts index * kIntervalSeconds after it).
struct StreamInterval {
    static constexpr double kIntervalSeconds = 5.0;
    uint32_t index = 0;
    uint32_t packets = 0;    // received in it
    uint32_t expected = 0;   // sequence numbers it moved the highest one on by
    int32_t lost = 0;        // expected minus distinct received (negative: late ones came in)
    uint32_t lateFixed = 0;  // later than the fixed 50 ms buffer
    float maxJitterMs = 0;
    // Lost plus late over expected, in percent.
    double ImpairedPercent() const {
        return expected ? 100.0 * (std::max(0, lost) + static_cast<double>(lateFixed)) / expected : 0.0;
    }
};

// Receiver statistics of one RTP stream (one SSRC between one source and one destination),
// updated one packet at a time in arrival order.
class RtpStreamStats {
public:
    // Intervals kept per stream: the latest ten minutes. The worst one is kept apart, so a
    // long call still shows where it was worst.
    static constexpr size_t kMaxIntervals = 120;

    // arrivalSeconds: capture time; info: what the packet's payload type carries.
    void Add(const RtpHeader& header, double arrivalSeconds, const RtpPayloadInfo& info);

    uint64_t Packets() const { return packets; }
    uint64_t Duplicates() const { return duplicates; }
    uint64_t OutOfOrder() const { return outOfOrder; }
    // Extended highest sequence number - first + 1 (RFC 3550 appendix A.1), summed over
    // re-synchronisations after a large jump.
    uint64_t Expected() const;
    // Expected minus distinct packets received; negative only after a re-synchronisation.
    int64_t Lost() const;
    double LossPercent() const;  // lost / expected, 0 when nothing is expected

    double MinDeltaMs() const { return packets > 1 ? minDeltaMs : 0; }
    double MeanDeltaMs() const { return packets > 1 ? (lastArrival - firstArrival) * 1000.0 / double(packets - 1) : 0; }
    double MaxDeltaMs() const { return maxDeltaMs; }
    // Capture times (seconds) of the first and the latest packet.
    double FirstArrival() const { return firstArrival; }
    double LastArrival() const { return lastArrival; }
    // Interarrival jitter (appendix A.8) in ms: after the last voice packet, and mean and
    // maximum of the estimate after each voice packet but the first (which has nothing to
    // compare with).
    double JitterMs() const { return jitterMs; }
    double MeanJitterMs() const { return jitterSamples ? jitterSumMs / double(jitterSamples) : 0; }
    double MaxJitterMs() const { return maxJitterMs; }

    const JitterBufferReplay& Buffer() const { return buffer; }
    // Lost plus late, over expected, in percent.
    double EffectiveLossPercent(uint64_t late) const;

    // The intervals so far, oldest first, the one still open last; and the worst of every
    // closed or open interval (the most lost plus late), if any had packets.
    std::vector<StreamInterval> Intervals() const;
    std::optional<StreamInterval> WorstInterval() const;

    // Payload type and codec of the first voice packet (of the first packet while no voice
    // packet was seen).
    int PayloadType() const { return payloadType; }
    const std::string& Codec() const { return codec; }

private:
    friend class RtpStreamTable;
    // Appendix A.1 limits: a forward jump below kMaxDropout is loss, a step back of at most
    // kMaxMisorder is reordering; anything else is a jump the source may have made on purpose.
    static constexpr uint16_t kMaxDropout = 3000;
    static constexpr uint16_t kMaxMisorder = 100;
    static constexpr uint32_t kSeqMod = 1u << 16;

    // Add in two parts for the table's per-packet path: the payload's description when its
    // type changes, and the packet (inlined), with the RTP clock of a voice payload (0 for
    // any other or an unknown clock).
    void NotePayload(int payloadType, const RtpPayloadInfo& info);
    inline void Update(const RtpHeader& header, double arrival, uint32_t voiceClock);
    static uint32_t VoiceClock(const RtpPayloadInfo& info) { return info.voice ? info.clockRate : 0; }
    bool IsDuplicate(int64_t extended);
    void FirstPacket(const RtpHeader& header, double arrival);
    void Resynchronise(uint16_t seq);
    void FirstVoicePacket(const RtpHeader& header, double arrival, uint32_t clockRate);
    // The packet arriving at `arrival` starts a new interval: the open one is closed.
    void CloseInterval(double arrival);
    StreamInterval OpenInterval() const;

    // What every packet reads and writes comes first, in as few cache lines as it takes;
    // what only events touch comes last.
    uint64_t packets = 0;
    uint64_t distinct = 0;     // distinct packets since the last (re)start
    int64_t maxExtended = -1;  // highest extended sequence number seen
    int64_t baseExtended = 0;  // extended number of the earliest packet of this part
    // Appendix A.1 state.
    uint32_t cycles = 0;       // count of sequence wraps << 16
    uint32_t badSeq = 0;
    uint16_t maxSeq = 0;
    int16_t payloadType = -1;
    bool payloadIsVoice = false;
    // Appendix A.8, on voice packets only.
    uint32_t jitterClock = 0;  // 0 until the first voice packet
    uint32_t lastVoiceTimestamp = 0;

    double lastArrival = 0;
    double minDeltaMs = 1e300;  // until the second packet
    double maxDeltaMs = 0;
    double lastVoiceArrival = 0;
    double firstVoiceArrival = 0;
    double rtpTimeMs = 0;        // unwrapped RTP time of the last voice packet
    double jitterUnits = 0;      // J in timestamp units
    double msPerUnit = 0;        // 1000 / jitterClock
    double jitterMs = 0;
    double jitterSumMs = 0;
    double maxJitterMs = 0;
    uint64_t jitterSamples = 0;
    JitterBufferReplay buffer;

    // Duplicates: the last kWindow extended sequence numbers seen.
    static constexpr int64_t kWindow = 1024;
    std::array<uint64_t, kWindow / 64> seen{};

    uint64_t duplicates = 0;
    uint64_t outOfOrder = 0;
    uint64_t expectedBefore = 0;  // expected of the parts before a re-synchronisation
    uint64_t distinctBefore = 0;
    double firstArrival = 0;
    std::string codec;

    // Intervals: the open one starts where the counters stood at these values.
    double nextIntervalAt = 0;  // capture time the open interval ends
    uint32_t openIndex = 0;
    uint64_t openPackets = 0, openExpected = 0, openDistinct = 0, openLate = 0;
    float openMaxJitterMs = 0;
    std::vector<StreamInterval> intervals;
    std::optional<StreamInterval> worst;
};

// The remote side's view of a stream, from the RTCP reports that describe it.
struct RtcpFigures {
    uint64_t reports = 0;          // report blocks about this stream
    double fractionLostPercent = 0;// of the last block
    int32_t cumulativeLost = 0;
    double jitterMs = 0;           // of the last block, converted with the stream's clock
    std::optional<double> roundTripMs;  // last one measured
    uint64_t senderReports = 0;    // SRs sent by this stream's source
    uint32_t senderPacketCount = 0;
    uint32_t senderOctetCount = 0;
};

// What the stream's decoded audio showed (known only once it was decoded): only silence, or
// clipped peaks.
struct DecodedAudioFacts {
    bool silent = false;        // no 20 ms frame above the silence level
    bool clipped = false;       // runs of samples held at full scale
    uint32_t clipEvents = 0;
    double peakDbfs = -120.0;   // loudest sample, dB below full scale
};

// What a stream report shows: the receiver statistics, the three MOS estimates and RTCP.
struct RtpStreamReport {
    std::string callId;            // empty: a stream no call's signalling was seen for
    std::string source;            // "ip:port"
    std::string destination;
    Endpoint src;                  // the same, binary
    Endpoint dst;
    uint32_t ssrc = 0;
    int payloadType = -1;
    std::string codec;
    bool voice = false;            // some packet carried voice (not only telephone-events or comfort noise)
    uint64_t packets = 0;
    uint64_t expected = 0;
    int64_t lost = 0;
    double lossPercent = 0;
    uint64_t duplicates = 0;
    uint64_t outOfOrder = 0;
    double minDeltaMs = 0;
    double meanDeltaMs = 0;
    double maxDeltaMs = 0;
    double meanJitterMs = 0;
    double maxJitterMs = 0;
    uint64_t lateFixed = 0;
    uint64_t lateAdaptive = 0;
    double oneWayDelayMs = 0;      // used for the estimate (RTCP round trip / 2, or default)
    // The stream's intervals (StreamInterval) with the MOS each would give, and the worst.
    struct Interval {
        StreamInterval figures;
        std::optional<double> mos;
    };
    std::vector<Interval> intervals;
    std::optional<Interval> worstInterval;
    double firstSeconds = 0;       // capture time of the first and the latest packet
    double lastSeconds = 0;
    bool delayFromRtcp = false;
    // Nothing for codecs without impairment values.
    std::optional<double> mosNetwork;   // network loss only
    std::optional<double> mosFixed;     // plus late drops of a fixed 50 ms buffer
    std::optional<double> mosAdaptive;  // plus late drops of the adaptive buffer: the headline
    std::optional<RtcpFigures> rtcp;
    std::optional<DecodedAudioFacts> audio;  // set by whoever decoded the stream
};

// All RTP streams of a capture, keyed by source, destination and SSRC, with the RTCP reports
// that arrive for them. Not thread-safe: the owner locks.
class RtpStreamTable {
public:
    // Bound on the streams kept: a capture running for days must not grow without end. Past
    // it, the oldest kTrimBlock streams are forgotten at once.
    static constexpr size_t kMaxStreams = 20000;
    static constexpr size_t kTrimBlock = 2000;

    // Packets a stream without signalling must show before it is taken: RTP version 2, one
    // SSRC, consecutive sequence numbers and timestamps that do not go back.
    static constexpr uint32_t kProbationPackets = 4;
    // Endpoint pairs on probation at once; past it, the table starts afresh.
    static constexpr size_t kMaxProbation = 4096;

    // An RTP packet from `source` to `destination` belonging to `callId`; sdpMaps: the
    // call's a=rtpmap lines. False when the payload is not RTP. Inline, in
    // RtpStreamInline.h, with the statistics' per-packet update.
    inline bool AddRtp(const Endpoint& source, const Endpoint& destination, std::span<const uint8_t> payload,
                       double arrivalSeconds, const std::string& callId, const std::vector<SdpRtpMap>& sdpMaps);
    // A packet that belongs to no call: counted into its stream when one was taken already,
    // else held on probation until kProbationPackets in a row look like one RTP stream; the
    // stream then starts with them, with an empty Call-ID. False when it is not RTP.
    bool AddUnsignalled(const Endpoint& source, const Endpoint& destination, std::span<const uint8_t> payload,
                        double arrivalSeconds);
    // An RTCP packet from `source`; its reports attach to the streams they describe (by SSRC
    // and address). False when the payload is not RTCP.
    bool AddRtcp(const IpAddress& source, std::span<const uint8_t> payload, double arrivalSeconds) {
        if (!LooksLikeRtcp(payload)) return false;  // most packets: RTP
        AddRtcpReports(source, payload, arrivalSeconds);
        return true;
    }

    size_t Size() const { return streams.size(); }
    // Streams forgotten by the kMaxStreams bound since the last Clear.
    uint64_t Dropped() const { return dropped; }
    void Clear();
    // Drops the streams of these calls.
    void ForgetCalls(const std::unordered_set<std::string>& callIds);
    // Reports of every stream in the order the streams appeared; those of one call only when
    // callId is given.
    std::vector<RtpStreamReport> Reports(const std::string* callId = nullptr) const;
    // Call-ID -> worst adaptive-buffer MOS among the call's streams (calls without an
    // estimate are absent).
    std::unordered_map<std::string, double> WorstMosByCall() const;

private:
    // What every RTP packet reads first (the key, the payload type seen last), then the
    // statistics: they share cache lines; the rest is for reports.
    struct Stream {
        uint32_t ssrc = 0;
        int lastPayloadType = -1;
        uint32_t voiceClock = 0;  // of lastInfo
        uint32_t mapsSeen = 0;
        Endpoint source;
        Endpoint destination;
        RtpPayloadInfo lastInfo;
        RtpStreamStats stats;
        std::string callId;  // of the call whose packet opened the stream
        std::optional<RtcpFigures> rtcp;
        // SRs sent by this stream's source: NTP middle bits -> capture time, for LSR lookups.
        std::vector<std::pair<uint32_t, double>> sentReports;
    };
    void AddRtcpReports(const IpAddress& source, std::span<const uint8_t> payload, double arrivalSeconds);
    Stream& NewStream(uint32_t ssrc, const Endpoint& source, const Endpoint& destination, const std::string& callId);
    // With `callId`, only a stream of that call or one without a call: a phone that sends
    // its next call from the same ports with the same SSRC starts a stream of that call.
    Stream* FindStream(uint32_t ssrc, const Endpoint& source, const Endpoint& destination,
                       const std::string* callId = nullptr) {
        Stream* found = nullptr;
        ForEachWithSsrc(ssrc, [&](size_t index) {
            Stream& candidate = streams[index];
            if (!(candidate.source == source) || !(candidate.destination == destination)) return false;
            if (callId && !candidate.callId.empty() && candidate.callId != *callId) return false;
            found = &candidate;
            return true;
        });
        return found;
    }
    void CountPacket(Stream& s, const RtpHeader& h, double arrival, const std::vector<SdpRtpMap>& sdpMaps);
    RtpStreamReport Report(const Stream& s) const;
    // The E-model's one-way delay: half the RTCP round trip when one was measured.
    static double OneWayDelayMs(const Stream& s);
    // MOS with `late` packets dropped by the buffer on top of the network's loss; nothing for
    // a codec without impairment values or a stream that expects nothing.
    static std::optional<double> Mos(const Stream& s, uint64_t late);
    void TrimOldest();

    // Streams by SSRC: an open-addressing table of (SSRC, index + 1) with linear probing, at
    // most half full. One probe usually finds the stream, where a node-based map costs a
    // bucket and a node in different places for every RTP packet.
    struct SsrcSlot {
        uint32_t ssrc = 0;
        uint32_t indexPlusOne = 0;  // 0: empty
    };
    void IndexStream(uint32_t ssrc, size_t index);
    void RebuildIndex(size_t slotCount);
    template <typename F>
    void ForEachWithSsrc(uint32_t ssrc, F&& f) {
        if (slots.empty()) return;
        const size_t mask = slots.size() - 1;
        for (size_t i = SlotOf(ssrc) & mask; slots[i].indexPlusOne != 0; i = (i + 1) & mask) {
            if (slots[i].ssrc == ssrc && f(size_t{slots[i].indexPlusOne} - 1)) return;
        }
    }
    static size_t SlotOf(uint32_t ssrc) { return static_cast<size_t>((uint64_t{ssrc} * 0x9E3779B97F4A7C15ull) >> 40); }

    std::vector<Stream> streams;
    std::vector<SsrcSlot> slots;
    uint64_t dropped = 0;

    // An endpoint pair whose packets may be a stream without signalling.
    struct Probation {
        uint32_t ssrc = 0;
        uint32_t held = 0;
        std::array<std::pair<RtpHeader, double>, kProbationPackets> packets{};
    };
    struct PairHash {
        size_t operator()(const std::pair<Endpoint, Endpoint>& p) const {
            return EndpointHash{}(p.first) * 31 + EndpointHash{}(p.second);
        }
    };
    std::unordered_map<std::pair<Endpoint, Endpoint>, Probation, PairHash> probation;
};

// The address part of "ip:port" or "[ip]:port".
std::string_view AddressOf(std::string_view endpoint);

#include "flow/RtpStreamInline.h"
