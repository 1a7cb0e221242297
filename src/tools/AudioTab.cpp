#include <imgui.h>

#include "app/App.h"
#include "platform/PlatformTexts.h"
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

void App::DrawAudioTab() {
    const char* const kNoDeviceText = platform::Texts().noAudioDevices;
    // The device count is asked every frame. The modal message comes back on every visit to
    // the tab while no device exists, but not after "OK" within the same visit: a modal that
    // reopened at once would block the tab bar and keep the user on this tab for good.
    const int frame = ImGui::GetFrameCount();
    if (frame != audioTabLastFrame + 1) audioErrorDismissed = false;  // the tab was just entered
    audioTabLastFrame = frame;
    const bool hasDevices = audioTester.HasDevices();
    if (hasDevices) audioErrorDismissed = false;
    if (!hasDevices && !audioErrorDismissed) ImGui::OpenPopup("Erro de Áudio");
    if (ImGui::BeginPopupModal("Erro de Áudio", nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
        ImGui::Text("%s", kNoDeviceText);
        if (ImGui::Button("OK")) {
            ImGui::CloseCurrentPopup();
            audioErrorDismissed = true;
        }
        ImGui::EndPopup();
    }

    ImGui::TextWrapped(
        "Para iniciar o teste voce devera clicar no botao 'Iniciar', mas fique atento, voce ira falar no "
        "microfone por ate 10 segundos.\nAproveite e ajuste o volume do microfone.");
    if (!hasDevices) ImGui::TextColored(ImVec4(1.0f, 0.0f, 0.0f, 1.0f), "%s", kNoDeviceText);
    ImGui::Spacing();

    const float level = audioTester.GetLevel();
    ImGui::PushStyleColor(ImGuiCol_PlotHistogram, MeterColour(level));
    ImGui::ProgressBar(level, ImVec2(-1.0f, 30.0f), "");
    ImGui::PopStyleColor();
    ImGui::Spacing();

    const bool recording = audioTester.IsRecording();
    const bool playing = audioTester.IsPlaying();
    if (!recording && !playing) {
        // A start that fails leaves the buttons as they are.
        if (ImGui::Button("INICIAR GRAVACAO", ImVec2(200, 50))) audioTester.StartRecording();
        ImGui::SameLine();
        if (ImGui::Button("ESCUTAR TESTE", ImVec2(200, 50))) audioTester.StartPlayback();
    } else if (recording) {
        if (ImGui::Button("PARAR GRAVACAO", ImVec2(200, 50))) audioTester.StopRecording();
        ImGui::ProgressBar(audioTester.RecordedSeconds() / AudioTester::kRecordLimitSeconds, ImVec2(-1.0f, 10.0f),
                           "Gravando...");
    } else {
        if (ImGui::Button("PARAR REPRODUCAO", ImVec2(200, 50))) audioTester.StopPlayback();
    }

    ImGui::Spacing();
    ImGui::Separator();
    ImGui::Text("Volume do Microfone:");
    // Re-read every frame so that a change made in the desktop's mixer shows at once.
    float volume = audioTester.GetMicVolume();
    if (ImGui::SliderFloat("##micvol", &volume, 0.0f, 1.0f, "%.2f")) audioTester.SetMicVolume(volume);

    ImGui::SetCursorPosY(ImGui::GetWindowHeight() - 60.0f);
    if (ImGui::Button("CONFIGURACOES AVANCADAS DE SOM", ImVec2(-1.0f, 40.0f))) OpenSoundSettings();
}
