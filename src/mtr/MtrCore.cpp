#include "mtr/MtrCore.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <variant>

#include "logs/LogPaths.h"
#include "logs/Trace.h"
#include "mtr/LogRing.h"
#include "mtr/NetworkTransport.h"
#include "mtr/ProbeScheduler.h"

namespace {

constexpr int64_t kTicksPerMs = 10'000;
constexpr int64_t kForever = std::numeric_limits<int64_t>::max() / 4;

struct StartCommand {
    uint64_t ticket;
    MtrStartRequest request;
};
struct StopCommand {};
struct ClearCommand {};
struct RefreshCommand {};  // publish a snapshot even when nothing changed
using Command = std::variant<StartCommand, StopCommand, ClearCommand, RefreshCommand>;

// Where a run's probing stands.
enum class Phase {
    Probing,   // sending the cycle's probes, one TTL per spacing
    Pausing,   // the pause after a cycle
    Settling,  // cycle limit reached: waiting for the last probes' answers or expiry
    Finished,  // limit reached and every probe settled; the run waits for Stop
};

}  // namespace

// Everything the engine's thread works on. Shared with that thread, so that a thread still
// inside a call that does not return (a hung resolution at shutdown) can be left to finish.
struct MtrCore::Engine {
    Engine(std::shared_ptr<MtrClock> c, MtrEngineOptions o)
        : options(std::move(o)), clock(std::move(c)), names(options.nameLookup, options.nameTimeout) {}

    void Run();

    // Inbox (under m): what the commands and the transport's threads hand over.
    void Post(Command c) {
        {
            std::lock_guard<std::mutex> lock(m);
            commands.push_back(std::move(c));
        }
        wake.notify_all();
    }

    // Engine thread only.
    void Handle(Command& c);
    void HandleStart(StartCommand& c);
    void EndRun();
    void EndOnItsOwn(MtrStopCause cause, const std::string& detail);
    void OnReply(const SniffResult& r);
    // One step of the probing; the ticks until the next thing to do.
    int64_t Step(int64_t now);
    void SendNextProbe(int64_t now);
    void Expire(int64_t now);
    void Publish();

    const MtrEngineOptions options;
    std::shared_ptr<MtrClock> clock;

    std::mutex m;
    std::condition_variable wake;
    std::deque<Command> commands;
    std::vector<SniffResult> replies;
    std::vector<PacketLogEntry> packets;
    bool captureEndedSignal = false;
    bool namesChanged = false;
    bool quit = false;

    std::atomic<bool> namesEnabled{false};
    std::atomic<uint64_t> startsRequested{0};
    std::atomic<uint64_t> startsHandled{0};

    mutable std::mutex snapMutex;
    mutable std::condition_variable published;
    std::shared_ptr<const MtrSnapshot> snapshot = [] {
        auto first = std::make_shared<MtrSnapshot>();
        first->log = std::make_shared<const std::vector<PacketLogEntry>>();
        return first;
    }();
    bool finished = false;  // under snapMutex: the thread has left Run

    // Engine thread only.
    HopTable hops;
    HopEvents events;
    std::shared_ptr<const std::vector<MtrEvent>> eventsCopy = snapshot->events;
    uint64_t eventsPublished = 0;
    ProbeScheduler scheduler;
    LogRing log;
    std::shared_ptr<const std::vector<PacketLogEntry>> logCopy = snapshot->log;
    bool logChanged = false;
    MtrStatus status;
    bool dirty = true;
    int64_t lastPublish = 0;
    uint64_t version = 0;
    bool transportOpen = false;
    Phase phase = Phase::Probing;
    int32_t nextTtl = 1;
    int64_t due = 0;  // when the next probe (or the end of the pause) is due
    int32_t cycleLimit = 0;
    int64_t spacingTicks = kMtrProbeSpacingMs * kTicksPerMs;
    int64_t pauseTicks = kMtrCyclePauseMs * kTicksPerMs;
    int64_t graceTicks = 0;

    // Declared last: gone first, so that none of its threads is left calling into the
    // members above.
    HopNames names;
    std::unique_ptr<ProbeTransport> transport;
};

