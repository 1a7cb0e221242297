#include "mtr/MtrCore.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <exception>

#include "logs/LogPaths.h"
#include "logs/Trace.h"
#include "platform/Capabilities.h"
#include "platform/PlatformTexts.h"

int32_t MtrSequenceSpace(int32_t protocol) {
    return protocol == kProbeIcmp ? 65536 : 65536 - kProbeBasePort;
}

std::string MtrPcapFileName(const std::string& timeStamp, int32_t protocol) {
    const char* word = protocol == kProbeUdp ? "udp" : protocol == kProbeTcp ? "tcp" : "icmp";
    return timeStamp + "_" + word + ".pcap";
}

int64_t MtrNowTicks() { return WallClockTicks(); }

namespace {
// Wakes the probing thread out of its pauses when a run stops, so Stop does not wait out
// a whole second. One per process is enough: a spurious wake-up only re-checks the flag.
std::mutex gPauseMutex;
std::condition_variable gPauseCv;

void PauseUnlessStopped(const std::atomic<bool>& running, int ms) {
    std::unique_lock<std::mutex> lock(gPauseMutex);
    gPauseCv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !running.load(); });
}
void WakePauses() {
    std::lock_guard<std::mutex> lock(gPauseMutex);
    gPauseCv.notify_all();
}
}  // namespace

MtrCore::~MtrCore() { Stop(); }

bool MtrCore::FailStart(StartError why) {
    lastStartError = why;
    // A failed start leaves nothing open behind it.
    sniffer.Stop();
    sender.Close();
    sender.SetSniffer(nullptr);
    return false;
}

bool MtrCore::Start(const std::string& targetHost, const std::string& deviceName, int32_t proto, bool savePcap) {
    if (running.load()) {
        lastStartError = StartError::AlreadyRunning;
        return false;
    }
    // A loop that ended on its own (cycle limit, exception) is joined before a new run.
    if (loopThread.joinable()) Stop();
    lastStartError = StartError::None;
    pcapPath.clear();
    protocol = proto;
    if (!sender.Init(targetHost, kProbeBasePort)) return FailStart(sender.LastError());
    // Without any ICMP socket every ICMP probe would be lost in silence; say so instead.
    if (proto == kProbeIcmp && !sender.HasIcmpSocket()) return FailStart(StartError::SocketFailure);
    targetIp = sender.TargetIp();
    maxHops = kMtrMaxHops;
    std::string filter = kMtrCaptureFilter;

    bool opened;
    if (savePcap) {
        EnsureDirectory(MtrLogDirectory());
        pcapPath = LogFilePath(false, MtrPcapFileName(FileTimeStamp(), proto));
        opened = sniffer.Init(filter, deviceName, pcapPath);
        if (!opened) {
            Trace("Failed to initialize Sniffer filter: " + filter);
            std::fprintf(stderr, "%s\n", platform::Texts().snifferInitFailed);
            std::fflush(stderr);
        }
    } else {
        opened = sniffer.Init(filter, deviceName, std::string());
        if (!opened) Trace("Failed to initialize Sniffer filter (No PCAP): " + filter);
    }
    if (!opened) {
        pcapPath.clear();
        StartError why = sniffer.LastError();
        if (why == StartError::None) {
            if (!platform::CurrentCaptureRights().Complete()) {
                why = StartError::NoCaptureRights;
            } else {
                why = StartError::CaptureOpenFailed;
                if (!deviceName.empty()) {
                    bool listed = false;
                    for (const auto& d : sniffer.ListDevices()) listed = listed || d.name == deviceName;
                    if (!listed) why = StartError::DeviceNotFound;
                }
            }
        }
        return FailStart(why);
    }

    sniffer.Start([this](SniffResult r) { OnSniffResult(std::move(r)); },
                  [this](PacketLogEntry e) { OnPacketLog(std::move(e)); });
    running = true;
    sender.SetSniffer(&sniffer);
    sender.SetCaptureDevice(deviceName);
    nextSeq = 0;
    completedCycles = 0;
    probingFinished = false;
    sendHook = nullptr;
    probeSpacingMs = kMtrProbeSpacingMs;
    cyclePauseMs = kMtrCyclePauseMs;
    loopThread = std::thread(&MtrCore::MtrLoop, this);
    return true;
}

