#include "tools/view/CheckIpTab.h"

#include <imgui.h>

#include <utility>

namespace {

void CentredText(const char* text, float width) {
    ImGui::SetCursorPosX((width - ImGui::CalcTextSize(text).x) * 0.5f);
    ImGui::TextUnformatted(text);
}

}  // namespace

CheckIpTab::CheckIpTab(CheckIpOptions options) : options_(std::move(options)) {}

void CheckIpTab::Draw() {
    // Hand over a finished check. Running() is read first: the worker publishes its result
    // before it clears the flag, so a check seen finished always has its result waiting.
    busy_ = check_.Running();
    CheckIpResult finished;
    if (check_.TakeResult(finished)) {
        busy_ = false;
        address_ = finished.address;
        source_ = finished.source;
        error_ = finished.address.empty() ? "Nao foi possivel obter o IP publico." : "";
        historyError_ = finished.historyError;
    }

    const ImGuiViewport* viewport = ImGui::GetMainViewport();
    const float width = viewport->WorkSize.x;
    const float height = viewport->WorkSize.y;
    ImGui::SetCursorPosY(0.3f * height);

    if (busy_) {
        CentredText("Verificando...", width);
        return;
    }

    if (address_.empty()) {
        if (ImGui::Button("VERIFICAR MEU IP", ImVec2(width, 50))) {
            error_.clear();
            if (check_.Start(options_)) busy_ = true;
        }
        if (!error_.empty()) {
            ImGui::Spacing();
            ImGui::PushStyleColor(ImGuiCol_Text, ImVec4(1.0f, 0.0f, 0.0f, 1.0f));
            CentredText(error_.c_str(), width);
            ImGui::PopStyleColor();
        }
        return;
    }

    CentredText("O IP que o sistema da Orvanta enxerga é:", width);
    ImGui::Spacing();
    ImGui::Spacing();
    ImGui::SetWindowFontScale(2.5f);
    ImGui::SetCursorPosX((width - ImGui::CalcTextSize(address_.c_str()).x) * 0.5f);
    ImGui::TextColored(ImVec4(0.2f, 0.8f, 1.0f, 1.0f), "%s", address_.c_str());
    ImGui::SetWindowFontScale(1.0f);
    ImGui::SetCursorPosY(ImGui::GetCursorPosY() + 30.0f);
    const float x = (width - 200.0f) * 0.5f;
    ImGui::SetCursorPosX(x);
    if (ImGui::Button("COPIAR IP", ImVec2(200, 40))) ImGui::SetClipboardText(address_.c_str());
    ImGui::SetCursorPosY(ImGui::GetCursorPosY() + 10.0f);
    ImGui::SetCursorPosX(x);
    // Only empties the shown result; the next request waits for "VERIFICAR MEU IP".
    if (ImGui::Button("ATUALIZAR", ImVec2(200, 40))) {
        address_.clear();
        historyError_.clear();
    }
    if (!historyError_.empty()) {
        // The address is right; only its line in the history is missing (disk full, a
        // read-only folder).
        ImGui::Spacing();
        ImGui::PushStyleColor(ImGuiCol_Text, ImVec4(1.0f, 0.0f, 0.0f, 1.0f));
        CentredText(historyError_.c_str(), width);
        ImGui::PopStyleColor();
    }
}