MtrCore::MtrCore() : MtrCore(std::make_unique<NetworkProbeTransport>(), std::make_shared<SystemMtrClock>()) {}

MtrCore::MtrCore(std::unique_ptr<ProbeTransport> transport, std::shared_ptr<MtrClock> clock, MtrEngineOptions options)
    : engine_(std::make_shared<Engine>(std::move(clock), options)), shutdownWait_(options.shutdownWait) {
    engine_->transport = std::move(transport);
    Engine* e = engine_.get();
    e->names.SetOnResolved([e] {
        {
            std::lock_guard<std::mutex> lock(e->m);
            e->namesChanged = true;
        }
        e->wake.notify_all();
    });
    thread_ = std::thread([engine = engine_] { engine->Run(); });
}

MtrCore::~MtrCore() {
    {
        std::lock_guard<std::mutex> lock(engine_->m);
        engine_->quit = true;
    }
    engine_->wake.notify_all();
    bool done;
    {
        std::unique_lock<std::mutex> lock(engine_->snapMutex);
        done = engine_->published.wait_for(lock, shutdownWait_, [&] { return engine_->finished; });
    }
    if (done) {
        thread_.join();
    } else {
        // Inside a call that has not come back (a silent name server): the thread keeps its
        // share of the engine, closes what it opened when the call returns, and ends.
        Trace("MTR engine left to finish on its own at shutdown");
        thread_.detach();
    }
}

uint64_t MtrCore::Start(MtrStartRequest request) {
    Engine& e = *engine_;
    uint64_t handled = e.startsHandled.load();
    uint64_t ticket = handled + 1;
    // One start at a time: a second one while the first has not been dealt with is refused.
    if (!e.startsRequested.compare_exchange_strong(handled, ticket)) return 0;
    e.Post(StartCommand{ticket, std::move(request)});
    return ticket;
}

void MtrCore::Stop() { engine_->Post(StopCommand{}); }
void MtrCore::Clear() { engine_->Post(ClearCommand{}); }

void MtrCore::SetNamesEnabled(bool on) {
    engine_->namesEnabled = on;
    engine_->Post(RefreshCommand{});
}

bool MtrCore::NamesEnabled() const { return engine_->namesEnabled.load(); }

std::shared_ptr<const MtrSnapshot> MtrCore::Snapshot() const {
    std::lock_guard<std::mutex> lock(engine_->snapMutex);
    return engine_->snapshot;
}

std::shared_ptr<const MtrSnapshot> MtrCore::WaitForVersion(uint64_t after, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(engine_->snapMutex);
    engine_->published.wait_for(lock, limit, [&] { return engine_->snapshot->version > after; });
    return engine_->snapshot;
}

std::shared_ptr<const MtrSnapshot> MtrCore::WaitUntil(const std::function<bool(const MtrSnapshot&)>& done,
                                                      std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(engine_->snapMutex);
    engine_->published.wait_for(lock, limit, [&] { return done(*engine_->snapshot); });
    return engine_->snapshot;
}

bool MtrCore::WaitForNames(std::chrono::milliseconds limit) {
    // A snapshot first, which asks for the names of every responder; then the lookups; then a
    // snapshot that carries what they found.
    uint64_t v = Snapshot()->version;
    engine_->Post(RefreshCommand{});
    WaitForVersion(v, limit);
    const bool idle = engine_->names.WaitIdle(limit);
    v = Snapshot()->version;
    engine_->Post(RefreshCommand{});
    WaitForVersion(v, limit);
    return idle;
}

std::vector<NetDevice> MtrCore::ListDevices() {
    // The device list needs none of the run's state.
    return engine_->transport->ListDevices();
}

