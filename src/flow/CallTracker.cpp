#include "flow/CallTracker.h"

#include <algorithm>
#include <limits>
#include <unordered_set>

#include "capture/Decode.h"
#include "capture/TextFormat.h"
#include "flow/CallStateMachine.h"
#include "flow/RtpFlows.h"

namespace {

size_t TextBytes(const SipMessage& m) { return m.type == SipMsgType::Rtp ? 0 : m.text.size(); }

}  // namespace

void CallTracker::SetSipPort(uint16_t port) {
    std::lock_guard<std::mutex> lock(mutex);
    sipPort = port;
}

void CallTracker::ProcessPacket(const PacketLogEntry& entry) {
    // TCP carries no media: SIP over it is framed out of its byte streams.
    if (entry.ipProtocol == kIpProtoTcp) {
        ProcessTcp(entry);
        return;
    }
    const std::span<const uint8_t> payload = entry.Payload();
    if (payload.empty()) return;
    std::string_view bytes(reinterpret_cast<const char*>(payload.data()), payload.size());
    // Anything that mentions the SIP version is signalling, even when it then fails to parse:
    // it must never be counted as media.
    if (bytes.size() > 6 && ContainsNoCase(bytes, "SIP/2.0")) {
        ProcessSipText(bytes, entry.Source(), entry.Destination(), entry, false);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    ProcessMedia(entry, payload);
}

void CallTracker::ProcessTcp(const PacketLogEntry& entry) {
    if (!entry.hasPorts) return;
    const std::span<const uint8_t> payload = entry.Payload();
    const std::string_view bytes(reinterpret_cast<const char*>(payload.data()), payload.size());
    std::lock_guard<std::mutex> lock(mutex);
    // The SIP port's connections, and those of another port once a segment carried SIP (a
    // peer on 5080): everything else over TCP is no concern of this monitor.
    const bool sip = entry.srcPort == sipPort || entry.dstPort == sipPort || tcp.Tracks(entry) ||
                     (bytes.size() > 6 && ContainsNoCase(bytes, "SIP/2.0"));
    if (!sip) return;
    tcp.Feed(entry, [&](const SipTcpMessage& m) { ProcessSipText(m.text, m.source, m.destination, entry, true); });
}

void CallTracker::EndOfCapture() {
    std::lock_guard<std::mutex> lock(mutex);
    // No packet completes these: the last one analysed stands in for their time.
    PacketLogEntry none;
    tcp.SkipHoles([&](const SipTcpMessage& m) {
        none.tsSec = static_cast<uint32_t>(m.timeMicros / 1000000);
        none.tsUsec = static_cast<uint32_t>(m.timeMicros % 1000000);
        none.time = lastTime;
        ProcessSipText(m.text, m.source, m.destination, none, true);
    });
}

void CallTracker::ProcessSipText(std::string_view text, const Endpoint& source, const Endpoint& destination,
                                 const PacketLogEntry& entry, bool locked) {
    SipMessage message;
    if (!ParseSipMessage(text, message)) return;
    message.time = PacketTimeText(entry);
    message.timeMicros = entry.TimeMicros();
    message.src = source;
    message.dst = destination;
    message.sourceIp = source.address.Text();
    message.destinationIp = destination.address.Text();
    message.text.assign(text);
    if (locked) ProcessSipLocked(std::move(message));
    else ProcessSip(std::move(message));
}

void CallTracker::ProcessSip(SipMessage message) {
    std::lock_guard<std::mutex> lock(mutex);
    ProcessSipLocked(std::move(message));
}

void CallTracker::ProcessSipLocked(SipMessage message) {
    lastTime = message.time;
    latestMicros = std::max(latestMicros, message.timeMicros);
    ++clock;
    ++changes;
    auto it = calls.find(message.callId);
    if (it == calls.end()) {
        SipCall call;
        call.callId = message.callId;
        call.time = message.time;
        call.fromUser = message.fromUser;
        call.toUser = message.toUser;
        call.serial = nextSerial++;
        it = calls.emplace(message.callId, std::move(call)).first;
        addressesToFill.push_back(message.callId);
    }
    SipCall& call = it->second;
    keptTextBytes += message.text.size();
    ++keptMessages;
    call.messages.push_back(std::move(message));
    call.lastActivity = clock;
    const CallChange change = ApplySipMessage(call, call.messages.back());
    if (change.portAdded) IndexPort(call, call.mediaPorts.back());
    NoteAnnouncement(call, call.messages.back());
    if (call.messages.size() > kMaxMessagesPerRecord) DropOldestMessage(call);
    if (calls.size() > kMaxCallRecords || keptTextBytes > kMaxKeptTextBytes || keptMessages > kMaxKeptMessages)
        EnforceRecordBounds(&call);
}

void CallTracker::IndexPort(SipCall& call, int32_t port) {
    std::vector<SipCall*>& owners = recordsByPort[port];
    if (std::find(owners.begin(), owners.end(), &call) == owners.end()) owners.push_back(&call);
}

void CallTracker::NoteAnnouncement(SipCall& call, const SipMessage& m) {
    const std::optional<Endpoint> media = ReadSdpAudioEndpoint(m.text);
    if (!media) return;
    // An offer comes in a request (INVITE, re-INVITE, UPDATE, PRACK); the answer in a
    // response, or in the ACK of an INVITE that carried no offer (RFC 3264 section 4).
    const bool offer = m.isRequest && m.type != SipMsgType::Ack;
    std::optional<Endpoint>& slot = offer ? call.offerMedia : call.answerMedia;
    const std::optional<Endpoint>& other = offer ? call.answerMedia : call.offerMedia;
    if (slot && !(*slot == *media) && !(other && *other == *slot)) UnindexMedia(call, *slot);
    slot = media;
    (offer ? call.offerAnnounced : call.answerAnnounced) = ++announcements;
    std::vector<SipCall*>& owners = recordsByMedia[*media];
    if (std::find(owners.begin(), owners.end(), &call) == owners.end()) owners.push_back(&call);
}

void CallTracker::UnindexMedia(SipCall& call, const Endpoint& endpoint) {
    auto owners = recordsByMedia.find(endpoint);
    if (owners == recordsByMedia.end()) return;
    std::erase(owners->second, &call);
    if (owners->second.empty()) recordsByMedia.erase(owners);
}

void CallTracker::DropOldestMessage(SipCall& call) {
    // The first message stays: it names the record in the table ("Method") and decides
    // whether it counts as a registration. RTP flow entries stay: they hold the counts.
    for (size_t i = 1; i < call.messages.size(); ++i) {
        if (call.messages[i].type == SipMsgType::Rtp) continue;
        keptTextBytes -= TextBytes(call.messages[i]);
        --keptMessages;
        call.messages.erase(call.messages.begin() + static_cast<std::ptrdiff_t>(i));
        ++call.droppedMessages;
        ++messagesDropped;
        return;
    }
}

void CallTracker::EraseRecord(std::map<std::string, SipCall>::iterator it) {
    SipCall& call = it->second;
    for (int32_t port : call.mediaPorts) {
        auto owners = recordsByPort.find(port);
        if (owners == recordsByPort.end()) continue;
        std::erase(owners->second, &call);
        if (owners->second.empty()) recordsByPort.erase(owners);
    }
    if (call.offerMedia) UnindexMedia(call, *call.offerMedia);
    if (call.answerMedia) UnindexMedia(call, *call.answerMedia);
    for (const SipMessage& m : call.messages) keptTextBytes -= TextBytes(m);
    keptMessages -= call.messages.size();
    ++recordsDropped;
    calls.erase(it);
}

void CallTracker::EnforceRecordBounds(const SipCall* keep) {
    // One scan per block of removals: ended records first, longest idle first; live records
    // only when the ended ones do not free enough.
    struct Candidate {
        bool live;
        uint64_t lastActivity;
        std::map<std::string, SipCall>::iterator it;
    };
    std::vector<Candidate> candidates;
    candidates.reserve(calls.size());
    for (auto it = calls.begin(); it != calls.end(); ++it) {
        if (&it->second == keep) continue;
        candidates.push_back({!IsRecordEnded(it->second), it->second.lastActivity, it});
    }
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (a.live != b.live) return !a.live;
        return a.lastActivity < b.lastActivity;
    });
    const size_t recordTarget =
        calls.size() > kMaxCallRecords ? kMaxCallRecords - kRecordEvictBlock : calls.size();
    const size_t textTarget = keptTextBytes > kMaxKeptTextBytes ? kKeptTextLowWater : keptTextBytes;
    const size_t messageTarget = keptMessages > kMaxKeptMessages ? kKeptMessagesLowWater : keptMessages;
    std::unordered_set<std::string> erased;
    for (const Candidate& c : candidates) {
        if (calls.size() <= recordTarget && keptTextBytes <= textTarget && keptMessages <= messageTarget) break;
        erased.insert(c.it->first);
        EraseRecord(c.it);
    }
    // Their RTP streams go with them: a report must not outlive its call, and the records'
    // bound then bounds the streams too.
    if (!erased.empty()) streams.ForgetCalls(erased);
    // Call-IDs of removed records are no longer looked up.
    std::erase_if(addressesToFill, [this](const std::string& id) { return !calls.contains(id); });
}

