#include "mtr/MtrTab.h"

#include <imgui.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>

#include "app/SharedState.h"
#include "capture/StartError.h"
#include "logs/LogPaths.h"
#include "mtr/MtrCore.h"
#include "mtr/MtrTabFormat.h"
#include "platform/Launcher.h"
#include "platform/PlatformTexts.h"

namespace {

constexpr const char* kStartFailedPopup = "Falha ao Iniciar";
const ImVec2 kButtonSize{80.0f, 30.0f};
const ImVec4 kStopCauseColor{1.0f, 0.0f, 0.0f, 1.0f};

void DrawCell(const MtrCell& cell) {
    if (cell.color)
        ImGui::TextColored(*cell.color, "%s", cell.text.c_str());
    else
        ImGui::TextUnformatted(cell.text.c_str());
}

}  // namespace

MtrTab::MtrTab(MtrCore& core, CaptureDeviceChoice& devices) : core_(core), devices_(devices) {}

std::string_view MtrTab::Target() const { return {target_, strnlen(target_, sizeof(target_))}; }

void MtrTab::SetTarget(std::string_view target) {
    const size_t n = std::min(target.size(), sizeof(target_) - 1);
    target.copy(target_, n);
    target_[n] = '\0';
}

void MtrTab::Draw() {
    DrawControls();

    ImGui::Spacing();
    ImGui::Text("Resultados do MTR");
    ImGui::BeginChild("ResultsPanel", ImVec2(0.0f, -200.0f), true);
    DrawResults();
    ImGui::EndChild();

    ImGui::Spacing();
    ImGui::TextUnformatted(platform::Texts().captureHeading);
    ImGui::BeginChild("LogPanel", ImVec2(0.0f, 0.0f), true);
    DrawPacketLog();
    ImGui::EndChild();
}

