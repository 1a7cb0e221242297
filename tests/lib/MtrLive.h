#pragma once
// The MTR engine on the real network, for tests that run it on loopback or in the test
// network: its commands with the waits those tests need, made on the published snapshots.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mtr/MtrCore.h"
#include "mtr/NetworkTransport.h"

namespace mtrtest {

class LiveMtr {
public:
    // An engine of its own on NetworkProbeTransport (reachable through net for its settings).
    LiveMtr() {
        auto transport = std::make_unique<NetworkProbeTransport>();
        net = transport.get();
        owned_ = std::make_unique<MtrCore>(std::move(transport), std::make_shared<SystemMtrClock>());
        core_ = owned_.get();
    }
    // Another's engine (the App's).
    explicit LiveMtr(MtrCore& core) : core_(&core) {}

    // Starts and waits until the engine has dealt with the start; true when it runs.
    bool Start(const std::string& host, const std::string& device, int32_t protocol, bool savePcap) {
        MtrStartRequest request;
        request.host = host;
        request.device = device;
        request.protocol = protocol;
        request.savePcap = savePcap;
        request.family = family;
        request.cycleLimit = cycles;
        const uint64_t ticket = core_->Start(request);
        if (ticket == 0) return false;
        const auto snap = Until([&](const MtrSnapshot& s) { return s.status.startsHandled >= ticket; }, kLong);
        return snap->Running() && snap->status.startError == StartError::None;
    }
    // Stops and waits until the engine has.
    void Stop() {
        core_->Stop();
        Until([](const MtrSnapshot& s) { return !s.Running(); }, kLong);
    }
    // Waits until the run has sent its cycles and settled them (or ended); true when finished.
    bool WaitFinished(int limitMs) {
        return Until([](const MtrSnapshot& s) { return s.status.probingFinished || !s.Running(); },
                     std::chrono::milliseconds(limitMs))
            ->status.probingFinished;
    }
    std::shared_ptr<const MtrSnapshot> Until(const std::function<bool(const MtrSnapshot&)>& done,
                                             std::chrono::milliseconds limit) {
        return core_->WaitUntil(done, limit);
    }

    std::shared_ptr<const MtrSnapshot> Snap() const { return core_->Snapshot(); }
    std::map<int32_t, HopStats> GetHops() const { return Snap()->hops; }
    std::vector<PacketLogEntry> GetLog() const { return *Snap()->log; }
    int32_t MaxHops() const { return Snap()->maxHops; }
    StartError LastStartError() const { return Snap()->status.startError; }
    bool IsRunning() const { return Snap()->Running(); }
    MtrRunState State() const { return Snap()->status.state; }
    std::string TargetIp() const { return Snap()->status.targetIp; }
    int32_t Protocol() const { return Snap()->status.protocol; }
    std::string PcapPath() const { return Snap()->status.pcapPath; }
    std::string PcapError() const { return Snap()->status.pcapError; }
    bool IcmpIsDatagram() const { return Snap()->status.icmpDatagram; }
    int32_t CompletedCycles() const { return Snap()->status.cycles; }

    // For the next starts.
    int32_t cycles = 0;
    int32_t family = kFamilyIpv4;
    NetworkProbeTransport* net = nullptr;  // null on another's engine

private:
    static constexpr std::chrono::seconds kLong{120};
    std::unique_ptr<MtrCore> owned_;
    MtrCore* core_ = nullptr;
};

}  // namespace mtrtest
