// The MTR tab drawn through the headless frame harness. The engine runs its real probing
// loop against a fake network (replies handed straight to its reply handler), so the
// tables show what a run would show without any packet on a wire.
#include <gtest/gtest.h>
#include <imgui_internal.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/App.h"
#include "capture/StartError.h"
#include "harness/FrameHarness.h"
#include "lib/ProbeReplies.h"
#include "lib/SilentNameServer.h"
#include "lib/TestSupport.h"
#include "logs/LogPaths.h"
#include "lib/MtrFakes.h"
#include "mtr/MtrCore.h"
#include "mtr/NetworkTransport.h"
#include "platform/ReverseLookup.h"
#include "mtr/view/MtrTabFormat.h"
#include "ui/EngineTexts.h"
#include "ui/MtrTexts.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using harness::FrameHarness;
using harness::TextRun;

namespace {

constexpr const char* kTarget = "10.9.9.9";

// The engine's way out in these tests: runs to kTarget go to a fake network (no sockets, no
// capture), any other host to the real one.
class TabTestTransport : public ProbeTransport {
public:
    explicit TabTestTransport(std::shared_ptr<MtrClock> clock) : fake(std::move(clock)) {}
    ProbeTransportOpened Open(const ProbeTransportOpen& what, ProbeTransportSink sink) override {
        current_ = what.host == kTarget ? static_cast<ProbeTransport*>(&fake) : &real;
        return current_->Open(what, std::move(sink));
    }
    std::optional<int64_t> Send(int32_t ttl, int32_t seq, int32_t protocol) override {
        return current_->Send(ttl, seq, protocol);
    }
    void Close() override { current_->Close(); }
    std::optional<std::string> CaptureEnded() override { return current_->CaptureEnded(); }
    int64_t ReplyGraceTicks() const override { return current_->ReplyGraceTicks(); }
    std::string PcapError() override { return current_->PcapError(); }
    bool IcmpIsDatagram() const override { return current_->IcmpIsDatagram(); }
    std::vector<NetDevice> ListDevices() override { return real.ListDevices(); }

    mtrtest::FakeProbeTransport fake;
    NetworkProbeTransport real;

private:
    ProbeTransport* current_ = &real;
};

// Plays the network for the fake runs: routers up to `lastRouter` answer with Time Exceeded
// after `rttMs`; the target answers with Port Unreachable at `targetTtl` (0: it stays silent);
// every other TTL stays silent.
struct FakeNetwork {
    mtrtest::FakeProbeTransport* fake = nullptr;
    std::atomic<int> lastRouter{1};
    std::atomic<int> targetTtl{0};
    double rttMs = 12.5;

    void Send(int32_t ttl, int32_t seq, int64_t sentAt) {
        const int64_t at = sentAt + static_cast<int64_t>(rttMs * 10000.0);
        if (ttl == targetTtl.load()) {
            fake->Reply(probetest::ReplyFor(fake->Identity(), seq, kTarget, at, 3));
        } else if (ttl <= lastRouter.load()) {
            fake->Reply(probetest::ReplyFor(fake->Identity(), seq, "10.0.0." + std::to_string(ttl), at, 11));
        }
    }
};

class MtrTabFrame : public ::testing::Test {
protected:
    void SetUp() override {
        app().Shared().capture.devices = {{"dev-alfa", "Placa Alfa"}, {"dev-beta", "Placa Beta"}, {"dev-gama", "Placa Gama"}};
        h.Unlock();
        h.Frame();
        ASSERT_TRUE(h.SelectTab("MTR")) << h.AllText();
        net.fake = &transport->fake;
        transport->fake.target = kTarget;
        transport->fake.onSend = [this](int32_t t, int32_t s, int32_t, int64_t at) { net.Send(t, s, at); };
    }
    void TearDown() override { app().MtrEngine().Stop(); }

    App& app() { return h.app(); }
    MtrCore& engine() { return app().MtrEngine(); }
    std::shared_ptr<const MtrSnapshot> Snap() { return engine().Snapshot(); }
    std::map<int32_t, HopStats> Hops() { return Snap()->hops; }

    // The App's engine on the test transport, with names from `nameLookup` when it is set.
    AppOptions Options() {
        AppOptions options;
        options.mtrEngine = [this] {
            auto clock = std::make_shared<SystemMtrClock>();
            auto owned = std::make_unique<TabTestTransport>(clock);
            transport = owned.get();
            MtrEngineOptions engineOptions;
            engineOptions.nameLookup = [lookup = nameLookup](const std::string& a) -> std::optional<std::string> {
                if (*lookup) return (*lookup)(a);
                return platform::ReverseLookup(a);
            };
            engineOptions.nameTimeout = 500ms;
            return std::make_unique<MtrCore>(std::move(owned), clock, engineOptions);
        };
        return options;
    }

