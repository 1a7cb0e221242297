#include "app/App.h"

#include <imgui.h>

#include "app/Password.h"
#include "logs/Trace.h"
#include "platform/PlatformTexts.h"
#include "platform/gui/Keys.h"
#include "platform/gui/MainWindow.h"
#include "platform/gui/TrayIcon.h"

namespace {

constexpr const char* kTrayTip = "Orvanta Connect";
constexpr const char* kTrayOpenItem = "Abrir Orvanta Connect";
// While hidden or minimised nothing is on screen; wait for events instead of spinning.
constexpr int kHiddenWaitMs = 100;

struct TabEntry {
    const char* label;
    void (App::*draw)();
};

constexpr TabEntry kTabs[] = {
    {"HOME", &App::DrawHomeTab},       {"MTR", &App::DrawMtrTab},
    {"Flow", &App::DrawFlowTab},       {"Check IP", &App::DrawCheckIpTab},
    {"Som", &App::DrawAudioTab},       {"Sobre", &App::DrawAboutTab},
};

}  // namespace

App::App() : lockPasswordDigest(kLockPasswordDigest) {}

App::~App() {
    // Engines first: their threads must be joined before anything they could touch goes.
    mtrCore.Stop();
    flowCore.Stop();
    if (guiStarted) {
        if (window) window->StopGui();
        ImGui::DestroyContext();
        guiStarted = false;
    }
    if (window) window->ReleaseRenderer();
    trayIcon.reset();
    window.reset();  // the window, then our SDL subsystems
}

bool App::Initialize(const std::string& title, int width, int height) {
    std::string error;
    window = platform::MainWindow::Open(title, 100, 100, width, height, error);
    if (!window) {
        Trace("Window creation failed: " + error);
        return false;
    }

    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    guiStarted = true;
    ImGui::GetIO().ConfigFlags |= ImGuiConfigFlags_NavEnableKeyboard;
    ImGui::StyleColorsDark();
    if (!window->StartGui()) {
        Trace("GUI backend start failed");
        return false;
    }

    // No tray host is not an error: closing then minimises instead of hiding.
    trayIcon = platform::TrayIcon::Create(kTrayTip, kTrayOpenItem);

    devices = DevicesOrPlaceholder(mtrCore.ListDevices());
    return true;
}

std::vector<NetDevice> DevicesOrPlaceholder(std::vector<NetDevice> found) {
    // The MTR and Flow device combos always need one line to show.
    if (found.empty()) {
        NetDevice placeholder;
        placeholder.description = platform::Texts().noDevice;
        found.push_back(placeholder);
    }
    return found;
}

void App::RestoreFromTray() {
    if (window) window->RestoreAndRaise();
}

bool App::DrawFrame() {
    // Read before the lock gate, so the shortcut also works on the lock screen.
    bool keepRunning = true;
    const bool ctrl =
        ImGui::IsKeyDown(platform::keys::LeftCtrl) || ImGui::IsKeyDown(platform::keys::RightCtrl);
    if (ctrl && ImGui::IsKeyPressed(platform::keys::Q, true)) keepRunning = false;

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

    if (!unlocked) {
        DrawLockScreen();
    } else if (ImGui::BeginTabBar("MainTabs")) {
        for (const TabEntry& tab : kTabs) {
            if (ImGui::BeginTabItem(tab.label)) {
                if (onTabDraw) onTabDraw(tab.label);
                (this->*tab.draw)();
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
        const platform::PumpResult events = window->PumpEvents();
        if (events.closeRequested) {
            // Hide to the tray only when an icon is really docked: without a tray host a
            // hidden window could never be brought back.
            if (trayIcon && trayIcon->Docked()) {
                window->Hide();
            } else {
                window->Minimize();
            }
        }
        if (trayIcon) {
            const platform::TrayEvents tray = trayIcon->Pump();
            if (tray.restoreRequested) RestoreFromTray();
            // The icon was the only way back; don't leave the window unreachable.
            if (tray.hostLost && window->IsHidden()) RestoreFromTray();
        }
        if (events.quit) break;

        const bool offScreen = window->IsHidden() || window->IsMinimized();
        if (offScreen) window->WaitForEvents(kHiddenWaitMs);

        window->BeginFrame();
        ImGui::NewFrame();
        if (!DrawFrame()) running = false;
        if (events.quitShortcut) running = false;
        ImGui::Render();
        // Nothing is on screen while hidden or minimised: skip the GL work.
        if (!offScreen) window->Present(0.45f, 0.55f, 0.60f, 1.00f);
    }
}
