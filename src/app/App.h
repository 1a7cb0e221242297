#pragma once
#include <functional>
#include <memory>
#include <string>

#include "app/AppOptions.h"
#include "app/LockScreen.h"
#include "app/SharedState.h"
#include "platform/gui/RedrawRequest.h"
#include "flow/CallTracker.h"
#include "flow/FlowCore.h"
#include "flow/view/FlowTab.h"
#include "mtr/MtrCore.h"
#include "mtr/view/MtrTab.h"
#include "tools/view/AboutTab.h"
#include "tools/view/AudioTab.h"
#include "tools/AudioTester.h"
#include "tools/view/CheckIpTab.h"
#include "tools/view/HomeTab.h"

namespace platform {
class MainWindow;
class TrayIcon;
}  // namespace platform

// The shell: owns the main window, the tray icon, the engines and the tabs, runs the loop and
// draws the tab bar. Each tab keeps its own state; the little they share is in SharedState.
class App {
public:
    explicit App(AppOptions options = {});
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    bool Initialize(const std::string& title, int width, int height);
    void Run();

    // One GUI frame's drawing (host window, lock gate, tab bar); no platform calls.
    // `quitShortcut`: the window saw the quit shortcut (platform::IsQuitShortcut) since the
    // last frame. Returns false when the program is to end.
    bool DrawFrame(bool quitShortcut = false);
    // Input reached the window: ImGui needs a few frames to settle after it (hover, focus,
    // widgets that appear), which DrawFrame then asks for.
    void NoteInput();
    // When the next frame is wanted without input; DrawFrame renews it every frame.
    const platform::RedrawRequest& Redraw() const { return redraw_; }
    // A tab that shows live engine data is drawn at most this often while its engine works.
    static constexpr int kLiveFrameMs = 33;
    // Frames drawn after each input or change of state.
    static constexpr int kSettleFrames = 3;

    // A file dropped on the window: a capture to import in the Flow tab, which comes to the
    // front. Refused (false) while locked, and when the tab cannot start the import (its
    // status line then says why).
    bool OpenDroppedFile(const std::string& path);

    // Brings the window back from the tray (or from minimised) and raises it.
    void RestoreFromTray();

    // Called with the tab's label just before the tab draws (diagnostics and tests).
    void SetTabDrawHook(std::function<void(const char* tabLabel)> hook) { onTabDraw_ = std::move(hook); }

    SharedState& Shared() { return shared_; }
    // Engines.
    MtrCore& MtrEngine() { return *mtrCore_; }
    FlowCore& FlowEngine() { return flowCore_; }
    AudioTester& Audio() { return audioTester_; }
    // Tabs.
    LockScreen& Lock() { return lockScreen_; }
    HomeTab& Home() { return homeTab_; }
    MtrTab& Mtr() { return mtrTab_; }
    FlowTab& Flow() { return flowTab_; }
    CheckIpTab& CheckIp() { return checkIpTab_; }
    AudioTab& Som() { return audioTab_; }
    AboutTab& About() { return aboutTab_; }

private:
    std::unique_ptr<platform::MainWindow> window_;
    std::unique_ptr<platform::TrayIcon> trayIcon_;
    bool guiStarted_ = false;  // ImGui context and backends exist (Initialize got that far)

    SharedState shared_;
    // Engines before tabs: the tabs hold references to them.
    std::unique_ptr<MtrCore> mtrCore_;  // AppOptions::mtrEngine, else on the network
    FlowCore flowCore_;  // owns the call records and the worker that fills them
    AudioTester audioTester_;

    LockScreen lockScreen_;
    HomeTab homeTab_;
    MtrTab mtrTab_;
    FlowTab flowTab_;
    CheckIpTab checkIpTab_;
    AudioTab audioTab_;
    AboutTab aboutTab_;

    std::function<void(const char* tabLabel)> onTabDraw_;
    platform::RedrawRequest redraw_;
    int settleFrames_ = 0;
    const char* bringForward_ = nullptr;  // a tab to select in the next frame
    bool wasLive_ = false;  // the selected tab showed a working engine in the last frame
};