    // Asks for a run to kTarget (the fake network); `pauseMs` is the pause after each cycle.
    void StartFakeRun(int pauseMs) {
        MtrStartRequest request;
        request.host = kTarget;
        request.protocol = kProbeUdp;
        request.probeSpacingMs = 0;
        request.cyclePauseMs = pauseMs;
        ASSERT_NE(0u, engine().Start(request));
        ASSERT_TRUE(engine().WaitUntil([](const MtrSnapshot& s) { return s.Running(); }, 5s)->Running());
    }
    // Asks the run to stop and waits until the engine has.
    void StopRun() {
        engine().Stop();
        engine().WaitUntil([](const MtrSnapshot& s) { return !s.Running(); }, 5s);
    }

    // Draws frames (in real time, the engine runs in its own thread) until `done` holds.
    bool FramesUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            h.Frame();
            if (done()) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    // The cells of the results-table row whose first cell is `ttl`, as drawn in the last
    // frame. The harness hands a table row over as one line of text; cells are told apart by
    // the column gaps, and each cell's colour is read from its first glyph in the draw data.
    struct Cell {
        std::string text;
        ImVec4 color;
    };
    std::vector<Cell> Row(int ttl) {
        std::vector<Cell> cells;
        const std::string key = std::to_string(ttl);
        for (const TextRun& run : h.Texts()) {
            if (run.window.find("MtrTable") == std::string::npos) continue;
            if (run.text.compare(0, key.size(), key) != 0 || run.text.size() <= key.size() ||
                run.text[key.size()] != ' ')
                continue;
            ImGuiTable* table = ImGui::TableFindByID(h.ItemId("ResultsPanel", {"MtrTable"}));
            if (!table) break;
            size_t i = 0;
            for (int column = 0; i < run.text.size(); ++column) {
                size_t end = run.text.find("  ", i);
                if (end == std::string::npos) end = run.text.size();
                ImVec4 color(-1, -1, -1, -1);
                if (column < table->ColumnsCount)
                    color = GlyphColorIn(table->Columns[column].MinX, table->Columns[column].MaxX, run.min.y,
                                         run.max.y);
                cells.push_back({run.text.substr(i, end - i), color});
                i = run.text.find_first_not_of(' ', end);
            }
            break;
        }
        return cells;
    }
    std::vector<std::string> RowTexts(int ttl) {
        std::vector<std::string> texts;
        for (const Cell& cell : Row(ttl)) texts.push_back(cell.text);
        return texts;
    }
    // Colour of the first glyph drawn inside the rectangle.
    ImVec4 GlyphColorIn(float minX, float maxX, float minY, float maxY) {
        const ImVec2 white = ImGui::GetIO().Fonts->TexUvWhitePixel;
        ImDrawData* data = ImGui::GetDrawData();
        for (int l = 0; data && l < data->CmdListsCount; ++l) {
            const ImVector<ImDrawVert>& v = data->CmdLists[l]->VtxBuffer;
            for (int i = 0; i < v.Size; ++i) {
                if (v[i].uv.x == white.x && v[i].uv.y == white.y) continue;  // a filled shape
                if (v[i].pos.x >= minX && v[i].pos.x <= maxX && v[i].pos.y >= minY - 1.0f &&
                    v[i].pos.y <= maxY + 1.0f)
                    return ImGui::ColorConvertU32ToFloat4(v[i].col);
            }
        }
        return ImVec4(-1, -1, -1, -1);
    }
    // Largest first cell of the results table that was drawn.
    int HighestDrawnRow() {
        int highest = 0;
        for (const TextRun& run : h.Texts()) {
            if (run.window.find("MtrTable") == std::string::npos) continue;
            const int ttl = std::atoi(run.text.c_str());
            highest = std::max(highest, ttl);
        }
        return highest;
    }

    std::shared_ptr<std::function<std::optional<std::string>(const std::string&)>> nameLookup =
        std::make_shared<std::function<std::optional<std::string>(const std::string&)>>();
    TabTestTransport* transport = nullptr;  // owned by the App's engine
    FrameHarness h{Options(), 1280.0f, 1200.0f};  // tall enough for all 30 hop rows without scrolling
    FakeNetwork net;
};

void ExpectColor(const ImVec4& expected, const ImVec4& actual, const std::string& what) {
    EXPECT_NEAR(expected.x, actual.x, 0.01) << what;
    EXPECT_NEAR(expected.y, actual.y, 0.01) << what;
    EXPECT_NEAR(expected.z, actual.z, 0.01) << what;
}

}  // namespace

