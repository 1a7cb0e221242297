#include "app/App.h"

#include <imgui.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "logs/Trace.h"
#include "platform/gui/MainWindow.h"
#include "platform/gui/TrayIcon.h"

namespace {

constexpr const char* kTrayTip = "Orvanta Connect";
constexpr const char* kTrayOpenItem = "Abrir Orvanta Connect";
// While hidden or minimised nothing is on screen; wait for events instead of spinning.
constexpr int kHiddenWaitMs = 100;

}  // namespace

App::App(AppOptions options)
    : lockScreen_(shared_),
      homeTab_(shared_, std::move(options.systemFacts)),
      mtrTab_(mtrCore_, shared_.capture),
      flowTab_(flowCore_, shared_.capture, &shared_.mtrTrace),
      checkIpTab_(std::move(options.checkIp)),
      audioTab_(audioTester_) {}

App::~App() {
    // Engines first: their threads must be joined before anything they could touch goes.
    mtrCore_.Stop();
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

    shared_.capture.devices = DevicesOrPlaceholder(mtrCore_.ListDevices());
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
        const char* bringForward = nullptr;
        if (std::optional<std::string> host = shared_.mtrTrace.Take()) {
            mtrTab_.StartTraceTo(*host);
            bringForward = "MTR";
        }
        const std::pair<const char*, std::function<void()>> tabs[] = {
            {"HOME", [this] { homeTab_.Draw(); }},       {"MTR", [this] { mtrTab_.Draw(); }},
            {"Flow", [this] { flowTab_.Draw(); }},       {"Check IP", [this] { checkIpTab_.Draw(); }},
            {"Som", [this] { audioTab_.Draw(); }},       {"Sobre", [this] { aboutTab_.Draw(); }},
        };
        for (const auto& [label, draw] : tabs) {
            const ImGuiTabItemFlags flags =
                bringForward && std::strcmp(label, bringForward) == 0 ? ImGuiTabItemFlags_SetSelected : 0;
            if (ImGui::BeginTabItem(label, nullptr, flags)) {
                if (onTabDraw_) onTabDraw_(label);
                draw();
                ImGui::EndTabItem();
            }
        }
        ImGui::EndTabBar();
    }

    ImGui::End();
    return keepRunning;
}

void App::Run() {
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

        const bool offScreen = window_->IsHidden() || window_->IsMinimized();
        if (offScreen) window_->WaitForEvents(kHiddenWaitMs);

        window_->BeginFrame();
        ImGui::NewFrame();
        if (!DrawFrame(events.quitShortcut)) running = false;
        ImGui::Render();
        // Nothing is on screen while hidden or minimised: skip the GL work.
        if (!offScreen) window_->Present(0.45f, 0.55f, 0.60f, 1.00f);
    }
}
