#pragma once
// What every part of the MTR engine and its readers share: the bounds and timing of a run,
// where a run stands, why it stopped and what a report says about it.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "probe/ProbePackets.h"

// Bounds and timing of a run.
constexpr int32_t kMtrMaxHops = 30;
constexpr size_t kMtrLogLimit = 1000;
constexpr int64_t kMtrExpiryTicks = 10'010'000;  // 1.001 s
// How long after its expiry age a probe of a capturing run may still have its answer on the
// way to the engine (the capture's read time-out, plus a margin for a loaded machine).
constexpr int64_t kMtrCaptureGraceTicks = 20'000'000;  // 2 s
constexpr int kMtrProbeSpacingMs = 50;
constexpr int kMtrCyclePauseMs = 1000;

// Where a run stands. Stopped: the run ended on its own (the capture or the probing failed);
// the snapshot's stop cause says why, until the next start.
enum class MtrRunState { Idle, Resolving, Running, Stopped };

// Why a run ended on its own. The detail that goes with it is the capture library's or the
// failing call's own text (may be empty); the views make the sentence.
enum class MtrStopCause {
    None,
    CaptureEnded,   // the capture stopped delivering packets (read error, interface gone)
    ProbingFailed,  // sending probes failed in a way the run cannot go on from
};

// What a report says about the run besides the hops.
struct MtrRunInfo {
    std::string targetHost;  // as the user typed it
    std::string targetIp;
    int32_t protocol = 0;
    std::string device;      // capture interface; empty for the default
    int64_t startTicks = 0;  // 100-ns ticks since 1970-01-01 UTC; 0 before any start
    int32_t cycles = 0;
    int32_t dscp = 0;        // what every probe was marked with
    bool fixedFlow = false;  // one flow for the whole run
};

// The DSCP choices of the MTR tab: none, and the markings of voice (EF), video (AF41) and
// signalling (CS3).
inline constexpr std::array<int32_t, 4> kMtrDscpValues = {0, 46, 34, 24};
inline constexpr std::array<const char*, 4> kMtrDscpLabels = {"0", "EF 46", "AF41 34", "CS3 24"};

// Number of distinct probe numbers per protocol. UDP and TCP carry 33434 + seq in a 16-bit
// port, so seq stays below 65536 - 33434 = 32102; ICMP carries seq in the 16-bit echo
// sequence field. The counter wraps at this value so every probe stays matchable.
int32_t MtrSequenceSpace(int32_t protocol);

// The probe kinds as the tab's protocol combo names them, indexed by ProbeProtocol.
inline constexpr std::array<const char*, 3> kProbeProtocolLabels = {"UDP", "ICMP", "TCP"};
// Items of the "IPv4/IPv6" combo, in ProbeFamily order.
inline constexpr std::array<const char*, 2> kProbeFamilyLabels = {"IPv4", "IPv6"};
// "udp", "icmp" or "tcp": the label in lower case, for file names, options and JSON.
std::string ProbeProtocolName(int32_t protocol);
// The protocol a lower-case name stands for; empty for anything else.
std::optional<int32_t> ProbeProtocolFromName(std::string_view name);

// "%d%m%Y_%H%M%S_<udp|icmp|tcp>.pcap" for the given local-time stamp.
std::string MtrPcapFileName(const std::string& timeStamp, int32_t protocol);

// Current wall clock in 100-ns ticks since 1970-01-01 UTC (the capture's time base).
int64_t MtrNowTicks();
