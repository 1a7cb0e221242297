// Frames while a server the GUI depends on never answers: the whole shell drawing the MTR tab
// while the target's name goes to a silent name server, and the Som tab while the sound server
// hangs on every microphone-volume call (the slider is moved meanwhile). Then the MTR engine
// busy where it cannot be interrupted: PARAR, and a trace asked for by the Flow tab, while a
// probe is inside a slow neighbour lookup (the send held 1 s, as a neighbour that does not
// answer holds it), and quitting while a reverse name lookup hangs for good. Prints the wall
// time of the slowest and the mean frame in each case next to the 50 ms a frame may take at
// most, and how long quitting took.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "app/App.h"
#include "harness/FrameHarness.h"
#include "lib/MtrFakes.h"
#include "lib/ProbeReplies.h"
#include "lib/SilentNameServer.h"
#include "mtr/NetworkTransport.h"
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
    NetworkProbeTransport* network = nullptr;
    AppOptions options;
    options.mtrEngine = [&network] {
        auto transport = std::make_unique<NetworkProbeTransport>();
        network = transport.get();
        return std::make_unique<MtrCore>(std::move(transport), std::make_shared<SystemMtrClock>());
    };
    harness::FrameHarness h(options, 1280.0f, 800.0f);
    App& app = h.app();
    app.Shared().capture.devices = {{"lo", "lo"}};
    h.Unlock();
    h.Frame();
    if (!h.SelectTab("MTR")) return 1;
    std::atomic<bool> resolving{false}, done{false};
    network->Sender().SetResolver([&](const std::string& host, uint32_t& addr, std::string& dotted) {
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

// The App's MTR engine on a fake network to 10.9.9.9 whose sends and name lookups the case
// controls.
struct FakeMtrApp {
    mtrtest::FakeProbeTransport* fake = nullptr;
    std::unique_ptr<harness::FrameHarness> h;

    explicit FakeMtrApp(HopNames::Lookup names = {}) {
        AppOptions options;
        options.mtrEngine = [this, names] {
            auto clock = std::make_shared<SystemMtrClock>();
            auto transport = std::make_unique<mtrtest::FakeProbeTransport>(clock);
            transport->target = "10.9.9.9";
            fake = transport.get();
            MtrEngineOptions engine;
            engine.nameLookup = names;
            return std::make_unique<MtrCore>(std::move(transport), clock, engine);
        };
        h = std::make_unique<harness::FrameHarness>(options, 1280.0f, 800.0f);
        h->app().Shared().capture.devices = {{"eth0", "eth0"}};
        h->Unlock();
        h->Frame();
        h->SelectTab("MTR");
        h->app().Mtr().SetTarget("10.9.9.9");
        h->Frame();
    }
    const MtrSnapshot& Snap() { return *h->app().MtrEngine().Snapshot(); }
};

// PARAR, then a trace asked for by the Flow tab, each while a probe is held 1 s in its send.
int SlowNeighbourCase() {
    FakeMtrApp a;
    std::atomic<int> sends{0};
    std::atomic<bool> inSend{false};
    a.fake->onSend = [&](int32_t, int32_t, int32_t, int64_t) {
        if (sends++ % 10 != 0) return;
        inSend = true;
        std::this_thread::sleep_for(std::chrono::seconds(1));
        inSend = false;
    };
    auto measure = [&](const char* what, const std::function<bool()>& act, const std::function<bool()>& settled) {
        FrameTimes times;
        const Clock::time_point start = Clock::now();
        while (!inSend.load() && Clock::now() - start < std::chrono::seconds(10)) FrameAt60Hz(*a.h, times);
        // Two frames that show the run the engine is probing for.
        FrameAt60Hz(*a.h, times);
        FrameAt60Hz(*a.h, times);
        times = FrameTimes{};
        const Clock::time_point asked = Clock::now();
        if (!act()) {
            std::fprintf(stderr, "%s: the request could not be made\n", what);
            return 1;
        }
        while (!settled() && Clock::now() - asked < std::chrono::seconds(10)) FrameAt60Hz(*a.h, times);
        times.Print(what, std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
        return settled() ? 0 : 1;
    };
    if (!a.h->ClickText("INICIAR", true)) {
        std::fprintf(stderr, "no INICIAR to click\n");
        return 1;
    }
    int failed = measure("MTR tab, PARAR during a slow neighbour lookup", [&] { return a.h->ClickText("PARAR", true); },
                         [&] { return a.Snap().status.state == MtrRunState::Idle; });
    a.h->RunFrames(2);  // the button is INICIAR again
    if (!a.h->ClickText("INICIAR", true)) return 1;
    uint64_t handled = 0;
    failed |= measure(
        "MTR tab, trace from the Flow tab during a slow neighbour lookup",
        [&] {
            handled = a.Snap().status.startsHandled;
            a.h->app().Shared().mtrTrace.Ask("10.9.9.9");
            return true;
        },
        [&] { return a.Snap().status.startsHandled > handled && a.Snap().Running(); });
    return failed;
}

// Names on while the reverse lookup never returns; then the window quits.
int HungNameLookupCase() {
    auto never = std::make_shared<std::promise<void>>();
    std::shared_future<void> hang = never->get_future().share();
    std::atomic<bool> looking{false};
    FakeMtrApp a([hang, &looking](const std::string&) -> std::optional<std::string> {
        looking = true;
        hang.wait();
        return std::nullopt;
    });
    a.fake->onSend = [&a](int32_t ttl, int32_t seq, int32_t, int64_t at) {
        a.fake->Reply(probetest::ReplyFor(a.fake->Identity(), seq, "10.0.0." + std::to_string(ttl), at + 20000));
    };
    if (!a.h->ClickText("INICIAR", true) || !a.h->ClickText("Nomes", true)) return 1;
    FrameTimes times;
    const Clock::time_point start = Clock::now();
    while ((!looking.load() || Clock::now() - start < std::chrono::seconds(1)) &&
           Clock::now() - start < std::chrono::seconds(10))
        FrameAt60Hz(*a.h, times);
    times.Print("MTR tab, names on with a hung name lookup",
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    const Clock::time_point quit = Clock::now();
    a.h.reset();  // the shell and its engines go, as when the window closes
    const double hung = std::chrono::duration<double, std::milli>(Clock::now() - quit).count();
    // The same shell with a run and no names, for what tearing it down costs anyway.
    FakeMtrApp plain;
    if (!plain.h->ClickText("INICIAR", true)) return 1;
    plain.h->RunFrames(30);
    const Clock::time_point plainQuit = Clock::now();
    plain.h.reset();
    const double base = std::chrono::duration<double, std::milli>(Clock::now() - plainQuit).count();
    std::printf("quitting with a hung name lookup: %.1f ms, without one: %.1f ms (budget 50 ms)\n", hung, base);
    return looking.load() ? 0 : 1;
}

}  // namespace

int main() {
    const int a = SilentNameServerCase();
    const int b = SilentSoundServerCase();
    const int c = SlowNeighbourCase();
    const int d = HungNameLookupCase();
    return a | b | c | d;
}
