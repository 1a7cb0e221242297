#pragma once
// What changed on each hop during a run, and when: loss starting and ending, round trips
// rising over their recent median and coming back, another router answering, another DSCP
// arriving. Judged on the probes of a hop in the order they were sent, whatever the order
// their outcomes became known in (a loss is known only at expiry, a later answer long
// before). Plain data, used by the engine's thread only; readers get copies of the events.
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

enum class MtrEventKind : int32_t { LossStart, LossEnd, LatencyUp, LatencyDown, Responder, Dscp };

struct MtrEvent {
    int64_t ticks = 0;  // send time of the probe that showed the change (100-ns ticks since 1970)
    int32_t hop = 0;
    MtrEventKind kind = MtrEventKind::LossStart;
    std::string detail;  // loss: the responder / the run's length; latency: the round trip and the
                         // median; responder and DSCP: "old -> new"
};

// Events kept per run; the oldest go first.
constexpr size_t kMtrEventLimit = 1000;

struct HopEventRules {
    int lossRun = 2;                 // consecutive lost probes that make a loss
    double latencyFactor = 2.0;      // a round trip above factor x median ...
    double latencyMinRiseMs = 20.0;  // ... and at least this much above it is high
    size_t medianWindow = 20;        // answered probes the median is taken over
    size_t medianMinimum = 5;        // no latency judgement before this many
    // Probes in a row that confirm a latency rise or return, a new responder or a new DSCP,
    // so that one odd probe (a load balancer's other path, a busy router) is not a change.
    int confirm = 2;
};

class HopEvents {
public:
    explicit HopEvents(HopEventRules rules = {}) : rules_(rules) {}

    // Probe `number` (its HopHistory number) of `ttl` left at `sendTicks`.
    void Sent(int32_t ttl, uint64_t number, int64_t sendTicks);
    // Its outcome: answered from `from` after `rttMs` with `dscp` seen (-1: none), or lost.
    void Answered(int32_t ttl, uint64_t number, double rttMs, const std::string& from, int32_t dscp);
    void Lost(int32_t ttl, uint64_t number);
    // Forgets everything, the events included (a new run, the rows cleared).
    void Clear();
    void SetRules(const HopEventRules& rules) { rules_ = rules; }

    const std::deque<MtrEvent>& Events() const { return events_; }
    // Grows whenever an event is added (or all are cleared).
    uint64_t Changes() const { return changes_; }

private:
    struct Outcome {
        int64_t sendTicks = 0;
        bool settled = false;
        bool lost = false;
        double rttMs = 0.0;
        std::string from;
        int32_t dscp = -1;
    };
    // A value that changes only once `confirm` outcomes in a row agree on the new one; the
    // change is dated at the first of them. The first value seen is taken as it is.
    template <typename T>
    struct Settled {
        explicit Settled(T none) : value(none), candidate(none), unset(none) {}
        // The value it had, when `seen` has just been confirmed as the new one.
        std::optional<T> See(const T& seen, int64_t sendTicks, int confirm) {
            if (value == unset) {
                value = seen;
                return std::nullopt;
            }
            if (seen == value) {
                streak = 0;
                return std::nullopt;
            }
            if (seen != candidate || streak == 0) {
                candidate = seen;
                streak = 0;
                ticks = sendTicks;
            }
            if (++streak < confirm) return std::nullopt;
            std::optional<T> old = value;
            value = seen;
            streak = 0;
            return old;
        }
        T value, candidate;
        int streak = 0;
        int64_t ticks = 0;  // send time of the first probe that saw the candidate

    private:
        T unset;
    };
    struct Hop {
        std::map<uint64_t, Outcome> waiting;  // by probe number, from the next one to judge on
        bool started = false;
        uint64_t next = 0;
        // Loss.
        int lostRun = 0;
        int64_t firstLostTicks = 0;
        bool inLoss = false;
        // Latency.
        std::deque<double> recent;  // answered round trips while not high
        bool high = false;
        int latencyStreak = 0;
        int64_t streakTicks = 0;
        double streakRtt = 0.0;
        // Responder and DSCP.
        Settled<std::string> responder{std::string()};
        Settled<int32_t> dscp{-1};
    };

    void Settle(int32_t ttl, uint64_t number, Outcome o);
    // Judges the settled probes from the next one on, in order.
    void Drain(int32_t ttl, Hop& h);
    void Judge(int32_t ttl, Hop& h, const Outcome& o);
    double Median(const Hop& h) const;
    void Add(int64_t ticks, int32_t hop, MtrEventKind kind, std::string detail);

    HopEventRules rules_;
    std::map<int32_t, Hop> hops_;
    std::deque<MtrEvent> events_;
    uint64_t changes_ = 0;
};
