#include "mtr/HopTable.h"

#include <algorithm>
#include <climits>
#include <cmath>

uint64_t HopHistory::Push(int64_t sendTicks) {
    if (total == 0) baseTicks = sendTicks;
    const int64_t ms = (sendTicks - baseTicks) / 10000;
    HopSample& s = ring[total % kMtrHistoryLength];
    // A clock stepped backwards puts the probe at the start rather than in the far future.
    s.sentMs = ms < 0 ? 0u : ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
    s.rttMs = kHopSamplePending;
    return total++;
}

void HopHistory::Settle(uint64_t number, float rttMs) {
    if (number >= total || total - number > kMtrHistoryLength) return;
    ring[number % kMtrHistoryLength].rttMs = rttMs;
}

const HopResponder* HopStats::MainResponder() const {
    const HopResponder* best = nullptr;
    for (const HopResponder& r : responders)
        if (!best || r.received > best->received) best = &r;
    return best;
}

int32_t HopStats::MainDscp() const {
    int32_t best = -1;
    int32_t most = 0;
    for (size_t d = 0; d < dscpSeen.size(); ++d) {
        if (dscpSeen[d] > most) {
            most = dscpSeen[d];
            best = static_cast<int32_t>(d);
        }
    }
    return best;
}

bool HopStats::DscpVaried() const {
    return std::count_if(dscpSeen.begin(), dscpSeen.end(), [](int32_t n) { return n > 0; }) > 1;
}

HopStats& HopTable::Row(int32_t ttl) {
    auto row = rows_.find(ttl);
    if (row == rows_.end()) {
        HopStats fresh;
        fresh.host = "???";
        row = rows_.emplace(ttl, std::move(fresh)).first;
    }
    return row->second;
}

uint64_t HopTable::EnterProbe(int32_t ttl, int64_t sendTicks) { return Row(ttl).history.Push(sendTicks); }

void HopTable::CountSent(int32_t ttl) { Row(ttl).sent++; }

void HopTable::Answer(int32_t ttl, uint64_t historyNumber, const std::string& from, double rtt, int32_t dscp) {
    HopStats& h = Row(ttl);
    if (dscp >= 0 && dscp < static_cast<int32_t>(h.dscpSeen.size())) h.dscpSeen[static_cast<size_t>(dscp)]++;
    const int32_t n = ++h.received;
    auto responder = std::find_if(h.responders.begin(), h.responders.end(),
                                  [&](const HopResponder& x) { return x.address == from; });
    if (responder == h.responders.end() && h.responders.size() < kMtrMaxResponders) {
        h.responders.push_back(HopResponder{from, {}, 0, 0.0, 9999.0, 0.0});
        responder = h.responders.end() - 1;
    }
    if (responder != h.responders.end()) {
        const int32_t rn = ++responder->received;
        responder->avgMs = ((rn - 1) * responder->avgMs + rtt) / rn;
        responder->bestMs = std::min(responder->bestMs, rtt);
        responder->worstMs = std::max(responder->worstMs, rtt);
    }
    h.host = from;
    h.history.Settle(historyNumber, static_cast<float>(rtt));
    h.lastMs = rtt;
    if (rtt < h.bestMs) h.bestMs = rtt;
    if (rtt > h.worstMs) h.worstMs = rtt;
    h.avgMs = ((n - 1) * h.avgMs + rtt) / n;
    // RFC 3550 A.8 interarrival jitter estimator, gain 1/16, applied to consecutive RTTs.
    if (h.prevMs >= 0) h.jitterMs += (std::fabs(rtt - h.prevMs) - h.jitterMs) * 0.0625;
    h.prevMs = rtt;
}

void HopTable::Lose(int32_t ttl, uint64_t historyNumber) {
    auto row = rows_.find(ttl);
    if (row == rows_.end()) return;
    row->second.lost++;
    row->second.history.Settle(historyNumber, kHopSampleLost);
}

void HopTable::EndPathAt(int32_t ttl) { maxHops_ = std::min(maxHops_, ttl); }

void HopTable::Clear() {
    rows_.clear();
    maxHops_ = kMtrMaxHops;
}
