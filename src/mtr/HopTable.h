#pragma once
// The hop table of an MTR run: per-TTL statistics, the addresses that answered each TTL and
// the history of its last probes. Plain data, used by the engine's thread only; readers get
// copies in the engine's snapshots.
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "mtr/MtrTypes.h"

// Probes per hop whose outcome is kept for the history chart: ten minutes at one probe a
// second. A fixed ring, so a run of days costs no more than one of minutes.
constexpr size_t kMtrHistoryLength = 600;
// Addresses listed per hop. Load balancing puts a handful of routers at one hop; a hop that
// answers from more (a spoofing middlebox) counts the further ones in its figures only.
constexpr size_t kMtrMaxResponders = 16;

// Outcome of one probe: its round trip in ms, or one of the two markers below.
inline constexpr float kHopSamplePending = -1.0f;  // neither answered nor expired yet
inline constexpr float kHopSampleLost = -2.0f;

struct HopSample {
    uint32_t sentMs = 0;  // when the probe left, ms after HopHistory::baseTicks
    float rttMs = kHopSamplePending;
    bool Answered() const { return rttMs >= 0.0f; }
    bool Lost() const { return rttMs == kHopSampleLost; }
};

// The last kMtrHistoryLength probes of one hop, oldest first through At(). Every probe gets
// its slot when it is sent, so answers and losses land where the probe was, in whatever
// order they become known.
struct HopHistory {
    std::array<HopSample, kMtrHistoryLength> ring{};
    uint64_t total = 0;      // probes ever entered; the newest sits at (total - 1) % length
    int64_t baseTicks = 0;   // send time of the first probe entered (100-ns ticks since 1970)

    size_t Count() const { return total < kMtrHistoryLength ? static_cast<size_t>(total) : kMtrHistoryLength; }
    // i-th sample of the window, 0 = oldest kept.
    const HopSample& At(size_t i) const { return ring[(total - Count() + i) % kMtrHistoryLength]; }
    // Enters a probe sent at `sendTicks`; returns its number for Settle.
    uint64_t Push(int64_t sendTicks);
    // Sets the outcome of probe `number`; nothing when it has already left the window.
    void Settle(uint64_t number, float rttMs);
    int64_t SampleTicks(const HopSample& s) const { return baseTicks + static_cast<int64_t>(s.sentMs) * 10000; }
};

// One address that answered for a hop, with its own counts.
struct HopResponder {
    std::string address;
    std::string name;  // filled in snapshots while names are on and the name is known
    int32_t received = 0;
    double avgMs = 0.0;
    double bestMs = 9999.0;
    double worstMs = 0.0;
};

// Statistics of one hop (one TTL) of an MTR run.
struct HopStats {
    std::string host;  // the latest source of a reply; "???" when the loop created the row
    int32_t sent = 0;
    int32_t received = 0;
    int32_t lost = 0;
    double lastMs = 0.0;
    double bestMs = 9999.0;
    double worstMs = 0.0;
    double avgMs = 0.0;
    double jitterMs = 0.0;
    double prevMs = -1.0;
    // Every address that answered for this TTL (up to kMtrMaxResponders), in the order they
    // first did.
    std::vector<HopResponder> responders;
    HopHistory history;
    // Replies by the DSCP their quote shows the probe arrived with (replies that quote
    // nothing, echo replies and TCP segments, count in none).
    std::array<int32_t, 64> dscpSeen{};

    // The responder `host` names; nullptr while nothing has answered.
    const HopResponder* MainResponder() const;
    // The DSCP this hop saw most often (the lower one of a tie); -1 while no reply quoted one.
    int32_t MainDscp() const;
    // More than one DSCP was seen.
    bool DscpVaried() const;
};

// The rows of a run by TTL, and how far the path goes.
class HopTable {
public:
    // A probe to `ttl` is about to leave at `sendTicks`: the row exists from now on and the
    // probe has its history slot, whose number it returns.
    uint64_t EnterProbe(int32_t ttl, int64_t sendTicks);
    // The probe has been handed to the network: it counts as sent.
    void CountSent(int32_t ttl);
    // Probe `historyNumber` of `ttl` was answered from `from` after `rttMs`; the reply's quote
    // showed the probe arrived with `dscp` (-1: no quote).
    void Answer(int32_t ttl, uint64_t historyNumber, const std::string& from, double rttMs, int32_t dscp = -1);
    // Probe `historyNumber` of `ttl` is lost.
    void Lose(int32_t ttl, uint64_t historyNumber);
    // The target answered at `ttl` (or a router said the path ends there): rows above it are
    // no longer probed or shown. Only ever lowers the limit.
    void EndPathAt(int32_t ttl);
    // A new run: the whole path may be probed again (the rows stay until a Clear).
    void ResetPath() { maxHops_ = kMtrMaxHops; }
    void Clear();

    const std::map<int32_t, HopStats>& Rows() const { return rows_; }
    int32_t MaxHops() const { return maxHops_; }

private:
    HopStats& Row(int32_t ttl);

    std::map<int32_t, HopStats> rows_;
    int32_t maxHops_ = kMtrMaxHops;
};