TEST_F(MtrTabFrame, DefaultsAtFirstDraw) {
    EXPECT_EQ("8.8.8.8", app().Mtr().Target());
    EXPECT_EQ(0, app().Mtr().Protocol());
    EXPECT_FALSE(app().Mtr().SavePcap());
    EXPECT_EQ(0, app().Shared().capture.selected);
    EXPECT_FALSE(app().Mtr().Running());

    const std::string panel = h.AllText("ConfigPanel");
    for (const char* text : {"Host Alvo:", "8.8.8.8", "Interface:", "Placa Alfa", "Protocolo:", "UDP",
                             "Salvar Pcap", "INICIAR", "LIMPAR", "PASTA"})
        EXPECT_NE(std::string::npos, panel.find(text)) << text << " missing from:\n" << panel;
    EXPECT_EQ(std::string::npos, panel.find("PARAR"));
    EXPECT_TRUE(h.HasText("Resultados do MTR"));
    EXPECT_TRUE(h.HasText("Captura de Pacotes em Tempo Real (libpcap)"));
    for (const char* header : kMtrTableHeaders) EXPECT_TRUE(h.HasText(header)) << header;
    for (const char* header : kMtrLogHeaders) EXPECT_TRUE(h.HasText(header)) << header;

    // An index left out of range (for example by a shorter device list) falls back to the first.
    app().Shared().capture.selected = 7;
    h.Frame();
    EXPECT_EQ(0, app().Shared().capture.selected);

    // The target field keeps at most 127 characters.
    h.Activate(h.ItemId("ConfigPanel", {"##target"}));
    h.PressKey(platform::keys::A, harness::kLeftCtrl);
    h.TypeText(std::string(200, '7'));
    EXPECT_EQ(127u, app().Mtr().Target().size());
}

TEST_F(MtrTabFrame, FailedStartShowsPopupWithCauseAndOkClosesIt) {
    // Loopback target (no name lookup, nothing leaves the host) and a device that does not exist.
    app().Mtr().SetTarget("127.0.0.1");
    app().Shared().capture.devices = {{"oc-no-such-dev0", "Placa Inexistente"}};
    h.Frame();
    ASSERT_TRUE(h.ClickText("INICIAR", true));
    // The start runs on the engine's worker; its failure comes back in a later frame.
    ASSERT_TRUE(FramesUntil([&] { return h.HasText("Falha ao Iniciar"); }));
    h.Frame();

    EXPECT_FALSE(app().Mtr().Running());
    const StartError cause = Snap()->status.startError;
    ASSERT_NE(StartError::None, cause);
    EXPECT_TRUE(h.HasText("Falha ao Iniciar"));
    EXPECT_TRUE(h.HasText("Nao foi possivel iniciar o MTR.", true));
    const std::string causeText = StartErrorText(cause);
    // The harness rebuilds the line from glyphs; compare its start, which fits on any width.
    EXPECT_TRUE(h.HasText(causeText.substr(0, 30))) << causeText;
    EXPECT_TRUE(h.HasText("INICIAR", true)) << "the button stays INICIAR after a failed start";

    ASSERT_TRUE(h.ClickText("OK", true));
    h.RunFrames(2);
    EXPECT_FALSE(h.HasText("Nao foi possivel iniciar o MTR."));
    EXPECT_FALSE(h.HasText(causeText.substr(0, 30)));
}

TEST_F(MtrTabFrame, UnansweredHopShowsPlaceholders) {
    net.lastRouter = 1;  // hop 1 answers, hops 2 and 3 stay silent, the target is hop 4
    net.targetTtl = 4;
    StartFakeRun(60000);  // one cycle, then a long pause: nothing expires during the test
    ASSERT_TRUE(FramesUntil([&] {
        auto hops = Hops();
        return hops.size() == 4 && hops[4].received == 1 && hops[4].sent == 1;
    }));
    h.Frame();

    const auto silent = RowTexts(2);
    const std::vector<std::string> expected = {"2",      "???",    "0.0%",      "1",      "0",      "0",
                                               "0.0 ms", "0.0 ms", "9999.0 ms", "0.0 ms", "0.00 ms", "-",
                                               "-"};
    EXPECT_EQ(expected, silent) << h.AllText("MtrTable");
    const auto row = Row(2);
    ASSERT_EQ(13u, row.size());
    const ImVec4 plain = ImGui::GetStyle().Colors[ImGuiCol_Text];
    ExpectColor(plain, row[2].color, "pending probes are no loss");
    ExpectColor(plain, row[5].color, "nothing lost");
    ExpectColor(kMtrGreen, row[4].color, "Rec");
    ExpectColor(kMtrGreen, row[10].color, "no jitter");

    const auto answered = RowTexts(1);
    ASSERT_EQ(13u, answered.size());
    EXPECT_EQ("10.0.0.1", answered[1]);
    EXPECT_EQ("1", answered[4]);
    // The fake network dates its reply from the moment the probe left.
    EXPECT_EQ("12.5 ms", answered[6]);
    EXPECT_EQ(kTarget, RowTexts(4).at(1));
    EXPECT_EQ(4, HighestDrawnRow());
}

