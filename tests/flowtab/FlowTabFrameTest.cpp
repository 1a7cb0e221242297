// The Flow tab drawn by the real App frame in the headless harness, fed with captures.
#include <gtest/gtest.h>
#include <imgui_internal.h>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "capture/HandMadePacket.h"
#include "app/App.h"
#include "flow/view/FlowTabLayout.h"
#include "harness/FrameHarness.h"
#include "lib/TestSupport.h"
#include "logs/LogPaths.h"
#include "platform/FileDialog.h"
#include "FlowTabTestUtil.h"
#include "ui/DiagnosisTexts.h"

using namespace flowtab_test;
namespace fs = std::filesystem;

namespace {

// A network namespace of this test process's own, made before the App exists (as root): the
// engine opens its capture on a thread of its own, which lives in the namespace of the thread
// that made it, so the namespace has to come first.
struct PrivateNetworkFirst {
    PrivateNetworkFirst() {
        if (::geteuid() != 0) {
            netWhy = "a live capture in a private network namespace needs root";
        } else if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) {
            netWhy = "no private network namespace";
        } else {
            privateNet = true;
        }
    }
    bool privateNet = false;
    std::string netWhy;
};

class FlowTabFrame : protected PrivateNetworkFirst, public ::testing::Test {
protected:
    // The default window width: the control row must wrap rather than cut controls off.
    explicit FlowTabFrame(float height = 800.0f) : h(1280.0f, height) {}
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("flowtab-frame-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
        SetExecutableDirectoryForTesting(root.string());
        h.Unlock();
        h.Frame();  // new tab items are laid out one frame before they can be clicked
        ASSERT_TRUE(h.SelectTab("Flow")) << h.AllText();
    }
    void TearDown() override {
        SetExecutableDirectoryForTesting("");
        fs::remove_all(root);
    }
    App& app() { return h.app(); }
    FlowCore& core() { return app().FlowEngine(); }
    FlowTab& tab() { return app().Flow(); }
    void Capture(const std::vector<PacketLogEntry>& packets) {
        for (const PacketLogEntry& p : packets) core().OnPacket(p);
    }
    // The engine works on its own threads: wait until it has done every command sent so far,
    // analysed every packet and finished an import, and has published that; then draw it.
    void Drain() {
        ASSERT_TRUE(core().Settle()) << "the engine did not settle";
        ASSERT_TRUE(core().WaitSnapshot([](const FlowSnapshot& s) { return s.state != FlowRunState::Offline; },
                                        std::chrono::seconds(30)))
            << "the import never ended";
        ASSERT_TRUE(core().Settle());
        h.Frame();
    }
    // A live capture that nothing else on this machine can feed: the loopback device of a
    // network namespace of this test process's own. False (with the reason) without root.
    // `device` other than "lo" is one end of a veth pair made in that namespace.
    bool StartPrivateCapture(std::string& why, const std::string& device = "lo") {
        if (!privateNet) {
            why = netWhy;
            return false;
        }
        if (device != "lo" && std::system(("ip link add " + device + " type veth peer name " + device + "p && ip link set " + device +
                                                    " up && ip link set " + device + "p up").c_str()) != 0) {
            why = "no veth pair in the private namespace";
            return false;
        }
        app().Shared().capture.devices = {{device, device}};
        h.Frame();
        tab().StartMonitoring();
        Drain();
        if (!tab().Monitoring()) {
            why = "capture on the private loopback failed: " + tab().StatusLine();
            return false;
        }
        return true;
    }
    // Replaces what a text field holds, as a user would: focus, select all, type.
    void TypeInto(ImGuiID field, const std::string& text) {
        h.Activate(field);
        h.PressKey(platform::keys::A, harness::kLeftCtrl);
        h.PressKey(platform::keys::Backspace);
        h.TypeText(text);
        h.PressKey(platform::keys::Enter);
    }
    ImGuiID ImportPathField() { return h.ItemId("FlowList", {"##flowImportPath"}); }
    ImGuiID RawFilterField() { return h.ItemId("Raw Packet Debug (FlowCore)", {"Filter"}); }
    size_t CountLines(const std::string& window, const std::string& prefix) const {
        size_t n = 0;
        for (const auto& run : h.Texts())
            if (run.window.find(window) != std::string::npos && run.text.rfind(prefix, 0) == 0) ++n;
        return n;
    }

    harness::FrameHarness h;
    fs::path root;
};

class FlowTabFrameTall : public FlowTabFrame {
protected:
    FlowTabFrameTall() : FlowTabFrame(1400.0f) {}
};

}  // namespace

TEST_F(FlowTabFrame, PacketsAreAnalysedWhileAnotherTabIsShown) {
    std::vector<PacketLogEntry> packets = ReadCapture("10_batch_20_calls.pcap");
    const auto more = ReadCapture("05_call_digest_auth.pcap");
    packets.insert(packets.end(), more.begin(), more.end());
    packets.insert(packets.end(), more.begin(), more.end());
    ASSERT_GE(packets.size(), 1200u);
    packets.resize(1200);
    // The Flow tab is not drawn while the packets arrive, and no frame runs at all: the
    // analysis does not wait for the tab, nor is it cut into per-frame batches.
    ASSERT_TRUE(h.SelectTab("MTR"));
    Capture(packets);
    core().WaitAnalysed();
    EXPECT_EQ(core().Counters().analysed, 1200u);
    EXPECT_EQ(core().Tracker().Counters().calls, 21u);
    ASSERT_TRUE(core().Settle());
    ASSERT_TRUE(h.SelectTab("Flow"));
    h.Frame();
    EXPECT_TRUE(h.HasText("| Total Pkts: 1200 | Chamadas: 21 | Registers: 0", true)) << h.AllText("FlowList");
}