void MtrCore::Engine::Run() {
    Trace("MTR engine thread started");
    Publish();
    std::unique_lock<std::mutex> lock(m);
    while (true) {
        if (quit) break;
        std::deque<Command> todo;
        todo.swap(commands);
        std::vector<SniffResult> got;
        got.swap(replies);
        std::vector<PacketLogEntry> seen;
        seen.swap(packets);
        const bool names = namesChanged;
        namesChanged = false;
        captureEndedSignal = false;
        lock.unlock();

        for (Command& c : todo) Handle(c);
        // What a command changed (a run started or stopped) is shown before the next probe,
        // whose send may take a while (a neighbour lookup).
        if (!todo.empty()) Publish();
        for (const SniffResult& r : got) OnReply(r);
        for (PacketLogEntry& p : seen) log.Push(std::move(p));
        if (!seen.empty()) logChanged = dirty = true;
        if (names) dirty = true;

        const int64_t now = clock->NowTicks();
        int64_t wait = Step(now);
        if (dirty) {
            const int64_t interval = static_cast<int64_t>(options.publishIntervalMs) * kTicksPerMs;
            const int64_t since = now - lastPublish;
            if (since >= interval || since < 0)
                Publish();
            else
                wait = std::min(wait, interval - since);
        }

        lock.lock();
        if (wait > 0 && commands.empty() && replies.empty() && packets.empty() && !namesChanged &&
            !captureEndedSignal && !quit)
            clock->WaitFor(lock, wake, wait);
    }
    lock.unlock();
    if (transportOpen) EndRun();
    Trace("MTR engine thread ended");
    std::lock_guard<std::mutex> g(snapMutex);
    finished = true;
    published.notify_all();
}

void MtrCore::Engine::Handle(Command& c) {
    if (auto* start = std::get_if<StartCommand>(&c)) {
        HandleStart(*start);
    } else if (std::holds_alternative<StopCommand>(c)) {
        if (transportOpen) EndRun();
        // A run that ended on its own keeps its state and cause for the user to read.
        if (status.state == MtrRunState::Running) status.state = MtrRunState::Idle;
        dirty = true;
    } else if (std::holds_alternative<ClearCommand>(c)) {
        // Probes still out belong to the rows being forgotten: their replies are ignored, and
        // their numbers are not handed out again soon, so a late reply cannot land on another hop.
        scheduler.Forget();
        hops.Clear();
        events.Clear();
        dirty = true;
    } else {
        dirty = true;
    }
}

void MtrCore::Engine::HandleStart(StartCommand& c) {
    const MtrStartRequest& req = c.request;
    if (status.state == MtrRunState::Running) {
        status.startError = StartError::AlreadyRunning;
        status.startsHandled = c.ticket;
        startsHandled = c.ticket;
        dirty = true;
        return;
    }
    status.startHost = req.host;
    status.startError = StartError::None;
    status.stopCause = MtrStopCause::None;
    status.stopDetail.clear();
    status.pcapPath.clear();
    status.pcapError.clear();
    status.state = MtrRunState::Resolving;
    // The readers see "resolving" while the name server is asked.
    Publish();

    std::string path;
    if (req.savePcap) {
        EnsureDirectory(MtrLogDirectory());
        path = LogFilePath(false, MtrPcapFileName(FileTimeStamp(), req.protocol));
    }
    ProbeTransportSink sink;
    sink.reply = [this](SniffResult r) {
        {
            std::lock_guard<std::mutex> lock(m);
            replies.push_back(std::move(r));
        }
        wake.notify_all();
    };
    sink.packet = [this](PacketLogEntry e) {
        {
            std::lock_guard<std::mutex> lock(m);
            packets.push_back(std::move(e));
        }
        wake.notify_all();
    };
    sink.ended = [this] {
        {
            std::lock_guard<std::mutex> lock(m);
            captureEndedSignal = true;
        }
        wake.notify_all();
    };
    ProbeTransportOpened opened;
    try {
        opened = transport->Open(
            ProbeTransportOpen{req.host, req.device, req.protocol, req.family, path, req.dscp & 0x3F, req.fixedFlow},
            sink);
    } catch (const std::exception& e) {
        Trace(std::string("CRASH in MTR start: ") + e.what());
        transport->Close();
        opened.error = StartError::SocketFailure;
    }
    status.startsHandled = c.ticket;
    if (opened.error != StartError::None) {
        status.startError = opened.error;
        status.state = MtrRunState::Idle;
        startsHandled = c.ticket;
        dirty = true;
        return;
    }
    transportOpen = true;
    status.targetIp = opened.targetIp;
    status.protocol = req.protocol;
    status.identity = opened.identity;
    status.icmpDatagram = transport->IcmpIsDatagram();
    status.pcapPath = path;
    status.cycles = 0;
    status.probingFinished = false;
    status.run = MtrRunInfo{req.host, opened.targetIp, req.protocol,    req.device,
                            clock->NowTicks(), 0,          req.dscp & 0x3F, req.fixedFlow};
    // Probes of an earlier run are not this run's: their replies must find nothing.
    scheduler.Forget();
    // The event log is the run's own.
    events.Clear();
    events.SetRules(req.eventRules);
    hops.ResetPath();
    cycleLimit = req.cycleLimit;
    spacingTicks = std::max(0, req.probeSpacingMs) * kTicksPerMs;
    pauseTicks = std::max(0, req.cyclePauseMs) * kTicksPerMs;
    graceTicks = transport->ReplyGraceTicks();
    phase = Phase::Probing;
    nextTtl = 1;
    due = clock->NowTicks();
    status.state = MtrRunState::Running;
    startsHandled = c.ticket;
    dirty = true;
}

