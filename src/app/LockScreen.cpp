#include <cstring>

#include <imgui.h>

#include "app/App.h"
#include "app/Password.h"
#include "logs/Trace.h"
#include "platform/gui/Digest.h"

void App::DrawLockScreen() {
    // Position is set every frame so the dialog stays centred when the window is resized.
    const ImGuiViewport* viewport = ImGui::GetMainViewport();
    ImGui::SetNextWindowPos(ImVec2(viewport->Pos.x + viewport->Size.x * 0.5f,
                                   viewport->Pos.y + viewport->Size.y * 0.5f),
                            ImGuiCond_Always, ImVec2(0.5f, 0.5f));
    ImGui::Begin("Autenticacao Orvanta", nullptr,
                 ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoCollapse |
                     ImGuiWindowFlags_AlwaysAutoResize | ImGuiWindowFlags_NoSavedSettings);
    ImGui::Text("Digite a senha para desbloquear o sistema:");
    ImGui::Spacing();
    ImGui::PushItemWidth(250.0f);
    if (ImGui::InputText("##pwd", passwordInput, sizeof(passwordInput),
                         ImGuiInputTextFlags_Password | ImGuiInputTextFlags_EnterReturnsTrue)) {
        TryUnlock();
    }
    ImGui::PopItemWidth();
    ImGui::SameLine();
    if (ImGui::Button("DESBLOQUEAR")) TryUnlock();
    ImGui::End();
}

void App::TryUnlock() {
    const std::string_view typed(passwordInput, strnlen(passwordInput, sizeof(passwordInput)));
    if (!PasswordMatchesDigest(typed, lockPasswordDigest)) return;
    unlocked = true;
    // All 64 bytes, not just up to the NUL; cleanse so the wipe is not optimised away.
    platform::WipeSecret(passwordInput, sizeof(passwordInput));
    Trace("Unlocked");
}
