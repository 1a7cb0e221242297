// Cheap views of CallTracker's records for the Flow tab: the call table needs one short row
// per record every frame, and the ladder one record, neither the full copy of every message
// text that GetCalls makes.
#include <algorithm>

#include "flow/CallTracker.h"
#include "flow/RtpFlows.h"

std::vector<SipCallRow> CallTracker::GetCallRows() const {
    std::lock_guard<std::mutex> lock(mutex);
    // Same order as GetCalls: by capture time text, ties in Call-ID order. The records are
    // put in order first, so that no row (ten texts) is moved by the sort.
    std::vector<const SipCall*> order;
    order.reserve(calls.size());
    for (const auto& [id, call] : calls) order.push_back(&call);
    std::stable_sort(order.begin(), order.end(), [](const SipCall* a, const SipCall* b) { return a->time < b->time; });
    const std::unordered_map<std::string, double> mos = streams.WorstMosByCall();
    // Every stream's report once, by call, for the verdicts.
    std::unordered_map<std::string, std::vector<RtpStreamReport>> reports;
    for (RtpStreamReport& r : streams.Reports())
        if (!r.callId.empty()) reports[r.callId].push_back(std::move(r));
    static const std::vector<RtpStreamReport> kNoStreams;
    std::vector<SipCallRow> rows(order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        const SipCall& call = *order[i];
        SipCallRow& row = rows[i];
        row.callId = call.callId;
        row.time = call.time;
        row.fromUser = call.fromUser;
        row.toUser = call.toUser;
        row.callerIp = call.callerIp;
        row.calleeIp = call.calleeIp;
        if (call.messages.empty()) {
            row.firstMethod.assign(1, '?');  // (not = "?": GCC 12 -Wrestrict false positive)
        } else {
            row.firstMethod = call.messages.front().method;
            row.firstType = call.messages.front().type;
        }
        row.messageCount = call.messages.size();
        row.isInvite = call.isInvite;
        row.displayStatus = DisplayStatus(call);
        row.hangupOrigin = call.hangupOrigin;
        if (auto it = mos.find(call.callId); it != mos.end()) row.mos = it->second;
        const auto own = reports.find(call.callId);
        row.verdicts = ::Diagnose(call, own == reports.end() ? kNoStreams : own->second, latestMicros);
    }
    return rows;
}

std::optional<SipCall> CallTracker::GetCall(const std::string& callId) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = calls.find(callId);
    if (it == calls.end()) return std::nullopt;
    SipCall copy = it->second;
    for (SipMessage& m : copy.messages)
        if (m.type == SipMsgType::Rtp) WriteRtpFlowText(m);
    return copy;
}