void MtrTab::DrawControls() {
    ImGui::BeginChild("ConfigPanel", ImVec2(0.0f, 100.0f), true);

    ImGui::PushItemWidth(200.0f);
    ImGui::Text("Host Alvo:");
    ImGui::SameLine();
    ImGui::InputText("##target", target_, sizeof target_);

    ImGui::SameLine(0.0f, 20.0f);
    ImGui::Text("Interface:");
    ImGui::SameLine();
    devices_.Clamp();
    const std::vector<NetDevice>& devices = devices_.devices;
    if (!devices.empty()) {
        if (ImGui::BeginCombo("##deviceCombo", devices[devices_.selected].description.c_str())) {
            for (int32_t i = 0; i < static_cast<int32_t>(devices.size()); ++i) {
                const bool isSelected = (i == devices_.selected);
                ImGui::PushID(i);
                if (ImGui::Selectable(devices[i].description.c_str(), isSelected)) devices_.selected = i;
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
    ImGui::Combo("##proto", &protocol_, kProbeProtocolLabels.data(), static_cast<int>(kProbeProtocolLabels.size()));
    ImGui::SameLine();
    ImGui::PushItemWidth(70.0f);
    ImGui::Combo("##family", &family_, kProbeFamilyLabels.data(), static_cast<int>(kProbeFamilyLabels.size()));
    if (ImGui::IsItemHovered()) ImGui::SetTooltip("IPv4/IPv6");
    ImGui::PopItemWidth();
    ImGui::PopItemWidth();

    ImGui::SameLine(0.0f, 40.0f);
    ImGui::Checkbox("Salvar Pcap", &savePcap_);

    // The engine decides what the button is: a run that stopped by itself shows "INICIAR"
    // again. While the host is being resolved (on the engine's worker) the button stays
    // disabled; a start that failed there opens the failure popup with its cause.
    const MtrRunState state = core_.State();
    if (starting_ && state != MtrRunState::Resolving) {
        starting_ = false;
        if (state != MtrRunState::Running) {
            startFailureCause_ = StartErrorText(core_.LastStartError());
            ImGui::OpenPopup(kStartFailedPopup);
        }
    }
    if (state == MtrRunState::Running) {
        if (ImGui::Button("PARAR", kButtonSize)) core_.Stop();
    } else {
        const bool resolving = state == MtrRunState::Resolving;
        ImGui::BeginDisabled(resolving);
        if (ImGui::Button("INICIAR", kButtonSize) && !resolving) Start();
        ImGui::EndDisabled();
    }

    ImGui::SameLine();
    if (ImGui::Button("LIMPAR", kButtonSize)) core_.Clear();

    ImGui::SameLine();
    if (ImGui::Button("PASTA", kButtonSize)) {
        // A fresh installation has no LOGS/mtr yet; the file browser would only show an error.
        const std::string folder = MtrLogDirectory();
        EnsureDirectory(folder);
        platform::OpenFolder(folder);
    }

    if (state == MtrRunState::Resolving) {
        ImGui::Text("Resolvendo %s...", core_.StartHost().c_str());
    } else if (state == MtrRunState::Stopped) {
        ImGui::TextColored(kStopCauseColor, "%s", core_.StopCause().c_str());
    }
    // "Salvar Pcap" that could not be honoured: the run goes on, the user must know the
    // file is missing or ends early.
    if (state != MtrRunState::Resolving) {
        const std::string pcapError = core_.PcapError();
        if (!pcapError.empty())
            ImGui::TextColored(kStopCauseColor, "Falha ao gravar o PCAP %s: %s", core_.PcapPath().c_str(),
                               pcapError.c_str());
    }

    if (ImGui::BeginPopupModal(kStartFailedPopup, nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
        ImGui::Text("Nao foi possivel iniciar o MTR.");
        if (!startFailureCause_.empty()) ImGui::TextUnformatted(startFailureCause_.c_str());
        if (ImGui::Button("OK")) ImGui::CloseCurrentPopup();
        ImGui::EndPopup();
    }

    ImGui::EndChild();
}

bool MtrTab::Running() const { return core_.State() == MtrRunState::Running; }

void MtrTab::Start() {
    startFailureCause_.clear();
    bool handedOver = false;
    try {
        // Resolution and capture opening run on the engine's worker: a name server that does
        // not answer must not hold the frame.
        core_.SetFamily(family_);
        handedOver = core_.StartAsync(target_, devices_.SelectedName(), protocol_, savePcap_);
        if (!handedOver) startFailureCause_ = StartErrorText(core_.LastStartError());
    } catch (const std::exception&) {
        // The worker could not be created; nothing was started.
    }
    if (handedOver)
        starting_ = true;
    else
        ImGui::OpenPopup(kStartFailedPopup);
}

void MtrTab::DrawPacketLog() {
    constexpr ImGuiTableFlags kLogFlags =
        ImGuiTableFlags_RowBg | ImGuiTableFlags_Borders | ImGuiTableFlags_ScrollY;
    if (ImGui::BeginTable("LogTable", kMtrLogColumns, kLogFlags, ImVec2(0.0f, 0.0f))) {
        for (const char* header : kMtrLogHeaders) ImGui::TableSetupColumn(header);
        ImGui::TableSetupScrollFreeze(0, 1);
        ImGui::TableHeadersRow();

        const std::vector<PacketLogEntry> log = core_.GetLog();
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
}

void MtrTab::DrawResults() {
    constexpr ImGuiTableFlags kFlags = ImGuiTableFlags_Resizable | ImGuiTableFlags_RowBg |
                                       ImGuiTableFlags_Borders | ImGuiTableFlags_ScrollY;
    if (!ImGui::BeginTable("MtrTable", kMtrTableColumns, kFlags, ImVec2(0.0f, 0.0f))) return;

    ImGui::TableSetupColumn(kMtrTableHeaders[0], ImGuiTableColumnFlags_WidthFixed, 40.0f);
    for (int c = 1; c < kMtrTableColumns; ++c) ImGui::TableSetupColumn(kMtrTableHeaders[c]);
    ImGui::TableSetupScrollFreeze(0, 1);
    ImGui::TableHeadersRow();

    const auto hops = core_.GetHops();
    // One read: the capture thread may lower the limit while this frame draws.
    const int32_t limit = core_.MaxHops();
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
