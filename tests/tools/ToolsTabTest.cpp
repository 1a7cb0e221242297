// The Check IP, Som and HOME tabs drawn by the real App through the headless frame harness.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <thread>

#include "lib/CheckIpServer.h"
#include "PulseServer.h"
#include "lib/SilentSoundServer.h"
#include "lib/TestSupport.h"
#include "app/App.h"
#include "harness/FrameHarness.h"
#include "logs/LogPaths.h"
#include "tools/view/AudioTab.h"
#include "tools/AudioTester.h"

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

// Programs on PATH that only note that they were started (and with what) in a file.
class FakeDesktop {
public:
    FakeDesktop() {
        dir = testsupport::MakeTempDir("fakebin");
        log = dir + "/launched.log";
        oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
        setenv("PATH", (dir + ":" + oldPath).c_str(), 1);
    }
    ~FakeDesktop() {
        setenv("PATH", oldPath.c_str(), 1);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void Add(const std::string& program) {
        std::string path = dir + "/" + program;
        testsupport::WriteFile(path, "#!/bin/sh\necho \"" + program + " $*\" >> " + log + "\n");
        fs::permissions(path, fs::perms::owner_all);
    }
    std::string Launched() const { return testsupport::ReadFile(log); }
    bool WaitLaunched(const std::string& line) const {
        return testsupport::WaitFor([&] { return Launched().find(line) != std::string::npos; }, seconds(5));
    }
    std::string dir, log, oldPath;
};

// Runs frames, with a little real time between them, until the condition holds.
template <typename Pred>
bool FramesUntil(harness::FrameHarness& h, Pred pred, milliseconds limit, int* frames = nullptr) {
    auto end = steady_clock::now() + limit;
    while (steady_clock::now() < end) {
        h.Frame();
        if (frames) ++*frames;
        if (pred()) return true;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return false;
}

int collectCalls = 0;
SystemInfo PreparedFacts() {
    ++collectCalls;
    SystemInfo info;
    info.computerName = "estacao-07";
    info.osText = "Debian GNU/Linux 12 (bookworm) - Linux 6.1.0-18-amd64";
    info.ramTotalGb = 16.0;
    info.ramAvailableGb = 6.0;
    info.diskTotalGb = 476.3;
    info.diskFreeGb = 120.6;
    info.interfaces = {"eth0 (192.168.10.20)", "wlan0 (10.0.0.7)"};
    return info;
}

AppOptions PreparedOptions() {
    AppOptions options;
    options.systemFacts = &PreparedFacts;
    return options;
}

bool Near(const ImVec4& c, float r, float g, float b) {
    return std::abs(c.x - r) < 0.01f && std::abs(c.y - g) < 0.01f && std::abs(c.z - b) < 0.01f;
}

}  // namespace

// ---------------------------------------------------------------- Check IP

class CheckIpTabFrame : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start());
        exeDir = testsupport::MakeTempDir("checkip-tab");
        SetExecutableDirectoryForTesting(exeDir);
    }
    void TearDown() override {
        SetExecutableDirectoryForTesting("");
        std::error_code ec;
        fs::remove_all(exeDir, ec);
    }
    // The shell's options with the tab pointed at the test server.
    AppOptions Options(long connectTimeoutMs = 5000, long totalTimeoutMs = 10000) {
        AppOptions options;
        options.checkIp.host = server.Host();
        options.checkIp.caFile = server.cert;
        options.checkIp.connectTimeoutMs = connectTimeoutMs;
        options.checkIp.totalTimeoutMs = totalTimeoutMs;
        return options;
    }
    void Configure(harness::FrameHarness& h) {
        h.Unlock();
        h.RunFrames(2);
        ASSERT_TRUE(h.SelectTab("Check IP"));
    }
    std::string History() { return testsupport::ReadFile(exeDir + "/LOGS/flow/checkip.csv"); }
    CheckIpServer server;
    std::string exeDir;
};

