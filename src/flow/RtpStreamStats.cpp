#include "flow/RtpStreamStats.h"

#include <algorithm>
#include <cmath>

#include "capture/TextFormat.h"
#include "quality/EModel.h"

namespace {

constexpr size_t kSentReportsKept = 16;
constexpr double kNtpUnixOffset = 2208988800.0;  // 1900-01-01 to 1970-01-01 in seconds

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Codec names as the call table writes them.
std::string CodecForEncoding(std::string_view encoding) {
    if (EqualsNoCase(encoding, "PCMU")) return "G711u";
    if (EqualsNoCase(encoding, "PCMA")) return "G711a";
    if (EqualsNoCase(encoding, "G729")) return "G729";
    if (EqualsNoCase(encoding, "G722")) return "G722";
    if (EqualsNoCase(encoding, "GSM")) return "GSM";
    if (EqualsNoCase(encoding, "G723")) return "G723";
    if (EqualsNoCase(encoding, "telephone-event")) return "DTMF";
    if (EqualsNoCase(encoding, "CN")) return "CN";
    return std::string(encoding);
}

// RFC 3551 static payload types: codec name and clock rate.
RtpPayloadInfo StaticPayload(int pt) {
    switch (pt) {
        case 0: return {"G711u", 8000, true};
        case 3: return {"GSM", 8000, true};
        case 4: return {"G723", 8000, true};
        case 8: return {"G711a", 8000, true};
        case 9: return {"G722", 8000, true};  // 8 kHz RTP clock for a 16 kHz codec (RFC 3551)
        case 13: return {"CN", 8000, false};
        case 18: return {"G729", 8000, true};
        case 101: return {"DTMF", 8000, false};  // the usual telephone-event number
        case 5: case 7: case 12: case 15: return {"PT:" + std::to_string(pt), 8000, true};
        case 6: return {"PT:6", 16000, true};
        case 10: case 11: return {"PT:" + std::to_string(pt), 44100, true};
        case 16: return {"PT:16", 11025, true};
        case 17: return {"PT:17", 22050, true};
        default: break;
    }
    if (pt >= 96) return {"Dyn", 0, true};
    return {"PT:" + std::to_string(pt), 0, true};
}

}  // namespace

std::string_view AddressOf(std::string_view endpoint) { return EndpointAddress(endpoint); }

std::vector<SdpRtpMap> ReadSdpRtpMaps(std::string_view sdp) {
    std::vector<SdpRtpMap> out;
    constexpr std::string_view kTag = "a=rtpmap:";
    size_t pos = 0;
    while ((pos = sdp.find(kTag, pos)) != std::string_view::npos) {
        const bool lineStart = pos == 0 || sdp[pos - 1] == '\n' || sdp[pos - 1] == '\r';
        size_t i = pos + kTag.size();
        pos = i;
        if (!lineStart) continue;
        size_t end = sdp.find_first_of("\r\n", i);
        std::string_view line = sdp.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i);
        size_t j = 0;
        int pt = 0;
        bool digits = false;
        while (j < line.size() && line[j] >= '0' && line[j] <= '9' && pt < 1000) {
            pt = pt * 10 + (line[j++] - '0');
            digits = true;
        }
        if (!digits || pt > 127 || j >= line.size() || line[j] != ' ') continue;
        while (j < line.size() && line[j] == ' ') ++j;
        size_t slash = line.find('/', j);
        if (slash == std::string_view::npos || slash == j) continue;
        SdpRtpMap map;
        map.payloadType = pt;
        map.encoding = std::string(line.substr(j, slash - j));
        uint64_t rate = 0;
        for (size_t k = slash + 1; k < line.size() && line[k] >= '0' && line[k] <= '9' && rate < 10000000; ++k)
            rate = rate * 10 + uint64_t(line[k] - '0');
        map.clockRate = static_cast<uint32_t>(rate);
        out.push_back(std::move(map));
    }
    return out;
}

RtpPayloadInfo DescribePayload(int payloadType, const std::vector<SdpRtpMap>& sdpMaps) {
    for (const SdpRtpMap& m : sdpMaps) {
        if (m.payloadType != payloadType) continue;
        RtpPayloadInfo info;
        info.codec = CodecForEncoding(m.encoding);
        info.clockRate = m.clockRate;
        info.voice = info.codec != "DTMF" && info.codec != "CN";
        return info;
    }
    return StaticPayload(payloadType);
}

