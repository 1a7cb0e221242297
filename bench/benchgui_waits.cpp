// Frames while a server the GUI depends on never answers: the whole shell drawing the MTR tab
// while the target's name goes to a silent name server, and the Som tab while the sound server
// hangs on every microphone-volume call (the slider is moved meanwhile). Prints the wall time
// of the slowest and the mean frame in each case next to the 50 ms a frame may take at most.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "app/App.h"
#include "harness/FrameHarness.h"
#include "lib/SilentNameServer.h"
#include "tools/AudioTab.h"
#include "tools/AudioTester.h"
#include "tools/SilentSoundServer.h"

namespace {

using Clock = std::chrono::steady_clock;

struct FrameTimes {
    int frames = 0;
    double maxMs = 0.0;
    double totalMs = 0.0;
    void Add(Clock::time_point start) {
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        ++frames;
        totalMs += ms;
        maxMs = std::max(maxMs, ms);
    }
    void Print(const char* what, double waitedMs) const {
        std::printf("%s: %d frames over %.0f ms of waiting, slowest %.2f ms, mean %.2f ms (budget 50 ms)\n", what,
                    frames, waitedMs, maxMs, frames ? totalMs / frames : 0.0);
    }
};

// Paces frames at 60 Hz like the window loop.
void FrameAt60Hz(harness::FrameHarness& h, FrameTimes& times) {
    const Clock::time_point start = Clock::now();
    h.Frame();
    times.Add(start);
    std::this_thread::sleep_until(start + std::chrono::microseconds(16667));
}

int SilentNameServerCase() {
    nstest::SilentNameServer dns;
    if (!dns.Ok()) {
        std::fprintf(stderr, "no loopback socket for the silent name server\n");
        return 1;
    }
    harness::FrameHarness h(1280.0f, 800.0f);
    App& app = h.app();
    app.Shared().capture.devices = {{"lo", "lo"}};
    h.Unlock();
    h.Frame();
    if (!h.SelectTab("MTR")) return 1;
    std::atomic<bool> resolving{false}, done{false};
    app.MtrEngine().SetResolverForTesting([&](const std::string& host, uint32_t& addr, std::string& dotted) {
        resolving = true;
        const auto status = dns.ResolveThrough(host, addr, dotted, 2);
        done = true;
        return status;
    });
    app.Mtr().SetTarget("nome.que.nao.responde");
    h.Frame();
    if (!h.ClickText("INICIAR", true)) return 1;
    FrameTimes times;
    const Clock::time_point start = Clock::now();
    while (!done.load() && Clock::now() - start < std::chrono::seconds(60)) FrameAt60Hz(h, times);
    times.Print("MTR tab, silent name server", std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    return done.load() ? 0 : 1;
}

int SilentSoundServerCase() {
    auto owned = std::make_unique<SilentSoundServer>(std::this_thread::get_id());
    SilentSoundServer& server = *owned;
    AudioTester tester(std::move(owned));
    ::AudioTab tab(tester);
    FrameTimes times;
    Clock::time_point start;
    {
        harness::FrameHarness h([&] { tab.Draw(); });
        h.RunFrames(3);
        if (h.FindWindow("Erro de Áudio")) h.ClickText("OK", true);
        start = Clock::now();
        // Three seconds with the volume worker stuck in the server, the slider clicked now and then.
        for (int i = 0; Clock::now() - start < std::chrono::seconds(3); ++i) {
            if (i % 30 == 0) {
                const auto slider = h.FindText("0.00", true);
                const auto host = h.FindWindow("TabHost");
                if (slider && host) h.ClickAt(host->pos.x + 400.0f + (i % 90), slider->Center().y);
            }
            FrameAt60Hz(h, times);
        }
    }
    times.Print("Som tab, silent sound server", std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    std::printf("volume calls that reached the server: %d, made on the GUI thread: %s\n", server.calls.load(),
                server.calledOnGuiThread.load() ? "yes" : "no");
    server.Release();
    return 0;
}

}  // namespace

int main() {
    const int a = SilentNameServerCase();
    const int b = SilentSoundServerCase();
    return a | b;
}
