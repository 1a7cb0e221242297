#include "mtr/MtrCore.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <exception>

#include "logs/LogPaths.h"
#include "logs/Trace.h"
#include "mtr/MtrReport.h"
#include "platform/Capabilities.h"
#include "platform/PlatformTexts.h"

int32_t MtrSequenceSpace(int32_t protocol) {
    return protocol == kProbeIcmp ? 65536 : 65536 - kProbeBasePort;
}

std::string MtrPcapFileName(const std::string& timeStamp, int32_t protocol) {
    return timeStamp + "_" + ProbeProtocolName(protocol) + ".pcap";
}

int64_t MtrNowTicks() { return WallClockTicks(); }

uint64_t HopHistory::Push(int64_t sendTicks) {
    if (total == 0) baseTicks = sendTicks;
    const int64_t ms = (sendTicks - baseTicks) / 10000;
    HopSample& s = ring[total % kMtrHistoryLength];
    // A clock stepped backwards puts the probe at the start rather than in the far future.
    s.sentMs = ms < 0 ? 0u : ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
    s.rttMs = kHopSamplePending;
    return total++;
}

void HopHistory::Settle(uint64_t number, float rttMs) {
    if (number >= total || total - number > kMtrHistoryLength) return;
    ring[number % kMtrHistoryLength].rttMs = rttMs;
}

const HopResponder* HopStats::MainResponder() const {
    const HopResponder* best = nullptr;
    for (const HopResponder& r : responders)
        if (!best || r.received > best->received) best = &r;
    return best;
}

namespace {
// Wakes the probing thread out of its pauses when a run stops, so Stop does not wait out
// a whole second. One per process is enough: a spurious wake-up only re-checks the flag.
std::mutex gPauseMutex;
std::condition_variable gPauseCv;

void WakePauses() {
    std::lock_guard<std::mutex> lock(gPauseMutex);
    gPauseCv.notify_all();
}

// How often a pause looks at the capture: a capture that ended by itself (read error, the
// interface gone) is noticed within this time, well inside the 2 s a caller may wait.
constexpr int kCaptureCheckMs = 100;
constexpr int kSettleCheckMs = 50;  // how often the end of a limited run looks at its last probes
}  // namespace

MtrCore::~MtrCore() { Stop(); }

bool MtrCore::FailStart(StartError why) {
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        lastStartError = why;
    }
    // A failed start leaves nothing open behind it.
    sniffer.Stop();
    sender.Close();
    sender.SetSniffer(nullptr);
    return false;
}

bool MtrCore::Start(const std::string& targetHost, const std::string& deviceName, int32_t proto, bool savePcap) {
    if (state.load() == MtrRunState::Resolving) {
        std::lock_guard<std::mutex> lock(statusMutex);
        lastStartError = StartError::AlreadyRunning;
        return false;
    }
    if (startThread.joinable()) startThread.join();  // an asynchronous start that has finished
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        startHost = targetHost;
    }
    return StartRun(targetHost, deviceName, proto, savePcap);
}

bool MtrCore::StartAsync(const std::string& targetHost, const std::string& deviceName, int32_t proto,
                         bool savePcap) {
    if (running.load() || state.load() == MtrRunState::Resolving) {
        std::lock_guard<std::mutex> lock(statusMutex);
        lastStartError = StartError::AlreadyRunning;
        return false;
    }
    if (startThread.joinable()) startThread.join();  // finished: its state is no longer Resolving
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        startHost = targetHost;
        lastStartError = StartError::None;
        stopCause.clear();
    }
    state = MtrRunState::Resolving;
    try {
        startThread = std::thread([this, targetHost, deviceName, proto, savePcap] {
            try {
                StartRun(targetHost, deviceName, proto, savePcap);
            } catch (const std::exception& e) {
                Trace(std::string("CRASH in MTR start: ") + e.what());
                StopRun();
                FailStart(StartError::SocketFailure);
                state = MtrRunState::Idle;
            }
        });
    } catch (...) {
        state = MtrRunState::Idle;
        throw;
    }
    return true;
}

