// The Flow tab drawn by the real App frame in the headless harness, fed with captures.
#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/App.h"
#include "flow/FlowTabLayout.h"
#include "harness/FrameHarness.h"
#include "logs/LogPaths.h"
#include "FlowTabTestUtil.h"

using namespace flowtab_test;
namespace fs = std::filesystem;

namespace {

class FlowTabFrame : public ::testing::Test {
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
    void Capture(const std::vector<PacketLogEntry>& packets) {
        for (const PacketLogEntry& p : packets) app().flowCore.OnPacket(p);
    }
    // The engine's worker analyses on its own: wait for it, then draw what it holds.
    void Drain() {
        app().flowCore.WaitAnalysed();
        h.Frame();
    }
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
    app().flowCore.WaitAnalysed();
    EXPECT_EQ(app().flowCore.Counters().analysed, 1200u);
    EXPECT_EQ(app().flowCore.Tracker().Counters().calls, 21u);
    ASSERT_TRUE(h.SelectTab("Flow"));
    h.Frame();
    EXPECT_TRUE(h.HasText("| Total Pkts: 1200 | Chamadas: 21 | Registers: 0", true)) << h.AllText("FlowList");
}

TEST_F(FlowTabFrame, BufferTrimDoesNotTouchTheAnalysis) {
    const PacketLogEntry filler = MakePacket("10:00:00.000", "10.9.9.9:7000", "10.9.9.8:7000", "xxxx");
    for (int i = 0; i < 50000; ++i) {
        app().flowCore.OnPacket(filler);
        if (i % 10000 == 0) app().flowCore.WaitAnalysed();
    }
    // The 50,001st packet drops the oldest 1,000 from the buffer; it is analysed all the same.
    app().flowCore.OnPacket(MakePacket("10:00:01.000", "10.0.0.1:5060", "10.0.0.2:5060",
                                       SipRequest("OPTIONS", "after-trim", "<sip:1@a>", "<sip:2@b>", "OPTIONS")));
    Drain();
    EXPECT_EQ(app().flowCore.EndPosition() - app().flowCore.FirstPosition(), 49001u);
    EXPECT_EQ(app().flowCore.Counters().analysed, 50001u);
    EXPECT_TRUE(h.HasText("| Total Pkts: 49001 | Chamadas: 0 | Registers: 0")) << h.AllText("FlowList");
    EXPECT_TRUE(h.HasText("after-trim"));
}

TEST_F(FlowTabFrame, CaptureThatEndsByItselfReturnsToStartWithTheCauseInRed) {
    // A savefile cut in the middle of a record ends the capture loop with a read error, as
    // an interface that disappears does for a live capture.
    const std::string whole = std::string(OC_PCAP_DIR) + "/01_basic_call_caller_bye.pcap";
    const std::string cut = (root / "cut.pcap").string();
    fs::copy_file(whole, cut);
    fs::resize_file(cut, fs::file_size(whole) - 7);
    ASSERT_TRUE(app().flowCore.StartOffline(cut));
    app().flowMonitoring = true;  // as after "INICIAR MONITORAMENTO"
    for (int i = 0; i < 1000 && app().flowMonitoring; ++i) {
        h.Frame();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    h.Frame();
    EXPECT_FALSE(app().flowMonitoring);
    EXPECT_TRUE(h.HasText("INICIAR MONITORAMENTO", true)) << h.AllText("FlowList");
    const auto cause = h.FindText("Captura interrompida: ");
    ASSERT_TRUE(cause) << h.AllText("FlowList");
    EXPECT_EQ(cause->color.x, 1.0f);
    EXPECT_EQ(cause->color.y, 0.0f);
    EXPECT_EQ(cause->color.z, 0.0f);
    const auto start = h.FindText("INICIAR MONITORAMENTO", true);
    ASSERT_TRUE(start);
    EXPECT_GT(cause->min.y, start->min.y) << "the cause stands under the controls";
    // What was analysed before the error stays listed.
    EXPECT_TRUE(h.HasText("1-21527@192.168.1.50"));
}

TEST_F(FlowTabFrame, LimparDuringCaptureEmptiesAndRefills) {
    app().flowMonitoring = true;  // as after a start: the list must clear under a running capture
    Capture(ReadCapture("01_basic_call_caller_bye.pcap"));
    Drain();
    EXPECT_TRUE(h.HasText("PARAR MONITORAMENTO"));
    EXPECT_TRUE(h.HasText("1-21527@192.168.1.50"));
    EXPECT_TRUE(h.HasText("| Total Pkts: 211 | Chamadas: 1 | Registers: 0"));

    ASSERT_TRUE(h.ClickText("Limpar", true));
    h.Frame();  // the clicked frame still shows the counts taken before the click
    EXPECT_TRUE(h.HasText("| Total Pkts: 0 | Chamadas: 0 | Registers: 0")) << h.AllText("FlowList");
    EXPECT_FALSE(h.HasText("1-21527@192.168.1.50"));
    EXPECT_TRUE(app().flowMonitoring);

    Capture(ReadCapture("06a_register_401_200.pcap"));
    Drain();
    EXPECT_TRUE(h.HasText("| Total Pkts: 6 | Chamadas: 0 | Registers: 1")) << h.AllText("FlowList");
    EXPECT_TRUE(h.HasText("1-22282@192.168.1.50"));
    EXPECT_FALSE(h.HasText("1-21527@192.168.1.50"));
    app().flowMonitoring = false;
}

// Cell colours are checked on the pure colour functions; the harness reads one text run per
// table row, so here the row contents are checked.
TEST_F(FlowTabFrame, TableRowsShowMethodPartiesStatusAndOrigin) {
    Capture(ReadCapture("04_call_busy_486.pcap"));
    app().flowCore.OnPacket(
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

TEST_F(FlowTabFrame, RowClickOpensTheLadderWithNoMessageSelected) {
    Capture(ReadCapture("01_basic_call_caller_bye.pcap"));
    Drain();
    app().selectedMessageIndex = 4;  // left over from an earlier visit
    ASSERT_TRUE(h.ClickText("1-21527@192.168.1.50"));
    h.Frame();
    EXPECT_EQ(app().selectedCallId, "1-21527@192.168.1.50");
    EXPECT_EQ(app().selectedMessageIndex, -1);
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
    EXPECT_TRUE(app().selectedCallId.empty());
    EXPECT_TRUE(h.HasText("Exportar CSV"));
}

TEST_F(FlowTabFrame, ClickingAnArrowShowsThatMessageAndLimparLeavesThePlaceholder) {
    Capture(ReadCapture("01_basic_call_caller_bye.pcap"));
    Drain();
    ASSERT_TRUE(h.ClickText("1-21527@192.168.1.50"));
    h.Frame();
    // The label sits just above its arrow, inside the arrow's selection area.
    ASSERT_TRUE(h.ClickText(" 180 Ringing"));
    h.Frame();
    EXPECT_EQ(app().selectedMessageIndex, 2);
    EXPECT_TRUE(h.HasText("SIP/2.0 180 Ringing"));
    EXPECT_FALSE(h.HasText("Selecione uma mensagem no diagrama lateral..."));
    // RTP flow entries are labelled with codec and count.
    EXPECT_TRUE(h.HasText("RTP (G711a/PT:8) - 100"));

    app().FlowClear();  // what "Limpar" does
    h.Frame();
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
        app().flowCore.OnPacket(std::move(p));
    }
    app().showRawDebug = true;
    h.RunFrames(3);
    EXPECT_EQ(CountLines("Raw Packet Debug", "[10:00:00.000]"), 51u);
    EXPECT_TRUE(h.HasText("pkt#9999"));
    EXPECT_TRUE(h.HasText("pkt#9949"));
    EXPECT_FALSE(h.HasText("pkt#9948"));
    const auto newest = h.FindText("pkt#9999");
    const auto older = h.FindText("pkt#9998");
    ASSERT_TRUE(newest && older);
    EXPECT_LT(newest->min.y, older->min.y);

    std::strcpy(app().rawDebugFilter, "INVITE");
    h.RunFrames(2);
    EXPECT_EQ(CountLines("Raw Packet Debug", "[10:00:00.000]"), 10u);
    EXPECT_TRUE(h.HasText("pkt#9007"));
    EXPECT_TRUE(h.HasText("pkt#7"));
    std::strcpy(app().rawDebugFilter, "pkt#12");
    h.RunFrames(2);
    // pkt#12, pkt#120-129, pkt#1200-1299: 111 matches, 51 shown.
    EXPECT_EQ(CountLines("Raw Packet Debug", "[10:00:00.000]"), 51u);

    // The window's close button clears the check box.
    const auto raw = h.FindWindow("Raw Packet Debug (FlowCore)");
    ASSERT_TRUE(raw);
    const ImGuiStyle& style = ImGui::GetStyle();
    const float title = ImGui::GetFontSize() + style.FramePadding.y * 2.0f;
    h.ClickAt(raw->pos.x + raw->size.x - style.FramePadding.x - title * 0.5f, raw->pos.y + title * 0.5f);
    EXPECT_FALSE(app().showRawDebug);
    EXPECT_FALSE(h.HasText("pkt#9999"));
    app().showRawDebug = true;
    h.RunFrames(2);

    // Hovering a line shows the payload.
    std::strcpy(app().rawDebugFilter, "INVITE");
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
    app().flowStatusLine = "old line";
    app().devices = {{"lo", "Loopback"}};
    h.Frame();  // the combo appears and moves the button
    ASSERT_TRUE(h.ClickText("INICIAR MONITORAMENTO", true));
    h.Frame();
    ASSERT_TRUE(app().flowMonitoring) << app().flowStatusLine;
    EXPECT_TRUE(h.HasText("PARAR MONITORAMENTO", true));
    EXPECT_FALSE(h.HasText("1-21802@10.0.20.15"));
    EXPECT_FALSE(h.HasText("old line"));
    // Exports and the import stay reachable; the import is disabled while capturing.
    EXPECT_TRUE(h.HasText("Importar PCAP", true));
    h.ClickText("Importar PCAP", true);
    EXPECT_FALSE(app().flowImportOpen);

    app().flowCore.OnPacket(MakePacket("12:00:00.000", "127.0.0.1:5060", "127.0.0.1:5060",
                                       SipRequest("OPTIONS", "during-capture", "<sip:1@a>", "<sip:2@b>", "OPTIONS")));
    Drain();
    ASSERT_TRUE(h.ClickText("PARAR MONITORAMENTO", true));
    h.Frame();
    EXPECT_FALSE(app().flowMonitoring);
    EXPECT_FALSE(app().flowCore.IsRunning());
    EXPECT_TRUE(h.HasText("INICIAR MONITORAMENTO", true));
    EXPECT_TRUE(h.HasText("during-capture"));
}

TEST_F(FlowTabFrame, FailedStartSaysWhyAndKeepsTheStartButton) {
    app().devices = {{"flowtab-no-such-dev0", "Dispositivo inexistente"}};
    app().selectedDevice = 0;
    h.Frame();
    EXPECT_TRUE(h.HasText("Dispositivo inexistente"));
    ASSERT_TRUE(h.ClickText("INICIAR MONITORAMENTO", true));
    h.Frame();
    EXPECT_FALSE(app().flowMonitoring);
    EXPECT_TRUE(h.HasText("INICIAR MONITORAMENTO", true));
    const auto line = h.FindText("Falha ao iniciar o monitoramento: ");
    ASSERT_TRUE(line) << h.AllText("FlowList");
    EXPECT_GT(line->text.size(), std::strlen("Falha ao iniciar o monitoramento: "));
}

TEST_F(FlowTabFrame, ExportButtonsReportWhatTheyWrote) {
    ASSERT_TRUE(h.ClickText("Exportar CSV", true));
    h.Frame();
    EXPECT_TRUE(h.HasText("Nada exportado: a lista de chamadas esta vazia."));
    EXPECT_FALSE(fs::exists(FlowLogDirectory()));

    Capture(ReadCapture("03_call_cancelled.pcap"));
    Drain();
    ASSERT_TRUE(h.ClickText("Exportar CSV", true));
    h.Frame();
    const auto csv = h.FindText("CSV exportado: ");
    ASSERT_TRUE(csv) << h.AllText("FlowList");
    ASSERT_TRUE(h.ClickText("Exportar PCAP", true));
    h.Frame();
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

    app().flowMonitoring = true;
    h.Frame();
    h.ClickText("Importar PCAP", true);
    EXPECT_FALSE(app().flowImportOpen);
    app().flowMonitoring = false;
    h.Frame();

    // A field the user emptied still holds old bytes behind its terminator.
    std::memset(app().flowImportPath, 'z', sizeof(app().flowImportPath) - 1);
    app().flowImportPath[0] = '\0';
    ASSERT_TRUE(h.ClickText("Importar PCAP", true));
    h.Frame();
    EXPECT_STREQ(app().flowImportPath, (FlowLogDirectory() + "/").c_str());
    ASSERT_TRUE(h.ClickText("02_basic_call_callee_bye.pcap"));
    EXPECT_EQ(std::string(app().flowImportPath), FlowLogDirectory() + "/02_basic_call_callee_bye.pcap");
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
    EXPECT_FALSE(app().flowCore.IsRunning()) << "the finished import releases the capture object";
    EXPECT_FALSE(app().flowImportOpen);

    // A file that cannot be read says so.
    ASSERT_TRUE(h.ClickText("Importar PCAP", true));
    h.Frame();
    std::strcpy(app().flowImportPath, "/nonexistent/flowtab.pcap");
    ASSERT_TRUE(h.ClickText("Carregar", true));
    h.Frame();
    EXPECT_TRUE(h.HasText("Falha ao importar /nonexistent/flowtab.pcap"));
}

TEST_F(FlowTabFrame, DeviceComboSharesTheSelectionWithTheMtrTab) {
    app().devices = {{"eth0", "Primeira placa"}, {"eth1", "Segunda placa"}};
    app().selectedDevice = 1;
    h.Frame();
    EXPECT_TRUE(h.HasText("Segunda placa", true));
    app().selectedDevice = 7;  // outside the list: back to the first device
    h.Frame();
    EXPECT_EQ(app().selectedDevice, 0);
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
    h.Frame();
    const auto arrow = h.FindText("RTP (G711a/PT:8) - 100 [");
    ASSERT_TRUE(arrow) << h.AllText("LadderView");
    EXPECT_NE(arrow->text.find("b] | perda 0.0% | jitter 0.0 ms"), std::string::npos) << arrow->text;
    ASSERT_TRUE(h.ClickText("| perda 0.0%"));
    h.Frame();
    const std::string panel = h.AllText("MsgDetails");
    EXPECT_NE(panel.find("MOS (estimado)"), std::string::npos) << panel;
    EXPECT_NE(panel.find("0x5A3C91E2"), std::string::npos) << panel;  // both directions
    EXPECT_NE(panel.find("0xDEE0EE8F"), std::string::npos) << panel;
}