void MtrCore::Engine::EndRun() {
    const std::string pcapError = status.pcapPath.empty() ? std::string() : transport->PcapError();
    transport->Close();
    transportOpen = false;
    if (!status.pcapPath.empty()) {
        const std::string after = transport->PcapError();
        status.pcapError = after.empty() ? pcapError : after;
    }
    dirty = true;
}

void MtrCore::Engine::EndOnItsOwn(MtrStopCause cause, const std::string& detail) {
    Trace("MTR run ended: " + detail);
    status.stopCause = cause;
    status.stopDetail = detail;
    status.state = MtrRunState::Stopped;
    // Nothing of a failed run keeps working behind the start button: the capture and the
    // sockets go now.
    EndRun();
}

void MtrCore::Engine::OnReply(const SniffResult& r) {
    if (!r.valid) return;
    Trace("Captured ICMP Type=" + std::to_string(r.type) + " Code=" + std::to_string(r.code) + " From=" + r.fromIp +
          " OrigSeq=" + std::to_string(r.origSeq));
    // Only replies to this run's own probes count: another program's pings or traceroutes
    // carry numbers that look just like ours.
    const int32_t number = MatchProbeReply(r, status.identity);
    if (number < 0) return;
    const std::optional<PendingProbe> probe = scheduler.Match(number);
    if (!probe) return;
    dirty = true;
    if (r.timestamp - probe->sendTicks >= kMtrExpiryTicks) {
        // Past the expiry age the probe is lost, whether or not the sweep has run yet. Such
        // late answers are mostly retransmissions (a target resends its SYN-ACK after 1 s
        // when the first one was lost), which would hide the loss behind a 1 s round trip.
        hops.Lose(probe->ttl, probe->historyNumber);
        events.Lost(probe->ttl, probe->historyNumber);
        return;
    }
    double rtt = static_cast<double>(r.timestamp - probe->sendTicks) / 10000.0;
    if (rtt < 0) rtt = 0.1;
    hops.Answer(probe->ttl, probe->historyNumber, r.fromIp, rtt, r.probeDscp);
    events.Answered(probe->ttl, probe->historyNumber, rtt, r.fromIp, r.probeDscp);
    if (r.type == 3 || r.fromAddr == status.identity.target) hops.EndPathAt(probe->ttl);
}

void MtrCore::Engine::Expire(int64_t now) {
    // Replies reach the engine through the capture, which hands frames over in blocks up to
    // its read time-out after they arrived (later still on a loaded machine). A probe whose
    // answer may still be on that way is not counted lost yet: the answer's capture time
    // stamp decides whether it came in time (OnReply).
    for (const PendingProbe& p : scheduler.Expire(now, kMtrExpiryTicks + graceTicks)) {
        hops.Lose(p.ttl, p.historyNumber);
        events.Lost(p.ttl, p.historyNumber);
        dirty = true;
    }
}