bool MtrCore::StartRun(const std::string& targetHost, const std::string& deviceName, int32_t proto, bool savePcap) {
    if (running.load()) {
        std::lock_guard<std::mutex> lock(statusMutex);
        lastStartError = StartError::AlreadyRunning;
        return false;
    }
    // A loop that ended on its own (cycle limit, failure) is joined before a new run.
    if (loopThread.joinable()) StopRun();
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        lastStartError = StartError::None;
        pcapPath.clear();
        stopCause.clear();
    }
    state = MtrRunState::Resolving;
    const bool started = [&] {
        protocol = proto;
        if (!sender.Init(targetHost, kProbeBasePort)) return FailStart(sender.LastError());
        // Without any ICMP socket every ICMP probe would be lost in silence; say so instead.
        if (proto == kProbeIcmp && !sender.HasIcmpSocket()) return FailStart(StartError::SocketFailure);
        {
            std::lock_guard<std::mutex> lock(statusMutex);
            targetIp = sender.TargetIp();
        }
        identity = sender.Identity(proto);
        maxHops = kMtrMaxHops;
        const std::string filter = ProbeCaptureFilter();

        bool opened;
        std::string path;
        if (savePcap) {
            EnsureDirectory(MtrLogDirectory());
            path = LogFilePath(false, MtrPcapFileName(FileTimeStamp(), proto));
            opened = sniffer.Init(filter, deviceName, path);
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
        {
            std::lock_guard<std::mutex> lock(statusMutex);
            pcapPath = path;
            runDevice = deviceName;
            runStartTicks = MtrNowTicks();
        }
        {
            // Probes of an earlier run are not this run's: their replies must find nothing.
            std::lock_guard<std::mutex> lock(pendingMutex);
            pending.clear();
        }

        sniffer.Start([this](SniffResult r) { OnSniffResult(std::move(r)); },
                      [this](PacketLogEntry e) { OnPacketLog(std::move(e)); });
        captureInUse = true;
        replyGraceTicks = kMtrCaptureGraceTicks;
        running = true;
        sender.SetSniffer(&sniffer);
        sender.SetCaptureDevice(deviceName);
        nextSeq = 0;
        completedCycles = 0;
        probingFinished = false;
        sendHook = nullptr;
        probeSpacingMs = spacingOverrideMs.load() >= 0 ? spacingOverrideMs.load() : kMtrProbeSpacingMs;
        cyclePauseMs = pauseOverrideMs.load() >= 0 ? pauseOverrideMs.load() : kMtrCyclePauseMs;
        // Running before the loop exists: a loop that fails at once leaves Stopped, not this.
        state = MtrRunState::Running;
        loopThread = std::thread(&MtrCore::MtrLoop, this);
        return true;
    }();
    if (!started) state = MtrRunState::Idle;
    return started;
}

bool MtrCore::StartWithoutNetworkForTesting(const std::string& targetIpText, int32_t proto, ProbeSendHook send,
                                            int spacingMs, int pauseMs) {
    if (running.load()) {
        std::lock_guard<std::mutex> lock(statusMutex);
        lastStartError = StartError::AlreadyRunning;
        return false;
    }
    if (loopThread.joinable()) StopRun();
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        lastStartError = StartError::None;
        stopCause.clear();
        targetIp = targetIpText;
        runDevice.clear();
        runStartTicks = MtrNowTicks();
    }
    protocol = proto;
    identity = ProbeIdentity{proto, targetIpText, kTestUdpSourcePort, kTestIcmpIdentifier, kProbeBasePort,
                             IpAddress::Parse(targetIpText).value_or(IpAddress{})};
    maxHops = kMtrMaxHops;
    sendHook = std::move(send);
    probeSpacingMs = spacingMs;
    cyclePauseMs = pauseMs;
    completedCycles = 0;
    probingFinished = false;
    captureInUse = false;
    // Without a capture nothing is on its way unless the test says so.
    replyGraceTicks = testReplyGraceTicks.load();
    running = true;
    state = MtrRunState::Running;
    loopThread = std::thread(&MtrCore::MtrLoop, this);
    return true;
}

void MtrCore::Stop() {
    if (startThread.joinable()) startThread.join();
    StopRun();
}

