// The real program under Xvfb inside the client namespace of a private multi-hop network:
// unlock, open the MTR tab, trace the target, keep a screenshot, stop, quit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/TestPassword.h"
#include "lib/TestSupport.h"

using testsupport::CommandResult;
using testsupport::RunCommand;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kDisplay = ":61";
constexpr const char* kPrefix = "tt";

// Positions inside the 1280 x 800 client area, from the stock style (13 px font, 8 px window
// padding, 4/3 px frame padding, 8/4 px item spacing): the tab bar's "MTR" item, the target
// field on the first line of "ConfigPanel", and the start/stop button on its third line.
constexpr int kPasswordX = 560, kPasswordY = 420;  // lock dialog, centred on the client area
constexpr int kMtrTabX = 62, kMtrTabY = 17;
constexpr int kTargetX = 194, kTargetY = 48;
constexpr int kStartX = 56, kStartY = 100;
// "Nomes" on the second line, after the protocol and family combos and "Salvar Pcap"; a point over the
// results table's second hop row, whose hover chart the second screenshot shows.
constexpr int kNamesX = 461, kNamesY = 71;
constexpr int kHopRowX = 640, kHopRowY = 215;

std::string Capture(const std::string& cmd) { return RunCommand(cmd).out; }

int Shell(const std::string& cmd) { return std::system(cmd.c_str()); }

std::string Xdo(const std::string& args) {
    return "DISPLAY=" + std::string(kDisplay) + " xdotool " + args;
}

// Everything the test starts, torn down in reverse order even when an assertion fails.
struct LiveRun {
    bool netUp = false;
    fs::path hostsDir;  // /etc/netns/<client>: names for the client namespace
    testsupport::Child xvfb;
    testsupport::Child app;
    fs::path work;

    ~LiveRun() {
        app.Stop();
        xvfb.Stop();
        if (netUp) Shell(std::string(OC_TESTNET) + " down --prefix " + kPrefix + " >/dev/null 2>&1");
        if (!hostsDir.empty()) {
            std::error_code ec;
            fs::remove_all(hostsDir, ec);
        }
        if (!work.empty()) {
            std::error_code ec;
            fs::remove_all(work, ec);
        }
    }
};

std::map<std::string, std::string> ParseEnv(const std::string& text) {
    std::map<std::string, std::string> env;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return env;
}

void Click(const std::string& win, int x, int y) {
    Shell(Xdo("mousemove --window " + win + " " + std::to_string(x) + " " + std::to_string(y) +
                           " sleep 0.2 click 1"));
    std::this_thread::sleep_for(300ms);
}

}  // namespace

