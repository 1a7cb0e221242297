// MTR tab frame cost, measured through the headless harness: CPU time of one frame of the
// tab with all 30 hop rows, each with a full history (600 probes, every tenth lost, two
// responders per hop) and a full packet log (1000 entries of realistic size), with the log at
// its end (following new packets) and scrolled to its top, with a row's history chart open
// under the mouse, and how much of a frame the snapshot read (MtrCore::Snapshot) takes, next
// to what copying its hops would cost.
// Target: well under 4 ms per frame, so that the tab never holds the 60 Hz loop back.
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "app/App.h"
#include "BenchFakeMtr.h"
#include "BenchSupport.h"
#include "harness/FrameHarness.h"
#include "lib/MtrFakes.h"
#include "lib/ProbeReplies.h"

namespace {

using bench::ThreadCpuMs;

PacketLogEntry LogEntry(int n) {
    return bench::IcmpReply("12:00:" + std::to_string(10 + n % 50) + ".123", "10.200." + std::to_string(1 + n % 4) + ".2",
                            "Time Exceeded (Type=11) [Inner: UDP 10.200.1.1:54950 > 10.200.4.2:" +
                                std::to_string(33434 + n) + "]");
}

}  // namespace

int main() {
    // The App's MTR engine on a fake network that answers every probe at once.
    mtrtest::FakeProbeTransport* fake = nullptr;
    harness::FrameHarness h(OptionsWithFakeMtr(fake, "10.9.9.9"), 1280.0f, 800.0f);
    App& app = h.app();
    app.Shared().capture.devices = {{"eth0", "eth0"}};
    h.Unlock();
    h.Frame();
    if (!h.SelectTab("MTR")) {
        std::fprintf(stderr, "MTR tab not found\n");
        return 1;
    }

    // Every hop answers at once from one of two routers, and every tenth probe comes back too
    // late (lost); 600 cycles without pauses fill every hop's history, then the run stops.
    MtrCore& core = app.MtrEngine();
    std::atomic<int> probes{0};
    fake->onSend = [fake, &probes](int32_t ttl, int32_t seq, int32_t, int64_t sentAt) {
        const int n = probes++;
        int64_t at = sentAt + 150000 + ttl * 1000 + (n % 7) * 2000;
        if (n % 10 == 9) at += kMtrExpiryTicks;
        fake->Reply(probetest::ReplyFor(fake->Identity(), seq,
                                        "10.0." + std::to_string(ttl) + "." + std::to_string(1 + n % 2), at));
    };
    MtrStartRequest request;
    request.host = "10.9.9.9";
    request.probeSpacingMs = 0;
    request.cyclePauseMs = 0;
    core.Start(request);
    core.WaitUntil(
        [](const MtrSnapshot& s) { return s.hops.size() >= 30 && s.hops.at(30).history.total >= kMtrHistoryLength; },
        std::chrono::minutes(5));
    for (int i = 0; i < 1000; ++i) fake->Packet(LogEntry(i));
    core.WaitUntil([](const MtrSnapshot& s) { return s.log->size() >= 1000 && s.log->back().info == LogEntry(999).info; },
                   std::chrono::minutes(1));
    core.Stop();
    core.WaitUntil([](const MtrSnapshot& s) { return !s.Running(); }, std::chrono::minutes(1));
    h.RunFrames(10);

    constexpr int kFrames = 500;
    auto measure = [&](auto&& body) {
        const double start = ThreadCpuMs();
        for (int i = 0; i < kFrames; ++i) body();
        return (ThreadCpuMs() - start) / kFrames;
    };

    const double atEnd = measure([&] { h.Frame(); });
    const auto logPanel = h.FindWindow("LogPanel");
    if (logPanel) h.MoveMouse(logPanel->pos.x + 200.0f, logPanel->pos.y + 40.0f);
    h.ScrollWheel(10000.0f);
    h.RunFrames(3);
    const double atTop = measure([&] { h.Frame(); });
    // The mouse over the middle row of the results: its tooltip chart is drawn every frame.
    const auto results = h.FindWindow("ResultsPanel");
    if (results) h.MoveMouse(results->pos.x + results->size.x - 80.0f, results->pos.y + results->size.y / 2.0f);
    h.RunFrames(3);
    const bool tooltip = h.HasText("Ultimas 600 sondas");
    const double withChart = measure([&] { h.Frame(); });
    const double hopsSnapshot = measure([&] {
        auto hops = core.Snapshot()->hops;
        if (hops.size() != 30) std::abort();
    });
    const double snapshot = measure([&] {
        auto snap = core.Snapshot();
        if (snap->log->size() != 1000) std::abort();
    });

    std::printf("MTR tab, 30 hops with 600-probe histories, 1000 log entries, %d frames each (CPU ms per frame)\n",
                kFrames);
    std::printf("  frame, log following its end  : %.3f ms\n", atEnd);
    std::printf("  frame, log scrolled to the top: %.3f ms\n", atTop);
    std::printf("  frame, hover chart open       : %.3f ms%s\n", withChart, tooltip ? "" : " (tooltip NOT shown)");
    std::printf("  of which MtrCore::Snapshot read: %.3f ms\n", snapshot);
    std::printf("  a copy of the snapshot's hops : %.3f ms (not made by the tab)\n", hopsSnapshot);
    return 0;
}
