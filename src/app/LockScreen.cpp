#include "app/LockScreen.h"

#include <cstring>

#include <imgui.h>

#include "app/SharedState.h"
#include "logs/Trace.h"
#include "platform/gui/Digest.h"
#include "platform/gui/Digest.h"

namespace {

// An auto-resizing window is laid out without being shown in its first frame; asking for the
// field's focus in two frames lets the request land whichever frame the window takes it in.
constexpr int kFocusRequestFrames = 2;

}  // namespace

LockScreen::LockScreen(SharedState& shared, const PasswordDigest& digest) : shared_(shared), digest_(digest) {}

std::string_view LockScreen::FieldText() const { return {input_, strnlen(input_, sizeof(input_))}; }

void LockScreen::Draw() {
    const int frame = ImGui::GetFrameCount();
    if (frame != lastFrame_ + 1) {
        // The dialog has just appeared (start, or "BLOQUEAR SISTEMA"): nothing typed before
        // the lock may be shown again, and the password can be typed at once.
        Wipe();
        focusFrames_ = kFocusRequestFrames;
    }
    lastFrame_ = frame;

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
    if (focusFrames_ > 0) {
        --focusFrames_;
        if (!fieldActive_) ImGui::SetKeyboardFocusHere();
    }
    const bool entered = ImGui::InputText("##pwd", input_, sizeof(input_),
                                          ImGuiInputTextFlags_Password | ImGuiInputTextFlags_EnterReturnsTrue);
    fieldActive_ = ImGui::IsItemActive();
    if (entered) TryUnlock();
    ImGui::PopItemWidth();
    ImGui::SameLine();
    if (ImGui::Button("DESBLOQUEAR")) TryUnlock();
    ImGui::End();
}

void LockScreen::TryUnlock() {
    if (!PasswordMatchesDigest(FieldText(), digest_)) return;
    shared_.locked = false;
    Wipe();
    Trace("Unlocked");
}

void LockScreen::Wipe() {
    // All 64 bytes, not just up to the NUL; cleanse so the wipe is not optimised away.
    platform::WipeSecret(input_, sizeof(input_));
}
