#include "mtr/HopEvents.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
// Far more probes than one hop can have out at once (they expire within seconds): a probe
// still unsettled behind this many is one whose outcome will never come (its number was
// handed out again) and is passed over, so the others are judged.
constexpr size_t kMaxWaiting = 600;

std::string Ms(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f ms", v);
    return buf;
}
}  // namespace

void HopEvents::Sent(int32_t ttl, uint64_t number, int64_t sendTicks) {
    Hop& h = hops_[ttl];
    if (!h.started) {
        h.started = true;
        h.next = number;
    }
    if (number < h.next) return;
    Outcome o;
    o.sendTicks = sendTicks;
    h.waiting[number] = std::move(o);
    if (h.waiting.size() > kMaxWaiting) {
        h.next = h.waiting.begin()->first + 1;
        h.waiting.erase(h.waiting.begin());
        Drain(ttl, h);
    }
}

void HopEvents::Answered(int32_t ttl, uint64_t number, double rttMs, const std::string& from, int32_t dscp) {
    Outcome o;
    o.rttMs = rttMs;
    o.from = from;
    o.dscp = dscp;
    Settle(ttl, number, std::move(o));
}

void HopEvents::Lost(int32_t ttl, uint64_t number) {
    Outcome o;
    o.lost = true;
    Settle(ttl, number, std::move(o));
}

void HopEvents::Settle(int32_t ttl, uint64_t number, Outcome o) {
    auto hop = hops_.find(ttl);
    if (hop == hops_.end()) return;
    Hop& h = hop->second;
    auto slot = h.waiting.find(number);
    if (slot == h.waiting.end() || slot->second.settled) return;
    o.sendTicks = slot->second.sendTicks;
    o.settled = true;
    slot->second = std::move(o);
    Drain(ttl, h);
}

void HopEvents::Drain(int32_t ttl, Hop& h) {
    // Judged in the order sent: everything from the next one on that is known now.
    while (!h.waiting.empty() && h.waiting.begin()->first == h.next && h.waiting.begin()->second.settled) {
        const Outcome done = std::move(h.waiting.begin()->second);
        h.waiting.erase(h.waiting.begin());
        ++h.next;
        Judge(ttl, h, done);
    }
}

double HopEvents::Median(const Hop& h) const {
    std::vector<double> v(h.recent.begin(), h.recent.end());
    if (v.empty()) return 0.0;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

void HopEvents::Judge(int32_t ttl, Hop& h, const Outcome& o) {
    if (o.lost) {
        // A hop that never answered is silent, not losing.
        if (h.responder.value.empty()) return;
        if (h.lostRun++ == 0) h.firstLostTicks = o.sendTicks;
        if (!h.inLoss && h.lostRun >= rules_.lossRun) {
            h.inLoss = true;
            Add(h.firstLostTicks, ttl, MtrEventKind::LossStart, h.responder.value);
        }
        return;
    }
    if (h.inLoss)
        Add(o.sendTicks, ttl, MtrEventKind::LossEnd, std::to_string(h.lostRun) + " sondas perdidas");
    h.inLoss = false;
    h.lostRun = 0;

    // Latency against the median of the recent round trips of normal times (frozen while high,
    // so that a long rise does not become the new normal and end itself).
    const double median = Median(h);
    const bool high = h.recent.size() >= rules_.medianMinimum && o.rttMs > rules_.latencyFactor * median &&
                      o.rttMs >= median + rules_.latencyMinRiseMs;
    if (high != h.high) {
        if (h.latencyStreak++ == 0) {
            h.streakTicks = o.sendTicks;
            h.streakRtt = o.rttMs;
        }
        if (h.latencyStreak >= rules_.confirm) {
            h.high = high;
            h.latencyStreak = 0;
            Add(h.streakTicks, ttl, high ? MtrEventKind::LatencyUp : MtrEventKind::LatencyDown,
                Ms(h.streakRtt) + " (mediana " + Ms(median) + ")");
        }
    } else {
        h.latencyStreak = 0;
    }
    if (!h.high && !high) {
        h.recent.push_back(o.rttMs);
        while (h.recent.size() > rules_.medianWindow) h.recent.pop_front();
    }

    // Responder.
    if (auto old = h.responder.See(o.from, o.sendTicks, rules_.confirm))
        Add(h.responder.ticks, ttl, MtrEventKind::Responder, *old + " -> " + o.from);

    // DSCP seen, when the reply quoted the probe.
    if (o.dscp < 0) return;
    if (auto old = h.dscp.See(o.dscp, o.sendTicks, rules_.confirm))
        Add(h.dscp.ticks, ttl, MtrEventKind::Dscp, std::to_string(*old) + " -> " + std::to_string(o.dscp));
}

void HopEvents::Add(int64_t ticks, int32_t hop, MtrEventKind kind, std::string detail) {
    events_.push_back(MtrEvent{ticks, hop, kind, std::move(detail)});
    while (events_.size() > kMtrEventLimit) events_.pop_front();
    ++changes_;
}

void HopEvents::Clear() {
    hops_.clear();
    events_.clear();
    ++changes_;
}