bool MtrCore::StartWithoutNetworkForTesting(const std::string& targetIpText, int32_t proto, ProbeSendHook send,
                                            int spacingMs, int pauseMs) {
    if (running.load()) {
        lastStartError = StartError::AlreadyRunning;
        return false;
    }
    if (loopThread.joinable()) Stop();
    lastStartError = StartError::None;
    protocol = proto;
    targetIp = targetIpText;
    maxHops = kMtrMaxHops;
    sendHook = std::move(send);
    probeSpacingMs = spacingMs;
    cyclePauseMs = pauseMs;
    completedCycles = 0;
    probingFinished = false;
    running = true;
    loopThread = std::thread(&MtrCore::MtrLoop, this);
    return true;
}

void MtrCore::Stop() {
    running = false;
    WakePauses();
    if (loopThread.joinable()) loopThread.join();
    sniffer.Stop();
    sender.Close();
}

void MtrCore::Clear() {
    std::lock_guard<std::mutex> lock(dataMutex);
    hops.clear();
    maxHops = kMtrMaxHops;
    nextSeq = 0;
}

std::map<int32_t, HopStats> MtrCore::GetHops() {
    std::lock_guard<std::mutex> lock(dataMutex);
    return hops;
}

std::vector<PacketLogEntry> MtrCore::GetLog() {
    std::lock_guard<std::mutex> lock(dataMutex);
    return log;
}

std::vector<NetDevice> MtrCore::ListDevices() { return sniffer.ListDevices(); }

size_t MtrCore::PendingCountForTesting() {
    std::lock_guard<std::mutex> lock(pendingMutex);
    return pending.size();
}

void MtrCore::AddPendingForTesting(int32_t seq, int32_t ttl, int64_t sendTicks) {
    std::lock_guard<std::mutex> lock(pendingMutex);
    pending.insert_or_assign(seq, PendingProbe{seq, ttl, sendTicks});
}

void MtrCore::PrepareForTesting(const std::string& targetIpText, int32_t proto) {
    targetIp = targetIpText;
    protocol = proto;
    maxHops = kMtrMaxHops;
}

void MtrCore::ExpirySweep() {
    std::lock_guard<std::mutex> pendingLock(pendingMutex);
    int64_t now = MtrNowTicks();
    for (auto it = pending.begin(); it != pending.end();) {
        if (now - it->second.sendTicks < kMtrExpiryTicks) {
            ++it;
            continue;
        }
        {
            // Lock order: pendingMutex, then dataMutex (the only place both are held).
            std::lock_guard<std::mutex> dataLock(dataMutex);
            auto row = hops.find(it->second.ttl);
            if (row != hops.end()) row->second.lost++;
        }
        it = pending.erase(it);
    }
}