TEST_F(MtrTabFrame, RowsAboveMaxHopsHiddenUntilLimpar) {
    net.lastRouter = 8;
    net.targetTtl = 0;  // the first cycles reach all 30 hops
    StartFakeRun(100);
    ASSERT_TRUE(FramesUntil([&] { return Hops().size() == 30u; }));
    ASSERT_TRUE(FramesUntil([&] { return HighestDrawnRow() == 30; }, 2000ms));
    // Silent hops lose their first probes once these expire (after about a second).
    ASSERT_TRUE(FramesUntil([&] { return Hops()[30].lost > 0; }));
    h.Frame();
    const auto silent = Row(30);
    ASSERT_EQ(13u, silent.size()) << h.AllText("MtrTable");
    EXPECT_NE("0.0%", silent[2].text);
    ExpectColor(kMtrRed, silent[2].color, "loss above 0");
    ExpectColor(kMtrRed, silent[5].color, "lost above 0");

    net.targetTtl = 9;  // the target answers at hop 9 from the next cycle on
    ASSERT_TRUE(FramesUntil([&] { return Snap()->maxHops == 9; }));
    h.Frame();
    EXPECT_EQ(9, HighestDrawnRow());
    EXPECT_EQ(kTarget, RowTexts(9).at(1));
    EXPECT_EQ(30u, Hops().size()) << "hidden rows keep their statistics";

    net.targetTtl = 0;
    ASSERT_TRUE(h.ClickText("LIMPAR", true));
    EXPECT_EQ(kMtrMaxHops, engine().WaitUntil([](const MtrSnapshot& s) { return s.hops.empty(); }, 5s)->maxHops);
    EXPECT_TRUE(FramesUntil([&] { return HighestDrawnRow() == 30; }));
}

TEST_F(MtrTabFrame, LogFollowsNewestPacketOnlyWhenAtBottom) {
    net.lastRouter = 0;
    StartFakeRun(60000);  // the fake capture is open; its probes go unanswered
    int next = 0;
    auto feed = [&](int count) {
        for (int i = 0; i < count; ++i, ++next) {
            PacketLogEntry e;
            e.time = "12:00:00.000";
            e.source = "10.0.0.1";
            e.destination = "10.0.0.2";
            e.protocol = "ICMP";
            e.info = "pkt-" + std::to_string(next) + "-end";
            e.wireLength = 70;
            transport->fake.Packet(e);
        }
        const std::string last = "pkt-" + std::to_string(next - 1) + "-end";
        engine().WaitUntil([&](const MtrSnapshot& s) { return !s.log->empty() && s.log->back().info == last; }, 5s);
    };
    auto shown = [&](int n) { return h.HasText("pkt-" + std::to_string(n) + "-end"); };

    feed(200);
    h.RunFrames(3);
    EXPECT_TRUE(shown(199)) << "a fresh log opens at its newest packet";
    EXPECT_FALSE(shown(0));

    feed(50);
    h.RunFrames(3);
    EXPECT_TRUE(shown(249)) << "at the bottom the view follows new packets";

    // The user scrolls up: new packets must not pull the view away.
    const auto logPanel = h.FindWindow("LogPanel");
    ASSERT_TRUE(logPanel.has_value());
    h.MoveMouse(logPanel->pos.x + logPanel->size.x * 0.5f, logPanel->pos.y + logPanel->size.y * 0.5f);
    h.ScrollWheel(10.0f);
    h.RunFrames(2);
    EXPECT_FALSE(shown(249));
    std::string visibleBefore;
    for (int n = 0; n < 250; ++n)
        if (shown(n)) {
            visibleBefore = "pkt-" + std::to_string(n) + "-end";
            break;
        }
    ASSERT_FALSE(visibleBefore.empty());
    feed(50);
    h.RunFrames(3);
    EXPECT_FALSE(shown(299));
    EXPECT_TRUE(h.HasText(visibleBefore)) << "the scrolled-up view keeps its place";

    // Back at the end, it follows again.
    h.ScrollWheel(-1000.0f);
    h.RunFrames(2);
    EXPECT_TRUE(shown(299));
    feed(10);
    h.RunFrames(3);
    EXPECT_TRUE(shown(309));
}

TEST_F(MtrTabFrame, MtrAndFlowCombosShareSelectedDevice) {
    ASSERT_TRUE(h.ClickText("Placa Alfa", true));  // opens "##deviceCombo"
    h.Frame();  // a new popup is sized in its first frame and drawn from the next
    ASSERT_TRUE(h.ClickText("Placa Gama", true));
    EXPECT_EQ(2, app().Shared().capture.selected);
    EXPECT_TRUE(h.HasText("Placa Gama", true));

    ASSERT_TRUE(h.SelectTab("Flow"));
    ASSERT_TRUE(h.HasText("Placa Gama", true)) << "the Flow combo shows the device chosen on the MTR tab";
    ASSERT_TRUE(h.ClickText("Placa Gama", true));  // opens "##devFlow"
    h.Frame();
    ASSERT_TRUE(h.ClickText("Placa Beta", true));
    EXPECT_EQ(1, app().Shared().capture.selected);

    ASSERT_TRUE(h.SelectTab("MTR"));
    EXPECT_TRUE(h.HasText("Placa Beta", true)) << "and the MTR combo the one chosen on the Flow tab";
    EXPECT_FALSE(h.HasText("Placa Gama", true));
}

