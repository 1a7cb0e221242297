// Flow tab frame cost while the flow engine analyses, measured through the headless harness.
//
//   1. CPU time of one Flow-tab frame with 50,000 buffered packets and 500 calls (10 SIP
//      messages and 2 RTP flows each), in the call-list view and in the ladder view.
//   2. Sustained stream: a producer thread captures packets into FlowCore while frames are
//      drawn at 60 per second; packets the engine analysed per second of wall time and the
//      GUI thread's CPU per frame.
// Targets: under 4 ms per frame in both views; at least 30,000 packets per second.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/App.h"
#include "BenchSupport.h"
#include "harness/FrameHarness.h"

namespace {

using bench::ThreadCpuMs;

std::string Time(int seconds, int ms) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%02d:%02d:%02d.%03d", (seconds / 3600) % 24, (seconds / 60) % 60, seconds % 60,
                  ms % 1000);
    return buf;
}

// One call: 10 SIP messages and `rtpPackets` RTP packets split over both directions.
void MakeCall(int n, int rtpPackets, std::vector<PacketLogEntry>& out) {
    const std::string id = "bench-" + std::to_string(n) + "@10.1.0.1";
    const std::string a = "10.1.0.1", b = "10.2.0.1";
    const int port = 20000 + 2 * (n % 10000);
    const std::string ta = Time(n, 0);
    auto sip = [&](bool fromA, const std::string& text) {
        out.push_back(bench::UdpPacket(ta, (fromA ? a : b) + ":5060", (fromA ? b : a) + ":5060", text));
    };
    sip(true, bench::SipText("INVITE sip:2000@10.2.0.1 SIP/2.0", id, "1 INVITE", n, port));
    sip(false, bench::SipText("SIP/2.0 100 Trying", id, "1 INVITE", n, 0));
    sip(false, bench::SipText("SIP/2.0 180 Ringing", id, "1 INVITE", n, 0));
    sip(false, bench::SipText("SIP/2.0 183 Session Progress", id, "1 INVITE", n, 0));
    sip(false, bench::SipText("SIP/2.0 200 OK", id, "1 INVITE", n, port + 1));
    sip(true, bench::SipText("ACK sip:2000@10.2.0.1 SIP/2.0", id, "1 ACK", n, 0));
    std::string rtp(172, '\0');
    rtp[0] = '\x80';
    rtp[1] = '\x08';
    for (int i = 0; i < rtpPackets; ++i) {
        const bool fromA = i % 2 == 0;
        out.push_back(bench::UdpPacket(ta, (fromA ? a : b) + ":" + std::to_string(fromA ? port : port + 1),
                             (fromA ? b : a) + ":" + std::to_string(fromA ? port + 1 : port), rtp));
    }
    sip(true, bench::SipText("INFO sip:2000@10.2.0.1 SIP/2.0", id, "2 INFO", n, 0));
    sip(false, bench::SipText("SIP/2.0 200 OK", id, "2 INFO", n, 0));
    sip(true, bench::SipText("BYE sip:2000@10.2.0.1 SIP/2.0", id, "3 BYE", n, 0));
    sip(false, bench::SipText("SIP/2.0 200 OK", id, "3 BYE", n, 0));
}

struct FrameFigures {
    double meanMs = 0, p95Ms = 0, maxMs = 0;
};