TEST_F(FlowTabFrame, BufferTrimDoesNotTouchTheAnalysis) {
    const PacketLogEntry filler = MakePacket("10:00:00.000", "10.9.9.9:7000", "10.9.9.8:7000", "xxxx");
    for (int i = 0; i < 50000; ++i) {
        core().OnPacket(filler);
        if (i % 10000 == 0) core().WaitAnalysed();
    }
    // The 50,001st packet drops the oldest 1,000 from the buffer; it is analysed all the same.
    core().OnPacket(MakePacket("10:00:01.000", "10.0.0.1:5060", "10.0.0.2:5060",
                                       SipRequest("OPTIONS", "after-trim", "<sip:1@a>", "<sip:2@b>", "OPTIONS")));
    Drain();
    EXPECT_EQ(core().EndPosition() - core().FirstPosition(), 49001u);
    EXPECT_EQ(core().Counters().analysed, 50001u);
    EXPECT_TRUE(h.HasText("| Total Pkts: 49001 | Chamadas: 0 | Registers: 0")) << h.AllText("FlowList");
    EXPECT_TRUE(h.HasText("after-trim"));
}

TEST_F(FlowTabFrame, CaptureThatEndsByItselfReturnsToStartWithTheCauseInRed) {
    std::string why;
    if (!StartPrivateCapture(why, "oc-gone0")) GTEST_SKIP() << why;
    Capture(ReadCapture("01_basic_call_caller_bye.pcap"));
    Drain();
    EXPECT_TRUE(h.HasText("PARAR MONITORAMENTO", true));
    // The interface disappears under the running capture.
    ASSERT_EQ(std::system("ip link del oc-gone0"), 0);
    testsupport::WaitFor([&] { h.Frame(); return !tab().Monitoring(); }, std::chrono::seconds(10));
    h.Frame();
    EXPECT_FALSE(tab().Monitoring());
    EXPECT_TRUE(h.HasText("INICIAR MONITORAMENTO", true)) << h.AllText("FlowList");
    const auto cause = h.FindText("Captura interrompida: ");
    ASSERT_TRUE(cause) << h.AllText("FlowList");
    EXPECT_EQ(cause->color.x, 1.0f);
    EXPECT_EQ(cause->color.y, 0.0f);
    EXPECT_EQ(cause->color.z, 0.0f);
    const auto start = h.FindText("INICIAR MONITORAMENTO", true);
    ASSERT_TRUE(start);
    EXPECT_GT(cause->min.y, start->min.y) << "the cause stands under the controls";
    // What was analysed before the interface went stays listed.
    EXPECT_TRUE(h.HasText("1-21527@192.168.1.50"));
}

TEST_F(FlowTabFrame, LimparDuringCaptureEmptiesAndRefills) {
    // The list must clear under a running capture.
    std::string why;
    if (!StartPrivateCapture(why)) GTEST_SKIP() << why;
    Capture(ReadCapture("01_basic_call_caller_bye.pcap"));
    Drain();
    EXPECT_TRUE(h.HasText("PARAR MONITORAMENTO"));
    EXPECT_TRUE(h.HasText("1-21527@192.168.1.50"));
    EXPECT_TRUE(h.HasText("| Total Pkts: 211 | Chamadas: 1 | Registers: 0"));

    ASSERT_TRUE(h.ClickText("Limpar", true));
    Drain();  // the clicked frame still shows the counts taken before the click
    EXPECT_TRUE(h.HasText("| Total Pkts: 0 | Chamadas: 0 | Registers: 0")) << h.AllText("FlowList");
    EXPECT_FALSE(h.HasText("1-21527@192.168.1.50"));
    EXPECT_TRUE(tab().Monitoring());

    Capture(ReadCapture("06a_register_401_200.pcap"));
    Drain();
    EXPECT_TRUE(h.HasText("| Total Pkts: 6 | Chamadas: 0 | Registers: 1")) << h.AllText("FlowList");
    EXPECT_TRUE(h.HasText("1-22282@192.168.1.50"));
    EXPECT_FALSE(h.HasText("1-21527@192.168.1.50"));

    // The import is disabled while monitoring.
    h.ClickText("Importar PCAP", true);
    EXPECT_FALSE(tab().ImportPanelOpen());
    tab().StopMonitoring();
}

// Cell colours are checked on the pure colour functions; the harness reads one text run per
// table row, so here the row contents are checked.
// The tab's only contact with the engine is a snapshot read and a request posted: with every
// engine lock held (as by a worker deep in a batch of 50,000 packets), frames are drawn and
// every button answers. The locks are let go when the frames are done, or after a long time
// when a frame got stuck behind them, which the test tells apart.
TEST_F(FlowTabFrame, FramesAndClicksNeverWaitOnAnEngineLock) {
    Capture(ReadCapture("01_basic_call_caller_bye.pcap"));
    Drain();
    ASSERT_TRUE(h.HasText(std::string("1-21527@192.168.1.50")));
    app().Shared().capture.devices = {{"flowtab-no-such-dev0", "Dispositivo inexistente"}};
    h.Frame();
    std::mutex m;
    std::condition_variable cv;
    bool framesDone = false;
    std::atomic<bool> releasedByTimeOut{false};
    auto frozen = std::make_unique<FlowCore::FrozenForTesting>(core());
    std::thread holder([&] {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(60), [&] { return framesDone; })) releasedByTimeOut = true;
        frozen.reset();
    });
    for (const char* button : {"Limpar", "Exportar CSV", "Exportar PCAP", "Exportar Qualidade"})
        EXPECT_TRUE(h.ClickText(button, true)) << button;
    EXPECT_TRUE(h.HasText("Exportando qualidade...")) << h.AllText("FlowList");
    ASSERT_TRUE(h.ClickText("INICIAR MONITORAMENTO", true));
    h.RunFrames(5);
    EXPECT_TRUE(h.HasText("1-21527@192.168.1.50")) << "the last snapshot is drawn meanwhile";
    {
        std::lock_guard<std::mutex> lock(m);
        framesDone = true;
    }
    cv.notify_all();
    holder.join();
    EXPECT_FALSE(releasedByTimeOut.load()) << "a frame waited for the engine";

    // Once the engine can work again, what was asked is done in order.
    Drain();
    Drain();
    EXPECT_FALSE(tab().Monitoring()) << "the start on a missing device failed";
    EXPECT_TRUE(h.HasText("INICIAR MONITORAMENTO", true));
    // The last export's answer: the clear came first.
    EXPECT_EQ(tab().StatusLine(), "Nada exportado: nenhum fluxo RTP analisado.");
    EXPECT_FALSE(h.HasText("1-21527@192.168.1.50"));
    EXPECT_TRUE(h.HasText("| Total Pkts: 0 | Chamadas: 0 | Registers: 0")) << h.AllText("FlowList");
    EXPECT_FALSE(fs::exists(FlowLogDirectory())) << "the exports ran after the clear: nothing to write";
}

