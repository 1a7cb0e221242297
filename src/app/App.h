#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/Packet.h"
#include "flow/CallTracker.h"
#include "flow/FlowCore.h"
#include "mtr/MtrCore.h"
#include "tools/AudioTester.h"
#include "tools/CheckIp.h"
#include "tools/SystemInfo.h"

namespace platform {
class MainWindow;
class TrayIcon;
}  // namespace platform

// The application object: main window, GUI context, tray icon, both measuring engines,
// the audio tester and every piece of per-tab state. One lives on the stack of main().
// Tab drawing entry points are members, each implemented in its tab's own file.
class App {
public:
    App();
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    bool Initialize(const std::string& title, int width, int height);
    void Run();

    // One GUI frame's drawing (host window, lock gate, tab bar); no platform calls.
    // Returns false when the quit shortcut was seen in this frame.
    bool DrawFrame();

    void DrawLockScreen();
    // Password test of the lock screen: unlocks and wipes the field on a match.
    void TryUnlock();
    // Brings the window back from the tray (or from minimised) and raises it.
    void RestoreFromTray();
    void DrawHomeTab();
    void DrawMtrTab();
    void DrawMtrTable();
    void DrawFlowTab();
    void DrawCheckIpTab();
    void DrawAudioTab();
    void DrawAboutTab();

    // Members, in the order of the application's data model. Public so that the headless
    // frame harness in the tests can set up and inspect state.
    // --- window and renderer (platform layer) ---
    std::unique_ptr<platform::MainWindow> window;

    // --- lock screen ---
    bool unlocked = false;
    char passwordInput[64] = {};
    // SHA-256 of the access password; the clear text is not kept in the program.
    std::array<unsigned char, 32> lockPasswordDigest;

    // --- Check IP ---
    std::string publicIp;
    std::string publicIpSource;
    bool ipCheckBusy = false;

    // --- Som ---
    AudioTester audioTester;

    // --- HOME ---
    SystemInfo systemInfo;
    float systemInfoTimer = 0.0f;

    // --- engines ---
    MtrCore mtrCore;
    FlowCore flowCore;  // owns the call records and the worker that fills them

    // --- Flow tab ---
    std::string selectedCallId;
    int32_t selectedMessageIndex = -1;

    // --- MTR / Flow run state ---
    bool mtrRunning = false;
    bool flowMonitoring = false;
    char mtrTarget[128] = "8.8.8.8";
    int32_t mtrProtocol = 0;
    bool mtrSavePcap = false;
    std::vector<NetDevice> devices;
    int32_t selectedDevice = 0;

    // --- tray (platform layer) ---
    std::unique_ptr<platform::TrayIcon> trayIcon;

    // --- shell ---
    bool guiStarted = false;  // ImGui context and backends exist (Initialize got that far)
    // Test hook: called with the tab's label just before its drawing entry point runs.
    std::function<void(const char* tabLabel)> onTabDraw;

    // --- extra per-tab state, one block per tab (each tab's owner edits only its block) ---
    // [MTR tab extras]
    std::string mtrStartFailureCause;  // Portuguese cause shown under "Falha ao Iniciar"; may be empty
    // [Flow tab extras]
    // Capture settings of the Flow tab (one copy per process, not saved).
    int32_t flowSipPort = 5060;
    int32_t flowRtpMin = 10000;
    int32_t flowRtpMax = 50000;
    bool showRawDebug = false;
    char rawDebugFilter[128] = {};
    // One line under the controls: why a start failed, or what an export/import did.
    std::string flowStatusLine;
    bool flowStatusIsError = false;
    // "Importar PCAP" panel.
    bool flowImportOpen = false;
    char flowImportPath[1024] = {};
    std::vector<std::string> flowImportFiles;
    std::string flowImportActivePath;  // savefile being read, until its last packet is taken in
    void FlowFollowEngine();
    bool FlowStartMonitoring();
    void FlowStopMonitoring();
    void FlowClear();
    bool FlowImportPcap(const std::string& path);
    void DrawFlowControls(size_t packetCount, const std::vector<SipCallRow>& calls);
    void DrawFlowImportPanel();
    void DrawFlowCallTable(const std::vector<SipCallRow>& calls);
    void DrawFlowLadder();
    void DrawFlowRawWindow();
    // [Check IP extras]
    PublicIpCheck publicIpCheck;     // the request runs here, off the GUI thread
    CheckIpOptions checkIpOptions;   // empty host: the built-in one (tests point it elsewhere)
    std::string checkIpError;        // one line under the button after a failed check
    // [Som extras]
    bool audioErrorDismissed = false;  // "OK" pressed on "Erro de Áudio" during this visit
    int audioTabLastFrame = -10;       // GUI frame of the last drawing, to notice a new visit
    // [HOME extras]
    // Source of the dashboard facts; tests put prepared facts here. Null: CollectSystemInfo.
    SystemInfo (*systemInfoSource)() = nullptr;
};

// The capture-device list as the shell keeps it: what the capture library found, or one
// placeholder entry (empty name) when it found nothing.
std::vector<NetDevice> DevicesOrPlaceholder(std::vector<NetDevice> found);

