#pragma once
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/Packet.h"
#include "capture/Sniffer.h"
#include "capture/StartError.h"
#include "mtr/HopNames.h"
#include "probe/NetworkSender.h"
#include "probe/ProbeMatch.h"
#include "probe/ProbePackets.h"

// Probes per hop whose outcome is kept for the history chart: ten minutes at one probe a
// second. A fixed ring, so a run of days costs no more than one of minutes.
constexpr size_t kMtrHistoryLength = 600;

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
    // Every address that answered for this TTL, in the order they first did (load balancing
    // puts several routers at one hop).
    std::vector<HopResponder> responders;
    HopHistory history;

    // The responder `host` names; nullptr while nothing has answered.
    const HopResponder* MainResponder() const;
};

// One probe sent and neither answered nor expired.
struct PendingProbe {
    int32_t seq = 0;
    int32_t ttl = 0;
    int64_t sendTicks = 0;  // 100-ns ticks since 1970-01-01 UTC
    uint64_t historyNumber = 0;  // its slot in the hop's HopHistory
};

// What a report says about the run besides the hops.
struct MtrRunInfo {
    std::string targetHost;  // as the user typed it
    std::string targetIp;
    int32_t protocol = 0;
    std::string device;      // capture interface; empty for the default
    int64_t startTicks = 0;  // 100-ns ticks since 1970-01-01 UTC; 0 before any start
    int32_t cycles = 0;
};

// Where a run stands. Stopped: the run ended on its own (the capture or the probing loop
// failed); StopCause() says why, until the next start.
enum class MtrRunState { Idle, Resolving, Running, Stopped };

// Bounds and timing of a run.
constexpr int32_t kMtrMaxHops = 30;
constexpr size_t kMtrLogLimit = 1000;
constexpr int64_t kMtrExpiryTicks = 10'010'000;  // 1.001 s
// How long after its expiry age a probe of a capturing run may still have its answer on the
// way to the engine (the capture's read time-out, plus a margin for a loaded machine).
constexpr int64_t kMtrCaptureGraceTicks = 20'000'000;  // 2 s
constexpr int kMtrProbeSpacingMs = 50;
constexpr int kMtrCyclePauseMs = 1000;

// Number of distinct probe numbers per protocol. UDP and TCP carry 33434 + seq in a 16-bit
// port, so seq stays below 65536 - 33434 = 32102; ICMP carries seq in the 16-bit echo
// sequence field. The counter wraps at this value so every probe stays matchable.
int32_t MtrSequenceSpace(int32_t protocol);

// "%d%m%Y_%H%M%S_<udp|icmp|tcp>.pcap" for the given local-time stamp.
std::string MtrPcapFileName(const std::string& timeStamp, int32_t protocol);

// Current wall clock in 100-ns ticks since 1970-01-01 UTC (the capture's time base).
int64_t MtrNowTicks();

// The MTR engine: one run at a time against one target, probing thread MtrLoop, replies from
// its own Sniffer, per-hop statistics and the newest packets for the live log.
class MtrCore {
public:
    MtrCore() = default;
    ~MtrCore();
    MtrCore(const MtrCore&) = delete;
    MtrCore& operator=(const MtrCore&) = delete;

    // Resolves the host, opens the capture and starts the run; blocks while the name is
    // resolved. For callers that may wait (the command line, tests).
    bool Start(const std::string& targetHost, const std::string& deviceName, int32_t protocol, bool savePcap);
    // The same, on a worker of the engine: returns at once with the state Resolving, which
    // turns into Running, or into Idle with LastStartError() set. False (AlreadyRunning) while
    // a run or another start is under way.
    bool StartAsync(const std::string& targetHost, const std::string& deviceName, int32_t protocol, bool savePcap);
    // Ends the run. Waits for a start still resolving its host (only shutdown does that: the
    // tab offers no stop while resolving).
    void Stop();
    void Clear();
    // The hops as they stand. While names are on, each responder carries its name when the
    // lookup has found one (a lookup is queued, never awaited, for a new address).
    std::map<int32_t, HopStats> GetHops();
    // Reverse names for the responders (see HopNames); off by default.
    void SetNamesEnabled(bool on) { namesEnabled = on; }
    bool NamesEnabled() const { return namesEnabled.load(); }
    // Waits up to `limit` for the names of every responder seen so far (the command line).
    bool WaitForNames(std::chrono::milliseconds limit);
    // Replaces the name lookup (tests); only before any name was asked for.
    void SetNameLookupForTesting(HopNames::Lookup lookup, std::chrono::milliseconds timeout);
    MtrRunInfo RunInfo() const;
    std::vector<PacketLogEntry> GetLog();
    std::vector<NetDevice> ListDevices();

    // Capture-thread callbacks (bound by Start).
    void OnSniffResult(SniffResult result);
    void OnPacketLog(PacketLogEntry entry);

    // Why the last Start returned false (None after a successful Start).
    StartError LastStartError() const;
    // Path of the pcap file of the current/last run, empty when none was asked for.
    std::string PcapPath() const;
    // Why that file is not being written (could not be created, disk full, read-only
    // folder); empty while it is written. The run goes on without it; after a failed write
    // the file holds the whole packets saved before the failure.
    std::string PcapError() const;

    MtrRunState State() const { return state.load(); }
    // Why the last run ended on its own; empty unless State() is Stopped.
    std::string StopCause() const;
    // The host of the start under way or of the last start.
    std::string StartHost() const;