TEST(MtrTabLive, TracesTheTestNetworkFromTheRealWindow) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces and capture";
    const std::string app = std::string(OC_BINARY_DIR) + "/src/app/orvanta-connect";
    ASSERT_TRUE(fs::exists(app)) << app;
    for (const char* tool : {"Xvfb", "xdotool", "import", "xdpyinfo"})
        if (Shell(std::string("command -v ") + tool + " >/dev/null") != 0) GTEST_SKIP() << tool << " is missing";

    LiveRun run;
    char tmpl[] = "/tmp/mtrtab-live-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    run.work = tmpl;

    // Three routers with 2, 3 and 5 ms per link and direction: the hops answer after about
    // 4, 10 and 20 ms, the target after 20 ms. Link 3 loses a tenth of the frames, so the
    // history of hops 3 and 4 shows losses.
    run.netUp = true;
    const auto env = ParseEnv(Capture(std::string(OC_TESTNET) + " up --prefix " + kPrefix +
                                      " --hops 3 --delay-ms 2,3,5 --loss-pct 0,0,10 2>" +
                                      (run.work / "testnet.log").string()));
    ASSERT_EQ("10.200.4.2", env.count("TESTNET_TARGET_IP") ? env.at("TESTNET_TARGET_IP") : "")
        << "testnet up failed, see " << (run.work / "testnet.log");
    const std::string clientNs = env.at("TESTNET_CLIENT_NS");
    // Names for the routers and the target, from the hosts file the namespace sees.
    run.hostsDir = fs::path("/etc/netns") / clientNs;
    ASSERT_FALSE(fs::exists(run.hostsDir)) << run.hostsDir << " exists already; not touching it";
    fs::create_directories(run.hostsDir);
    testsupport::WriteFile((run.hostsDir / "hosts").string(),
                           "127.0.0.1 localhost\n" + env.at("TESTNET_HOP1_IP") + " gw.filial.test\n" +
                               env.at("TESTNET_HOP2_IP") + " borda.provedor.test\n" + env.at("TESTNET_HOP3_IP") +
                               " core.provedor.test\n" + env.at("TESTNET_TARGET_IP") + " pabx.matriz.test\n");

    ASSERT_TRUE(testsupport::StartXvfb(run.xvfb, kDisplay)) << "Xvfb did not come up on " << kDisplay;

    // The X socket is a file-system socket, so the program inside the namespace reaches it.
    const std::string trace = (run.work / "trace.log").string();
    run.app.Start({"ip", "netns", "exec", clientNs, "env", std::string("DISPLAY=") + kDisplay,
                     "ORVANTA_DEBUG_LOG=" + trace,
                     // Sanitizer builds: leaks inside X11, GL and SDL are not ours.
                     std::string("LSAN_OPTIONS=suppressions=") + OC_SOURCE_DIR + "/tests/app/lsan.supp:print_suppressions=0",
                     app},
                  false, (run.work / "app.log").string(), run.work.string(), true);

    // The main window is the 1280-pixel-wide one of the program's class (the tray icon has
    // a window of its own).
    std::string win;
    for (int i = 0; i < 100 && win.empty(); ++i) {
        std::istringstream ids(Capture(Xdo("search --classname '^orvanta-connect$' 2>/dev/null")));
        for (std::string id; win.empty() && std::getline(ids, id);) {
            if (Capture("DISPLAY=" + std::string(kDisplay) + " xwininfo -id " + id).find("Width: 1280") !=
                std::string::npos)
                win = id;
        }
        if (win.empty()) std::this_thread::sleep_for(100ms);
    }
    ASSERT_FALSE(win.empty()) << "no 1280-pixel window of class orvanta-connect";
    EXPECT_EQ("Orvanta Connect\n", Capture(Xdo("getwindowname " + win)));
    std::this_thread::sleep_for(500ms);

    Shell(Xdo("windowfocus --sync " + win));
    Click(win, kPasswordX, kPasswordY);
    Shell(Xdo("type --delay 60 '" + std::string(kTestPassword) + "'"));
    Shell(Xdo("key --delay 60 Return"));
    auto traced = [&] {
        std::ifstream in(trace);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    ASSERT_TRUE(testsupport::WaitFor([&] { return traced().find("Unlocked") != std::string::npos; }, 5s))
        << "the password did not unlock the program";
    std::this_thread::sleep_for(300ms);

    Click(win, kMtrTabX, kMtrTabY);
    Click(win, kTargetX, kTargetY);
    Shell(Xdo("key --delay 60 ctrl+a BackSpace"));
    Shell(Xdo("type --delay 60 " + env.at("TESTNET_TARGET_IP")));
    Click(win, kStartX, kStartY);  // "INICIAR"

    // The engine's trace names the source of every matched reply: wait until every router and
    // the target have answered the probes started from the tab.
    const char* const kAnswering[] = {"TESTNET_HOP1_IP", "TESTNET_HOP2_IP", "TESTNET_HOP3_IP", "TESTNET_TARGET_IP"};
    testsupport::WaitFor([&] {
        const std::string text = traced();
        for (const char* key : kAnswering)
            if (text.find("From=" + env.at(key) + " ") == std::string::npos) return false;
        return true;
    }, 20s);
    const std::string shot = std::string(OC_ARTIFACT_DIR) + "/mtr-tab.png";
    EXPECT_EQ(0, Shell(std::string("DISPLAY=") + kDisplay + " import -window root " + shot)) << shot;

    // Names on; link 2's delay rises from 3 to 15 ms half-way, which the history shows as a
    // step on hops 2 to 4. Then the second hop's chart is opened by hovering its row.
    Click(win, kNamesX, kNamesY);
    std::this_thread::sleep_for(8s);
    EXPECT_EQ(0, Shell(std::string(OC_TESTNET) + " delay --prefix " + kPrefix + " --link 2 --delay-ms 15"));
    std::this_thread::sleep_for(8s);
    const std::string historyShot = std::string(OC_ARTIFACT_DIR) + "/mtr-tab-history.png";
    EXPECT_EQ(0, Shell(std::string("DISPLAY=") + kDisplay + " import -window root " + historyShot)) << historyShot;
    Shell(Xdo("mousemove --window " + win + " " + std::to_string(kHopRowX) + " " + std::to_string(kHopRowY)));
    std::this_thread::sleep_for(1s);
    const std::string chartShot = std::string(OC_ARTIFACT_DIR) + "/mtr-tab-chart.png";
    EXPECT_EQ(0, Shell(std::string("DISPLAY=") + kDisplay + " import -window root " + chartShot)) << chartShot;
    Shell(Xdo("mousemove --window " + win + " 640 40"));

    Click(win, kStartX, kStartY);  // "PARAR"
    EXPECT_EQ(-1, run.app.Wait(2500ms)) << "program ended after PARAR";
    Shell(Xdo("key --delay 60 ctrl+q"));
    const int exitCode = run.app.Wait(8000ms);
    EXPECT_EQ(0, exitCode) << "ctrl+q did not end the program cleanly; its output:\n" << [&] {
        std::ifstream out(run.work / "app.log");
        return std::string((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
    }();

    const std::string finalTrace = traced();
    for (const char* key : kAnswering)
        EXPECT_NE(std::string::npos, finalTrace.find("From=" + env.at(key) + " "))
            << key << " never answered; screenshot: " << shot;
}
