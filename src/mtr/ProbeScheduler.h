#pragma once
// The probes of a run that are out: their numbers, taken from the protocol's sequence space,
// and the table of those neither answered nor expired. Plain data, used by the engine's
// thread only.
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "mtr/MtrTypes.h"

// One probe sent and neither answered nor expired.
struct PendingProbe {
    int32_t seq = 0;
    int32_t ttl = 0;
    int64_t sendTicks = 0;       // 100-ns ticks since 1970-01-01 UTC
    uint64_t historyNumber = 0;  // its slot in the hop's HopHistory
};

class ProbeScheduler {
public:
    // `firstSeq` is where numbering starts; it is folded into the space of each protocol.
    explicit ProbeScheduler(int32_t firstSeq = 0) : nextSeq_(firstSeq) {}

    // The next probe number of `protocol`'s space, entered as pending at once so that an
    // instant reply finds it. A number still pending from a full lap ago is replaced.
    int32_t Take(int32_t protocol, int32_t ttl, int64_t sendTicks, uint64_t historyNumber);
    // The probe left later than Take said (a TCP probe first looks up route and neighbour).
    void Retime(int32_t seq, int64_t takenTicks, int64_t sentTicks);
    // The pending probe `seq` answers, taken out of the table; nothing when none.
    std::optional<PendingProbe> Match(int32_t seq);
    // Takes out and returns every probe sent `lostAfter` ticks or more before `now`.
    std::vector<PendingProbe> Expire(int64_t now, int64_t lostAfter);
    // Forgets every pending probe. The counter goes on, so numbers of the forgotten probes are
    // not handed out again soon and a late reply cannot land on a new probe.
    void Forget() { pending_.clear(); }

    size_t PendingCount() const { return pending_.size(); }
    // Send time of the oldest pending probe; nothing when none is out.
    std::optional<int64_t> OldestSend() const;
    int32_t NextSeq() const { return nextSeq_; }

private:
    int32_t nextSeq_;
    std::map<int32_t, PendingProbe> pending_;
};