// CPU time of `frames` frames; `beforeEach` runs untimed before each one.
FrameFigures TimeFrames(harness::FrameHarness& h, int frames, const std::function<void()>& beforeEach = {}) {
    std::vector<double> t;
    for (int i = 0; i < frames; ++i) {
        if (beforeEach) beforeEach();
        const double start = ThreadCpuMs();
        h.Frame();
        t.push_back(ThreadCpuMs() - start);
    }
    std::sort(t.begin(), t.end());
    FrameFigures f;
    for (double v : t) f.meanMs += v;
    f.meanMs /= t.size();
    f.p95Ms = t[static_cast<size_t>(t.size() * 0.95)];
    f.maxMs = t.back();
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    // Optional: number of calls in the buffer (default 500); the buffer stays at 50,000
    // packets, so more calls carry fewer RTP packets each.
    const int callCount = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
    const int rtpPerCall = std::max(2, 50000 / callCount - 10);
    harness::FrameHarness h(1280.0f, 800.0f);
    h.Unlock();
    h.Frame();
    if (!h.SelectTab("Flow")) {
        std::fprintf(stderr, "Flow tab not found\n");
        return 1;
    }
    App& app = h.app();

    // ---- 1. frame cost with a full buffer ----
    std::vector<PacketLogEntry> packets;
    packets.reserve(50000);
    for (int n = 0; n < callCount; ++n) MakeCall(n, rtpPerCall, packets);
    FlowCore& core = app.FlowEngine();
    FlowTab& tab = app.Flow();
    const PacketLogEntry extra = packets[6];  // the first call's first RTP packet
    for (PacketLogEntry& p : packets) core.OnPacket(std::move(p));
    // Let the engine analyse everything and publish it before timing (the views are timed,
    // not the parsing).
    core.Settle();
    const std::vector<SipCall> calls = core.Tracker().GetCalls();
    size_t sipMsgs = 0, rtpFlows = 0;
    for (const SipCall& c : calls)
        for (const SipMessage& m : c.messages) (m.type == SipMsgType::Rtp ? rtpFlows : sipMsgs)++;
    std::printf("buffer: %llu packets, %zu calls, %zu SIP messages, %zu RTP flow entries\n",
                static_cast<unsigned long long>(core.EndPosition() - core.FirstPosition()),
                calls.size(), sipMsgs, rtpFlows);

    h.RunFrames(10);
    if (!h.HasText(calls.front().callId)) {
        std::fprintf(stderr, "call list not drawn\n");
        return 1;
    }
    const FrameFigures list = TimeFrames(h, 300);
    std::printf("call-list view: %.3f ms mean, %.3f ms p95, %.3f ms max CPU per frame (target < 4 ms)\n",
                list.meanMs, list.p95Ms, list.maxMs);
    // The same with one more packet analysed and a new snapshot before every frame, as
    // during a capture: the engine builds the rows, the frame only takes the new snapshot.
    const FrameFigures changing = TimeFrames(h, 100, [&] {
        core.OnPacket(extra);
        core.Settle();
    });
    std::printf("call-list view, a packet analysed before each frame: %.3f ms mean, %.3f ms p95, %.3f ms max CPU "
                "per frame (target < 4 ms)\n",
                changing.meanMs, changing.p95Ms, changing.maxMs);

    // The ladder of the first call with its fourth message picked, as a user would open it.
    // (With the raw packet window open, the window covers the arrows: no message is picked.)
    auto openLadder = [&](bool pickMessage) {
        h.ClickText(calls.front().callId);
        h.Frame();
        core.Settle();  // the next snapshot carries the call's messages
        h.Frame();
        if (pickMessage) h.ClickText(" 183 Session Progress");
        h.RunFrames(10);
        return h.HasText("Call-ID: " + calls.front().callId) &&
               (!pickMessage || h.HasText("SIP/2.0 183 Session Progress"));
    };
    // "Voltar" is drawn in one text run with the "Call-ID: " line beside it.
    auto leaveLadder = [&] {
        if (const auto back = h.FindText("Voltar")) h.ClickAt(back->min.x + 10.0f, back->Center().y);
        h.RunFrames(2);
    };
    if (!openLadder(true)) {
        std::fprintf(stderr, "ladder view not drawn\n");
        return 1;
    }
    const FrameFigures ladder = TimeFrames(h, 300);
    std::printf("ladder view:    %.3f ms mean, %.3f ms p95, %.3f ms max CPU per frame (target < 4 ms)\n",
                ladder.meanMs, ladder.p95Ms, ladder.maxMs);

    leaveLadder();
    h.ClickText("Debug Raw", true);
    if (!tab.RawWindowShown() || !openLadder(false)) {
        std::fprintf(stderr, "raw packet window not shown\n");
        return 1;
    }
    h.RunFrames(5);
    const FrameFigures raw = TimeFrames(h, 100);
    std::printf("ladder + raw packet window: %.3f ms mean CPU per frame\n", raw.meanMs);
    leaveLadder();

    // ---- 2. frames while the engine analyses a sustained stream ----
    tab.Clear();
    core.Settle();
    h.Frame();
    std::vector<PacketLogEntry> stream;
    for (int n = 0; n < 2000; ++n) MakeCall(callCount + n, 90, stream);  // 200,000 packets, 2,000 calls
    std::atomic<bool> done{false};
    std::atomic<size_t> produced{0};
    const int producerRate = 45000;  // packets per second offered
    std::thread producer([&] {
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < stream.size() && !done.load(); ++i) {
            core.OnPacket(stream[i]);
            produced.store(i + 1);
            if (i % 450 == 0) {
                const auto due = start + std::chrono::microseconds(static_cast<long long>(i * 1e6 / producerRate));
                std::this_thread::sleep_until(due);
            }
        }
    });
    const auto frameInterval = std::chrono::microseconds(16667);
    // Warm-up: let the producer fill the buffer ahead of the analysis, so that the measured
    // window is the steady state.
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < 30; ++i) {
        h.Frame();
        next += frameInterval;
        std::this_thread::sleep_until(next);
    }
    const uint64_t before = core.Counters().analysed;
    const auto t0 = std::chrono::steady_clock::now();
    const double cpu0 = ThreadCpuMs();
    int frames = 0;
    double worstFrame = 0;
    while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(4)) {
        const double f0 = ThreadCpuMs();
        h.Frame();
        worstFrame = std::max(worstFrame, ThreadCpuMs() - f0);
        ++frames;
        next += frameInterval;
        std::this_thread::sleep_until(next);
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = ThreadCpuMs() - cpu0;
    done.store(true);
    producer.join();
    const uint64_t processed = core.Counters().analysed - before;
    std::printf("sustained analysis: %.0f packets/s analysed by the engine (%llu in %.2f s, %d frames = %.1f fps, "
                "%zu offered, %.2f ms mean / %.2f ms worst GUI CPU per frame, %llu calls at the end) "
                "(target >= 30000)\n",
                processed / wall, static_cast<unsigned long long>(processed), wall, frames, frames / wall,
                produced.load(), cpu / frames, worstFrame,
                static_cast<unsigned long long>(core.Tracker().Stats().records));
    return 0;
}