TEST_F(MtrTabFrame, PastaCreatesTheMtrFolderAndOpensIt) {
    char tmpl[] = "/tmp/mtrtab-pasta-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    const fs::path dir = tmpl;
    // A stand-in for the desktop's opener that records what it was asked to open.
    const fs::path record = dir / "opened.txt";
    {
        std::ofstream script(dir / "xdg-open");
        script << "#!/bin/sh\nprintf '%s' \"$1\" > '" << record.string() << ".tmp' && mv '" << record.string()
               << ".tmp' '" << record.string() << "'\n";
    }
    fs::permissions(dir / "xdg-open", fs::perms::owner_all);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (dir.string() + ":" + oldPath).c_str(), 1);
    SetExecutableDirectoryForTesting((dir / "app").string());
    const std::string folder = MtrLogDirectory();
    ASSERT_FALSE(fs::exists(folder));

    ASSERT_TRUE(h.ClickText("PASTA", true));
    EXPECT_TRUE(fs::is_directory(folder));
    std::string opened;
    for (int i = 0; i < 200 && opened.empty(); ++i) {
        std::ifstream in(record);
        std::getline(in, opened);
        if (opened.empty()) std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(folder, opened);

    SetExecutableDirectoryForTesting("");
    setenv("PATH", oldPath.c_str(), 1);
    fs::remove_all(dir);
}

// "INICIAR" and "PARAR" against the real engine, inside a private network namespace whose
// only interface is its own loopback: the tab starts a run, shows the target answering at
// hop 1, and stops it.
TEST_F(MtrTabFrame, StartAndStopARealRunOnPrivateLoopback) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace and capture";
    ASSERT_EQ(0, unshare(CLONE_NEWNET)) << std::strerror(errno);
    ASSERT_EQ(0, std::system("ip link set lo up"));
    app().Shared().capture.devices = {{"lo", "lo"}};
    app().Mtr().SetTarget("127.0.0.1");
    h.Frame();

    ASSERT_TRUE(h.ClickText("INICIAR", true));
    ASSERT_TRUE(FramesUntil([&] { return Snap()->status.startsHandled > 0; }));
    ASSERT_TRUE(app().Mtr().Running()) << StartErrorText(Snap()->status.startError);
    h.Frame();
    EXPECT_TRUE(h.HasText("PARAR", true));
    EXPECT_FALSE(h.HasText("INICIAR", true));
    EXPECT_TRUE(FramesUntil([&] {
        const auto row = RowTexts(1);
        return row.size() == kMtrTableColumns && row[1] == "127.0.0.1";
    }));
    EXPECT_EQ(1, HighestDrawnRow());
    EXPECT_TRUE(FramesUntil([&] { return h.AllText("LogTable").find("ICMP") != std::string::npos; }))
        << "the reply appears in the packet log";

    ASSERT_TRUE(h.ClickText("PARAR", true));
    ASSERT_TRUE(FramesUntil([&] { return !app().Mtr().Running(); }));
    h.Frame();
    EXPECT_TRUE(h.HasText("INICIAR", true));
}

// A name server that never answers: the start resolves on the engine's worker, and every frame
// drawn meanwhile shows "Resolvendo <host>..." with the start button disabled. Frames keep
// coming while the resolver is still waiting inside its query, so nothing in the frame waits
// for it; then the start fails with its cause.
TEST_F(MtrTabFrame, SilentNameServerNeverHoldsAFrame) {
    nstest::SilentNameServer dns;
    ASSERT_TRUE(dns.Ok());
    std::atomic<bool> inResolver{false};
    std::atomic<bool> resolverDone{false};
    transport->real.Sender().SetResolver([&](const std::string& host, uint32_t& addr, std::string& dotted) {
        inResolver = true;
        const auto status = dns.ResolveThrough(host, addr, dotted, 2);
        inResolver = false;
        resolverDone = true;
        return status;
    });
    const std::string host = "nome.que.nao.responde";
    app().Mtr().SetTarget(host);
    h.Frame();
    ASSERT_TRUE(h.ClickText("INICIAR", true));

    int framesWhileWaiting = 0;
    bool clickedWhileWaiting = false;
    ASSERT_TRUE(FramesUntil(
        [&] {
            if (inResolver.load()) {
                ++framesWhileWaiting;
                EXPECT_TRUE(h.HasText("Resolvendo " + host + "...", true)) << h.AllText("ConfigPanel");
                EXPECT_FALSE(h.HasText("Falha ao Iniciar"));
                EXPECT_FALSE(h.HasText("PARAR", true));
                if (!clickedWhileWaiting) {
                    // A click on the disabled button starts nothing (a second start would be
                    // refused and open the failure popup).
                    clickedWhileWaiting = true;
                    h.ClickText("INICIAR", true);
                }
            }
            return resolverDone.load() && Snap()->status.state != MtrRunState::Resolving;
        },
        30000ms));
    EXPECT_GE(framesWhileWaiting, 3);
    EXPECT_GE(dns.QueriesReceived(), 1) << "the resolver asked the silent server";
    h.RunFrames(2);
    EXPECT_FALSE(h.HasText("Resolvendo ", false));
    EXPECT_TRUE(h.HasText("Falha ao Iniciar"));
    EXPECT_TRUE(h.HasText(StartErrorText(StartError::HostNotResolved).substr(0, 30)));
    EXPECT_TRUE(h.HasText("INICIAR", true));
    ASSERT_TRUE(h.ClickText("OK", true));
}

