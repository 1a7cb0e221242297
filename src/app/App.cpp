#include "app/App.h"

#include <imgui.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "logs/Trace.h"
#include "platform/gui/MainWindow.h"
#include "platform/gui/TrayIcon.h"
#include "tools/SystemInfo.h"

namespace {

constexpr const char* kTrayTip = "Orvanta Connect";
constexpr const char* kTrayOpenItem = "Abrir Orvanta Connect";
// While hidden or minimised nothing is on screen: frames only to follow the engines, this far apart.
constexpr int kHiddenWaitMs = 100;
// The longest sleep in the event wait: the tray icon talks to its own X connection, which the
// window's wait does not watch, so a click on it is seen within this time.
constexpr int kIdleWaitMs = 100;
// How often the Flow tab looks for the file dialog's answer while the dialog is open.
constexpr int kDialogPollMs = 100;
// ImGui 1.86 blinks the caret 0.8 s on, 0.4 s off; a frame this often keeps the blink right.
constexpr int kCaretBlinkMs = 400;
// Names a file that receives the count of frames drawn, rewritten after every frame (for the
// benchmarks).
constexpr const char* kFrameCounterEnv = "ORVANTA_FRAME_COUNTER";

}  // namespace

App::App(AppOptions options)
    : mtrCore_(options.mtrEngine ? options.mtrEngine() : std::make_unique<MtrCore>()),
      lockScreen_(shared_),
      homeTab_(shared_.locked, std::move(options.systemFacts)),
      mtrTab_(*mtrCore_, shared_.capture),
      flowTab_(flowCore_, shared_.capture, &shared_.mtrTrace),
      checkIpTab_(std::move(options.checkIp)),
      audioTab_(audioTester_) {}

App::~App() {
    // Engines first: their threads must be joined before anything they could touch goes.
    mtrCore_->Stop();
    flowCore_.Stop();
    if (guiStarted_) {
        if (window_) window_->StopGui();
        ImGui::DestroyContext();
        guiStarted_ = false;
    }
    if (window_) window_->ReleaseRenderer();
    trayIcon_.reset();
    window_.reset();  // the window, then our SDL subsystems
}

bool App::Initialize(const std::string& title, int width, int height) {
    std::string error;
    window_ = platform::MainWindow::Open(title, 100, 100, width, height, error);
    if (!window_) {
        Trace("Window creation failed: " + error);
        return false;
    }

    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    guiStarted_ = true;
    ImGui::GetIO().ConfigFlags |= ImGuiConfigFlags_NavEnableKeyboard;
    ImGui::StyleColorsDark();
    if (!window_->StartGui()) {
        Trace("GUI backend start failed");
        return false;
    }

    // No tray host is not an error: closing then minimises instead of hiding.
    trayIcon_ = platform::TrayIcon::Create(kTrayTip, kTrayOpenItem);

    shared_.capture.devices = DevicesOrPlaceholder(mtrCore_->ListDevices());
    return true;
}

void App::RestoreFromTray() {
    if (window_) window_->RestoreAndRaise();
}

