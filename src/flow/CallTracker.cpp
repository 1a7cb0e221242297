#include "flow/CallTracker.h"

#include <algorithm>
#include <limits>
#include <unordered_set>

#include "capture/TextFormat.h"
#include "flow/CallStateMachine.h"
#include "flow/RtpFlows.h"

namespace {

// Port of an "address:port" or "[address]:port" text: its leading digits (the whole text
// when there is no colon). No digits, or a number no SDP port can equal: no port.
std::optional<int32_t> PortOf(const std::string& endpoint) {
    const std::string_view text =
        endpoint.find(':') == std::string::npos ? std::string_view(endpoint) : EndpointPortText(endpoint);
    size_t i = 0;
    int64_t value = 0;
    bool any = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        any = true;
        // Saturate: a port text of many digits must not overflow.
        if (value <= std::numeric_limits<int32_t>::max()) value = value * 10 + (text[i] - '0');
    }
    if (!any || value > std::numeric_limits<int32_t>::max()) return std::nullopt;
    return static_cast<int32_t>(value);
}

size_t TextBytes(const SipMessage& m) { return m.type == SipMsgType::Rtp ? 0 : m.text.size(); }

}  // namespace

void CallTracker::ProcessPacket(const std::string& source, const std::string& destination,
                                std::span<const uint8_t> payload, const PacketLogEntry& entry) {
    if (payload.empty()) return;
    std::string_view bytes(reinterpret_cast<const char*>(payload.data()), payload.size());
    // Anything that mentions the SIP version is signalling, even when it then fails to parse:
    // it must never be counted as media.
    if (bytes.size() > 6 && ContainsNoCase(bytes, "SIP/2.0")) {
        SipMessage message;
        if (!ParseSipMessage(bytes, message)) return;
        message.time = entry.time;
        message.sourceIp = StripPort(source);
        message.destinationIp = StripPort(destination);
        message.text.assign(bytes);
        ProcessSip(std::move(message));
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    ProcessMedia(source, destination, payload, entry);
}

void CallTracker::ProcessSip(SipMessage message) {
    std::lock_guard<std::mutex> lock(mutex);
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
    if (call.messages.size() > kMaxMessagesPerRecord) DropOldestMessage(call);
    if (calls.size() > kMaxCallRecords || keptTextBytes > kMaxKeptTextBytes || keptMessages > kMaxKeptMessages)
        EnforceRecordBounds(&call);
}

void CallTracker::IndexPort(SipCall& call, int32_t port) {
    std::vector<SipCall*>& owners = recordsByPort[port];
    if (std::find(owners.begin(), owners.end(), &call) == owners.end()) owners.push_back(&call);
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

SipCall* CallTracker::FindMediaCall(const std::string& srcIp, const std::string& dstIp, const std::string& source,
                                    const std::string& destination) {
    // The newest live record between these two addresses whose SDP announced one of the
    // packet's ports; an ended one only when no live record matches. A record that
    // announced no port takes no media: a softphone that reuses its RTP port, or sends an
    // INVITE without SDP from the same address, must not pull another call's media.
    SipCall* live = nullptr;
    SipCall* ended = nullptr;
    const std::optional<int32_t> ports[2] = {PortOf(source), PortOf(destination)};
    for (int i = 0; i < 2; ++i) {
        if (!ports[i] || (i == 1 && ports[0] == ports[1])) continue;
        auto owners = recordsByPort.find(*ports[i]);
        if (owners == recordsByPort.end()) continue;
        for (SipCall* call : owners->second) {
            if (!call->isInvite) continue;
            const bool between = (srcIp == call->callerIp && dstIp == call->calleeIp) ||
                                 (srcIp == call->calleeIp && dstIp == call->callerIp);
            if (!between) continue;
            SipCall*& best = IsRecordEnded(*call) ? ended : live;
            if (!best || call->serial > best->serial) best = call;
        }
    }
    return live ? live : ended;
}

void CallTracker::ProcessMedia(const std::string& source, const std::string& destination,
                               std::span<const uint8_t> payload, const PacketLogEntry& entry) {
    ++changes;
    for (const std::string& id : addressesToFill) {
        auto it = calls.find(id);
        if (it == calls.end() || !it->second.callerIp.empty()) continue;
        for (const SipMessage& m : it->second.messages) {
            if (m.type == SipMsgType::Rtp) continue;
            it->second.callerIp = m.sourceIp;
            it->second.calleeIp = m.destinationIp;
            break;
        }
    }
    addressesToFill.clear();

    const std::string srcIp = StripPort(source);
    const std::string dstIp = StripPort(destination);
    SipCall* call = FindMediaCall(srcIp, dstIp, source, destination);
    if (streamStatistics) {
        const double arrival = entry.tsSec + entry.tsUsec * 1e-6;
        // RTCP goes to its own port (RTP + 1), which no SDP announces: its reports find their
        // stream by SSRC and address instead. What is not RTP may be RTCP.
        if (!call || !streams.AddRtp(source, destination, payload, arrival, call->callId, call->rtpMaps))
            streams.AddRtcp(source, payload, arrival);
    }
    if (!call) return;
    call->lastActivity = ++clock;
    const size_t before = call->messages.size();
    CountRtpPacket(*call, MediaPacket{source, destination, srcIp, dstIp, payload, entry.time});
    keptMessages += call->messages.size() - before;  // a new flow entry
    if (call->messages.size() > kMaxMessagesPerRecord) DropOldestMessage(*call);
    if (keptMessages > kMaxKeptMessages) EnforceRecordBounds(call);
}

std::vector<SipCall> CallTracker::GetCalls() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<SipCall> out;
    out.reserve(calls.size());
    for (const auto& [id, call] : calls) out.push_back(call);
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
    return {calls.size(), keptMessages, keptTextBytes, recordsDropped, messagesDropped};
}

std::vector<RtpStreamReport> CallTracker::GetStreamReports(const std::string* callId) const {
    std::lock_guard<std::mutex> lock(mutex);
    return streams.Reports(callId);
}

void CallTracker::SetStreamStatistics(bool enabled) {
    std::lock_guard<std::mutex> lock(mutex);
    streamStatistics = enabled;
}

void CallTracker::Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    calls.clear();
    streams.Clear();
    recordsByPort.clear();
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