// A run whose probing loop fails by itself: the tab returns to "INICIAR" and shows the cause
// in red under the controls; a new start clears it.
TEST_F(MtrTabFrame, RunThatStopsByItselfShowsItsCauseInRed) {
    transport->fake.onSend = [](int32_t, int32_t seq, int32_t, int64_t) {
        if (seq == 2) throw std::runtime_error("falha simulada");
    };
    MtrStartRequest request;
    request.host = kTarget;
    request.probeSpacingMs = 0;
    request.cyclePauseMs = 50;
    ASSERT_NE(0u, engine().Start(request));
    ASSERT_TRUE(FramesUntil([&] { return Snap()->status.state == MtrRunState::Stopped; }));
    h.Frame();
    EXPECT_TRUE(h.HasText("INICIAR", true));
    EXPECT_FALSE(h.HasText("PARAR", true));
    auto cause = h.FindText("O envio de sondas parou: falha simulada");
    ASSERT_TRUE(cause.has_value()) << h.AllText("ConfigPanel");
    EXPECT_NE(cause->window.find("ConfigPanel"), std::string::npos);
    ExpectColor(ImVec4(1, 0, 0, 1), cause->color, "cause");
    auto button = h.FindText("INICIAR", true);
    ASSERT_TRUE(button.has_value());
    EXPECT_GT(cause->min.y, button->max.y) << "the cause sits under the controls";

    transport->fake.onSend = nullptr;
    ASSERT_NE(0u, engine().Start(request));
    ASSERT_TRUE(FramesUntil([&] { return Snap()->Running(); }));
    h.Frame();
    EXPECT_FALSE(h.HasText("O envio de sondas parou"));
    EXPECT_TRUE(h.HasText("PARAR", true));
}

// Count of vertices of one colour inside a rectangle of the last frame: the lines and marks
// of the history charts (no glyph is drawn in those colours).
int ShapeVerticesIn(ImU32 color, float minX, float maxX, float minY, float maxY) {
    ImDrawData* data = ImGui::GetDrawData();
    int n = 0;
    for (int l = 0; data && l < data->CmdListsCount; ++l) {
        const ImVector<ImDrawVert>& v = data->CmdLists[l]->VtxBuffer;
        for (int i = 0; i < v.Size; ++i)
            if (v[i].col == color && v[i].pos.x >= minX &&
                v[i].pos.x <= maxX && v[i].pos.y >= minY && v[i].pos.y <= maxY)
                ++n;
    }
    return n;
}

// Hop 1 always answers; hop 2 is two routers taking turns, and every other probe of it comes
// back too late (lost). The "Historico" column draws a line on both rows and red loss marks
// only on hop 2's; hovering hop 2 shows its responders and the large chart with its figures.
TEST_F(MtrTabFrame, HistoryColumnAndHoverChartWithResponders) {
    std::atomic<int> hop2{0};
    mtrtest::FakeProbeTransport& fake = transport->fake;
    fake.onSend = [&](int32_t ttl, int32_t seq, int32_t, int64_t sentAt) {
        int64_t at = sentAt + 50'000;
        std::string from = ttl == 3 ? kTarget : "10.0.0.1";
        if (ttl == 2) {
            const int n = hop2++;
            from = n % 2 ? "10.0.2.2" : "10.0.2.1";
            if (n % 4 == 3) at += kMtrExpiryTicks;  // past the expiry age: lost
        }
        fake.Reply(probetest::ReplyFor(fake.Identity(), seq, from, at, ttl == 3 ? 3 : 11));
    };
    MtrStartRequest request;
    request.host = kTarget;
    request.probeSpacingMs = 0;
    request.cyclePauseMs = 5;
    ASSERT_NE(0u, engine().Start(request));
    ASSERT_TRUE(FramesUntil([&] { return hop2.load() >= 40; }));
    StopRun();
    h.Frame();
    const std::string headers = h.AllText("MtrTable");
    EXPECT_NE(headers.find("  MOS  "), std::string::npos) << headers;
    EXPECT_NE(headers.find(kMtrHistoryHeader), std::string::npos) << headers;

    const HopStats two = Hops().at(2);
    ASSERT_EQ(two.responders.size(), 2u);
    EXPECT_EQ(two.lost, two.sent / 4);
    const auto row1 = RowTexts(1);
    const auto row2 = RowTexts(2);
    ASSERT_EQ(row2.size(), static_cast<size_t>(kMtrTableColumns)) << h.AllText("MtrTable");
    EXPECT_EQ(row2[1], "10.0.2.1 +1");
    EXPECT_NE(row2[11], "-");

    ImGuiTable* table = ImGui::TableFindByID(h.ItemId("ResultsPanel", {"MtrTable"}));
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->ColumnsCount, kMtrTableColumns + 1);
    const ImGuiTableColumn& history = table->Columns[kMtrTableColumns];
    // Each row's band reaches halfway to its neighbours: the chart's strokes span the cell's
    // full height, a little beyond the glyphs.
    auto middle = [&](int ttl) { return h.FindText(RowTexts(ttl).at(1))->Center().y; };
    const float pitch = middle(2) - middle(1);
    ASSERT_GT(pitch, 0.0f);
    const float top1 = middle(1) - pitch / 2, bottom1 = middle(1) + pitch / 2;
    const float top2 = middle(2) - pitch / 2, bottom2 = middle(2) + pitch / 2;
    const ImU32 line = IM_COL32(90, 200, 255, 255);
    const ImU32 loss = IM_COL32(255, 40, 40, 255);
    EXPECT_GT(ShapeVerticesIn(line, history.MinX, history.MaxX, top1, bottom1), 0) << "hop 1 line";
    EXPECT_EQ(ShapeVerticesIn(loss, history.MinX, history.MaxX, top1, bottom1), 0) << "hop 1 lost nothing";
    EXPECT_GT(ShapeVerticesIn(line, history.MinX, history.MaxX, top2, bottom2), 0) << "hop 2 line";
    // One stroke per lost probe that has a pixel column of its own (the cell is wide enough).
    EXPECT_GE(ShapeVerticesIn(loss, history.MinX, history.MaxX, top2, bottom2), 4 * two.lost) << "hop 2 losses";
    (void)row1;

    // Hovering the row (over its history cell) opens the tooltip.
    EXPECT_FALSE(h.HasText("Salto 2", true));
    h.MoveMouse((history.MinX + history.MaxX) / 2.0f, (top2 + bottom2) / 2.0f);
    h.Frame();
    EXPECT_TRUE(h.HasText("Salto 2", true)) << h.AllText();
    EXPECT_TRUE(h.HasText("10.0.2.1: " + std::to_string(two.responders[0].received) + " rec"));
    EXPECT_TRUE(h.HasText("10.0.2.2: " + std::to_string(two.responders[1].received) + " rec"));
    const MtrHistorySummary sum = MtrHistorySummaryOf(two.history);
    char figures[128];
    std::snprintf(figures, sizeof figures, "Ultimas %d sondas: min %.1f ms, med %.1f ms, max %.1f ms, %d perdidas",
                  static_cast<int>(two.history.Count()), sum.minMs, sum.avgMs, sum.maxMs, sum.lost);
    EXPECT_TRUE(h.HasText(figures)) << figures << "\n" << h.AllText();
    EXPECT_EQ(sum.lost, two.lost);
}