TEST_F(FlowTabFrame, TableRowsShowMethodPartiesStatusAndOrigin) {
    Capture(ReadCapture("04_call_busy_486.pcap"));
    core().OnPacket(
        MakePacket("23:59:59.000", "10.0.0.2:5060", "10.0.0.1:5060", SipResponse("200 OK", "resp-first", "OPTIONS")));
    Drain();
    const auto busy = h.FindText("1-21802@10.0.20.15");
    ASSERT_TRUE(busy) << h.AllText("FlowList");
    EXPECT_NE(busy->text.find(" INVITE "), std::string::npos) << busy->text;
    EXPECT_NE(busy->text.find("3005 (10.0.20.15)"), std::string::npos) << busy->text;
    EXPECT_NE(busy->text.find("4010 (10.0.20.30)"), std::string::npos) << busy->text;
    EXPECT_NE(busy->text.find(" 4 "), std::string::npos) << busy->text;
    EXPECT_NE(busy->text.find("Desligada"), std::string::npos) << busy->text;
    EXPECT_NE(busy->text.find("Softphone/PC"), std::string::npos) << busy->text;
    // A record whose first message is a response shows the reason phrase as its method,
    // and being no call it has no hang-up origin.
    const auto resp = h.FindText("resp-first");
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->text.rfind("23:59:59.000 OK ", 0), 0u) << resp->text;
    EXPECT_NE(resp->text.find("Sucesso"), std::string::npos) << resp->text;
    EXPECT_EQ(resp->text.find("Softphone/PC"), std::string::npos) << resp->text;
    // Oldest first.
    EXPECT_LT(busy->min.y, resp->min.y);
}

TEST_F(FlowTabFrame, HeaderClicksSortByThatColumnAndTheThirdGoesBackToCaptureOrder) {
    // Message counts that, sorted either way, give an order other than the capture order.
    Capture(ReadCapture("04_call_busy_486.pcap"));
    Capture(ReadCapture("01_basic_call_caller_bye.pcap"));
    Capture(ReadCapture("06a_register_401_200.pcap"));
    Capture(ReadCapture("05_call_digest_auth.pcap"));
    Drain();
    const std::vector<SipCallRow> rows = core().Tracker().GetCallRows();
    ASSERT_EQ(rows.size(), 4u);
    // Call-IDs from top to bottom as drawn.
    auto drawnOrder = [&] {
        std::vector<std::pair<float, std::string>> seen;
        for (const SipCallRow& r : rows)
            if (const auto run = h.FindText(r.callId)) seen.emplace_back(run->min.y, r.callId);
        std::sort(seen.begin(), seen.end());
        std::vector<std::string> ids;
        for (const auto& [y, id] : seen) ids.push_back(id);
        return ids;
    };
    std::vector<std::string> capture;
    for (const SipCallRow& r : rows) capture.push_back(r.callId);
    // Rows with equal counts keep their capture order, in both directions.
    auto byCount = [&](bool descending) {
        std::vector<SipCallRow> sorted = rows;
        std::stable_sort(sorted.begin(), sorted.end(), [descending](const SipCallRow& a, const SipCallRow& b) {
            return descending ? b.messageCount < a.messageCount : a.messageCount < b.messageCount;
        });
        std::vector<std::string> ids;
        for (const SipCallRow& r : sorted) ids.push_back(r.callId);
        return ids;
    };
    const std::vector<std::string> ascending = byCount(false), descending = byCount(true);
    ASSERT_NE(ascending, capture);
    ASSERT_NE(descending, capture);

    // Header cells share one line of text: click the middle of the column's header.
    auto clickHeader = [&](CallColumn column) {
        ImGuiTable* table = ImGui::TableFindByID(h.ItemId("FlowList", {"FlowTable"}));
        ASSERT_TRUE(table);
        const ImGuiTableColumn& c = table->Columns[static_cast<int>(column)];
        h.ClickAt((c.MinX + c.MaxX) * 0.5f, table->OuterRect.Min.y + ImGui::GetFrameHeight() * 0.5f);
        h.Frame();
    };
    EXPECT_EQ(drawnOrder(), capture);
    clickHeader(CallColumn::Messages);
    EXPECT_EQ(drawnOrder(), ascending);
    clickHeader(CallColumn::Messages);
    EXPECT_EQ(drawnOrder(), descending);
    clickHeader(CallColumn::Messages);
    EXPECT_EQ(drawnOrder(), capture);
    // Text columns sort as text.
    clickHeader(CallColumn::CallId);
    std::vector<std::string> byId = capture;
    std::sort(byId.begin(), byId.end());
    EXPECT_EQ(drawnOrder(), byId);
}