SipCall* CallTracker::FindMediaCall(const PacketLogEntry& entry) {
    // The newest live record between these two addresses whose SDP announced one of the
    // packet's ports; an ended one only when no live record matches. A record that
    // announced no port takes no media: a softphone that reuses its RTP port, or sends an
    // INVITE without SDP from the same address, must not pull another call's media.
    SipCall* live = nullptr;
    SipCall* ended = nullptr;
    const IpAddress& srcIp = entry.srcAddr;
    const IpAddress& dstIp = entry.dstAddr;
    const int32_t ports[2] = {entry.srcPort, entry.dstPort};
    for (int i = 0; i < 2 && entry.hasPorts; ++i) {
        if (i == 1 && ports[0] == ports[1]) continue;
        auto owners = recordsByPort.find(ports[i]);
        if (owners == recordsByPort.end()) continue;
        for (SipCall* call : owners->second) {
            if (!call->isInvite) continue;
            const bool between = (srcIp == call->callerAddr && dstIp == call->calleeAddr) ||
                                 (srcIp == call->calleeAddr && dstIp == call->callerAddr);
            if (!between) continue;
            SipCall*& best = IsRecordEnded(*call) ? ended : live;
            if (!best || call->serial > best->serial) best = call;
        }
    }
    if (live || ended) return live ? live : ended;
    // Media anchored away from the SIP peers: the call whose latest offer or answer
    // announced where the packet goes, or else where it comes from.
    if (!entry.hasPorts) return nullptr;
    if (SipCall* call = FindAnnouncedCall(entry.Destination())) return call;
    return FindAnnouncedCall(entry.Source());
}