void MtrCore::MtrLoop() {
    Trace("MTR Loop Thread Started");
    try {
        while (running.load()) {
            ExpirySweep();
            int32_t limit = cycleLimit.load();
            if (limit > 0 && completedCycles.load() >= limit) {
                probingFinished = true;
                break;
            }
            for (int32_t ttl = 1; ttl <= maxHops.load() && running.load(); ++ttl) {
                // Take the next number and wrap it inside the protocol's space, so that the
                // port or echo sequence carrying it always maps back to this probe. A Clear
                // on the GUI thread may reset the counter meanwhile; the exchange keeps that.
                const int32_t space = MtrSequenceSpace(protocol.load());
                int32_t current = nextSeq.load();
                int32_t seq, following;
                do {
                    seq = ((current % space) + space) % space;
                    following = seq + 1 == space ? 0 : seq + 1;
                } while (!nextSeq.compare_exchange_weak(current, following));
                int64_t sendTicks = MtrNowTicks();
                {
                    std::lock_guard<std::mutex> lock(pendingMutex);
                    // A reused number replaces whatever stale entry still holds it.
                    pending.insert_or_assign(seq, PendingProbe{seq, ttl, sendTicks});
                }
                if (sendHook) {
                    sendHook(ttl, seq, protocol.load());
                } else if (sender.SendProbe(ttl, seq, protocol.load()) >= 0 && sender.LastSendTicks() > sendTicks) {
                    // The probe was entered before sending, so an instant reply finds it; its
                    // time now moves to the moment it was handed to the kernel (a TCP probe
                    // first looks up route, neighbour and interface).
                    std::lock_guard<std::mutex> lock(pendingMutex);
                    auto it = pending.find(seq);
                    if (it != pending.end() && it->second.sendTicks == sendTicks)
                        it->second.sendTicks = sender.LastSendTicks();
                }
                {
                    std::lock_guard<std::mutex> lock(dataMutex);
                    auto row = hops.find(ttl);
                    if (row == hops.end()) {
                        HopStats fresh;
                        fresh.host = "???";
                        row = hops.emplace(ttl, fresh).first;
                    }
                    row->second.sent++;
                }
                PauseUnlessStopped(running, probeSpacingMs);
            }
            PauseUnlessStopped(running, cyclePauseMs);
            completedCycles++;
        }
    } catch (const std::exception& e) {
        Trace(std::string("CRASH in MtrLoop: ") + e.what());
    } catch (...) {
        Trace("CRASH in MtrLoop: Unknown Exception");
    }
    Trace("MTR Loop Thread Ended");
}

void MtrCore::OnSniffResult(SniffResult r) {
    if (!r.valid) return;
    Trace("Captured ICMP Type=" + std::to_string(r.type) + " Code=" + std::to_string(r.code) +
          " From=" + r.fromIp + " OrigSeq=" + std::to_string(r.origSeq));
    const int32_t number = protocol.load() == kProbeIcmp ? r.origSeq : r.origSeq - kProbeBasePort;
    int32_t ttl;
    int64_t sendTicks;
    {
        std::lock_guard<std::mutex> lock(pendingMutex);
        auto it = pending.find(number);
        if (it == pending.end()) return;
        ttl = it->second.ttl;
        sendTicks = it->second.sendTicks;
        pending.erase(it);
    }
    if (r.timestamp - sendTicks >= kMtrExpiryTicks) {
        // Past the expiry age the probe is lost, whether or not the sweep has run yet. Such
        // late answers are mostly retransmissions (a target resends its SYN-ACK after 1 s
        // when the first one was lost), which would hide the loss behind a 1 s round trip.
        std::lock_guard<std::mutex> lock(dataMutex);
        auto row = hops.find(ttl);
        if (row != hops.end()) row->second.lost++;
        return;
    }
    double rtt = static_cast<double>(r.timestamp - sendTicks) / 10000.0;
    if (rtt < 0) rtt = 0.1;
    {
        std::lock_guard<std::mutex> lock(dataMutex);
        HopStats& h = hops[ttl];
        const int32_t n = ++h.received;
        h.host = r.fromIp;
        h.lastMs = rtt;
        if (rtt < h.bestMs) h.bestMs = rtt;
        if (rtt > h.worstMs) h.worstMs = rtt;
        h.avgMs = ((n - 1) * h.avgMs + rtt) / n;
        // RFC 3550 A.8 interarrival jitter estimator, gain 1/16, applied to consecutive RTTs.
        if (h.prevMs >= 0) h.jitterMs += (std::fabs(rtt - h.prevMs) - h.jitterMs) * 0.0625;
        h.prevMs = rtt;
    }
    if (r.type == 3 || r.fromIp == targetIp) {
        int32_t current = maxHops.load();
        while (ttl < current && !maxHops.compare_exchange_weak(current, ttl)) {
        }
    }
}

void MtrCore::OnPacketLog(PacketLogEntry entry) {
    std::lock_guard<std::mutex> lock(dataMutex);
    log.push_back(std::move(entry));
    if (log.size() > kMtrLogLimit) log.erase(log.begin());
}