// "Nomes" turns the names on in the engine; rows show "name (address)" as lookups finish,
// and an address without a name stays as it was.
TEST_F(MtrTabFrame, NamesCheckboxShowsNamesAsTheyArrive) {
    *nameLookup = [](const std::string& a) -> std::optional<std::string> {
        if (a == "10.0.0.1") return "r1.example";
        return std::nullopt;
    };
    net.lastRouter = 2;
    net.targetTtl = 3;
    StartFakeRun(60000);
    ASSERT_TRUE(FramesUntil([&] { return RowTexts(2).size() == kMtrTableColumns; }));
    EXPECT_EQ(RowTexts(1).at(1), "10.0.0.1");
    ASSERT_TRUE(h.ClickText("Nomes", true));
    EXPECT_TRUE(app().Mtr().Names());
    EXPECT_TRUE(app().MtrEngine().NamesEnabled());
    ASSERT_TRUE(FramesUntil([&] { return RowTexts(1).size() == kMtrTableColumns && RowTexts(1)[1] == "r1.example (10.0.0.1)"; }))
        << h.AllText("MtrTable");
    EXPECT_EQ(RowTexts(2).at(1), "10.0.0.2");
    ASSERT_TRUE(h.ClickText("Nomes", true));
    EXPECT_FALSE(engine().NamesEnabled());
    EXPECT_TRUE(FramesUntil([&] { return RowTexts(1).size() == kMtrTableColumns && RowTexts(1)[1] == "10.0.0.1"; }))
        << h.AllText("MtrTable");
}

// "RELATORIO" writes the text and CSV reports into the MTR folder and says where.
TEST_F(MtrTabFrame, ReportButtonWritesBothFilesAndSaysWhere) {
    const std::string dir = testsupport::MakeTempDir("mtrtabreport");
    SetExecutableDirectoryForTesting(dir);
    net.lastRouter = 1;
    net.targetTtl = 2;
    StartFakeRun(60000);
    ASSERT_TRUE(FramesUntil([&] { return RowTexts(2).size() == kMtrTableColumns; }));
    ASSERT_TRUE(h.ClickText("RELATORIO", true));
    h.Frame();
    const std::string message = app().Mtr().ReportMessage();
    ASSERT_EQ(message.rfind("Relatorio salvo em ", 0), 0u) << message;
    EXPECT_TRUE(h.HasText("Relatorio salvo em")) << h.AllText("ConfigPanel");
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(MtrLogDirectory())) names.push_back(e.path().filename().string());
    ASSERT_EQ(names.size(), 2u);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names[0].size(), std::string("ddmmyyyy_hhmmss_relatorio.csv").size());
    EXPECT_NE(names[0].find("_relatorio.csv"), std::string::npos);
    EXPECT_NE(names[1].find("_relatorio.txt"), std::string::npos);
    EXPECT_NE(message.find(names[0]), std::string::npos);
    EXPECT_NE(message.find(names[1]), std::string::npos);
    const std::string text = testsupport::ReadFile(MtrLogDirectory() + "/" + names[1]);
    EXPECT_NE(text.find("Alvo: " + std::string(kTarget)), std::string::npos) << text;
    EXPECT_NE(text.find("10.0.0.1: 1 rec"), std::string::npos) << text;
    SetExecutableDirectoryForTesting("");
    fs::remove_all(dir);
}