TEST_F(FlowTabFrame, RowClickOpensTheLadderWithNoMessageSelected) {
    Capture(ReadCapture("01_basic_call_caller_bye.pcap"));
    Drain();
    // A message picked on an earlier visit to the ladder.
    ASSERT_TRUE(h.ClickText("1-21527@192.168.1.50"));
    Drain();  // the next snapshot carries the call's messages
    ASSERT_TRUE(h.ClickText(" 180 Ringing"));
    h.Frame();
    ASSERT_EQ(tab().SelectedMessageIndex(), 2);
    const auto leave = h.FindText("Voltar");
    ASSERT_TRUE(leave);
    h.ClickAt(leave->min.x + 10.0f, leave->Center().y);
    h.RunFrames(2);
    ASSERT_TRUE(tab().SelectedCallId().empty());

    ASSERT_TRUE(h.ClickText("1-21527@192.168.1.50"));
    Drain();  // the next snapshot carries the call's messages
    EXPECT_EQ(tab().SelectedCallId(), "1-21527@192.168.1.50");
    EXPECT_EQ(tab().SelectedMessageIndex(), -1);
    EXPECT_TRUE(h.HasText("Call-ID: 1-21527@192.168.1.50"));
    EXPECT_TRUE(h.HasText("CONTEUDO DA MENSAGEM:"));
    EXPECT_TRUE(h.HasText("Selecione uma mensagem no diagrama lateral..."));

    // Two endpoints, 300 px apart and centred in the diagram.
    const auto view = h.FindWindow("LadderView");
    ASSERT_TRUE(view);
    const auto a = h.FindText("192.168.1.50", true);
    const auto b = h.FindText("203.0.113.10", true);
    ASSERT_TRUE(a && b) << h.AllText("LadderView");
    const float x0 = view->pos.x + ImGui::GetStyle().WindowPadding.x;
    const float left = LadderLeftMargin(2, view->size.x);
    EXPECT_NEAR(a->min.x, x0 + left - 40.0f, 1.5f);
    EXPECT_NEAR(b->min.x - a->min.x, 300.0f, 1.5f);

    // Back to the list.
    const auto back = h.FindText("Voltar");  // one run with the "Call-ID: " text beside it
    ASSERT_TRUE(back);
    h.ClickAt(back->min.x + 10.0f, back->Center().y);
    h.Frame();
    h.Frame();
    EXPECT_TRUE(tab().SelectedCallId().empty());
    EXPECT_TRUE(h.HasText("Exportar CSV"));
}

TEST_F(FlowTabFrame, ClickingAnArrowShowsThatMessageAndLimparLeavesThePlaceholder) {
    Capture(ReadCapture("01_basic_call_caller_bye.pcap"));
    Drain();
    ASSERT_TRUE(h.ClickText("1-21527@192.168.1.50"));
    Drain();  // the next snapshot carries the call's messages
    // The label sits just above its arrow, inside the arrow's selection area.
    ASSERT_TRUE(h.ClickText(" 180 Ringing"));
    h.Frame();
    EXPECT_EQ(tab().SelectedMessageIndex(), 2);
    EXPECT_TRUE(h.HasText("SIP/2.0 180 Ringing"));
    EXPECT_FALSE(h.HasText("Selecione uma mensagem no diagrama lateral..."));
    // RTP flow entries are labelled with codec and count.
    EXPECT_TRUE(h.HasText("RTP (G711a/PT:8) - 100"));

    tab().Clear();  // what "Limpar" does
    Drain();
    EXPECT_TRUE(h.HasText("Call-ID: 1-21527@192.168.1.50"));
    EXPECT_TRUE(h.HasText("Selecione uma mensagem no diagrama lateral..."));
    EXPECT_EQ(h.AllText("LadderView"), "");
}

TEST_F(FlowTabFrameTall, RawWindowShowsFiftyOneNewestLinesAndFilters) {
    for (int i = 0; i < 10000; ++i) {
        const bool sip = i % 1000 == 7;
        PacketLogEntry p = MakePacket("10:00:00.000", "10.0.0.1:5060", "10.0.0.2:5060",
                                      sip ? SipRequest("INVITE", "raw-" + std::to_string(i), "<sip:1@a>", "<sip:2@b>",
                                                       "INVITE")
                                          : std::string(20, 'r'));
        p.info = "pkt#" + std::to_string(i);
        core().OnPacket(std::move(p));
    }
    ASSERT_TRUE(core().Settle());  // the worker buffers what OnPacket queues
    ASSERT_TRUE(h.ClickText("Debug Raw", true));
    ASSERT_TRUE(tab().RawWindowShown());
    h.Frame();  // the window asks for its page
    Drain();
    h.RunFrames(2);
    EXPECT_EQ(CountLines("Raw Packet Debug", "[10:00:00.000]"), 51u);
    EXPECT_TRUE(h.HasText("pkt#9999"));
    EXPECT_TRUE(h.HasText("pkt#9949"));
    EXPECT_FALSE(h.HasText("pkt#9948"));
    const auto newest = h.FindText("pkt#9999");
    const auto older = h.FindText("pkt#9998");
    ASSERT_TRUE(newest && older);
    EXPECT_LT(newest->min.y, older->min.y);

    TypeInto(RawFilterField(), "INVITE");
    Drain();
    h.RunFrames(2);
    EXPECT_EQ(CountLines("Raw Packet Debug", "[10:00:00.000]"), 10u);
    EXPECT_TRUE(h.HasText("pkt#9007"));
    EXPECT_TRUE(h.HasText("pkt#7"));
    TypeInto(RawFilterField(), "pkt#12");
    Drain();
    h.RunFrames(2);
    // pkt#12, pkt#120-129, pkt#1200-1299: 111 matches, 51 shown.
    EXPECT_EQ(CountLines("Raw Packet Debug", "[10:00:00.000]"), 51u);

    // The window's close button clears the check box.
    const auto raw = h.FindWindow("Raw Packet Debug (FlowCore)");
    ASSERT_TRUE(raw);
    const ImGuiStyle& style = ImGui::GetStyle();
    const float title = ImGui::GetFontSize() + style.FramePadding.y * 2.0f;
    h.ClickAt(raw->pos.x + raw->size.x - style.FramePadding.x - title * 0.5f, raw->pos.y + title * 0.5f);
    EXPECT_FALSE(tab().RawWindowShown());
    EXPECT_FALSE(h.HasText("pkt#9999"));
    ASSERT_TRUE(h.ClickText("Debug Raw", true));
    Drain();  // the window opens with the engine's first page
    h.RunFrames(2);

    // Hovering a line shows the payload.
    TypeInto(RawFilterField(), "INVITE");
    h.MoveMouse(0.0f, 0.0f);
    Drain();
    h.RunFrames(2);
    const auto line = h.FindText("pkt#9007");
    ASSERT_TRUE(line);
    h.MoveMouse(line->Center().x, line->Center().y);
    h.Frame();
    EXPECT_TRUE(h.HasText("Call-ID: raw-9007"));
}

