// Frames while a server the GUI depends on never answers: the whole shell drawing the MTR tab
// while the target's name goes to a silent name server, and the Som tab while the sound server
// hangs on every microphone-volume call (the slider is moved meanwhile). Then the MTR engine
// busy where it cannot be interrupted: PARAR, and a trace asked for by the Flow tab, while a
// probe is inside a slow neighbour lookup (the send held 1 s, as a neighbour that does not
// answer holds it), and quitting while a reverse name lookup hangs for good. Prints the wall
// time of the slowest and the mean frame in each case next to the 50 ms a frame may take at
// most, and how long quitting took. The Flow tab's clicks that start engine work follow: each
// export of 50,000 packets, Limpar while the engine analyses 50,000 packets, INICIAR and PARAR
// MONITORAMENTO.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "app/App.h"
#include "harness/FrameHarness.h"
#include "lib/MtrFakes.h"
#include "lib/ProbeReplies.h"
#include "lib/SilentNameServer.h"
#include "logs/LogPaths.h"
#include "mtr/NetworkTransport.h"
#include "tools/view/AudioTab.h"
#include "tools/AudioTester.h"
#include "lib/SilentSoundServer.h"

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

// ---- Flow tab: the clicks that start engine work ----

// 500 calls of 100 packets (10 SIP, 90 RTP): 50,000 packets, a full buffer.
std::vector<PacketLogEntry> FlowCalls() {
    std::vector<PacketLogEntry> out;
    out.reserve(50000);
    std::string rtp(172, '\0');
    rtp[0] = '\x80';
    rtp[1] = '\x08';
    for (int n = 0; n < 500; ++n) {
        const std::string id = "waits-" + std::to_string(n) + "@10.1.0.1", a = "10.1.0.1", b = "10.2.0.1";
        const int port = 20000 + 2 * n;
        char time[16];
        std::snprintf(time, sizeof(time), "10:%02d:%02d.000", (n / 60) % 60, n % 60);
        auto sip = [&](bool fromA, const std::string& startLine, const std::string& cseq, int sdp) {
            out.push_back(bench::UdpPacket(time, (fromA ? a : b) + ":5060", (fromA ? b : a) + ":5060",
                                           bench::SipText(startLine, id, cseq, static_cast<uint64_t>(n), sdp)));
        };
        sip(true, "INVITE sip:2000@10.2.0.1 SIP/2.0", "1 INVITE", port);
        sip(false, "SIP/2.0 100 Trying", "1 INVITE", 0);
        sip(false, "SIP/2.0 180 Ringing", "1 INVITE", 0);
        sip(false, "SIP/2.0 183 Session Progress", "1 INVITE", 0);
        sip(false, "SIP/2.0 200 OK", "1 INVITE", port + 1);
        sip(true, "ACK sip:2000@10.2.0.1 SIP/2.0", "1 ACK", 0);
        for (int i = 0; i < 90; ++i) {
            const bool fromA = i % 2 == 0;
            out.push_back(bench::UdpPacket(time, (fromA ? a : b) + ":" + std::to_string(fromA ? port : port + 1),
                                           (fromA ? b : a) + ":" + std::to_string(fromA ? port + 1 : port), rtp));
        }
        sip(true, "INFO sip:2000@10.2.0.1 SIP/2.0", "2 INFO", 0);
        sip(false, "SIP/2.0 200 OK", "2 INFO", 0);
        sip(true, "BYE sip:2000@10.2.0.1 SIP/2.0", "3 BYE", 0);
        sip(false, "SIP/2.0 200 OK", "3 BYE", 0);
    }
    return out;
}

// Clicks `label` (three frames, timed together) and draws frames at 60 Hz until `done`.
bool ClickAndFollow(harness::FrameHarness& h, const char* label, const char* what, const std::function<bool()>& done) {
    FrameTimes times;
    const Clock::time_point start = Clock::now();
    if (!h.ClickText(label, true)) {
        std::fprintf(stderr, "%s: no button %s\n", what, label);
        return false;
    }
    const double clickMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    while (!done() && Clock::now() - start < std::chrono::seconds(60)) FrameAt60Hz(h, times);
    const double waitedMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("%s: the click's 3 frames %.2f ms together; ", what, clickMs);
    times.Print("then", waitedMs);
    return done();
}

int FlowCase() {
    // The exports go to a folder of their own, removed at the end.
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("benchgui-waits-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    SetExecutableDirectoryForTesting(folder.string());
    struct Cleanup {
        std::filesystem::path folder;
        ~Cleanup() {
            SetExecutableDirectoryForTesting("");
            std::error_code ec;
            std::filesystem::remove_all(folder, ec);
        }
    } cleanup{folder};
    harness::FrameHarness h(1280.0f, 800.0f);
    App& app = h.app();
    app.Shared().capture.devices = {{"lo", "lo"}};
    h.Unlock();
    h.Frame();
    if (!h.SelectTab("Flow")) return 1;
    FlowCore& core = app.FlowEngine();
    FlowTab& tab = app.Flow();
    const std::vector<PacketLogEntry> packets = FlowCalls();
    // The engine's answer to everything asked before `serial`.
    auto handled = [&core](uint64_t serial) { return [&core, serial] { return core.Snapshot()->handled >= serial; }; };
    int rc = 0;

    // Each export of a full buffer.
    for (const PacketLogEntry& p : packets) core.OnPacket(p);
    core.Settle();
    h.Frame();
    std::printf("Flow tab: %zu packets buffered, %zu calls\n", core.Snapshot()->bufferedPackets,
                core.Snapshot()->rows->size());
    auto exported = [&tab] { return tab.StatusLine().rfind("Exportando", 0) != 0; };
    for (const char* button : {"Exportar CSV", "Exportar PCAP", "Exportar Qualidade"}) {
        const std::string what = std::string("Flow tab, ") + button + " of 50,000 packets";
        if (!ClickAndFollow(h, button, what.c_str(), exported)) rc = 1;
        std::printf("  %s\n", tab.StatusLine().c_str());
    }

    // Limpar while the engine analyses 50,000 packets that arrive at once.
    std::thread producer([&] {
        for (const PacketLogEntry& p : packets) core.OnPacket(p);
    });
    while (core.Snapshot()->engine.analysed == 0 && core.Counters().analysed == 0) std::this_thread::yield();
    uint64_t after = 0;
    if (!ClickAndFollow(h, "Limpar", "Flow tab, Limpar during a 50,000-packet batch", [&] {
            if (!after) after = core.RequestSnapshot();
            return handled(after)();
        }))
        rc = 1;
    producer.join();
    core.Settle();

    // INICIAR MONITORAMENTO on the loopback (opens the capture with its 64 MiB buffer), then PARAR.
    after = 0;
    if (!ClickAndFollow(h, "INICIAR MONITORAMENTO", "Flow tab, INICIAR MONITORAMENTO", [&] {
            if (!after) after = core.RequestSnapshot();
            return handled(after)();
        }))
        rc = 1;
    h.Frame();
    std::printf("  %s\n", tab.Monitoring() ? "capturing on lo" : ("start failed: " + tab.StatusLine()).c_str());
    if (tab.Monitoring()) {
        after = 0;
        ClickAndFollow(h, "PARAR MONITORAMENTO", "Flow tab, PARAR MONITORAMENTO", [&] {
            if (!after) after = core.RequestSnapshot();
            return handled(after)();
        });
    }
    return rc;
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
    const int e = FlowCase();
    return a | b | c | d | e;
}