void JitterBufferReplay::Restart() {
    openMin = closedMin = kNone;
    inOpen = closedCount = nextClosed = 0;
}

void JitterBufferReplay::CloseBlock() {
    // The oldest closed block leaves the window.
    closed[nextClosed] = openMin;
    nextClosed = (nextClosed + 1) % kBlocks;
    closedCount = std::min<uint32_t>(closedCount + 1, kBlocks);
    closedMin = *std::min_element(closed.begin(), closed.begin() + closedCount);
    openMin = kNone;
    inOpen = 0;
}

bool RtpStreamStats::IsDuplicate(int64_t ext) {
    auto bit = [](int64_t e) -> std::pair<size_t, uint64_t> {
        const uint64_t slot = static_cast<uint64_t>(e) % uint64_t(kWindow);
        return {slot / 64, uint64_t(1) << (slot % 64)};
    };
    if (ext > maxExtended) {
        if (maxExtended < 0 || ext - maxExtended >= kWindow) {
            seen.fill(0);
        } else {
            for (int64_t e = maxExtended + 1; e < ext; ++e) {
                auto [w, m] = bit(e);
                seen[w] &= ~m;
            }
        }
        auto [w, m] = bit(ext);
        seen[w] |= m;
        maxExtended = ext;
        return false;
    }
    if (maxExtended - ext >= kWindow) return false;  // too old to tell: count it as new
    auto [w, m] = bit(ext);
    if (seen[w] & m) return true;
    seen[w] |= m;
    return false;
}

void RtpStreamStats::FirstPacket(const RtpHeader& h, double arrival) {
    firstArrival = lastArrival = arrival;
    nextIntervalAt = arrival + StreamInterval::kIntervalSeconds;
    maxSeq = h.sequence;
    cycles = 0;
    baseExtended = h.sequence;
    badSeq = kSeqMod + 1;
}

StreamInterval RtpStreamStats::OpenInterval() const {
    StreamInterval iv;
    iv.index = openIndex;
    iv.packets = static_cast<uint32_t>(packets - openPackets);
    const uint64_t expectedNow = Expected();
    const uint64_t distinctNow = distinctBefore + distinct;
    iv.expected = static_cast<uint32_t>(expectedNow - std::min(expectedNow, openExpected));
    iv.lost = static_cast<int32_t>(int64_t(expectedNow - std::min(expectedNow, openExpected)) -
                                   int64_t(distinctNow - std::min(distinctNow, openDistinct)));
    iv.lateFixed = static_cast<uint32_t>(buffer.lateFixed - openLate);
    iv.maxJitterMs = openMaxJitterMs;
    return iv;
}

void RtpStreamStats::CloseInterval(double arrival) {
    const StreamInterval closed = OpenInterval();
    if (closed.packets) {
        if (!worst || closed.ImpairedPercent() > worst->ImpairedPercent()) worst = closed;
        // Past the bound the oldest sixth goes at once, not one per interval.
        if (intervals.size() >= kMaxIntervals) intervals.erase(intervals.begin(), intervals.begin() + kMaxIntervals / 6);
        intervals.push_back(closed);
    }
    const double since = std::max(0.0, arrival - firstArrival);
    openIndex = static_cast<uint32_t>(std::min(since / StreamInterval::kIntervalSeconds, 4e9));
    nextIntervalAt = firstArrival + (openIndex + 1) * StreamInterval::kIntervalSeconds;
    openPackets = packets;
    openExpected = Expected();
    openDistinct = distinctBefore + distinct;
    openLate = buffer.lateFixed;
    openMaxJitterMs = 0;
}

std::vector<StreamInterval> RtpStreamStats::Intervals() const {
    std::vector<StreamInterval> out = intervals;
    if (packets > openPackets) out.push_back(OpenInterval());
    return out;
}

std::optional<StreamInterval> RtpStreamStats::WorstInterval() const {
    std::optional<StreamInterval> w = worst;
    if (packets > openPackets) {
        const StreamInterval open = OpenInterval();
        if (!w || open.ImpairedPercent() > w->ImpairedPercent()) w = open;
    }
    return w;
}