TEST_F(CheckIpTabFrame, SilentServerKeepsFramesComingAndEndsAtTheStartView) {
    server.SetBoth("{\"mode\": \"hang\"}", "{\"mode\": \"hang\"}");
    harness::FrameHarness h(Options(500, 1500));
    Configure(h);
    ASSERT_TRUE(h.ClickText("VERIFICAR MEU IP"));
    auto t0 = steady_clock::now();
    h.Frame();
    EXPECT_TRUE(h.app().CheckIp().Busy());
    EXPECT_TRUE(h.HasText("Verificando..."));
    EXPECT_FALSE(h.HasText("VERIFICAR MEU IP"));
    int frames = 0;
    ASSERT_TRUE(FramesUntil(h, [&] { return h.HasText("VERIFICAR MEU IP"); }, seconds(8), &frames));
    double took = duration<double>(steady_clock::now() - t0).count();
    // Both URLs waited out their time-out (FramesUntil's limit bounds it from above), and the
    // window kept drawing all along: frames never wait on the request.
    EXPECT_GT(took, 2.5);
    EXPECT_GT(frames, 20);
    EXPECT_FALSE(h.app().CheckIp().Busy());
    EXPECT_EQ(h.app().CheckIp().Address(), "");
    EXPECT_EQ(h.app().CheckIp().Source(), "");
    EXPECT_TRUE(h.HasText("Nao foi possivel obter o IP publico."));
    EXPECT_FALSE(fs::exists(exeDir + "/LOGS/flow/checkip.csv"));
}

// While the request runs the shell draws the tab at most every App::kLiveFrameMs and keeps
// doing so without input; once the answer is shown, a few settling frames, then none.
TEST_F(CheckIpTabFrame, RunningRequestAsksForLiveFramesAndTheEndStopsThem) {
    server.SetBoth("{\"mode\": \"hang\"}", "{\"mode\": \"hang\"}");
    harness::FrameHarness h(Options(300, 600));
    Configure(h);
    const auto waitMs = [&] { return h.app().Redraw().WaitMs(60'000, platform::RedrawRequest::Clock::now()); };
    ASSERT_TRUE(h.ClickText("VERIFICAR MEU IP"));
    h.Frame();
    ASSERT_TRUE(h.app().CheckIp().Busy());
    for (int i = 0; i < 10; ++i) {
        h.Frame();
        ASSERT_TRUE(h.app().Redraw().Pending()) << "frame " << i;
        EXPECT_LE(waitMs(), App::kLiveFrameMs);
        EXPECT_GT(waitMs(), 20) << "a live tab must not be drawn faster than 30 frames a second";
    }
    ASSERT_TRUE(FramesUntil(h, [&] { return !h.app().CheckIp().Busy(); }, seconds(8)));
    EXPECT_TRUE(h.app().Redraw().Pending()) << "the end of the request is drawn";
    h.RunFrames(App::kSettleFrames);
    EXPECT_FALSE(h.app().Redraw().Pending());
    EXPECT_TRUE(h.HasText("Nao foi possivel obter o IP publico."));
}

TEST_F(CheckIpTabFrame, ResultViewCopiesAndRefreshesWithoutANewRequest) {
    server.SetBoth(CheckIpServer::Answer("<p>Current IP Address: 203.0.113.7</p>\r\n"), "{}");
    harness::FrameHarness h(Options());
    Configure(h);
    auto normal = h.FindText("VERIFICAR MEU IP");
    ASSERT_TRUE(normal);
    ASSERT_TRUE(h.ClickText("VERIFICAR MEU IP"));
    ASSERT_TRUE(FramesUntil(h, [&] { return h.HasText("O IP que o sistema da Orvanta enxerga"); }, seconds(5)));
    EXPECT_EQ(h.app().CheckIp().Address(), "203.0.113.7");
    EXPECT_EQ(h.app().CheckIp().Source(), server.HttpsUrl());
    auto address = h.FindText("203.0.113.7", true);
    ASSERT_TRUE(address);
    EXPECT_TRUE(Near(address->color, 0.2f, 0.8f, 1.0f));
    float normalHeight = normal->max.y - normal->min.y;
    EXPECT_NEAR((address->max.y - address->min.y) / normalHeight, 2.5f, 0.3f);
    EXPECT_NEAR(address->Center().x, 640.0f, 20.0f);

    ASSERT_TRUE(h.ClickText("COPIAR IP"));
    EXPECT_STREQ(ImGui::GetClipboardText(), "203.0.113.7");

    ASSERT_TRUE(h.ClickText("ATUALIZAR"));
    h.Frame();
    EXPECT_TRUE(h.HasText("VERIFICAR MEU IP"));
    EXPECT_FALSE(h.HasText("Nao foi possivel"));
    EXPECT_EQ(h.app().CheckIp().Source(), server.HttpsUrl());
    h.RunFrames(10);
    EXPECT_EQ(server.Requests(), "https /checkip/ OrvantaConnect\n");  // no request of its own
    std::string history = History();
    EXPECT_EQ(std::count(history.begin(), history.end(), '\n'), 1) << history;
    EXPECT_NE(history.find(";203.0.113.7;" + server.HttpsUrl() + "\n"), std::string::npos) << history;
}

// ---------------------------------------------------------------- Som

TEST(AudioTab, NoSoundServerShowsTheErrorOnEveryVisitWithoutTrappingTheUser) {
    std::string dir = testsupport::MakeTempDir("nopulse-tab");
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + dir + "/absent").c_str(), 1);
    harness::FrameHarness h;
    h.Unlock();
    h.RunFrames(2);
    ASSERT_TRUE(h.SelectTab("Som"));
    h.RunFrames(2);
    EXPECT_TRUE(h.HasText("Erro de"));
    EXPECT_TRUE(h.FindWindow("Erro de Áudio").has_value());
    EXPECT_TRUE(h.HasText("Nao ha dispositivos de audio ativos ou identificados como usaveis pelo sistema."));
    EXPECT_TRUE(h.HasText("0.00"));  // the volume slider without a microphone
    // While the modal is up the tab bar does not respond.
    EXPECT_FALSE(h.SelectTab("HOME"));
    ASSERT_TRUE(h.ClickText("OK", true));
    h.RunFrames(2);
    EXPECT_FALSE(h.HasText("Erro de"));
    EXPECT_TRUE(h.HasText("Nao ha dispositivos de audio ativos"));  // the line in the tab stays
    ASSERT_TRUE(h.ClickText("INICIAR GRAVACAO"));
    h.Frame();
    EXPECT_FALSE(h.app().Audio().IsRecording());
    EXPECT_TRUE(h.HasText("INICIAR GRAVACAO"));
    // The user can leave; coming back shows the message again.
    ASSERT_TRUE(h.SelectTab("HOME"));
    ASSERT_TRUE(h.SelectTab("Som"));
    h.RunFrames(2);
    EXPECT_TRUE(h.HasText("Erro de"));
    fs::remove_all(dir);
}

