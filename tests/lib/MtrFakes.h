#pragma once
// A clock and a network for the MTR engine that tests drive: the clock moves only when the
// test says so and waits until the engine has dealt with the move; the network records every
// probe and hands over the replies the test makes.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mtr/MtrCore.h"
#include "mtr/ProbeTransport.h"

namespace mtrtest {

class FakeMtrClock : public MtrClock {
public:
    static constexpr int64_t kStart = 1'700'000'000LL * 10'000'000;  // a wall-clock time in 2023

    int64_t NowTicks() override {
        std::lock_guard<std::mutex> lock(m_);
        return now_;
    }

    void WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, int64_t) override {
        {
            std::lock_guard<std::mutex> g(m_);
            engineMutex_ = lock.mutex();
            engineWake_ = &wake;
            // A move the engine may not have seen yet: look again before waiting.
            if (moved_) {
                moved_ = false;
                return;
            }
            ++waits_;
            settled_.notify_all();
        }
        wake.wait(lock);
    }

    // Moves the clock on and returns once the engine has dealt with everything up to the new
    // time and waits again. False when it did not within `limit` (an engine that is stuck).
    bool Advance(int64_t ticks, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        uint64_t before;
        std::mutex* engineMutex;
        std::condition_variable* engineWake;
        {
            std::lock_guard<std::mutex> g(m_);
            now_ += ticks;
            moved_ = true;
            before = waits_;
            engineMutex = engineMutex_;
            engineWake = engineWake_;
        }
        if (engineMutex) {
            std::lock_guard<std::mutex> g(*engineMutex);
            engineWake->notify_all();
        }
        std::unique_lock<std::mutex> lock(m_);
        return settled_.wait_for(lock, limit, [&] { return waits_ > before; });
    }
    bool AdvanceMs(int64_t ms) { return Advance(ms * 10'000); }
    // The engine has dealt with what was handed to it so far (commands, replies).
    bool Settle() { return Advance(0); }
    // Moves on in steps of `stepMs`, so that every probe of the span leaves when it is due.
    bool RunMs(int64_t totalMs, int64_t stepMs = 10) {
        for (int64_t t = 0; t < totalMs; t += stepMs)
            if (!AdvanceMs(stepMs)) return false;
        return true;
    }

private:
    std::mutex m_;
    std::condition_variable settled_;
    int64_t now_ = kStart;
    bool moved_ = false;
    uint64_t waits_ = 0;
    std::mutex* engineMutex_ = nullptr;
    std::condition_variable* engineWake_ = nullptr;
};

struct SentProbe {
    int32_t ttl;
    int32_t seq;
    int32_t protocol;
    int64_t ticks;
};

class FakeProbeTransport : public ProbeTransport {
public:
    static constexpr uint16_t kUdpSourcePort = 40001;
    static constexpr uint16_t kIcmpIdentifier = 0x4f43;

    explicit FakeProbeTransport(std::shared_ptr<MtrClock> clock) : clock_(std::move(clock)) {}

    // Engine side.
    ProbeTransportOpened Open(const ProbeTransportOpen& what, ProbeTransportSink sink) override {
        if (onOpen) onOpen(what);
        std::lock_guard<std::mutex> lock(m_);
        opens.push_back(what);
        ProbeTransportOpened opened;
        opened.error = openError;
        if (opened.error != StartError::None) return opened;
        opened.targetIp = target;
        opened.identity = ProbeIdentity{what.protocol, target, kUdpSourcePort, kIcmpIdentifier, kProbeBasePort,
                                        IpAddress::Parse(target).value_or(IpAddress{})};
        identity_ = opened.identity;
        sink_ = std::move(sink);
        open_ = true;
        captureEnded_.reset();
        return opened;
    }
    std::optional<int64_t> Send(int32_t ttl, int32_t seq, int32_t protocol) override {
        const int64_t at = clock_->NowTicks();
        {
            std::lock_guard<std::mutex> lock(m_);
            sent.push_back({ttl, seq, protocol, at});
        }
        if (onSend) onSend(ttl, seq, protocol, at);
        return at;
    }
    void Close() override {
        std::lock_guard<std::mutex> lock(m_);
        open_ = false;
        sink_ = {};
    }
    std::optional<std::string> CaptureEnded() override {
        std::lock_guard<std::mutex> lock(m_);
        return captureEnded_;
    }
    int64_t ReplyGraceTicks() const override { return grace; }
    std::string PcapError() override { return {}; }

    // Test side (any thread, the engine's too).
    void Reply(const SniffResult& r) {
        std::lock_guard<std::mutex> lock(m_);
        if (open_ && sink_.reply) sink_.reply(r);
    }
    void Packet(const PacketLogEntry& e) {
        std::lock_guard<std::mutex> lock(m_);
        if (open_ && sink_.packet) sink_.packet(e);
    }
    void EndCapture(const std::string& why) {
        std::lock_guard<std::mutex> lock(m_);
        captureEnded_ = why;
        if (open_ && sink_.ended) sink_.ended();
    }
    ProbeIdentity Identity() {
        std::lock_guard<std::mutex> lock(m_);
        return identity_;
    }
    bool IsOpen() {
        std::lock_guard<std::mutex> lock(m_);
        return open_;
    }
    std::vector<SentProbe> Sent() {
        std::lock_guard<std::mutex> lock(m_);
        return sent;
    }

    // Settings, before the engine uses them.
    std::string target = "10.0.0.99";
    StartError openError = StartError::None;
    int64_t grace = 0;
    std::function<void(const ProbeTransportOpen&)> onOpen;  // on the engine's thread; may block
    // On the engine's thread after each probe; may Reply or throw (a failing send).
    std::function<void(int32_t ttl, int32_t seq, int32_t protocol, int64_t sentTicks)> onSend;

private:
    std::shared_ptr<MtrClock> clock_;
    std::mutex m_;
    std::vector<ProbeTransportOpen> opens;
    std::vector<SentProbe> sent;
    ProbeTransportSink sink_;
    ProbeIdentity identity_;
    bool open_ = false;
    std::optional<std::string> captureEnded_;
};

// An engine on the fake clock and network, publishing after every change.
struct FakeMtr {
    std::shared_ptr<FakeMtrClock> clock = std::make_shared<FakeMtrClock>();
    FakeProbeTransport* net = nullptr;
    std::unique_ptr<MtrCore> core;

    explicit FakeMtr(MtrEngineOptions options = {}) {
        options.publishIntervalMs = 0;
        auto transport = std::make_unique<FakeProbeTransport>(clock);
        net = transport.get();
        core = std::make_unique<MtrCore>(std::move(transport), clock, options);
    }

    // Starts a run and returns the snapshot that tells how the start went.
    std::shared_ptr<const MtrSnapshot> Start(int32_t protocol, int32_t cycleLimit = 0, int spacingMs = 50,
                                             int pauseMs = 1000) {
        MtrStartRequest request;
        request.host = net->target;
        request.protocol = protocol;
        request.cycleLimit = cycleLimit;
        request.probeSpacingMs = spacingMs;
        request.cyclePauseMs = pauseMs;
        const uint64_t ticket = core->Start(request);
        if (ticket == 0) return core->Snapshot();
        clock->Settle();
        return core->WaitUntil([&](const MtrSnapshot& s) { return s.status.startsHandled >= ticket; },
                               std::chrono::seconds(10));
    }
    std::shared_ptr<const MtrSnapshot> Snap() { return core->Snapshot(); }
    // Stops the run and returns the snapshot that shows it stopped.
    std::shared_ptr<const MtrSnapshot> Stop() {
        core->Stop();
        clock->Settle();
        return Snap();
    }
};

}  // namespace mtrtest