void MtrCore::StopRun() {
    running = false;
    WakePauses();
    if (loopThread.joinable()) loopThread.join();
    sniffer.Stop();
    sender.Close();
    captureInUse = false;
    // A run that ended on its own keeps its state and cause for the user to read.
    MtrRunState expected = MtrRunState::Running;
    state.compare_exchange_strong(expected, MtrRunState::Idle);
}

void MtrCore::Clear() {
    // Probes still out belong to the rows being forgotten: their replies are ignored, and
    // their numbers are not handed out again soon (the counter goes on), so a late reply
    // cannot land on another hop. Lock order as in the expiry sweep.
    std::lock_guard<std::mutex> pendingLock(pendingMutex);
    pending.clear();
    std::lock_guard<std::mutex> dataLock(dataMutex);
    hops.clear();
    maxHops = kMtrMaxHops;
    ++clearGeneration;
}

std::map<int32_t, HopStats> MtrCore::GetHops() {
    std::map<int32_t, HopStats> copy;
    {
        std::lock_guard<std::mutex> lock(dataMutex);
        copy = hops;
    }
    if (namesEnabled.load())
        for (auto& [ttl, h] : copy)
            for (HopResponder& r : h.responders) r.name = names->NameOf(r.address);
    return copy;
}

bool MtrCore::WaitForNames(std::chrono::milliseconds limit) {
    GetHops();  // queues every responder not asked for yet
    return names->WaitIdle(limit);
}

void MtrCore::SetNameLookupForTesting(HopNames::Lookup lookup, std::chrono::milliseconds timeout) {
    names = std::make_unique<HopNames>(std::move(lookup), timeout);
}

MtrRunInfo MtrCore::RunInfo() const {
    std::lock_guard<std::mutex> lock(statusMutex);
    return MtrRunInfo{startHost, targetIp, protocol.load(), runDevice, runStartTicks, completedCycles.load()};
}

std::vector<PacketLogEntry> MtrCore::GetLog() {
    std::lock_guard<std::mutex> lock(dataMutex);
    return log;
}

std::vector<NetDevice> MtrCore::ListDevices() { return sniffer.ListDevices(); }

StartError MtrCore::LastStartError() const {
    std::lock_guard<std::mutex> lock(statusMutex);
    return lastStartError;
}

std::string MtrCore::PcapPath() const {
    std::lock_guard<std::mutex> lock(statusMutex);
    return pcapPath;
}

std::string MtrCore::PcapError() const {
    if (PcapPath().empty()) return {};
    return sniffer.SavefileError();
}

std::string MtrCore::StopCause() const {
    std::lock_guard<std::mutex> lock(statusMutex);
    return stopCause;
}

std::string MtrCore::StartHost() const {
    std::lock_guard<std::mutex> lock(statusMutex);
    return startHost;
}

std::string MtrCore::TargetIp() const {
    std::lock_guard<std::mutex> lock(statusMutex);
    return targetIp;
}

size_t MtrCore::PendingCountForTesting() {
    std::lock_guard<std::mutex> lock(pendingMutex);
    return pending.size();
}

void MtrCore::AddPendingForTesting(int32_t seq, int32_t ttl, int64_t sendTicks) {
    std::lock_guard<std::mutex> lock(pendingMutex);
    pending.insert_or_assign(seq, PendingProbe{seq, ttl, sendTicks});
}

void MtrCore::PrepareForTesting(const ProbeIdentity& id) {
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        targetIp = id.targetIp;
    }
    identity = id;
    protocol = id.protocol;
    maxHops = kMtrMaxHops;
}

bool MtrCore::CaptureEnded() const { return captureInUse && !sniffer.LoopActive(); }

bool MtrCore::Pause(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> lock(gPauseMutex);
    while (running.load()) {
        if (CaptureEnded()) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return true;
        gPauseCv.wait_for(lock, std::min<std::chrono::steady_clock::duration>(
                                    until - now, std::chrono::milliseconds(kCaptureCheckMs)));
    }
    return false;
}

void MtrCore::EndOnItsOwn(const std::string& cause) {
    Trace("MTR run ended: " + cause);
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        stopCause = cause;
    }
    state = MtrRunState::Stopped;
    running = false;
}

