#include "tools/view/HomeTab.h"

#include <imgui.h>

#include <algorithm>
#include <string>
#include <utility>

#include "ui/TabTexts.h"
#include "tools/QuickTools.h"

namespace {

// The figures sit over the right end of the bar just drawn: 100 pixels back from the end of
// the line, or further back when the text is wider, so that it is never cut off at the edge.
void FiguresOverBarEnd(const std::string& text) {
    ImGui::SameLine();
    const float back = std::max(100.0f, ImGui::CalcTextSize(text.c_str()).x + ImGui::GetStyle().ItemSpacing.x +
                                            ImGui::GetStyle().FramePadding.x);
    ImGui::SetCursorPosX(ImGui::GetCursorPosX() - back);
    ImGui::TextUnformatted(text.c_str());
}

}  // namespace

HomeTab::HomeTab(bool& locked, std::function<SystemInfo()> source)
    : locked_(locked), source_(std::move(source)) {}

void HomeTab::Draw() {
    if (SystemInfoRefreshDue(refreshTimer_, ImGui::GetIO().DeltaTime))
        facts_ = source_ ? source_() : CollectSystemInfo();

    ImGui::BeginChild("HomeDashboard", ImVec2(0, 0), true);
    const ImVec4 heading(0.2f, 0.7f, 1.0f, 1.0f);
    ImGui::TextColored(heading, "DASHBOARD DE DESEMPENHO");
    ImGui::Separator();
    ImGui::Spacing();

    if (ImGui::BeginTable("SysInfoTable", 2)) {
        ImGui::TableSetupColumn("Label", ImGuiTableColumnFlags_WidthFixed, 150.0f);
        ImGui::TableSetupColumn("Value", ImGuiTableColumnFlags_WidthStretch);

        ImGui::TableNextRow();
        ImGui::TableSetColumnIndex(0);
        ImGui::Text("Nome do Computador:");
        ImGui::TableSetColumnIndex(1);
        ImGui::TextColored(ImVec4(1.0f, 1.0f, 0.0f, 1.0f), "%s", facts_.computerName.c_str());

        ImGui::TableNextRow();
        ImGui::TableSetColumnIndex(0);
        ImGui::Text("S.O.:");
        ImGui::TableSetColumnIndex(1);
        ImGui::Text("%s", facts_.osText.c_str());

        ImGui::TableNextRow();
        ImGui::TableSetColumnIndex(0);
        ImGui::Text("Memoria RAM:");
        ImGui::TableSetColumnIndex(1);
        ImGui::ProgressBar(MemoryUsedFraction(facts_), ImVec2(-1.0f, 0.0f), "");
        FiguresOverBarEnd(MemoryFiguresText(facts_));

        ImGui::TableNextRow();
        ImGui::TableSetColumnIndex(0);
        ImGui::TextUnformatted(ui::DiskRowLabel().c_str());
        ImGui::TableSetColumnIndex(1);
        ImGui::ProgressBar(DiskUsedFraction(facts_), ImVec2(-1.0f, 0.0f), "");
        FiguresOverBarEnd(DiskFiguresText(facts_));
        ImGui::EndTable();
    }

    ImGui::Spacing();
    ImGui::Separator();
    ImGui::Spacing();
    ImGui::TextColored(heading, "FERRAMENTAS RAPIDAS");
    if (ImGui::Button("CONFIGURACOES DE REDE", ImVec2(250, 40))) OpenNetworkSettings();
    ImGui::SameLine();
    if (ImGui::Button("CONFIGURACOES DE SOM", ImVec2(250, 40))) OpenSoundSettings();
    ImGui::SameLine();
    if (ImGui::Button("PAINEL DE CONTROLE", ImVec2(250, 40))) OpenSystemSettings();
    ImGui::SameLine();
    if (ImGui::Button("ABRIR PASTA DE LOGS", ImVec2(250, 40))) OpenLogFolder();

    ImGui::Spacing();
    ImGui::Separator();
    ImGui::Spacing();
    ImGui::TextColored(ImVec4(0.0f, 1.0f, 0.0f, 1.0f), "Interfaces de Rede Ativas:");
    for (const std::string& line : facts_.interfaces) ImGui::BulletText("%s", line.c_str());

    ImGui::SetCursorPosY(ImGui::GetWindowHeight() - 60.0f);
    ImGui::Separator();
    if (ImGui::Button("BLOQUEAR SISTEMA", ImVec2(-1.0f, 40.0f))) {
        // The lock screen empties its field as it appears.
        locked_ = true;
    }
    ImGui::EndChild();
}
