#include "mtr/ProbeScheduler.h"

#include <algorithm>

int32_t ProbeScheduler::Take(int32_t protocol, int32_t ttl, int64_t sendTicks, uint64_t historyNumber) {
    // Wrapped inside the protocol's space so that the port or echo sequence carrying it always
    // maps back to this probe; a counter left beyond the space by another protocol's run is
    // folded back in.
    const int32_t space = MtrSequenceSpace(protocol);
    const int32_t seq = ((nextSeq_ % space) + space) % space;
    nextSeq_ = seq + 1 == space ? 0 : seq + 1;
    pending_.insert_or_assign(seq, PendingProbe{seq, ttl, sendTicks, historyNumber});
    return seq;
}

void ProbeScheduler::Retime(int32_t seq, int64_t takenTicks, int64_t sentTicks) {
    auto it = pending_.find(seq);
    if (it != pending_.end() && it->second.sendTicks == takenTicks && sentTicks > takenTicks)
        it->second.sendTicks = sentTicks;
}

std::optional<PendingProbe> ProbeScheduler::Match(int32_t seq) {
    auto it = pending_.find(seq);
    if (it == pending_.end()) return std::nullopt;
    PendingProbe probe = it->second;
    pending_.erase(it);
    return probe;
}

std::vector<PendingProbe> ProbeScheduler::Expire(int64_t now, int64_t lostAfter) {
    std::vector<PendingProbe> lost;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (now - it->second.sendTicks < lostAfter) {
            ++it;
            continue;
        }
        lost.push_back(it->second);
        it = pending_.erase(it);
    }
    return lost;
}

std::optional<int64_t> ProbeScheduler::OldestSend() const {
    std::optional<int64_t> oldest;
    for (const auto& [seq, p] : pending_)
        if (!oldest || p.sendTicks < *oldest) oldest = p.sendTicks;
    return oldest;
}
