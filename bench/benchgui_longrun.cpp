// The whole shell left running with both engines busy, through the headless harness: frames
// at 60 per second for MINUTES (default 30) while
//   - the MTR engine probes a fake 10-hop network (real probing thread, default spacing and
//     cycle pause, every probe answered, the packet log kept full), and
//   - the flow engine analyses a steady stream of calls offered by a producer thread playing
//     the capture (FlowCore::OnPacket), each call with a fresh Call-ID, so the record bounds
//     are reached and held for most of the run.
// The selected tab changes every 10 s (MTR, Flow, HOME). Every minute it prints the GUI
// thread's CPU per frame (mean, p95, max), the wall time between frames (max), the resident
// memory, and what the engines did, so that a growing curve shows at a glance.
//
//   benchgui_longrun [MINUTES=30] [PACKETS_PER_SECOND=2000]
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/App.h"
#include "BenchFakeMtr.h"
#include "BenchSupport.h"
#include "harness/FrameHarness.h"
#include "lib/MtrFakes.h"
#include "lib/ProbeReplies.h"

namespace {

using bench::RssMiB;
using bench::ThreadCpuMs;

// One call of 100 RTP packets with an OPTIONS keep-alive before it: 110 packets.
void MakeCall(uint64_t n, std::vector<PacketLogEntry>& out) {
    const std::string id = "long-" + std::to_string(n) + "@10.1.0.1";
    const std::string a = "10.1.0.1", b = "10.2.0.1";
    const int port = 20000 + 2 * static_cast<int>(n % 10000);
    auto sip = [&](bool fromA, const std::string& text) {
        out.push_back(bench::UdpPacket("12:00:00.000", (fromA ? a : b) + ":5060", (fromA ? b : a) + ":5060", text));
    };
    const std::string ka = "ka-" + std::to_string(n) + "@10.1.0.1";
    sip(true, bench::SipText("OPTIONS sip:2000@10.2.0.1 SIP/2.0", ka, "1 OPTIONS", n, 0));
    sip(false, bench::SipText("SIP/2.0 200 OK", ka, "1 OPTIONS", n, 0));
    sip(true, bench::SipText("INVITE sip:2000@10.2.0.1 SIP/2.0", id, "1 INVITE", n, port));
    sip(false, bench::SipText("SIP/2.0 180 Ringing", id, "1 INVITE", n, 0));
    sip(false, bench::SipText("SIP/2.0 200 OK", id, "1 INVITE", n, port + 1));
    sip(true, bench::SipText("ACK sip:2000@10.2.0.1 SIP/2.0", id, "1 ACK", n, 0));
    std::string rtp(172, '\xD5');
    rtp[0] = '\x80';
    rtp[1] = '\x08';
    for (int i = 0; i < 100; ++i) {
        const bool fromA = i % 2 == 0;
        rtp[2] = char(i >> 8);
        rtp[3] = char(i);
        out.push_back(bench::UdpPacket("12:00:00.000", (fromA ? a : b) + ":" + std::to_string(fromA ? port : port + 1),
                             (fromA ? b : a) + ":" + std::to_string(fromA ? port + 1 : port), rtp));
    }
    sip(true, bench::SipText("BYE sip:2000@10.2.0.1 SIP/2.0", id, "2 BYE", n, 0));
    sip(false, bench::SipText("SIP/2.0 200 OK", id, "2 BYE", n, 0));
}

PacketLogEntry MtrLogEntry(int32_t ttl, int32_t seq) {
    return bench::IcmpReply("12:00:00.123", "10.0." + std::to_string(ttl) + ".1",
                            "Time Exceeded (Type=11) [Inner: UDP 10.200.1.1:40001 > 10.9.9.9:" +
                                std::to_string(33434 + seq) + "]");
}

}  // namespace