void MtrCore::ExpirySweep() {
    // Replies reach the engine through the capture, which hands frames over in blocks up to
    // its read time-out after they arrived (later still on a loaded machine). A probe whose
    // answer may still be on that way is not counted lost yet: the answer's capture time
    // stamp decides whether it came in time (OnSniffResult).
    const int64_t lostAfter = kMtrExpiryTicks + replyGraceTicks.load();
    std::lock_guard<std::mutex> pendingLock(pendingMutex);
    int64_t now = MtrNowTicks();
    for (auto it = pending.begin(); it != pending.end();) {
        if (now - it->second.sendTicks < lostAfter) {
            ++it;
            continue;
        }
        {
            // Lock order: pendingMutex, then dataMutex (the only place both are held).
            std::lock_guard<std::mutex> dataLock(dataMutex);
            auto row = hops.find(it->second.ttl);
            if (row != hops.end()) {
                row->second.lost++;
                row->second.history.Settle(it->second.historyNumber, kHopSampleLost);
            }
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
                // The last probes are settled before the run calls itself finished: answered,
                // or lost once no answer can be on its way any more.
                auto unsettled = [this] {
                    std::lock_guard<std::mutex> lock(pendingMutex);
                    return !pending.empty();
                };
                while (unsettled() && Pause(kSettleCheckMs)) ExpirySweep();
                if (!running.load() || CaptureEnded()) break;
                probingFinished = true;
                break;
            }
            for (int32_t ttl = 1; ttl <= maxHops.load() && running.load(); ++ttl) {
                int32_t seq;
                uint64_t generation;
                int64_t sendTicks;
                {
                    // Take the next number, wrapped inside the protocol's space so that the
                    // port or echo sequence carrying it always maps back to this probe, and
                    // enter the probe before it is sent, so that an instant reply finds it.
                    // Under the lock a Clear happens wholly before or after.
                    std::lock_guard<std::mutex> lock(pendingMutex);
                    const int32_t space = MtrSequenceSpace(protocol.load());
                    const int32_t current = nextSeq.load();
                    seq = ((current % space) + space) % space;
                    nextSeq = seq + 1 == space ? 0 : seq + 1;
                    generation = clearGeneration;
                    sendTicks = MtrNowTicks();
                    uint64_t historyNumber;
                    {
                        // The probe's history slot is taken with its number, so that an
                        // instant reply finds the slot too.
                        std::lock_guard<std::mutex> dataLock(dataMutex);
                        auto row = hops.find(ttl);
                        if (row == hops.end()) {
                            HopStats fresh;
                            fresh.host = "???";
                            row = hops.emplace(ttl, std::move(fresh)).first;
                        }
                        historyNumber = row->second.history.Push(sendTicks);
                    }
                    // A reused number replaces whatever stale entry still holds it.
                    pending.insert_or_assign(seq, PendingProbe{seq, ttl, sendTicks, historyNumber});
                }
                if (sendHook) {
                    sendHook(ttl, seq, protocol.load());
                } else if (sender.SendProbe(ttl, seq, protocol.load()) >= 0 && sender.LastSendTicks() > sendTicks) {
                    // The probe's time moves to the moment it was handed to the kernel (a TCP
                    // probe first looks up route, neighbour and interface).
                    std::lock_guard<std::mutex> lock(pendingMutex);
                    auto it = pending.find(seq);
                    if (it != pending.end() && it->second.sendTicks == sendTicks)
                        it->second.sendTicks = sender.LastSendTicks();
                }
                {
                    std::lock_guard<std::mutex> lock(dataMutex);
                    // A Clear since the probe was taken dropped it: it counts nowhere.
                    if (generation == clearGeneration) {
                        auto row = hops.find(ttl);
                        if (row == hops.end()) {
                            HopStats fresh;
                            fresh.host = "???";
                            row = hops.emplace(ttl, fresh).first;
                        }
                        row->second.sent++;
                    }
                }
                if (!Pause(probeSpacingMs)) break;
            }
            if (!Pause(cyclePauseMs)) break;
            completedCycles++;
        }
        if (CaptureEnded()) {
            const std::string why = sniffer.LoopError();
            EndOnItsOwn("A captura parou: " + (why.empty() ? std::string("a interface deixou de entregar pacotes.") : why));
        }
    } catch (const std::exception& e) {
        Trace(std::string("CRASH in MtrLoop: ") + e.what());
        EndOnItsOwn(std::string("O envio de sondas parou: ") + e.what());
    } catch (...) {
        Trace("CRASH in MtrLoop: Unknown Exception");
        EndOnItsOwn("O envio de sondas parou: erro desconhecido.");
    }
    if (state.load() == MtrRunState::Stopped) {
        // Nothing of a failed run keeps working behind the start button: the capture and the
        // sockets go now. Stop and Start join this thread before they touch either.
        try {
            sniffer.Stop();
        } catch (const std::exception& e) {
            Trace(std::string("MTR capture stop failed: ") + e.what());
        }
        sender.Close();
    }
    Trace("MTR Loop Thread Ended");
}