void MtrCore::Engine::SendNextProbe(int64_t now) {
    const int32_t ttl = nextTtl;
    // The probe's number and history slot are taken before it leaves, so that an instant
    // reply finds both.
    const uint64_t historyNumber = hops.EnterProbe(ttl, now);
    events.Sent(ttl, historyNumber, now);
    const int32_t seq = scheduler.Take(status.protocol, ttl, now, historyNumber);
    const std::optional<int64_t> sent = transport->Send(ttl, seq, status.protocol);
    // The probe's time moves to the moment it was handed to the kernel (a TCP probe first
    // looks up route, neighbour and interface).
    if (sent) scheduler.Retime(seq, now, *sent);
    hops.CountSent(ttl);
    dirty = true;
}

int64_t MtrCore::Engine::Step(int64_t now) {
    if (!transportOpen || status.state != MtrRunState::Running) return kForever;
    try {
        if (std::optional<std::string> why = transport->CaptureEnded()) {
            EndOnItsOwn(MtrStopCause::CaptureEnded, *why);
            return kForever;
        }
        Expire(now);
        while (true) {
            if (phase == Phase::Probing) {
                if (nextTtl > hops.MaxHops()) {
                    // The cycle is sent; its pause starts after the last probe's spacing.
                    phase = Phase::Pausing;
                    due += pauseTicks;
                    continue;
                }
                if (now < due) break;
                SendNextProbe(now);
                ++nextTtl;
                due = std::max(due, now) + spacingTicks;
                // A send that took long (a neighbour lookup) is not made up for by a burst.
                now = clock->NowTicks();
                if (due < now) due = now;
                // Back to the inbox before the next probe: a reply that ends the path, or a
                // Stop, is taken in between.
                break;
            }
            if (phase == Phase::Pausing) {
                if (now < due) break;
                status.cycles++;
                status.run.cycles = status.cycles;
                dirty = true;
                if (cycleLimit > 0 && status.cycles >= cycleLimit) {
                    phase = Phase::Settling;
                    continue;
                }
                phase = Phase::Probing;
                nextTtl = 1;
                due = now;
                continue;
            }
            if (phase == Phase::Settling) {
                // The last probes are settled before the run calls itself finished: answered,
                // or lost once no answer can be on its way any more.
                if (scheduler.PendingCount() == 0) {
                    phase = Phase::Finished;
                    status.probingFinished = true;
                    dirty = true;
                }
            }
            break;
        }
    } catch (const std::exception& e) {
        Trace(std::string("CRASH in MTR probing: ") + e.what());
        EndOnItsOwn(MtrStopCause::ProbingFailed, e.what());
        return kForever;
    } catch (...) {
        Trace("CRASH in MTR probing: Unknown Exception");
        EndOnItsOwn(MtrStopCause::ProbingFailed, {});
        return kForever;
    }
    int64_t wait = kForever;
    if (phase == Phase::Probing || phase == Phase::Pausing) wait = std::max<int64_t>(0, due - now);
    if (std::optional<int64_t> oldest = scheduler.OldestSend())
        wait = std::min(wait, std::max<int64_t>(0, *oldest + kMtrExpiryTicks + graceTicks - now));
    return wait;
}

void MtrCore::Engine::Publish() {
    auto s = std::make_shared<MtrSnapshot>();
    s->version = ++version;
    s->hops = hops.Rows();
    s->maxHops = hops.MaxHops();
    const bool withNames = namesEnabled.load();
    if (withNames)
        for (auto& [ttl, h] : s->hops)
            for (HopResponder& r : h.responders) r.name = names.NameOf(r.address);
    if (logChanged) {
        logCopy = std::make_shared<const std::vector<PacketLogEntry>>(log.Copy());
        logChanged = false;
    }
    s->log = logCopy;
    if (events.Changes() != eventsPublished) {
        eventsCopy = std::make_shared<const std::vector<MtrEvent>>(events.Events().begin(), events.Events().end());
        eventsPublished = events.Changes();
    }
    s->events = eventsCopy;
    if (transportOpen && !status.pcapPath.empty()) status.pcapError = transport->PcapError();
    status.pendingProbes = scheduler.PendingCount();
    status.namesEnabled = withNames;
    s->status = status;
    lastPublish = clock->NowTicks();
    dirty = false;
    {
        std::lock_guard<std::mutex> lock(snapMutex);
        snapshot = std::move(s);
    }
    published.notify_all();
}
