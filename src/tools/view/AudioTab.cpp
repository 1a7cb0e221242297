#include "tools/view/AudioTab.h"

#include <imgui.h>

#include "ui/TabTexts.h"
#include "tools/AudioTester.h"
#include "tools/QuickTools.h"

namespace {

ImVec4 MeterColour(float level) {
    switch (LevelMeterColour(level)) {
        case LevelColour::Green: return ImVec4(0.0f, 1.0f, 0.0f, 1.0f);
        case LevelColour::Yellow: return ImVec4(1.0f, 1.0f, 0.0f, 1.0f);
        case LevelColour::Red: break;
    }
    return ImVec4(1.0f, 0.0f, 0.0f, 1.0f);
}

}  // namespace

AudioTab::AudioTab(AudioTester& tester) : tester_(tester) {}

void AudioTab::Draw() {
    const char* const kNoDeviceText = ui::NoAudioDevicesText().c_str();
    // The device count is asked every frame. The modal message comes back on every visit to
    // the tab while no device exists, but not after "OK" within the same visit: a modal that
    // reopened at once would block the tab bar and keep the user on this tab for good.
    const int frame = ImGui::GetFrameCount();
    if (frame != lastFrame_ + 1) errorDismissed_ = false;  // the tab was just entered
    lastFrame_ = frame;
    const bool hasDevices = tester_.HasDevices();
    if (hasDevices) errorDismissed_ = false;
    if (!hasDevices && !errorDismissed_) ImGui::OpenPopup("Erro de Áudio");
    if (ImGui::BeginPopupModal("Erro de Áudio", nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
        ImGui::Text("%s", kNoDeviceText);
        if (ImGui::Button("OK")) {
            ImGui::CloseCurrentPopup();
            errorDismissed_ = true;
        }
        ImGui::EndPopup();
    }

    ImGui::TextWrapped(
        "Para iniciar o teste voce devera clicar no botao 'Iniciar', mas fique atento, voce ira falar no "
        "microfone por ate 10 segundos.\nAproveite e ajuste o volume do microfone.");
    if (!hasDevices) ImGui::TextColored(ImVec4(1.0f, 0.0f, 0.0f, 1.0f), "%s", kNoDeviceText);
    ImGui::Spacing();

    const float level = tester_.GetLevel();
    ImGui::PushStyleColor(ImGuiCol_PlotHistogram, MeterColour(level));
    ImGui::ProgressBar(level, ImVec2(-1.0f, 30.0f), "");
    ImGui::PopStyleColor();
    ImGui::Spacing();

    const bool recording = tester_.IsRecording();
    const bool playing = tester_.IsPlaying();
    if (!recording && !playing) {
        // A start that fails leaves the buttons as they are.
        if (ImGui::Button("INICIAR GRAVACAO", ImVec2(200, 50))) tester_.StartRecording();
        ImGui::SameLine();
        if (ImGui::Button("ESCUTAR TESTE", ImVec2(200, 50))) tester_.StartPlayback();
    } else if (recording) {
        if (ImGui::Button("PARAR GRAVACAO", ImVec2(200, 50))) tester_.StopRecording();
        ImGui::ProgressBar(tester_.RecordedSeconds() / AudioTester::kRecordLimitSeconds, ImVec2(-1.0f, 10.0f),
                           "Gravando...");
    } else {
        if (ImGui::Button("PARAR REPRODUCAO", ImVec2(200, 50))) tester_.StopPlayback();
    }

    ImGui::Spacing();
    ImGui::Separator();
    ImGui::Text("Volume do Microfone:");
    // Re-read every frame so that a change made in the desktop's mixer shows at once.
    float volume = tester_.GetMicVolume();
    if (ImGui::SliderFloat("##micvol", &volume, 0.0f, 1.0f, "%.2f")) tester_.SetMicVolume(volume);

    ImGui::SetCursorPosY(ImGui::GetWindowHeight() - 60.0f);
    if (ImGui::Button("CONFIGURACOES AVANCADAS DE SOM", ImVec2(-1.0f, 40.0f))) OpenSoundSettings();
}