void MtrCore::OnSniffResult(SniffResult r) {
    if (!r.valid) return;
    Trace("Captured ICMP Type=" + std::to_string(r.type) + " Code=" + std::to_string(r.code) +
          " From=" + r.fromIp + " OrigSeq=" + std::to_string(r.origSeq));
    // Only replies to this run's own probes count: another program's pings or traceroutes
    // carry numbers that look just like ours.
    const int32_t number = MatchProbeReply(r, identity);
    if (number < 0) return;
    int32_t ttl;
    int64_t sendTicks;
    uint64_t historyNumber;
    {
        std::lock_guard<std::mutex> lock(pendingMutex);
        auto it = pending.find(number);
        if (it == pending.end()) return;
        ttl = it->second.ttl;
        sendTicks = it->second.sendTicks;
        historyNumber = it->second.historyNumber;
        pending.erase(it);
    }
    if (r.timestamp - sendTicks >= kMtrExpiryTicks) {
        // Past the expiry age the probe is lost, whether or not the sweep has run yet. Such
        // late answers are mostly retransmissions (a target resends its SYN-ACK after 1 s
        // when the first one was lost), which would hide the loss behind a 1 s round trip.
        std::lock_guard<std::mutex> lock(dataMutex);
        auto row = hops.find(ttl);
        if (row != hops.end()) {
            row->second.lost++;
            row->second.history.Settle(historyNumber, kHopSampleLost);
        }
        return;
    }
    double rtt = static_cast<double>(r.timestamp - sendTicks) / 10000.0;
    if (rtt < 0) rtt = 0.1;
    {
        std::lock_guard<std::mutex> lock(dataMutex);
        // The row is missing only when the reply beat the loop's own bookkeeping.
        HopStats& h = hops[ttl];
        const int32_t n = ++h.received;
        auto responder = std::find_if(h.responders.begin(), h.responders.end(),
                                      [&](const HopResponder& x) { return x.address == r.fromIp; });
        if (responder == h.responders.end()) {
            h.responders.push_back(HopResponder{r.fromIp, {}, 0, 0.0, 9999.0, 0.0});
            responder = h.responders.end() - 1;
        }
        const int32_t rn = ++responder->received;
        responder->avgMs = ((rn - 1) * responder->avgMs + rtt) / rn;
        responder->bestMs = std::min(responder->bestMs, rtt);
        responder->worstMs = std::max(responder->worstMs, rtt);
        h.host = r.fromIp;
        h.history.Settle(historyNumber, static_cast<float>(rtt));
        h.lastMs = rtt;
        if (rtt < h.bestMs) h.bestMs = rtt;
        if (rtt > h.worstMs) h.worstMs = rtt;
        h.avgMs = ((n - 1) * h.avgMs + rtt) / n;
        // RFC 3550 A.8 interarrival jitter estimator, gain 1/16, applied to consecutive RTTs.
        if (h.prevMs >= 0) h.jitterMs += (std::fabs(rtt - h.prevMs) - h.jitterMs) * 0.0625;
        h.prevMs = rtt;
    }
    if (r.type == 3 || r.fromAddr == identity.target) {
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