void RtpStreamStats::Resynchronise(uint16_t seq) {
    // Two packets in a row after the same large jump: the source restarted its numbering.
    // Close the part so far and count on from here.
    expectedBefore = Expected();
    distinctBefore += distinct;
    distinct = 0;
    maxSeq = seq;
    cycles = 0;
    baseExtended = seq;
    maxExtended = -1;
    seen.fill(0);
    jitterClock = 0;  // new time stamps too: measure jitter and lateness afresh
    buffer.Restart();
}

void RtpStreamStats::FirstVoicePacket(const RtpHeader& h, double arrival, uint32_t clockRate) {
    jitterClock = clockRate;
    msPerUnit = 1000.0 / clockRate;
    lastVoiceTimestamp = h.timestamp;
    lastVoiceArrival = arrival;
    firstVoiceArrival = arrival;
    rtpTimeMs = 0;
    jitterUnits = 0;
    jitterMs = 0;
    buffer.Restart();  // transit is measured from this packet on
    buffer.Add(0.0, 0.0);
}

void RtpStreamStats::NotePayload(int pt, const RtpPayloadInfo& info) {
    if (payloadType >= 0 && (!info.voice || payloadIsVoice)) return;
    payloadType = static_cast<int16_t>(pt);
    payloadIsVoice = info.voice;
    codec = info.codec;
}

void RtpStreamStats::Add(const RtpHeader& header, double arrival, const RtpPayloadInfo& info) {
    NotePayload(header.payloadType, info);
    Update(header, arrival, VoiceClock(info));
}

uint64_t RtpStreamStats::Expected() const {
    if (packets == 0 || maxExtended < 0) return expectedBefore;
    const int64_t highest = int64_t(cycles) + maxSeq;
    return expectedBefore + uint64_t(std::max<int64_t>(0, highest - baseExtended + 1));
}

int64_t RtpStreamStats::Lost() const {
    return int64_t(Expected()) - int64_t(distinctBefore + distinct);
}

double RtpStreamStats::LossPercent() const {
    const uint64_t expected = Expected();
    if (expected == 0) return 0;
    return double(std::max<int64_t>(0, Lost())) * 100.0 / double(expected);
}

double RtpStreamStats::EffectiveLossPercent(uint64_t late) const {
    const uint64_t expected = Expected();
    if (expected == 0) return 0;
    const double dropped = double(std::max<int64_t>(0, Lost())) + double(late);
    return std::min(100.0, dropped * 100.0 / double(expected));
}

void RtpStreamTable::Clear() {
    streams.clear();
    slots.clear();
    probation.clear();
    dropped = 0;
}

bool RtpStreamTable::AddUnsignalled(const Endpoint& source, const Endpoint& destination,
                                    std::span<const uint8_t> payload, double arrival) {
    static const std::vector<SdpRtpMap> kNoMaps;
    RtpHeader h;
    if (!ParseRtpHeader(payload, h)) return false;
    if (Stream* s = FindStream(h.ssrc, source, destination)) {
        CountPacket(*s, h, arrival, kNoMaps);
        return true;
    }
    if (probation.size() >= kMaxProbation) probation.clear();
    Probation& p = probation[{source, destination}];
    const bool follows = p.held > 0 && p.ssrc == h.ssrc &&
                         h.sequence == static_cast<uint16_t>(p.packets[p.held - 1].first.sequence + 1) &&
                         static_cast<int32_t>(h.timestamp - p.packets[p.held - 1].first.timestamp) >= 0;
    if (!follows) p.held = 0;
    p.ssrc = h.ssrc;
    p.packets[p.held++] = {h, arrival};
    if (p.held < kProbationPackets) return true;
    Stream& s = NewStream(h.ssrc, source, destination, std::string());
    for (const auto& [header, at] : p.packets) CountPacket(s, header, at, kNoMaps);
    probation.erase({source, destination});
    return true;
}

void RtpStreamTable::ForgetCalls(const std::unordered_set<std::string>& callIds) {
    const size_t before = streams.size();
    std::erase_if(streams, [&](const Stream& s) { return callIds.contains(s.callId); });
    if (streams.size() != before) RebuildIndex(slots.size());
}

