// Cheap views of CallTracker's records for the Flow tab: the call table needs one short row
// per record every frame, and the ladder one record, neither the full copy of every message
// text that GetCalls makes.
#include <algorithm>

#include "flow/CallTracker.h"

std::vector<SipCallRow> CallTracker::GetCallRows() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<SipCallRow> rows;
    rows.reserve(calls.size());
    const std::unordered_map<std::string, double> mos = streams.WorstMosByCall();
    for (const auto& [id, call] : calls) {
        SipCallRow row;
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
        rows.push_back(std::move(row));
    }
    // Same order as GetCalls: by capture time text, ties in Call-ID order.
    std::stable_sort(rows.begin(), rows.end(), [](const SipCallRow& a, const SipCallRow& b) { return a.time < b.time; });
    return rows;
}

std::optional<SipCall> CallTracker::GetCall(const std::string& callId) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = calls.find(callId);
    if (it == calls.end()) return std::nullopt;
    return it->second;
}