// A trace asked for by another tab: the shell brings the MTR tab forward with that target
// and starts it (here on a device that does not exist, so the start fails as INICIAR's would).
TEST_F(MtrTabFrame, TraceRequestBringsTheTabForwardAndStarts) {
    app().Shared().capture.devices = {{"oc-no-such-dev0", "Placa Inexistente"}};
    ASSERT_TRUE(h.SelectTab("Flow"));
    app().Shared().mtrTrace.Ask("127.0.0.1");
    h.RunFrames(2);
    EXPECT_EQ(h.SelectedTab("MTR"), "MTR");
    EXPECT_EQ(app().Mtr().Target(), "127.0.0.1");
    ASSERT_TRUE(FramesUntil([&] { return Snap()->status.startHost == "127.0.0.1"; }));
    ASSERT_TRUE(FramesUntil([&] { return h.HasText("Falha ao Iniciar"); }));
    EXPECT_FALSE(app().Shared().mtrTrace.Take().has_value()) << "taken once";
}

// "DSCP" and "Fluxo fixo" go with the next start. The DSCP column shows what each hop saw,
// yellow on the first hop that saw another marking than the one sent, and the "Eventos"
// panel lists what changed: here hop 2 answers from another router after a few cycles.
TEST_F(MtrTabFrame, DscpChoiceFixedFlowDscpColumnAndEventsPanel) {
    mtrtest::FakeProbeTransport& fake = transport->fake;
    ProbeTransportOpen opened;
    fake.onOpen = [&](const ProbeTransportOpen& what) { opened = what; };
    std::atomic<int> hop2{0};
    fake.onSend = [&](int32_t ttl, int32_t seq, int32_t, int64_t sentAt) {
        std::string from = ttl == 3 ? kTarget : "10.0.0." + std::to_string(ttl);
        if (ttl == 2 && hop2++ >= 2) from = "10.0.9.2";
        SniffResult r = probetest::ReplyFor(fake.Identity(), seq, from, sentAt + 50'000, ttl == 3 ? 3 : 11);
        r.probeDscp = ttl == 1 ? 46 : 0;
        fake.Reply(r);
    };
    h.Activate(h.ItemId("ConfigPanel", {"DSCP##dscp"}));
    h.Frame();
    ASSERT_TRUE(h.ClickText("EF 46", true)) << h.AllText();
    ASSERT_TRUE(h.ClickText("Fluxo fixo", true));
    EXPECT_EQ(app().Mtr().Dscp(), 46);
    EXPECT_TRUE(app().Mtr().FixedFlow());
    app().Mtr().SetTarget(kTarget);
    ASSERT_TRUE(h.ClickText("INICIAR", true));
    // The tab's own pacing: a cycle a little over a second.
    ASSERT_TRUE(FramesUntil([&] { return !Snap()->events->empty(); }, 15000ms)) << hop2.load();
    StopRun();
    h.Frame();
    EXPECT_EQ(opened.dscp, 46);
    EXPECT_TRUE(opened.fixedFlow);

    ASSERT_TRUE(h.HasText("DSCP"));
    const std::vector<Cell> one = Row(1), two = Row(2);
    ASSERT_EQ(one.size(), static_cast<size_t>(kMtrTableColumns)) << h.AllText("MtrTable");
    ASSERT_EQ(two.size(), static_cast<size_t>(kMtrTableColumns));
    EXPECT_EQ(one[kMtrDscpColumn].text, "46");
    EXPECT_EQ(two[kMtrDscpColumn].text, "0");
    EXPECT_EQ(RowTexts(3).at(kMtrDscpColumn), "0");
    ExpectColor(kMtrYellow, two[kMtrDscpColumn].color, "the hop where EF was lost");
    EXPECT_FALSE(one[kMtrDscpColumn].color.x == kMtrYellow.x && one[kMtrDscpColumn].color.z == kMtrYellow.z)
        << "hop 1 saw what was sent";

    EXPECT_TRUE(h.HasText("Eventos", true));
    for (const char* header : kMtrEventHeaders) EXPECT_TRUE(h.HasText(header)) << header;
    const std::string events = h.AllText("EventTable");
    EXPECT_NE(events.find(MtrEventKindLabel(MtrEventKind::Responder)), std::string::npos) << events;
    EXPECT_NE(events.find("10.0.0.2 -> 10.0.9.2"), std::string::npos) << events;
}