SipCall* CallTracker::FindAnnouncedCall(const Endpoint& endpoint) const {
    auto owners = recordsByMedia.find(endpoint);
    if (owners == recordsByMedia.end()) return nullptr;
    SipCall* best = nullptr;
    uint64_t bestAnnounced = 0;
    for (SipCall* call : owners->second) {
        uint64_t announced = 0;
        if (call->offerMedia && *call->offerMedia == endpoint) announced = call->offerAnnounced;
        if (call->answerMedia && *call->answerMedia == endpoint) announced = std::max(announced, call->answerAnnounced);
        if (announced > bestAnnounced) {
            best = call;
            bestAnnounced = announced;
        }
    }
    return best;
}

void CallTracker::ProcessMedia(const PacketLogEntry& entry, std::span<const uint8_t> payload) {
    ++changes;
    for (const std::string& id : addressesToFill) {
        auto it = calls.find(id);
        if (it == calls.end() || !it->second.callerIp.empty()) continue;
        for (const SipMessage& m : it->second.messages) {
            if (m.type == SipMsgType::Rtp) continue;
            it->second.callerIp = m.sourceIp;
            it->second.calleeIp = m.destinationIp;
            it->second.callerAddr = m.src.address;
            it->second.calleeAddr = m.dst.address;
            break;
        }
    }
    addressesToFill.clear();

    SipCall* call = FindMediaCall(entry);
    const Endpoint source = entry.Source();
    const Endpoint destination = entry.Destination();
    latestMicros = std::max(latestMicros, entry.TimeMicros());
    if (streamStatistics) {
        const double arrival = entry.tsSec + entry.tsUsec * 1e-6;
        // RTCP goes to its own port (RTP + 1), which no SDP announces: its reports find their
        // stream by SSRC and address instead. What is not RTP may be RTCP. A stream no call
        // takes (a capture started mid-call) is still measured once it looks like RTP, but
        // nothing on the SIP port is taken for media.
        bool rtp = false;
        if (call) {
            rtp = streams.AddRtp(source, destination, payload, arrival, call->callId, call->rtpMaps);
        } else if (entry.hasPorts && entry.srcPort != sipPort && entry.dstPort != sipPort) {
            rtp = streams.AddUnsignalled(source, destination, payload, arrival);
        }
        if (!rtp) streams.AddRtcp(entry.srcAddr, payload, arrival);
    }
    if (!call) return;
    call->lastActivity = ++clock;
    const size_t before = call->messages.size();
    CountRtpPacket(*call, MediaPacket{source, destination, payload, entry});
    keptMessages += call->messages.size() - before;  // a new flow entry
    if (call->messages.size() > kMaxMessagesPerRecord) DropOldestMessage(*call);
    if (keptMessages > kMaxKeptMessages) EnforceRecordBounds(call);
}