bool App::DrawFrame(bool quitShortcut) {
    // Taken before the lock gate, so the shortcut also works on the lock screen. It comes from
    // the window's key events, which know what a key means; the GUI library's key state only
    // knows where the key sits.
    const bool keepRunning = !quitShortcut;
    redraw_.Clear();
    int liveMs = 0;  // the selected tab's wish (0: none)

    const ImGuiViewport* viewport = ImGui::GetMainViewport();
    ImGui::SetNextWindowPos(viewport->WorkPos, 0, ImVec2(0.0f, 0.0f));
    ImGui::SetNextWindowSize(viewport->WorkSize, 0);
    ImGui::PushStyleVar(ImGuiStyleVar_WindowRounding, 0.0f);
    ImGui::PushStyleVar(ImGuiStyleVar_WindowBorderSize, 0.0f);
    ImGui::Begin("MainDock", nullptr,
                 ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                     ImGuiWindowFlags_NoCollapse | ImGuiWindowFlags_NoBringToFrontOnFocus |
                     ImGuiWindowFlags_NoNavFocus);
    ImGui::PopStyleVar(2);

    if (shared_.locked) {
        lockScreen_.Draw();
    } else if (ImGui::BeginTabBar("MainTabs")) {
        // A trace another tab asked for starts here, and its tab comes to the front.
        const char* bringForward = std::exchange(bringForward_, nullptr);
        if (std::optional<std::string> host = shared_.mtrTrace.Take()) {
            mtrTab_.StartTraceTo(*host);
            bringForward = "MTR";
        }
        // Each tab with what it shows that changes without input: after its drawing, how soon
        // it wants the next frame (0: only on input). The dashboard's figures refresh on a
        // timer; the others show an engine's data while it works.
        const auto live = [](bool active) { return active ? kLiveFrameMs : 0; };
        struct Tab {
            const char* label;
            std::function<void()> draw;
            std::function<int()> redrawMs;
        };
        const Tab tabs[] = {
            {"HOME", [this] { homeTab_.Draw(); }, [] { return static_cast<int>(kSystemInfoRefreshSeconds * 1000); }},
            {"MTR", [this] { mtrTab_.Draw(); },
             [&] {
                 const MtrRunState state = mtrCore_->Snapshot()->status.state;
                 return live(state == MtrRunState::Running || state == MtrRunState::Resolving);
             }},
            {"Flow", [this] { flowTab_.Draw(); },
             [&] { return flowTab_.Busy() ? kLiveFrameMs : flowTab_.FileDialogOpen() ? kDialogPollMs : 0; }},
            {"Check IP", [this] { checkIpTab_.Draw(); }, [&] { return live(checkIpTab_.Busy()); }},
            {"Som", [this] { audioTab_.Draw(); },
             [&] { return live(audioTester_.IsRecording() || audioTester_.IsPlaying()); }},
            {"Sobre", [this] { aboutTab_.Draw(); }, [] { return 0; }},
        };
        for (const Tab& tab : tabs) {
            const ImGuiTabItemFlags flags =
                bringForward && std::strcmp(tab.label, bringForward) == 0 ? ImGuiTabItemFlags_SetSelected : 0;
            if (ImGui::BeginTabItem(tab.label, nullptr, flags)) {
                if (onTabDraw_) onTabDraw_(tab.label);
                tab.draw();
                liveMs = tab.redrawMs();
                ImGui::EndTabItem();
            }
        }
        ImGui::EndTabBar();
    }

    ImGui::End();

    // An engine that just started or stopped changes the picture once more than its data
    // does: a few frames more let that and ImGui's layout settle.
    if ((liveMs == kLiveFrameMs) != wasLive_) settleFrames_ = std::max(settleFrames_, kSettleFrames);
    wasLive_ = liveMs == kLiveFrameMs;
    if (liveMs > 0) redraw_.Within(liveMs);
    if (ImGui::GetIO().WantTextInput) redraw_.Within(kCaretBlinkMs);
    if (settleFrames_ > 0 && --settleFrames_ > 0) redraw_.Within(0);
    return keepRunning;
}

bool App::OpenDroppedFile(const std::string& path) {
    if (shared_.locked) {
        Trace("Dropped file ignored while locked: " + path);
        return false;
    }
    bringForward_ = "Flow";
    const bool started = flowTab_.ImportPcap(path);
    Trace("Dropped file " + path + (started ? ": import started" : ": import refused"));
    return started;
}

void App::NoteInput() {
    settleFrames_ = kSettleFrames;
    redraw_.Within(0);
}

void App::Run() {
    std::FILE* frameCounter = nullptr;
    if (const char* path = std::getenv(kFrameCounterEnv); path && *path) frameCounter = std::fopen(path, "w");
    unsigned long long frames = 0;
    redraw_.Within(0);  // the first picture
    bool running = true;
    while (running) {
        const platform::PumpResult events = window_->PumpEvents();
        if (events.closeRequested) {
            // Hide to the tray only when an icon is really docked: without a tray host a
            // hidden window could never be brought back.
            if (trayIcon_ && trayIcon_->Docked()) {
                window_->Hide();
            } else {
                window_->Minimize();
            }
        }
        if (trayIcon_) {
            const platform::TrayEvents tray = trayIcon_->Pump();
            if (tray.restoreRequested) RestoreFromTray();
            // The icon was the only way back; don't leave the window unreachable.
            if (tray.hostLost && window_->IsHidden()) RestoreFromTray();
        }
        if (events.quit) break;
        if (events.handled > 0) NoteInput();
        for (const std::string& path : events.droppedFiles) OpenDroppedFile(path);

        const bool offScreen = window_->IsHidden() || window_->IsMinimized();
        const auto now = platform::RedrawRequest::Clock::now();
        // Nothing changed and no view asked for a frame: sleep in the event wait until one
        // does (a key held back for the next frame must not wait).
        if (!events.pending && !redraw_.DueAt(now)) {
            window_->WaitForEvents(redraw_.WaitMs(kIdleWaitMs, now));
            continue;
        }

        window_->BeginFrame();
        ImGui::NewFrame();
        if (!DrawFrame(events.quitShortcut)) running = false;
        ImGui::Render();
        // Nothing is on screen while hidden or minimised: skip the GL work, and follow the
        // engines less often.
        if (offScreen) {
            if (redraw_.WaitMs(kHiddenWaitMs, now) < kHiddenWaitMs) {
                redraw_.Clear();
                redraw_.Within(kHiddenWaitMs);
            }
        } else {
            window_->Present(0.45f, 0.55f, 0.60f, 1.00f);
        }
        ++frames;
        if (frameCounter) {
            std::rewind(frameCounter);
            std::fprintf(frameCounter, "%20llu\n", frames);
            std::fflush(frameCounter);
        }
    }
    if (frameCounter) std::fclose(frameCounter);
}
