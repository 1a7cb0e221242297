// "Ouvir" in the ladder of the real App frame (headless harness): a tone call imported, its
// two directions decoded by the player and shown on the position line, the stream report
// marked with what the audio carried, "Salvar WAV" writing into the flow folder, and the
// G.729 call saying it has no decoder. Whether a sound device opens is the machine's affair:
// the play either runs or says why not, and neither is what this checks.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/App.h"
#include "harness/FrameHarness.h"
#include "logs/LogPaths.h"
#include "playback/CallPlayer.h"
#include "playback/ToneCalls.h"

namespace fs = std::filesystem;

namespace {

class FlowTabListen : public ::testing::Test {
protected:
    FlowTabListen() : h(1500.0f, 900.0f) {}
    void SetUp() override {
        std::string why;
        capture = ToneCallsCapture(&why);
        if (capture.empty()) GTEST_SKIP() << why;
        root = fs::temp_directory_path() / ("flowtab-listen-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        SetExecutableDirectoryForTesting(root.string());
        h.Unlock();
        h.Frame();
        ASSERT_TRUE(h.SelectTab("Flow"));
        ASSERT_TRUE(h.app().Flow().ImportPcap(capture));
        Drain();
    }
    void TearDown() override {
        SetExecutableDirectoryForTesting("");
        fs::remove_all(root);
    }
    void Drain() {
        FlowCore& core = h.app().FlowEngine();
        ASSERT_TRUE(core.Settle());
        ASSERT_TRUE(core.WaitSnapshot([](const FlowSnapshot& s) { return s.state != FlowRunState::Offline; },
                                      std::chrono::seconds(30)));
        ASSERT_TRUE(core.Settle());
        h.Frame();
    }
    // Frames until the player has carried out every request the tab sent.
    void SettlePlayer() {
        const CallPlayer* player = h.app().Flow().Player();
        ASSERT_NE(player, nullptr);
        // Every request the clicks posted, carried out (a busy machine may not have started
        // the first one yet when this is called).
        player->WaitHandled(player->LastRequested());
        h.Frame();
        h.Frame();
    }

    harness::FrameHarness h;
    std::string capture;
    fs::path root;
};

}  // namespace

TEST_F(FlowTabListen, OuvirDecodesBothDirectionsAndSalvarWavWritesThem) {
    ASSERT_TRUE(h.ClickText("pcma-1@tone"));
    Drain();
    ASSERT_TRUE(h.ClickText("Ouvir", true)) << h.AllText();
    SettlePlayer();
    const std::shared_ptr<const PlayerSnapshot> s = h.app().Flow().Player()->Snapshot();
    ASSERT_EQ(s->callId, "pcma-1@tone");
    ASSERT_EQ(s->streams.size(), 2u);
    if (s->state == PlayerState::Failed) {
        EXPECT_EQ(s->message.rfind("Sem dispositivo de audio", 0), 0u) << s->message;
    } else {
        EXPECT_TRUE(h.HasText("E: 10.0.1.1:20002 -> 10.0.1.2:30002 (G711a)   D: 10.0.1.2:30002 -> 10.0.1.1:20002 (G711a)"))
            << h.AllText();
    }
    ASSERT_TRUE(h.ClickText("Parar", true));

    // The RTP arrow's report now says what its audio carried.
    ASSERT_TRUE(h.ClickText("RTP (G711a/PT:8) - 100 [")) << h.AllText("LadderView");
    SettlePlayer();
    const std::string panel = h.AllText("MsgDetails");
    EXPECT_NE(panel.find("Audio decodificado"), std::string::npos) << panel;
    EXPECT_NE(panel.find("ok, pico "), std::string::npos) << panel;
    EXPECT_EQ(h.app().Flow().Player()->Snapshot()->channels, PlayerChannels::OneStream);

    ASSERT_TRUE(h.ClickText("Salvar WAV", true));
    SettlePlayer();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (h.app().Flow().Player()->Snapshot()->savedDirectory.empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    h.Frame();
    const std::string saved = h.app().Flow().Player()->Snapshot()->savedDirectory;
    ASSERT_FALSE(saved.empty()) << h.app().Flow().Player()->Snapshot()->message;
    EXPECT_EQ(fs::path(saved).parent_path(), fs::path(FlowLogDirectory()));
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(saved)) files += e.path().extension() == ".wav";
    EXPECT_EQ(files, 2u);
    EXPECT_TRUE(h.HasText("WAV gravados em ")) << h.AllText();
}

// RTP that carries only silence: the engine alone sees packets flowing both ways, so the
// diagnosis panel is silent about it until the call is decoded by Ouvir.
TEST_F(FlowTabListen, OuvirTellsTheDiagnosisTheCallCarriedOnlySilence) {
    ASSERT_TRUE(h.ClickText("silence-8@tone"));
    Drain();
    EXPECT_FALSE(h.HasText("Sem audio")) << h.AllText();
    ASSERT_TRUE(h.ClickText("Ouvir", true));
    SettlePlayer();
    ASSERT_TRUE(h.app().Flow().Player()->Snapshot()->decodedReports);
    // The view asks again with the decoded streams; the engine answers on its thread.
    FlowCore& core = h.app().FlowEngine();
    ASSERT_TRUE(core.WaitSnapshot([](const FlowSnapshot& s) { return s.view.heardStreams != nullptr; },
                                  std::chrono::seconds(30)));
    h.Frame();
    const std::string panel = h.AllText("Diagnostico");
    EXPECT_NE(panel.find("DIAGNOSTICO (com o audio decodificado):"), std::string::npos) << panel;
    EXPECT_NE(panel.find("Sem audio"), std::string::npos) << panel;
}

TEST_F(FlowTabListen, G729CallSaysItHasNoDecoder) {
    ASSERT_TRUE(h.ClickText("g729-6@tone"));
    Drain();
    ASSERT_TRUE(h.ClickText("Ouvir", true));
    SettlePlayer();
    EXPECT_TRUE(h.HasText("10.0.6.1:20012 -> 10.0.6.2:30012: G729 sem decodificador")) << h.AllText();
    EXPECT_TRUE(h.HasText("Nada para tocar: sem decodificador ou sem RTP")) << h.AllText();
}