TEST(AudioTab, RecordStopPlayStopAndVolume) {
    PulseServer pulse;
    ASSERT_TRUE(pulse.Start());
    ASSERT_TRUE(pulse.PlayToneIntoMic(0.95, 8));
    FakeDesktop desktop;
    desktop.Add("pavucontrol");
    harness::FrameHarness h;
    h.Unlock();
    h.RunFrames(2);
    ASSERT_TRUE(h.SelectTab("Som"));
    h.RunFrames(2);
    EXPECT_FALSE(h.HasText("Erro de"));
    EXPECT_TRUE(h.HasText("ESCUTAR TESTE"));

    ASSERT_TRUE(h.ClickText("INICIAR GRAVACAO"));
    h.Frame();
    EXPECT_TRUE(h.HasText("PARAR GRAVACAO"));
    EXPECT_TRUE(h.app().Audio().IsRecording());
    EXPECT_FALSE(h.HasText("ESCUTAR TESTE"));
    // A loud tone turns the meter red.
    ASSERT_TRUE(FramesUntil(h, [&] { return h.app().Audio().GetLevel() >= 0.9f; }, seconds(5)));
    ASSERT_TRUE(FramesUntil(h, [&] { return h.app().Audio().RecordedSeconds() > 1.0f; }, seconds(5)));
    ASSERT_TRUE(h.ClickText("PARAR GRAVACAO"));
    h.Frame();
    EXPECT_TRUE(h.HasText("INICIAR GRAVACAO"));
    EXPECT_FALSE(h.HasText("Gravando..."));

    ASSERT_TRUE(h.ClickText("ESCUTAR TESTE"));
    h.Frame();
    EXPECT_TRUE(h.HasText("PARAR REPRODUCAO"));
    EXPECT_FALSE(h.HasText("INICIAR GRAVACAO"));
    ASSERT_TRUE(h.ClickText("PARAR REPRODUCAO"));
    h.Frame();
    EXPECT_TRUE(h.HasText("ESCUTAR TESTE"));

    // The slider follows the system's volume (read by the tester's worker) and sets it.
    ASSERT_TRUE(pulse.Pactl("set-source-volume mic 40%"));
    EXPECT_TRUE(FramesUntil(h, [&] { return h.HasText("0.40", true); }, seconds(3)));
    auto slider = h.FindText("0.40", true);
    ASSERT_TRUE(slider);
    auto window = h.FindWindow("MainDock");
    ASSERT_TRUE(window);
    // Click near the right end of the slider (which spans most of the tab's width).
    float frameWidth = (slider->Center().x - window->pos.x) * 2.0f;
    h.ClickAt(window->pos.x + frameWidth * 0.9f, slider->Center().y);
    h.Frame();
    float now = 0;
    ASSERT_TRUE(testsupport::WaitFor([&] {
        std::string out = pulse.PactlOut("get-source-volume mic");
        size_t pct = out.find('%');
        if (pct == std::string::npos) return false;
        size_t start = out.rfind(' ', pct);
        now = std::atof(out.substr(start + 1, pct - start - 1).c_str()) / 100.0f;
        return now > 0.6f;
    }, seconds(2)));
    EXPECT_NEAR(h.app().Audio().GetMicVolume(), now, 0.02f);

    ASSERT_TRUE(h.ClickText("CONFIGURACOES AVANCADAS DE SOM"));
    EXPECT_TRUE(desktop.WaitLaunched("pavucontrol"));
}