    bool IsRunning() const { return running.load(); }
    int32_t MaxHops() const { return maxHops.load(); }
    std::string TargetIp() const;
    int32_t Protocol() const { return protocol.load(); }
    // What this run's probes look like on the wire; replies that do not match are ignored.
    ProbeIdentity Identity() const { return identity; }

    // Stop probing after this many cycles (0: never). The cycle's lost probes are counted by
    // one last expiry sweep, after which ProbingFinished() turns true; Stop still has to be called.
    void SetCycleLimit(int32_t cycles) { cycleLimit = cycles; }
    // kFamilyIpv4 or kFamilyIpv6 for the next starts (see NetworkSender::SetFamily).
    void SetFamily(int32_t family) { sender.SetFamily(family); }
    int32_t CompletedCycles() const { return completedCycles.load(); }
    bool ProbingFinished() const { return probingFinished.load(); }

    // Test hooks: start the counter elsewhere, and run the loop against a fake network
    // (no sockets, no capture); `send` plays NetworkSender::SendProbe.
    void SetNextSeqForTesting(int32_t seq) { nextSeq = seq; }
    // Probe spacing and cycle pause of the next real starts (Start/StartAsync), so that a
    // long run through a real network takes minutes instead of days. Negative: the defaults.
    // How long after the expiry age a network-less run keeps waiting for a reply (a real run
    // waits kMtrCaptureGraceTicks), for tests that deliver replies late as a busy capture does.
    void SetReplyGraceForTesting(int64_t ticks) { testReplyGraceTicks = ticks; }
    void SetTimingForTesting(int spacingMs, int pauseMs) {
        spacingOverrideMs = spacingMs;
        pauseOverrideMs = pauseMs;
    }
    int32_t NextSeqForTesting() const { return nextSeq.load(); }
    size_t PendingCountForTesting();
    void AddPendingForTesting(int32_t seq, int32_t ttl, int64_t sendTicks);
    // Target, protocol and probe identity as a Start would set them, without starting anything.
    void PrepareForTesting(const ProbeIdentity& id);
    // Name resolution for the next starts (see NetworkSender::SetResolver).
    void SetResolverForTesting(NetworkSender::HostResolver r) { sender.SetResolver(std::move(r)); }
    void SetIcmpDatagramOnlyForTesting(bool on) { sender.SetIcmpDatagramOnlyForTesting(on); }
    bool IcmpIsDatagram() const { return sender.IcmpIsDatagram(); }
    // Like Start without sockets and capture; nextSeq is kept, so a test can place it. The
    // probes get the identity kTestIdentity* below. A hook that throws ends the loop as a
    // failure of the probing thread would.
    using ProbeSendHook = std::function<int32_t(int32_t ttl, int32_t seq, int32_t protocol)>;
    bool StartWithoutNetworkForTesting(const std::string& targetIpText, int32_t protocol, ProbeSendHook send,
                                       int probeSpacingMs = kMtrProbeSpacingMs, int cyclePauseMs = kMtrCyclePauseMs);
    static constexpr uint16_t kTestUdpSourcePort = 40001;
    static constexpr uint16_t kTestIcmpIdentifier = 0x4f43;

private:
    bool StartRun(const std::string& targetHost, const std::string& deviceName, int32_t protocol, bool savePcap);
    void StopRun();
    void MtrLoop();
    void ExpirySweep();
    bool FailStart(StartError why);
    // Pauses up to `ms`; false when the run is to end (Stop, or the capture ended by itself).
    bool Pause(int ms);
    bool CaptureEnded() const;
    void EndOnItsOwn(const std::string& cause);

    NetworkSender sender;
    Sniffer sniffer;
    std::atomic<bool> running{false};
    std::thread loopThread;
    std::mutex dataMutex;
    std::map<int32_t, HopStats> hops;
    std::mutex pendingMutex;
    std::map<int32_t, PendingProbe> pending;
    std::atomic<int32_t> nextSeq{0};
    std::atomic<int32_t> maxHops{kMtrMaxHops};
    std::string targetIp;  // under statusMutex
    std::atomic<int32_t> protocol{kProbeUdp};
    std::vector<PacketLogEntry> log;

    // [run extras]
    // Set before the capture thread starts and read by it; not changed while it runs.
    ProbeIdentity identity;
    // Counts Clears: a probe taken before a Clear is neither counted as sent nor matched after it.
    uint64_t clearGeneration = 0;  // under pendingMutex and dataMutex
    std::atomic<MtrRunState> state{MtrRunState::Idle};
    std::thread startThread;
    bool captureInUse = false;  // the run reads its own Sniffer (not a network-less test run)
    mutable std::mutex statusMutex;  // guards the texts below, read by the tab at any time
    StartError lastStartError = StartError::None;
    std::string pcapPath;
    std::string stopCause;
    std::string startHost;
    std::string runDevice;
    int64_t runStartTicks = 0;
    std::atomic<bool> namesEnabled{false};
    std::unique_ptr<HopNames> names = std::make_unique<HopNames>();
    std::atomic<int32_t> cycleLimit{0};
    std::atomic<int32_t> completedCycles{0};
    std::atomic<bool> probingFinished{false};
    ProbeSendHook sendHook;  // tests only
    int probeSpacingMs = kMtrProbeSpacingMs;
    int cyclePauseMs = kMtrCyclePauseMs;
    std::atomic<int64_t> replyGraceTicks{0};  // what ExpirySweep adds to the expiry age
    std::atomic<int64_t> testReplyGraceTicks{0};
    std::atomic<int> spacingOverrideMs{-1};  // SetTimingForTesting
    std::atomic<int> pauseOverrideMs{-1};
};