TEST_F(FlowTabFrame, StartClearsTheOldListAndStopKeepsWhatWasCaptured) {
    if (::geteuid() != 0) GTEST_SKIP() << "a live capture needs root";
    Capture(ReadCapture("04_call_busy_486.pcap"));
    Drain();
    ASSERT_TRUE(h.HasText("1-21802@10.0.20.15"));
    // A status line from before the start.
    ASSERT_TRUE(h.ClickText("Exportar CSV", true));
    Drain();
    ASSERT_TRUE(h.HasText("CSV exportado: "));
    app().Shared().capture.devices = {{"lo", "Loopback"}};
    h.Frame();  // the combo appears and moves the button
    ASSERT_TRUE(h.ClickText("INICIAR MONITORAMENTO", true));
    Drain();
    ASSERT_TRUE(tab().Monitoring()) << tab().StatusLine();
    EXPECT_TRUE(h.HasText("PARAR MONITORAMENTO", true));
    EXPECT_FALSE(h.HasText("1-21802@10.0.20.15"));
    EXPECT_FALSE(h.HasText("CSV exportado: "));
    // Exports and the import stay reachable; the import is disabled while capturing.
    EXPECT_TRUE(h.HasText("Importar PCAP", true));
    h.ClickText("Importar PCAP", true);
    EXPECT_FALSE(tab().ImportPanelOpen());

    core().OnPacket(MakePacket("12:00:00.000", "127.0.0.1:5060", "127.0.0.1:5060",
                                       SipRequest("OPTIONS", "during-capture", "<sip:1@a>", "<sip:2@b>", "OPTIONS")));
    Drain();
    ASSERT_TRUE(h.ClickText("PARAR MONITORAMENTO", true));
    Drain();
    EXPECT_FALSE(tab().Monitoring());
    EXPECT_FALSE(core().IsRunning());
    EXPECT_TRUE(h.HasText("INICIAR MONITORAMENTO", true));
    EXPECT_TRUE(h.HasText("during-capture"));
}

TEST_F(FlowTabFrame, FailedStartSaysWhyAndKeepsTheStartButton) {
    app().Shared().capture.devices = {{"flowtab-no-such-dev0", "Dispositivo inexistente"}};
    app().Shared().capture.selected = 0;
    h.Frame();
    EXPECT_TRUE(h.HasText("Dispositivo inexistente"));
    ASSERT_TRUE(h.ClickText("INICIAR MONITORAMENTO", true));
    Drain();
    EXPECT_FALSE(tab().Monitoring());
    EXPECT_TRUE(h.HasText("INICIAR MONITORAMENTO", true));
    const auto line = h.FindText("Falha ao iniciar o monitoramento: ");
    ASSERT_TRUE(line) << h.AllText("FlowList");
    EXPECT_GT(line->text.size(), std::strlen("Falha ao iniciar o monitoramento: "));
}

TEST_F(FlowTabFrame, ExportButtonsReportWhatTheyWrote) {
    ASSERT_TRUE(h.ClickText("Exportar CSV", true));
    Drain();
    EXPECT_TRUE(h.HasText("Nada exportado: a lista de chamadas esta vazia."));
    EXPECT_FALSE(fs::exists(FlowLogDirectory()));

    Capture(ReadCapture("03_call_cancelled.pcap"));
    Drain();
    ASSERT_TRUE(h.ClickText("Exportar CSV", true));
    Drain();
    const auto csv = h.FindText("CSV exportado: ");
    ASSERT_TRUE(csv) << h.AllText("FlowList");
    ASSERT_TRUE(h.ClickText("Exportar PCAP", true));
    Drain();
    const auto pcap = h.FindText("PCAP exportado: ");
    ASSERT_TRUE(pcap) << h.AllText("FlowList");
    size_t csvFiles = 0, pcapFiles = 0;
    for (const auto& e : fs::directory_iterator(FlowLogDirectory())) {
        csvFiles += e.path().extension() == ".csv";
        pcapFiles += e.path().extension() == ".pcap";
        EXPECT_NE((csv->text + pcap->text).find(e.path().filename().string()), std::string::npos);
    }
    EXPECT_EQ(csvFiles, 1u);
    EXPECT_EQ(pcapFiles, 1u);
}

