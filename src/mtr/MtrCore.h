#pragma once
// The MTR engine. Commands (Start, Stop, Clear, names on/off) are requests that return at
// once; the engine's own thread carries them out, probes, matches replies and publishes what
// it has as an immutable, versioned MtrSnapshot at most ~30 times a second. Readers take the
// latest snapshot without waiting on the engine.
//
// Inside, the run is split by role: run control (this class: lifecycle, start and stop, their
// causes), ProbeScheduler (sequence space, pending probes, expiry), HopTable (statistics,
// responders, history), HopEvents (what changed when), LogRing (the packet log). The network and the clock come from a
// ProbeTransport and an MtrClock handed in.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mtr/HopNames.h"
#include "mtr/MtrSnapshot.h"
#include "mtr/ProbeTransport.h"

struct MtrStartRequest {
    std::string host;    // name or address of the target
    std::string device;  // capture interface; empty for the default
    int32_t protocol = kProbeUdp;
    int32_t family = kFamilyIpv4;
    bool savePcap = false;
    int32_t cycleLimit = 0;  // stop probing after this many cycles (0: never)
    int probeSpacingMs = kMtrProbeSpacingMs;  // between the probes of a cycle
    int cyclePauseMs = kMtrCyclePauseMs;      // after each cycle
    int32_t dscp = 0;         // DSCP of every probe (0..63)
    bool fixedFlow = false;   // one flow for the whole run: a load balancer keeps one path
    HopEventRules eventRules;  // what the event log calls a change
};

struct MtrEngineOptions {
    // Reverse lookup of the responders' names (see HopNames); empty: the system's.
    HopNames::Lookup nameLookup;
    std::chrono::milliseconds nameTimeout = HopNames::kDefaultTimeout;
    // Least time between two snapshots while something changes; 0: one after each change.
    int publishIntervalMs = 33;
    // How long the destructor waits for the engine's thread before leaving it to finish on
    // its own (a name server that never answers a start's resolution).
    std::chrono::milliseconds shutdownWait{300};
};

class MtrCore {
public:
    // The network (NetworkProbeTransport) and the system clock.
    MtrCore();
    MtrCore(std::unique_ptr<ProbeTransport> transport, std::shared_ptr<MtrClock> clock, MtrEngineOptions options = {});
    ~MtrCore();
    MtrCore(const MtrCore&) = delete;
    MtrCore& operator=(const MtrCore&) = delete;

    // Asks for a run. Returns the request's ticket, which the snapshot's startsHandled reaches
    // when the engine has dealt with it (state Running, or Idle with startError set); 0 when
    // refused because another start has not been dealt with yet. A start asked for while a
    // run is under way fails with AlreadyRunning.
    uint64_t Start(MtrStartRequest request);
    // Ends the run. A run that ended on its own keeps its state and cause.
    void Stop();
    // Forgets the rows and the probes out (their replies are then ignored); keeps the log.
    void Clear();
    // Reverse names for the responders in the snapshots; off by default.
    void SetNamesEnabled(bool on);
    bool NamesEnabled() const;

    // The latest snapshot; never null, never waits on the engine's work.
    std::shared_ptr<const MtrSnapshot> Snapshot() const;
    // For callers that may wait (the command line, tests): the first snapshot with a version
    // above `after`, or the latest when `limit` passes first.
    std::shared_ptr<const MtrSnapshot> WaitForVersion(uint64_t after, std::chrono::milliseconds limit) const;
    // The first snapshot for which `done` holds, or the latest when `limit` passes first.
    std::shared_ptr<const MtrSnapshot> WaitUntil(const std::function<bool(const MtrSnapshot&)>& done,
                                                 std::chrono::milliseconds limit) const;
    // Waits up to `limit` for the names of every responder seen so far, then for a snapshot
    // that carries them (the command line). False when some lookups were still out.
    bool WaitForNames(std::chrono::milliseconds limit);

    std::vector<NetDevice> ListDevices();

private:
    struct Engine;
    std::shared_ptr<Engine> engine_;
    std::thread thread_;
    std::chrono::milliseconds shutdownWait_;
};