void RtpStreamTable::IndexStream(uint32_t ssrc, size_t index) {
    if ((streams.size() + 1) * 2 > slots.size()) {
        RebuildIndex(std::max<size_t>(64, slots.size() * 2));
        return;  // the rebuild indexed every stream, this one included
    }
    const size_t mask = slots.size() - 1;
    size_t i = SlotOf(ssrc) & mask;
    while (slots[i].indexPlusOne != 0) i = (i + 1) & mask;
    slots[i] = {ssrc, static_cast<uint32_t>(index + 1)};
}

void RtpStreamTable::RebuildIndex(size_t slotCount) {
    slots.assign(slotCount, SsrcSlot{});
    const size_t mask = slotCount - 1;
    for (size_t index = 0; index < streams.size(); ++index) {
        size_t i = SlotOf(streams[index].ssrc) & mask;
        while (slots[i].indexPlusOne != 0) i = (i + 1) & mask;
        slots[i] = {streams[index].ssrc, static_cast<uint32_t>(index + 1)};
    }
}

RtpStreamTable::Stream& RtpStreamTable::NewStream(uint32_t ssrc, const Endpoint& source,
                                                  const Endpoint& destination, const std::string& callId) {
    if (streams.size() >= kMaxStreams) TrimOldest();
    Stream& fresh = streams.emplace_back();
    fresh.callId = callId;
    fresh.source = source;
    fresh.destination = destination;
    fresh.ssrc = ssrc;
    IndexStream(ssrc, streams.size() - 1);
    return fresh;
}

void RtpStreamTable::TrimOldest() {
    dropped += std::min(kTrimBlock, streams.size());
    streams.erase(streams.begin(), streams.begin() + std::min(kTrimBlock, streams.size()));
    RebuildIndex(slots.size());
}

void RtpStreamTable::AddRtcpReports(const IpAddress& from, std::span<const uint8_t> payload, double arrival) {
    for (const RtcpReport& report : ReadRtcpCompound(payload)) {
        if (report.hasSenderInfo) {
            ForEachWithSsrc(report.senderSsrc, [&](size_t index) {
                Stream& s = streams[index];
                if (!(s.source.address == from)) return false;
                if (!s.rtcp) s.rtcp.emplace();
                s.rtcp->senderReports += 1;
                s.rtcp->senderPacketCount = report.senderPacketCount;
                s.rtcp->senderOctetCount = report.senderOctetCount;
                if (s.sentReports.size() >= kSentReportsKept) s.sentReports.erase(s.sentReports.begin());
                s.sentReports.emplace_back(NtpMiddle(report.ntpTimestamp), arrival);
                return false;
            });
        }
        for (const RtcpReportBlock& block : report.blocks) {
            ForEachWithSsrc(block.ssrc, [&](size_t index) {
                Stream& s = streams[index];
                // The receiver of a stream reports on it: the report comes from its destination.
                if (!(s.destination.address == from)) return false;
                if (!s.rtcp) s.rtcp.emplace();
                RtcpFigures& f = *s.rtcp;
                f.reports += 1;
                f.fractionLostPercent = block.fractionLost * 100.0 / 256.0;
                f.cumulativeLost = block.cumulativeLost;
                const uint32_t clock = s.lastInfo.clockRate ? s.lastInfo.clockRate : 8000;
                f.jitterMs = block.jitter * 1000.0 / clock;
                if (block.lastSr == 0) return false;
                // Prefer the capture times of the SR and of this report: they need no agreement
                // between the two hosts' clocks.
                bool measured = false;
                for (const auto& [middle, sentAt] : s.sentReports) {
                    if (middle != block.lastSr) continue;
                    const double rtt = (arrival - sentAt) * 1000.0 - block.delaySinceLastSr * 1000.0 / 65536.0;
                    if (rtt >= 0) f.roundTripMs = rtt;
                    measured = true;
                }
                if (measured) return false;
                const double ntpSeconds = arrival + kNtpUnixOffset;
                const double whole = std::floor(ntpSeconds);
                const uint32_t arrivalMiddle = static_cast<uint32_t>(
                    ((static_cast<uint64_t>(whole) & 0xFFFF) << 16) |
                    (static_cast<uint64_t>((ntpSeconds - whole) * 65536.0) & 0xFFFF));
                if (auto rtt = RoundTripMs(arrivalMiddle, block.lastSr, block.delaySinceLastSr); rtt && *rtt < 10000.0)
                    f.roundTripMs = *rtt;
                return false;
            });
        }
    }
}