TEST_F(FlowTabFrame, ImportPcapLoadsAFileFromTheFlowFolderAndIsDisabledWhileMonitoring) {
    fs::create_directories(FlowLogDirectory());
    fs::copy_file(std::string(OC_PCAP_DIR) + "/02_basic_call_callee_bye.pcap",
                  FlowLogDirectory() + "/02_basic_call_callee_bye.pcap");

    // (That the import is disabled while monitoring is checked with the capture running in
    // LimparDuringCaptureEmptiesAndRefills.)
    // A field the user emptied still holds old bytes behind its terminator.
    ASSERT_TRUE(h.ClickText("Importar PCAP", true));
    h.Frame();
    TypeInto(ImportPathField(), std::string(900, 'z'));
    TypeInto(ImportPathField(), "");
    ASSERT_TRUE(h.ClickText("Cancelar", true));
    h.Frame();
    ASSERT_FALSE(tab().ImportPanelOpen());
    ASSERT_TRUE(h.ClickText("Importar PCAP", true));
    h.Frame();
    EXPECT_EQ(tab().ImportPath(), FlowLogDirectory() + "/");
    ASSERT_TRUE(h.ClickText("02_basic_call_callee_bye.pcap"));
    EXPECT_EQ(tab().ImportPath(), FlowLogDirectory() + "/02_basic_call_callee_bye.pcap");
    ASSERT_TRUE(h.ClickText("Carregar", true));
    // The reader thread notices the end of the file on its own time; the tab reports the
    // import once that happened and every packet was taken in.
    for (int i = 0; i < 600 && !h.HasText("PCAP importado: "); ++i) {
        h.Frame();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Drain();
    EXPECT_TRUE(h.HasText("1-21660@192.168.1.50"));
    EXPECT_TRUE(h.HasText("| Total Pkts: 211 | Chamadas: 1 | Registers: 0")) << h.AllText("FlowList");
    EXPECT_TRUE(h.HasText("PCAP importado: " + FlowLogDirectory() + "/02_basic_call_callee_bye.pcap (211 pacotes)"))
        << h.AllText("FlowList");
    EXPECT_FALSE(core().IsRunning()) << "the finished import releases the capture object";
    EXPECT_FALSE(tab().ImportPanelOpen());

    // A file that cannot be read says so.
    ASSERT_TRUE(h.ClickText("Importar PCAP", true));
    h.Frame();
    TypeInto(ImportPathField(), "/nonexistent/flowtab.pcap");
    ASSERT_TRUE(h.ClickText("Carregar", true));
    Drain();
    EXPECT_TRUE(h.HasText("Falha ao importar /nonexistent/flowtab.pcap"));
}

// Files customers send: cut off, lying about lengths, of unknown link types or empty. Each
// import ends with the cause in red under the controls (wrapped, never cut off at the
// window's edge); the valid but odd ones import normally.
TEST_F(FlowTabFrame, ImportOfHostileCapturesShowsTheCauseInRed) {
    const fs::path dir = root / "h";
    const auto made = testsupport::RunCommand("python3 '" + std::string(OC_SOURCE_DIR) +
                                              "/tests/capture/hostile_captures.py' --write '" + dir.string() + "' '" +
                                              OC_PCAP_DIR + "'");
    ASSERT_EQ(made.exitCode, 0) << made.err;
    std::ifstream listing(dir / "cases.txt");
    std::string name;
    int readable = 0, broken = 0, valid = 0;
    while (listing >> name >> readable) {
        SCOPED_TRACE(name);
        const std::string path = (dir / (name + ".pcap")).string();
        if (!tab().ImportPanelOpen()) {
            ASSERT_TRUE(h.ClickText("Importar PCAP", true));
        }
        h.Frame();
        TypeInto(ImportPathField(), path);
        ASSERT_TRUE(h.ClickText("Carregar", true));
        Drain();
        ASSERT_FALSE(core().IsRunning()) << "the import of " << name << " never ended";
        h.RunFrames(2);
        const std::string status = tab().StatusLine();
        // Every line of the status drawn in the colour it was given, all of it on screen.
        std::string red, green;
        for (const auto& run : h.Texts()) {
            if (run.window.find("FlowList") == std::string::npos) continue;
            if (run.color.x == 1.0f && run.color.y == 0.0f && run.color.z == 0.0f) red += run.text;
            if (run.color.x < 0.5f && run.color.y == 1.0f) green += run.text;
        }
        auto squeeze = [](std::string t) {
            t.erase(std::remove(t.begin(), t.end(), ' '), t.end());
            return t;
        };
        if (readable) {
            ++valid;
            EXPECT_EQ(status.rfind("PCAP importado: " + path, 0), 0u) << status;
            EXPECT_EQ(squeeze(green), squeeze(status));
            EXPECT_TRUE(red.empty()) << red;
        } else {
            ++broken;
            const std::string prefix = "Falha ao importar " + path + ": ";
            ASSERT_EQ(status.rfind(prefix, 0), 0u) << status;
            // A cause, not only the file name.
            EXPECT_GT(status.size(), prefix.size() + 10) << status;
            EXPECT_EQ(squeeze(red), squeeze(status)) << "the cause is not wholly visible";
            EXPECT_TRUE(green.empty()) << green;
        }
        // The tab stays usable: the next import starts from a clean state.
        EXPECT_TRUE(h.HasText("INICIAR MONITORAMENTO", true));
    }
    EXPECT_EQ(broken, 10);
    EXPECT_EQ(valid, 5);
}

TEST_F(FlowTabFrame, DeviceComboSharesTheSelectionWithTheMtrTab) {
    app().Shared().capture.devices = {{"eth0", "Primeira placa"}, {"eth1", "Segunda placa"}};
    app().Shared().capture.selected = 1;
    h.Frame();
    EXPECT_TRUE(h.HasText("Segunda placa", true));
    app().Shared().capture.selected = 7;  // outside the list: back to the first device
    h.Frame();
    EXPECT_EQ(app().Shared().capture.selected, 0);
    EXPECT_TRUE(h.HasText("Primeira placa", true));
}

TEST_F(FlowTabFrame, CallQualityInTheTableTheArrowsAndTheStreamReport) {
    Capture(ReadCapture("01_basic_call_caller_bye.pcap"));
    Capture(ReadCapture("04_call_busy_486.pcap"));
    Drain();
    // Loss-free G.711 both ways: "MOS" is green-band 4.36 at the end of the row; a call
    // without RTP has an empty cell.
    const auto row = h.FindText("1-21527@192.168.1.50");
    ASSERT_TRUE(row) << h.AllText("FlowList");
    const size_t origin = row->text.find("Softphone/PC");
    ASSERT_NE(origin, std::string::npos) << row->text;
    EXPECT_NE(row->text.find("4.36", origin), std::string::npos) << row->text;
    const auto busy = h.FindText("1-21802@10.0.20.15");
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->text.find("4.36"), std::string::npos) << busy->text;

    ASSERT_TRUE(h.ClickText("1-21527@192.168.1.50"));
    Drain();  // the next snapshot carries the call's messages
    const auto arrow = h.FindText("RTP (G711a/PT:8) - 100 [");
    ASSERT_TRUE(arrow) << h.AllText("LadderView");
    EXPECT_NE(arrow->text.find("b] | perda 0.0% | jitter 0.0 ms"), std::string::npos) << arrow->text;
    ASSERT_TRUE(h.ClickText("| perda 0.0%"));
    h.Frame();
    const std::string panel = h.AllText("MsgDetails");
    EXPECT_NE(panel.find("MOS (estimado)"), std::string::npos) << panel;
    EXPECT_NE(panel.find("0x5A3C91E2"), std::string::npos) << panel;  // both directions
    EXPECT_NE(panel.find("0xDEE0EE8F"), std::string::npos) << panel;
    EXPECT_NE(panel.find("MOS (estimado) a cada 5 s:"), std::string::npos) << panel;  // the interval chart
    // The engine's verdicts: "OK" after the MOS of the clean call with its evidence in the
    // ladder's panel, "Recusada" for the busy one.
    const std::string diagnosis = h.AllText("Diagnostico");
    EXPECT_NE(diagnosis.find("DIAGNOSTICO:"), std::string::npos) << diagnosis;
    EXPECT_NE(row->text.find("OK", row->text.find("4.36")), std::string::npos) << row->text;
    EXPECT_NE(busy->text.find("Recusada"), std::string::npos) << busy->text;
    EXPECT_NE(diagnosis.find("200 OK as "), std::string::npos) << diagnosis;
    // "Exportar Chamada": written on the engine's export thread, the result in the status line.
    ASSERT_TRUE(h.ClickText("Exportar Chamada", true));
    ASSERT_TRUE(core().WaitSnapshot([](const FlowSnapshot& s) { return s.exportStatus.done; }, std::chrono::seconds(30)));
    h.Frame();
    const std::string status = app().Flow().StatusLine();
    ASSERT_EQ(status.rfind("Chamada exportada: ", 0), 0u) << status;
    const size_t txtEnd = status.find(".txt");
    ASSERT_NE(txtEnd, std::string::npos) << status;
    const std::string txt = status.substr(19, txtEnd + 4 - 19);
    EXPECT_TRUE(std::filesystem::exists(txt)) << txt;
    EXPECT_TRUE(std::filesystem::exists(txt.substr(0, txt.size() - 4) + ".pcap")) << status;
    EXPECT_NE(status.find("(207 pacotes)"), std::string::npos) << status;  // 7 SIP and 200 RTP; not the ARP frames
    std::filesystem::remove(txt);
    std::filesystem::remove(txt.substr(0, txt.size() - 4) + ".pcap");
}