int main(int argc, char** argv) {
    const int minutes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    const int rate = argc > 2 ? std::max(100, std::atoi(argv[2])) : 2000;
    // The App's MTR engine on a fake network.
    mtrtest::FakeProbeTransport* fake = nullptr;
    harness::FrameHarness h(OptionsWithFakeMtr(fake, "10.9.9.9"), 1280.0f, 800.0f);
    App& app = h.app();
    app.Shared().capture.devices = {{"eth0", "eth0"}};
    h.Unlock();
    h.Frame();

    // MTR: ten hops, the tenth is the target; replies come back 5 ms + 1 ms per hop later.
    MtrCore& mtr = app.MtrEngine();
    const std::string target = "10.9.9.9";
    fake->onSend = [fake, &target](int32_t ttl, int32_t seq, int32_t, int64_t sentAt) {
        const std::string from = ttl >= 10 ? target : "10.0." + std::to_string(ttl) + ".1";
        fake->Reply(probetest::ReplyFor(fake->Identity(), seq, from, sentAt + 50000 + ttl * 10000));
        fake->Packet(MtrLogEntry(ttl, seq));
    };
    MtrStartRequest request;
    request.host = target;
    mtr.Start(request);

    // Flow: the producer offers `rate` packets per second until the run ends.
    FlowCore& flow = app.FlowEngine();
    std::atomic<bool> done{false};
    std::atomic<uint64_t> offered{0};
    std::thread producer([&] {
        const auto start = std::chrono::steady_clock::now();
        std::vector<PacketLogEntry> batch;
        uint64_t call = 0, sent = 0;
        while (!done.load()) {
            batch.clear();
            MakeCall(call++, batch);
            for (PacketLogEntry& p : batch) {
                flow.OnPacket(std::move(p));
                ++sent;
            }
            offered.store(sent);
            std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<long long>(sent * 1e6 / rate)));
        }
    });

    const char* tabs[] = {"MTR", "Flow", "HOME"};
    std::printf("GUI long run: %d min, 60 frames/s, tab changes every 10 s (MTR, Flow, HOME), flow offered %d packets/s\n",
                minutes, rate);
    std::printf("%4s %7s %9s %9s %9s %10s %9s %10s %11s %9s %9s %8s\n", "min", "frames", "cpu mean", "cpu p95",
                "cpu max", "wall max", "RSS MiB", "mtr sent", "flow anal.", "records", "rec drop", "trimmed");
    std::fflush(stdout);

    const auto frameInterval = std::chrono::microseconds(16667);
    const auto t0 = std::chrono::steady_clock::now();
    auto next = t0;
    auto lastTabChange = t0;
    int tabIndex = 0;
    h.SelectTab(tabs[tabIndex]);
    double firstRss = RssMiB(), peakRss = firstRss;
    for (int minute = 1; minute <= minutes; ++minute) {
        std::vector<double> cpu;
        double wallMax = 0;
        auto last = std::chrono::steady_clock::now();
        const auto minuteEnd = t0 + std::chrono::minutes(minute);
        while (std::chrono::steady_clock::now() < minuteEnd) {
            const auto now = std::chrono::steady_clock::now();
            if (now - lastTabChange >= std::chrono::seconds(10)) {
                tabIndex = (tabIndex + 1) % 3;
                h.SelectTab(tabs[tabIndex]);  // runs its own frames
                lastTabChange = now;
                next = std::chrono::steady_clock::now();
            }
            const double c0 = ThreadCpuMs();
            h.Frame();
            cpu.push_back(ThreadCpuMs() - c0);
            const auto after = std::chrono::steady_clock::now();
            wallMax = std::max(wallMax, std::chrono::duration<double, std::milli>(after - last).count());
            last = after;
            next += frameInterval;
            if (next < after) next = after;  // a late frame does not make the next ones hurry
            std::this_thread::sleep_until(next);
        }
        std::sort(cpu.begin(), cpu.end());
        double mean = 0;
        for (double v : cpu) mean += v;
        mean /= cpu.empty() ? 1 : cpu.size();
        int64_t mtrSent = 0;
        for (const auto& [ttl, hop] : mtr.Snapshot()->hops) mtrSent += hop.sent;
        const FlowEngineCounters fc = flow.Counters();
        const CallTrackerStats ts = flow.Tracker().Stats();
        const double rss = RssMiB();
        peakRss = std::max(peakRss, rss);
        std::printf("%4d %7zu %9.3f %9.3f %9.3f %10.1f %9.1f %10lld %11llu %9zu %9llu %8llu\n", minute, cpu.size(),
                    mean, cpu.empty() ? 0 : cpu[cpu.size() * 95 / 100], cpu.empty() ? 0 : cpu.back(), wallMax, rss,
                    static_cast<long long>(mtrSent), static_cast<unsigned long long>(fc.analysed), ts.records,
                    static_cast<unsigned long long>(ts.recordsDropped),
                    static_cast<unsigned long long>(fc.trimmedUnanalysed));
        std::fflush(stdout);
    }
    done.store(true);
    producer.join();
    const bool mtrRunning = mtr.Snapshot()->Running();
    mtr.Stop();
    std::printf("RSS: %.1f MiB after start-up, %.1f MiB peak; MTR engine still running at the end: %s; "
                "%llu packets offered to the flow engine\n",
                firstRss, peakRss, mtrRunning ? "yes" : "NO", static_cast<unsigned long long>(offered.load()));
    return mtrRunning ? 0 : 1;
}
