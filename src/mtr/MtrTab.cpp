// The MTR tab: run controls, the per-hop results and the live packet log. Every figure comes
// from the snapshots MtrCore hands out once per frame; the tab keeps only its form fields.
#include <imgui.h>

#include <cstdint>
#include <exception>
#include <string>

#include "app/App.h"
#include "capture/StartError.h"
#include "logs/LogPaths.h"
#include "mtr/MtrTabFormat.h"
#include "platform/Launcher.h"
#include "platform/PlatformTexts.h"

namespace {

constexpr const char* kStartFailedPopup = "Falha ao Iniciar";
constexpr const char* kProtocolItems[] = {"UDP", "ICMP", "TCP"};
const ImVec2 kButtonSize{80.0f, 30.0f};

void DrawCell(const MtrCell& cell) {
    if (cell.color)
        ImGui::TextColored(*cell.color, "%s", cell.text.c_str());
    else
        ImGui::TextUnformatted(cell.text.c_str());
}

}  // namespace

void App::DrawMtrTab() {
    ImGui::BeginChild("ConfigPanel", ImVec2(0.0f, 100.0f), true);

    ImGui::PushItemWidth(200.0f);
    ImGui::Text("Host Alvo:");
    ImGui::SameLine();
    ImGui::InputText("##target", mtrTarget, sizeof mtrTarget);

    ImGui::SameLine(0.0f, 20.0f);
    ImGui::Text("Interface:");
    ImGui::SameLine();
    if (selectedDevice < 0 || selectedDevice >= static_cast<int32_t>(devices.size())) selectedDevice = 0;
    if (!devices.empty()) {
        if (ImGui::BeginCombo("##deviceCombo", devices[selectedDevice].description.c_str())) {
            for (int32_t i = 0; i < static_cast<int32_t>(devices.size()); ++i) {
                const bool isSelected = (i == selectedDevice);
                ImGui::PushID(i);
                if (ImGui::Selectable(devices[i].description.c_str(), isSelected)) selectedDevice = i;
                if (isSelected) ImGui::SetItemDefaultFocus();
                ImGui::PopID();
            }
            ImGui::EndCombo();
        }
    }
    ImGui::PopItemWidth();

    ImGui::PushItemWidth(120.0f);
    ImGui::Text("Protocolo:");
    ImGui::SameLine();
    ImGui::Combo("##proto", &mtrProtocol, kProtocolItems, IM_ARRAYSIZE(kProtocolItems));
    ImGui::PopItemWidth();

    ImGui::SameLine(0.0f, 40.0f);
    ImGui::Checkbox("Salvar Pcap", &mtrSavePcap);

    if (mtrRunning) {
        if (ImGui::Button("PARAR", kButtonSize)) {
            mtrCore.Stop();
            mtrRunning = false;
        }
    } else if (ImGui::Button("INICIAR", kButtonSize)) {
        const std::string deviceName =
            (selectedDevice >= 0 && selectedDevice < static_cast<int32_t>(devices.size()))
                ? devices[selectedDevice].name
                : std::string();
        bool started = false;
        mtrStartFailureCause.clear();
        try {
            started = mtrCore.Start(mtrTarget, deviceName, mtrProtocol, mtrSavePcap);
            if (!started) mtrStartFailureCause = StartErrorText(mtrCore.LastStartError());
        } catch (const std::exception&) {
            // The probing thread could not be created after the capture had started: take the
            // half-started run down so that no capture keeps running behind an "INICIAR" button.
            mtrCore.Stop();
        }
        if (started)
            mtrRunning = true;
        else
            ImGui::OpenPopup(kStartFailedPopup);
    }

    ImGui::SameLine();
    if (ImGui::Button("LIMPAR", kButtonSize)) mtrCore.Clear();

    ImGui::SameLine();
    if (ImGui::Button("PASTA", kButtonSize)) {
        // A fresh installation has no LOGS/mtr yet; the file browser would only show an error.
        const std::string folder = MtrLogDirectory();
        EnsureDirectory(folder);
        platform::OpenFolder(folder);
    }

    if (ImGui::BeginPopupModal(kStartFailedPopup, nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
        ImGui::Text("Nao foi possivel iniciar o MTR.");
        if (!mtrStartFailureCause.empty()) ImGui::TextUnformatted(mtrStartFailureCause.c_str());
        if (ImGui::Button("OK")) ImGui::CloseCurrentPopup();
        ImGui::EndPopup();
    }

    ImGui::EndChild();

    ImGui::Spacing();
    ImGui::Text("Resultados do MTR");
    ImGui::BeginChild("ResultsPanel", ImVec2(0.0f, -200.0f), true);
    DrawMtrTable();
    ImGui::EndChild();

    ImGui::Spacing();
    ImGui::TextUnformatted(platform::Texts().captureHeading);
    ImGui::BeginChild("LogPanel", ImVec2(0.0f, 0.0f), true);
    constexpr ImGuiTableFlags kLogFlags =
        ImGuiTableFlags_RowBg | ImGuiTableFlags_Borders | ImGuiTableFlags_ScrollY;
    if (ImGui::BeginTable("LogTable", kMtrLogColumns, kLogFlags, ImVec2(0.0f, 0.0f))) {
        for (const char* header : kMtrLogHeaders) ImGui::TableSetupColumn(header);
        ImGui::TableSetupScrollFreeze(0, 1);
        ImGui::TableHeadersRow();

        const std::vector<PacketLogEntry> log = mtrCore.GetLog();
        // Only the rows in view are submitted; the clipper advances the layout over the rest,
        // so the scroll range stays that of the whole log.
        ImGuiListClipper clipper;
        clipper.Begin(static_cast<int>(log.size()));
        while (clipper.Step()) {
            for (int i = clipper.DisplayStart; i < clipper.DisplayEnd; ++i) {
                const PacketLogEntry& entry = log[static_cast<size_t>(i)];
                ImGui::TableNextRow();
                ImGui::TableNextColumn();
                ImGui::TextUnformatted(entry.time.c_str());
                ImGui::TableNextColumn();
                ImGui::TextUnformatted(entry.source.c_str());
                ImGui::TableNextColumn();
                ImGui::TextUnformatted(entry.destination.c_str());
                ImGui::TableNextColumn();
                ImGui::TextUnformatted(entry.protocol.c_str());
                ImGui::TableNextColumn();
                ImGui::Text("%u", static_cast<unsigned>(entry.wireLength));
                ImGui::TableNextColumn();
                ImGui::TextUnformatted(entry.info.c_str());
            }
        }
        // Follow the newest packet only while the view is already at the end; a user who
        // scrolled up keeps their place until they scroll back down.
        if (ImGui::GetScrollY() >= ImGui::GetScrollMaxY()) ImGui::SetScrollHereY(1.0f);
        ImGui::EndTable();
    }
    ImGui::EndChild();
}

void App::DrawMtrTable() {
    constexpr ImGuiTableFlags kFlags = ImGuiTableFlags_Resizable | ImGuiTableFlags_RowBg |
                                       ImGuiTableFlags_Borders | ImGuiTableFlags_ScrollY;
    if (!ImGui::BeginTable("MtrTable", kMtrTableColumns, kFlags, ImVec2(0.0f, 0.0f))) return;

    ImGui::TableSetupColumn(kMtrTableHeaders[0], ImGuiTableColumnFlags_WidthFixed, 40.0f);
    for (int c = 1; c < kMtrTableColumns; ++c) ImGui::TableSetupColumn(kMtrTableHeaders[c]);
    ImGui::TableSetupScrollFreeze(0, 1);
    ImGui::TableHeadersRow();

    const auto hops = mtrCore.GetHops();
    // One read: the capture thread may lower the limit while this frame draws.
    const int32_t limit = mtrCore.MaxHops();
    for (const auto& [ttl, hop] : hops) {
        if (ttl > limit) continue;
        ImGui::TableNextRow();
        for (const MtrCell& cell : MtrRowCells(ttl, hop)) {
            ImGui::TableNextColumn();
            DrawCell(cell);
        }
    }
    ImGui::EndTable();
}
