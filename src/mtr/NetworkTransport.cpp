#include "mtr/NetworkTransport.h"

#include <algorithm>
#include <chrono>

#include "logs/Trace.h"
#include "mtr/MtrTypes.h"
#include "capture/ProbePorts.h"
#include "platform/Capabilities.h"

int64_t SystemMtrClock::NowTicks() { return WallClockTicks(); }

void SystemMtrClock::WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, int64_t ticks) {
    if (ticks <= 0) return;
    // Nothing the engine waits for is further away than this; a longer wait only looks again.
    constexpr int64_t kLongestWait = 3600LL * 10'000'000;
    wake.wait_for(lock, std::chrono::microseconds(std::min(ticks, kLongestWait) / 10 + 1));
}

NetworkProbeTransport::~NetworkProbeTransport() { Close(); }

ProbeTransportOpened NetworkProbeTransport::Open(const ProbeTransportOpen& what, ProbeTransportSink sink) {
    ProbeTransportOpened opened;
    auto fail = [&](StartError why) {
        Close();
        opened.error = why;
        return opened;
    };
    sender_.SetFamily(what.family);
    sender_.SetDscp(what.dscp);
    sender_.SetFixedFlow(what.fixedFlow);
    if (!sender_.Init(what.host, kProbeBasePort)) return fail(sender_.LastError());
    // Without any ICMP socket every ICMP probe would be lost in silence; say so instead.
    if (what.protocol == kProbeIcmp && !sender_.HasIcmpSocket()) return fail(StartError::SocketFailure);
    opened.targetIp = sender_.TargetIp();
    opened.identity = sender_.Identity(what.protocol);
    const std::string filter = ProbeCaptureFilter();
    if (!sniffer_.Init(filter, what.device, what.pcapPath)) {
        Trace(std::string("Failed to initialize Sniffer filter") + (what.pcapPath.empty() ? " (No PCAP): " : ": ") +
              filter);
        StartError why = sniffer_.LastError();
        if (why == StartError::None) {
            if (!platform::CurrentCaptureRights().Complete()) {
                why = StartError::NoCaptureRights;
            } else {
                why = StartError::CaptureOpenFailed;
                if (!what.device.empty()) {
                    bool listed = false;
                    for (const auto& d : sniffer_.ListDevices()) listed = listed || d.name == what.device;
                    if (!listed) why = StartError::DeviceNotFound;
                }
            }
        }
        return fail(why);
    }
    pcapPath_ = what.pcapPath;
    sniffer_.Start([reply = std::move(sink.reply)](SniffResult r) { reply(std::move(r)); },
                   [packet = std::move(sink.packet)](PacketLogEntry e) { packet(std::move(e)); },
                   std::move(sink.ended));
    capturing_ = true;
    // TCP probes are injected through a handle of the sender's own on the capture's device.
    sender_.SetCaptureDevice(what.device);
    return opened;
}

std::optional<int64_t> NetworkProbeTransport::Send(int32_t ttl, int32_t seq, int32_t protocol) {
    if (sender_.SendProbe(ttl, seq, protocol) < 0) return std::nullopt;
    return sender_.LastSendTicks();
}

void NetworkProbeTransport::Close() {
    try {
        sniffer_.Stop();
    } catch (const std::exception& e) {
        Trace(std::string("MTR capture stop failed: ") + e.what());
    }
    sender_.Close();
    capturing_ = false;
}

std::optional<std::string> NetworkProbeTransport::CaptureEnded() {
    if (!capturing_ || sniffer_.LoopActive()) return std::nullopt;
    return sniffer_.LoopError();
}

int64_t NetworkProbeTransport::ReplyGraceTicks() const { return kMtrCaptureGraceTicks; }

std::string NetworkProbeTransport::PcapError() {
    if (pcapPath_.empty()) return {};
    return sniffer_.SavefileError();
}