std::vector<SipCall> CallTracker::GetCalls() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<SipCall> out;
    out.reserve(calls.size());
    for (const auto& [id, call] : calls) {
        out.push_back(call);
        for (SipMessage& m : out.back().messages)
            if (m.type == SipMsgType::Rtp) WriteRtpFlowText(m);
    }
    std::stable_sort(out.begin(), out.end(), [](const SipCall& a, const SipCall& b) { return a.time < b.time; });
    return out;
}

FlowCounters CallTracker::Counters() const {
    std::lock_guard<std::mutex> lock(mutex);
    FlowCounters counters;
    for (const auto& [id, call] : calls) {
        const SipMsgType first = call.messages.empty() ? SipMsgType::Other : call.messages.front().type;
        switch (KindOfRecord(call.isInvite, call.messages.size(), first)) {
            case RecordKind::Call: ++counters.calls; break;
            case RecordKind::Register: ++counters.registers; break;
            case RecordKind::Other: break;
        }
    }
    return counters;
}

CallTrackerStats CallTracker::Stats() const {
    std::lock_guard<std::mutex> lock(mutex);
    const SipTcpCounters t = tcp.Counters();
    return {calls.size(), keptMessages, keptTextBytes, recordsDropped, messagesDropped, streams.Dropped(),
            t.holeBytes + t.droppedHeldBytes};
}

SipTcpCounters CallTracker::TcpCounters() const {
    std::lock_guard<std::mutex> lock(mutex);
    return tcp.Counters();
}

std::vector<RtpStreamReport> CallTracker::GetStreamReports(const std::string* callId) const {
    std::lock_guard<std::mutex> lock(mutex);
    return streams.Reports(callId);
}

std::vector<Verdict> CallTracker::Diagnose(const std::string& callId) const {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = calls.find(callId);
    if (it == calls.end()) return {};
    const std::vector<RtpStreamReport> reports = streams.Reports(&callId);
    return ::Diagnose(it->second, reports, latestMicros);
}

std::vector<Verdict> CallTracker::Diagnose(const std::string& callId, std::span<const RtpStreamReport> reports) const {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = calls.find(callId);
    if (it == calls.end()) return {};
    return ::Diagnose(it->second, reports, latestMicros);
}

void CallTracker::SetStreamStatistics(bool enabled) {
    std::lock_guard<std::mutex> lock(mutex);
    streamStatistics = enabled;
}

void CallTracker::Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    calls.clear();
    streams.Clear();
    tcp.Clear();
    lastTime.clear();
    latestMicros = 0;
    recordsByPort.clear();
    recordsByMedia.clear();
    announcements = 0;
    addressesToFill.clear();
    keptMessages = 0;
    keptTextBytes = 0;
    recordsDropped = 0;
    messagesDropped = 0;
    ++changes;
}

uint64_t CallTracker::Changes() const {
    std::lock_guard<std::mutex> lock(mutex);
    return changes;
}