namespace {

// The IPv6 call of the fixtures between two addresses of the full 39 characters, as a
// capture of such a call decodes: addresses replaced in the decoded endpoints and in the SIP
// and SDP texts, Content-Length following the longer body.
const std::string kLongCaller = "fd12:3456:789a:bcde:f012:3456:789a:bcde";
const std::string kLongCallee = "fdfe:dcba:9876:5432:10fe:dcba:9876:5432";

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
}

std::vector<PacketLogEntry> LongIpv6Call() {
    std::vector<PacketLogEntry> packets = ReadCapture("11_ipv6_call_caller_bye.pcap");
    for (PacketLogEntry& p : packets) {
        for (std::string* text : {&p.source, &p.destination, &p.info}) {
            ReplaceAll(*text, "fd00:10::50", kLongCaller);
            ReplaceAll(*text, "2001:db8:10::10", kLongCallee);
        }
        SetEndpointsFromText(p, p.source, p.destination, p.ipProtocol);
        const auto bytes = p.Payload();
        std::string payload(bytes.begin(), bytes.end());
        if (payload.find("SIP/2.0") == std::string::npos) continue;  // RTP stays as it is
        ReplaceAll(payload, "fd00:10::50", kLongCaller);
        ReplaceAll(payload, "2001:db8:10::10", kLongCallee);
        const size_t body = payload.find("\r\n\r\n");
        const size_t length = payload.find("Content-Length: ");
        if (body != std::string::npos && length != std::string::npos) {
            const size_t value = length + 16, end = payload.find("\r\n", value);
            payload.replace(value, end - value, std::to_string(payload.size() - (body + 4)));
        }
        p.rawData.resize(p.payloadOffset);  // the headers stay, the rewritten text follows them
        p.SetPayload(std::span(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
    }
    return packets;
}

}  // namespace

// Full-length IPv6 addresses: the call table cuts them at the column edge but shows the whole
// cell on hover (an IPv4 row that fits gets no tooltip), the ladder shows both lanes' addresses
// whole and apart, and the stream report, wider than its panel, scrolls sideways to its end.
TEST_F(FlowTabFrame, FullLengthIpv6AddressesAreShownWholeOrOnHover) {
    Capture(LongIpv6Call());
    Capture(ReadCapture("01_basic_call_caller_bye.pcap"));
    Drain();
    const std::string callId = "1-21566@" + kLongCaller;
    const std::string from = "sipp (" + kLongCaller + ")";
    const std::string to = "service (" + kLongCallee + ")";
    // Every tooltip seen while the mouse sweeps along a row.
    auto tooltipsAlong = [&](const std::string& rowText) {
        std::string seen;
        const auto row = h.FindText(rowText);
        if (!row) return seen;
        for (float x = row->min.x + 5.0f; x < row->max.x; x += 20.0f) {
            h.MoveMouse(x, row->Center().y);
            for (const auto& run : h.Texts())
                if (run.window.find("Tooltip") != std::string::npos) seen += run.text + "\n";
        }
        return seen;
    };
    const auto row = h.FindText(callId.substr(0, 20));
    ASSERT_TRUE(row) << h.AllText("FlowList");
    EXPECT_EQ(row->text.find(from), std::string::npos) << "the From column is wide enough now: " << row->text;
    const std::string tips = tooltipsAlong(callId.substr(0, 20));
    EXPECT_NE(tips.find(from), std::string::npos) << tips;
    EXPECT_NE(tips.find(to), std::string::npos) << tips;
    EXPECT_NE(tips.find(callId), std::string::npos) << tips;
    const std::string ipv4Tips = tooltipsAlong("1-21527@192.168.1.50");
    EXPECT_EQ(ipv4Tips.find("192.168.1.50"), std::string::npos) << ipv4Tips;
    h.MoveMouse(0.0f, 0.0f);

    ASSERT_TRUE(h.ClickText(callId.substr(0, 20)));
    Drain();
    ASSERT_EQ(tab().SelectedCallId(), callId);
    const auto view = h.FindWindow("LadderView");
    ASSERT_TRUE(view);
    const auto a = h.FindText(kLongCaller, true);
    const auto b = h.FindText(kLongCallee, true);
    ASSERT_TRUE(a && b) << h.AllText("LadderView");
    EXPECT_LE(a->max.x + kLadderCaptionGap, b->min.x + 0.5f);
    EXPECT_GE(a->min.x, view->pos.x);
    EXPECT_LE(b->max.x, view->pos.x + view->size.x);

    // An RTP arrow: its report names both directions' "[address]:port".
    ASSERT_TRUE(h.ClickText("| perda 0.0%"));
    h.Frame();
    const auto panel = h.FindWindow("MsgDetails");
    ASSERT_TRUE(panel);
    const std::string far = "[" + kLongCallee + "]:12000";
    const auto origin = h.FindText("Origem");
    ASSERT_TRUE(origin) << h.AllText("MsgDetails");
    EXPECT_EQ(origin->text.find(far), std::string::npos) << "the report fits the panel now: " << origin->text;
    const ImGuiWindow* panelWindow = ImGui::FindWindowByID(panel->id);
    ASSERT_TRUE(panelWindow);
    EXPECT_TRUE(panelWindow->ScrollbarX) << "no sideways scroll bar tells that the report goes on";
    h.MoveMouse(panel->pos.x + panel->size.x / 2.0f, panel->pos.y + panel->size.y / 2.0f);
    h.KeyDown(platform::keys::LeftShift);
    h.ScrollWheel(-40.0f);  // Shift + wheel: sideways
    h.KeyUp(platform::keys::LeftShift);
    h.Frame();
    const auto scrolled = h.FindText(far);
    ASSERT_TRUE(scrolled) << h.AllText("MsgDetails");
    EXPECT_LE(scrolled->max.x, panel->pos.x + panel->size.x);
}

namespace {

// Stands in for the desktop's dialog: records what the tab asked and answers when told.
struct DialogScript {
    int starts = 0;
    platform::OpenFileRequest last;
    bool open = false;
    bool refuse = false;  // as when the dialog program cannot be started
    std::optional<std::string> answer;
};
class ScriptedFileDialog : public platform::FileDialog {
public:
    explicit ScriptedFileDialog(std::shared_ptr<DialogScript> s) : s_(std::move(s)) {}
    bool StartOpen(const platform::OpenFileRequest& request) override {
        if (s_->refuse || s_->open) return false;
        ++s_->starts;
        s_->last = request;
        s_->open = true;
        return true;
    }
    bool IsOpen() const override { return s_->open; }
    std::optional<std::string> TakeResult() override {
        std::optional<std::string> r;
        r.swap(s_->answer);
        return r;
    }

private:
    std::shared_ptr<DialogScript> s_;
};

}  // namespace

TEST_F(FlowTabFrame, ImportPcapAsksTheFileDialogAndImportsItsChoice) {
    auto script = std::make_shared<DialogScript>();
    tab().SetFileDialog(std::make_unique<ScriptedFileDialog>(script));
    const auto waitMs = [&] { return app().Redraw().WaitMs(60'000, platform::RedrawRequest::Clock::now()); };

    ASSERT_TRUE(h.ClickText("Importar PCAP", true));
    h.Frame();
    ASSERT_EQ(script->starts, 1);
    EXPECT_EQ(script->last.folder, FlowLogDirectory());
    EXPECT_TRUE(fs::is_directory(FlowLogDirectory())) << "the dialog starts in the flow folder";
    EXPECT_EQ(script->last.extensions, (std::vector<std::string>{"pcap", "pcapng", "cap"}));
    EXPECT_FALSE(tab().ImportPanelOpen()) << "no typed path beside the system's dialog";
    EXPECT_TRUE(tab().FileDialogOpen());
    // While it is open the button waits, and the shell keeps polling for the answer.
    h.ClickText("Importar PCAP", true);
    h.RunFrames(App::kSettleFrames + 1);
    EXPECT_EQ(script->starts, 1);
    ASSERT_TRUE(app().Redraw().Pending());
    EXPECT_LE(waitMs(), 100);

    // Cancelled: nothing is imported, nothing is said.
    script->open = false;
    script->answer = "";
    h.RunFrames(3);
    EXPECT_FALSE(core().IsRunning());
    EXPECT_EQ(tab().StatusLine(), "");

    // Chosen: imported as from the typed path.
    ASSERT_TRUE(h.ClickText("Importar PCAP", true));
    h.Frame();
    ASSERT_EQ(script->starts, 2);
    const std::string pcap = std::string(OC_PCAP_DIR) + "/02_basic_call_callee_bye.pcap";
    script->open = false;
    script->answer = pcap;
    for (int i = 0; i < 600 && !h.HasText("PCAP importado: "); ++i) {
        h.Frame();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Drain();
    EXPECT_TRUE(h.HasText("PCAP importado: " + pcap + " (211 pacotes)")) << tab().StatusLine();
    EXPECT_TRUE(h.HasText("1-21660@192.168.1.50"));

    // A dialog that cannot be shown leaves the typed path.
    script->refuse = true;
    ASSERT_TRUE(h.ClickText("Importar PCAP", true));
    h.Frame();
    EXPECT_TRUE(tab().ImportPanelOpen());
    EXPECT_EQ(script->starts, 2);
}

TEST_F(FlowTabFrame, ADroppedCaptureIsImportedInTheFlowTabOnlyWhenUnlocked) {
    std::vector<std::string> drawn;
    app().SetTabDrawHook([&](const char* label) { drawn.emplace_back(label); });
    const std::string pcap = std::string(OC_PCAP_DIR) + "/02_basic_call_callee_bye.pcap";
    ASSERT_TRUE(h.SelectTab("Sobre"));
    app().Shared().locked = true;
    EXPECT_FALSE(app().OpenDroppedFile(pcap));
    h.RunFrames(2);
    EXPECT_FALSE(core().IsRunning()) << "a drop on the lock screen must not import";

    app().Shared().locked = false;
    ASSERT_TRUE(app().OpenDroppedFile(pcap));
    h.Frame();  // ImGui selects a tab asked for in one frame from the next one on
    drawn.clear();
    h.Frame();
    ASSERT_FALSE(drawn.empty());
    EXPECT_EQ(drawn.back(), "Flow") << "the Flow tab comes to the front";
    for (int i = 0; i < 600 && !h.HasText("PCAP importado: "); ++i) {
        h.Frame();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Drain();
    EXPECT_TRUE(h.HasText("PCAP importado: " + pcap + " (211 pacotes)")) << tab().StatusLine();

    // Something that is no capture says why under the controls.
    const std::string notPcap = std::string(OC_SOURCE_DIR) + "/README.md";
    EXPECT_TRUE(app().OpenDroppedFile(notPcap)) << "asked for; the engine answers why it failed";
    Drain();
    EXPECT_EQ(tab().StatusLine().rfind("Falha ao importar " + notPcap + ": ", 0), 0u) << tab().StatusLine();
    EXPECT_TRUE(tab().StatusIsError());
}