TEST(AudioTab, TheVolumeSliderNeverWaitsForTheSoundServer) {
    auto owned = std::make_unique<SilentSoundServer>(std::this_thread::get_id());
    SilentSoundServer& server = *owned;
    AudioTester tester(std::move(owned));
    ::AudioTab tab(tester);
    {
        harness::FrameHarness h([&] { tab.Draw(); });
        h.RunFrames(3);
        if (h.FindWindow("Erro de Áudio")) {
            ASSERT_TRUE(h.ClickText("OK", true));
            h.RunFrames(2);
        }
        // From here on the worker hangs in the server; every frame below still completes.
        ASSERT_TRUE(testsupport::WaitFor([&] { return server.calls.load() >= 1; }, seconds(5)));
        h.RunFrames(3);
        const auto slider = h.FindText("0.00", true);
        const auto host = h.FindWindow("TabHost");
        ASSERT_TRUE(slider && host) << h.AllText();
        const float frameWidth = (slider->Center().x - host->pos.x) * 2.0f;
        h.ClickAt(host->pos.x + frameWidth * 0.9f, slider->Center().y);
        h.RunFrames(5);
        EXPECT_FALSE(h.HasText("0.00", true)) << "the slider holds the value it was moved to";
        EXPECT_GT(tester.GetMicVolume(), 0.8f);
        EXPECT_FALSE(server.calledOnGuiThread.load());
    }
    server.Release();
}

// ---------------------------------------------------------------- HOME

class HomeTabFrame : public ::testing::Test {
protected:
    void SetUp() override { collectCalls = 0; }
};

TEST_F(HomeTabFrame, FirstDrawRefreshesThenAboutEveryTwoSecondsOfShownTime) {
    harness::FrameHarness h(PreparedOptions());
    h.RunFrames(3);
    EXPECT_EQ(collectCalls, 0);  // locked: no tab content runs
    h.Unlock();
    h.RunFrames(2);
    EXPECT_EQ(h.SelectedTab(), "HOME");
    EXPECT_EQ(collectCalls, 1);
    h.SetDeltaTime(1.0f / 60.0f);
    h.AdvanceTime(1.9f);
    EXPECT_EQ(collectCalls, 1);
    h.AdvanceTime(0.2f);
    EXPECT_EQ(collectCalls, 2);
    // Time on another tab does not count.
    ASSERT_TRUE(h.SelectTab("Sobre"));
    h.AdvanceTime(5.0f);
    ASSERT_TRUE(h.SelectTab("HOME"));
    EXPECT_EQ(collectCalls, 2);
    h.AdvanceTime(2.1f);
    EXPECT_EQ(collectCalls, 3);
}

