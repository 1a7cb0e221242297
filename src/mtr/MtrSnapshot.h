#pragma once
// What the MTR engine publishes: an immutable picture of the run, built on the engine's
// thread. Readers keep the shared pointer as long as they like; nothing in it changes.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "capture/Packet.h"
#include "capture/StartError.h"
#include "mtr/HopEvents.h"
#include "mtr/HopTable.h"
#include "mtr/MtrTypes.h"
#include "probe/ProbeMatch.h"

struct MtrStatus {
    MtrRunState state = MtrRunState::Idle;
    // Start requests the engine has dealt with (MtrCore::Start's tickets); the fields below
    // describe the outcome of the last of them.
    uint64_t startsHandled = 0;
    StartError startError = StartError::None;  // why that start failed; None when it did not
    std::string startHost;                     // the host of the start under way or of the last one
    MtrStopCause stopCause = MtrStopCause::None;  // why the run ended on its own (state Stopped)
    std::string stopDetail;                       // the capture's or the failing call's own words
    std::string targetIp;
    int32_t protocol = kProbeUdp;
    ProbeIdentity identity;  // what this run's probes look like on the wire
    bool icmpDatagram = false;  // ICMP probes leave through the unprivileged datagram socket
    // The capture file of the current/last run (empty when none was asked for), and why it is
    // not being written (could not be created, disk full); the run goes on without it.
    std::string pcapPath;
    std::string pcapError;
    MtrRunInfo run;
    int32_t cycles = 0;
    // A run with a cycle limit has sent its last cycle and settled every probe of it.
    bool probingFinished = false;
    size_t pendingProbes = 0;  // probes out, neither answered nor expired
    bool namesEnabled = false;
};

struct MtrSnapshot {
    uint64_t version = 0;  // grows with every snapshot published
    // Every row the run created; the path ends at maxHops and rows above it are not shown.
    std::map<int32_t, HopStats> hops;
    int32_t maxHops = kMtrMaxHops;
    // The newest captured packets, oldest first; never null.
    std::shared_ptr<const std::vector<PacketLogEntry>> log;
    MtrStatus status;
    // What changed on the hops and when, oldest first (up to kMtrEventLimit); never null.
    std::shared_ptr<const std::vector<MtrEvent>> events = std::make_shared<const std::vector<MtrEvent>>();

    bool Running() const { return status.state == MtrRunState::Running; }
};