RtpStreamReport RtpStreamTable::Report(const Stream& s) const {
    const RtpStreamStats& st = s.stats;
    RtpStreamReport r;
    r.callId = s.callId;
    r.source = s.source.Text();
    r.destination = s.destination.Text();
    r.src = s.source;
    r.dst = s.destination;
    r.ssrc = s.ssrc;
    r.payloadType = st.PayloadType();
    r.codec = st.Codec();
    r.voice = st.jitterClock != 0;
    r.packets = st.Packets();
    r.expected = st.Expected();
    r.lost = st.Lost();
    r.lossPercent = st.LossPercent();
    r.duplicates = st.Duplicates();
    r.outOfOrder = st.OutOfOrder();
    r.minDeltaMs = st.MinDeltaMs();
    r.meanDeltaMs = st.MeanDeltaMs();
    r.maxDeltaMs = st.MaxDeltaMs();
    r.firstSeconds = st.FirstArrival();
    r.lastSeconds = st.LastArrival();
    r.meanJitterMs = st.MeanJitterMs();
    r.maxJitterMs = st.MaxJitterMs();
    r.lateFixed = st.Buffer().lateFixed;
    r.lateAdaptive = st.Buffer().lateAdaptive;
    r.rtcp = s.rtcp;
    r.delayFromRtcp = s.rtcp && s.rtcp->roundTripMs;
    r.oneWayDelayMs = OneWayDelayMs(s);
    r.mosNetwork = Mos(s, 0);
    r.mosFixed = Mos(s, r.lateFixed);
    r.mosAdaptive = Mos(s, r.lateAdaptive);
    const std::optional<emodel::CodecImpairment> codec = emodel::ImpairmentFor(st.Codec());
    auto withMos = [&](const StreamInterval& iv) {
        RtpStreamReport::Interval out{iv, std::nullopt};
        if (codec && iv.expected) out.mos = emodel::EstimateMos(*codec, iv.ImpairedPercent(), r.oneWayDelayMs);
        return out;
    };
    for (const StreamInterval& iv : st.Intervals()) r.intervals.push_back(withMos(iv));
    if (const std::optional<StreamInterval> w = st.WorstInterval()) r.worstInterval = withMos(*w);
    return r;
}

double RtpStreamTable::OneWayDelayMs(const Stream& s) {
    return s.rtcp && s.rtcp->roundTripMs ? *s.rtcp->roundTripMs / 2.0 : emodel::kDefaultOneWayDelayMs;
}

std::optional<double> RtpStreamTable::Mos(const Stream& s, uint64_t late) {
    const std::optional<emodel::CodecImpairment> codec = emodel::ImpairmentFor(s.stats.Codec());
    if (!codec || s.stats.Expected() == 0) return std::nullopt;
    return emodel::EstimateMos(*codec, s.stats.EffectiveLossPercent(late), OneWayDelayMs(s));
}

std::vector<RtpStreamReport> RtpStreamTable::Reports(const std::string* callId) const {
    std::vector<RtpStreamReport> out;
    for (const Stream& s : streams) {
        if (callId && s.callId != *callId) continue;
        out.push_back(Report(s));
    }
    return out;
}

std::unordered_map<std::string, double> RtpStreamTable::WorstMosByCall() const {
    std::unordered_map<std::string, double> out;
    // Runs under the tracker's lock for every frame of the call list: no report is built.
    for (const Stream& s : streams) {
        const std::optional<double> mos = Mos(s, s.stats.Buffer().lateAdaptive);
        if (!mos || s.callId.empty()) continue;
        auto [it, inserted] = out.try_emplace(s.callId, *mos);
        if (!inserted && *mos < it->second) it->second = *mos;
    }
    return out;
}