TEST_F(HomeTabFrame, ShowsFactsFiguresAndInterfaces) {
    harness::FrameHarness h(PreparedOptions());
    h.Unlock();
    h.RunFrames(2);
    h.Frame();
    EXPECT_TRUE(h.HasText("DASHBOARD DE DESEMPENHO"));
    EXPECT_TRUE(h.HasText("estacao-07"));
    EXPECT_TRUE(h.HasText("Debian GNU/Linux 12 (bookworm) - Linux 6.1.0-18-amd64"));
    EXPECT_TRUE(h.HasText("Espaco em Disco (/):"));
    EXPECT_TRUE(h.HasText("10.0 / 16.0 GB", true));
    EXPECT_TRUE(h.HasText("121 / 476 GB Livre", true));
    EXPECT_TRUE(h.HasText("eth0 (192.168.10.20)"));
    EXPECT_TRUE(h.HasText("wlan0 (10.0.0.7)"));
    auto heading = h.FindText("Interfaces de Rede Ativas:");
    ASSERT_TRUE(heading);
    EXPECT_TRUE(Near(heading->color, 0.0f, 1.0f, 0.0f));
    for (const char* b : {"CONFIGURACOES DE REDE", "CONFIGURACOES DE SOM", "PAINEL DE CONTROLE", "ABRIR PASTA DE LOGS",
                          "BLOQUEAR SISTEMA"})
        EXPECT_TRUE(h.HasText(b)) << b;
}

TEST_F(HomeTabFrame, RealFactsOfThisMachineAreShown) {
    harness::FrameHarness h;
    h.Unlock();
    h.RunFrames(2);
    h.Frame();
    EXPECT_FALSE(h.app().Home().Facts().interfaces.empty());
    EXPECT_TRUE(h.HasText(h.app().Home().Facts().computerName));
    EXPECT_TRUE(h.HasText("GB Livre"));
}

TEST_F(HomeTabFrame, ShortcutsOpenTheFirstAvailableToolAndTheLogFolder) {
    std::string exeDir = testsupport::MakeTempDir("home-logs");
    SetExecutableDirectoryForTesting(exeDir);
    FakeDesktop desktop;
    desktop.Add("gnome-control-center");  // found before the later fallbacks
    desktop.Add("systemsettings");
    desktop.Add("pavucontrol");
    desktop.Add("xdg-open");
    harness::FrameHarness h(PreparedOptions());
    h.Unlock();
    h.RunFrames(2);
    ASSERT_TRUE(h.ClickText("CONFIGURACOES DE REDE"));
    EXPECT_TRUE(desktop.WaitLaunched("gnome-control-center network\n"));
    ASSERT_TRUE(h.ClickText("CONFIGURACOES DE SOM"));
    EXPECT_TRUE(desktop.WaitLaunched("pavucontrol \n"));
    ASSERT_TRUE(h.ClickText("PAINEL DE CONTROLE"));
    EXPECT_TRUE(desktop.WaitLaunched("gnome-control-center \n"));
    ASSERT_FALSE(fs::exists(exeDir + "/LOGS"));
    ASSERT_TRUE(h.ClickText("ABRIR PASTA DE LOGS"));
    EXPECT_TRUE(desktop.WaitLaunched("xdg-open " + exeDir + "/LOGS\n"));
    EXPECT_TRUE(fs::is_directory(exeDir + "/LOGS"));
    EXPECT_EQ(desktop.Launched().find("systemsettings"), std::string::npos);
    SetExecutableDirectoryForTesting("");
    fs::remove_all(exeDir);
}

TEST_F(HomeTabFrame, LockButtonShowsTheLockScreenOnTheNextFrame) {
    harness::FrameHarness h(PreparedOptions());
    h.RunFrames(2);
    h.TypeText("leftover");  // into the password field, which has the keyboard
    ASSERT_EQ(h.app().Lock().FieldText(), "leftover");
    h.Unlock();
    h.RunFrames(2);
    ASSERT_TRUE(h.ClickText("BLOQUEAR SISTEMA"));
    EXPECT_TRUE(h.app().Shared().locked);
    h.Frame();
    EXPECT_FALSE(h.HasText("DASHBOARD DE DESEMPENHO"));
    EXPECT_FALSE(h.HasText("HOME", true));
    h.Frame();  // a new auto-sized window is laid out in its first frame and drawn from the second
    EXPECT_TRUE(h.HasText("Digite a senha para desbloquear o sistema:"));
    EXPECT_EQ(h.app().Lock().FieldText(), "");
    int before = collectCalls;
    h.AdvanceTime(3.0f);
    EXPECT_EQ(collectCalls, before);  // nothing of the dashboard runs while locked
}
