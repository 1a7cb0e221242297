// Flow tab: capture controls and call list, read from the flow engine (which analyses on
// its own thread whatever tab is shown).
// The ladder view lives in FlowTabLadder.cpp, the raw packet window in FlowTabRaw.cpp.
#include <imgui.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/App.h"
#include "capture/StartError.h"
#include "flow/FlowExport.h"
#include "flow/StreamReport.h"
#include "flow/FlowTabLayout.h"
#include "logs/LogPaths.h"
#include "platform/ExecutablePath.h"
#include "platform/Launcher.h"

namespace {

ImVec4 Colour(const FlowRgbf& c) { return ImVec4(c.r, c.g, c.b, 1.0f); }

// The control row is wider than the default 1280-pixel window: an item that would be cut
// off at the right edge starts a new line instead, so every control stays reachable.
void SameLineIfFits(float nextWidth) {
    const float spacing = ImGui::GetStyle().ItemSpacing.x;
    const float right = ImGui::GetWindowPos().x + ImGui::GetWindowContentRegionMax().x;
    if (ImGui::GetItemRectMax().x + spacing + nextWidth <= right) ImGui::SameLine();
}
float ButtonWidth(const char* label) {
    return ImGui::CalcTextSize(label, nullptr, true).x + ImGui::GetStyle().FramePadding.x * 2.0f;
}
float CheckboxWidth(const char* label) {
    return ImGui::GetFrameHeight() + ImGui::GetStyle().ItemInnerSpacing.x + ImGui::CalcTextSize(label, nullptr, true).x;
}

// .pcap files of a folder, sorted by name; empty when the folder is missing.
std::vector<std::string> ListPcapFiles(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const auto& path = it->path();
        if (path.extension() == ".pcap" && it->is_regular_file(ec)) files.push_back(path.string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

bool App::FlowStartMonitoring() {
    std::string deviceName;
    if (selectedDevice >= 0 && static_cast<size_t>(selectedDevice) < devices.size())
        deviceName = devices[static_cast<size_t>(selectedDevice)].name;
    // An import (finished or still reading) holds the capture object; a live capture
    // replaces it, since the start clears the list anyway.
    if (flowCore.IsRunning() && flowCore.IsOffline()) flowCore.Stop();
    if (!flowCore.Start(deviceName, flowSipPort, flowRtpMin, flowRtpMax)) {
        std::string cause = StartErrorText(flowCore.LastStartError());
        if (cause.empty()) cause = "causa desconhecida";
        if (!flowCore.LastStartErrorDetail().empty()) cause += " (" + flowCore.LastStartErrorDetail() + ")";
        flowStatusLine = "Falha ao iniciar o monitoramento: " + cause;
        flowStatusIsError = true;
        return false;
    }
    // The engine cleared its records and buffer itself before the capture began.
    flowMonitoring = true;
    flowImportActivePath.clear();
    flowStatusLine.clear();
    flowStatusIsError = false;
    return true;
}

void App::FlowStopMonitoring() {
    flowCore.Stop();
    flowMonitoring = false;
}

void App::FlowClear() { flowCore.Clear(); }

bool App::FlowImportPcap(const std::string& path) {
    if (flowMonitoring) return false;
    // A previous import still reading is replaced.
    if (flowCore.IsRunning()) flowCore.Stop();
    if (!flowCore.StartOffline(path)) {
        std::string cause = StartErrorText(flowCore.LastStartError());
        if (!flowCore.LastStartErrorDetail().empty()) cause += " (" + flowCore.LastStartErrorDetail() + ")";
        flowStatusLine = "Falha ao importar " + path + ": " + cause;
        flowStatusIsError = true;
        return false;
    }
    flowStatusLine = "Importando " + path + "...";
    flowStatusIsError = false;
    flowImportActivePath = path;
    return true;
}

void App::FlowFollowEngine() {
    // The engine analyses on its own; the tab only notices when a run ended by itself.
    if (flowCore.IsRunning()) return;
    if (flowMonitoring) {
        // The capture ended without "PARAR MONITORAMENTO" (interface gone, read error): back
        // to the start button, with the cause under the controls.
        std::string cause = flowCore.StopCause();
        if (cause.empty()) return;
        flowMonitoring = false;
        flowStatusLine = std::move(cause);
        flowStatusIsError = true;
    } else if (!flowImportActivePath.empty()) {
        const std::string cause = flowCore.StopCause();
        if (cause.empty()) {
            flowStatusLine = "PCAP importado: " + flowImportActivePath + " (" +
                             std::to_string(flowCore.Counters().analysed) + " pacotes)";
            flowStatusIsError = false;
        } else {
            flowStatusLine = "Falha ao importar " + flowImportActivePath + ": " + cause;
            flowStatusIsError = true;
        }
        flowImportActivePath.clear();
    }
}

void App::DrawFlowTab() {
    // 1. What the engine did since the last frame (a run that ended by itself).
    FlowFollowEngine();

    // 2. Ladder view instead of the list.
    if (!selectedCallId.empty()) {
        DrawFlowLadder();
    } else {
        const uint64_t first = flowCore.FirstPosition();
        const uint64_t end = flowCore.EndPosition();
        const size_t packetCount = end > first ? static_cast<size_t>(end - first) : 0;
        // Rows without message texts: this copy is taken every frame.
        const std::vector<SipCallRow> calls = flowCore.Tracker().GetCallRows();

        // 3. "FlowList" child.
        const float height = ImGui::GetContentRegionAvail().y - 40.0f;
        ImGui::BeginChild("FlowList", ImVec2(0, height), true);
        DrawFlowControls(packetCount, calls);
        ImGui::Separator();
        DrawFlowCallTable(calls);
        ImGui::EndChild();
    }

    if (showRawDebug) DrawFlowRawWindow();
}

void App::DrawFlowControls(size_t packetCount, const std::vector<SipCallRow>& calls) {
    if (flowMonitoring) {
        if (ImGui::Button("PARAR MONITORAMENTO", ImVec2(180, 0))) FlowStopMonitoring();
    } else {
        if (!devices.empty()) {
            if (selectedDevice < 0 || static_cast<size_t>(selectedDevice) >= devices.size()) selectedDevice = 0;
            ImGui::SetNextItemWidth(300);
            if (ImGui::BeginCombo("##devFlow", devices[static_cast<size_t>(selectedDevice)].description.c_str())) {
                for (size_t i = 0; i < devices.size(); ++i) {
                    const bool chosen = static_cast<int32_t>(i) == selectedDevice;
                    ImGui::PushID(static_cast<int>(i));
                    if (ImGui::Selectable(devices[i].description.c_str(), chosen))
                        selectedDevice = static_cast<int32_t>(i);
                    if (chosen) ImGui::SetItemDefaultFocus();
                    ImGui::PopID();
                }
                ImGui::EndCombo();
            }
            ImGui::SameLine();
        }
        ImGui::PushItemWidth(60);
        ImGui::DragInt("SIP", &flowSipPort, 1.0f, 1, 65535, "%d");
        ImGui::SameLine();
        ImGui::DragInt("RTP Min", &flowRtpMin, 100.0f, 1024, 65500, "%d");
        ImGui::SameLine();
        ImGui::DragInt("Max", &flowRtpMax, 100.0f, 1024, 65500, "%d");
        ImGui::PopItemWidth();
        ImGui::SameLine();
        if (ImGui::Button("INICIAR MONITORAMENTO", ImVec2(180, 0))) FlowStartMonitoring();
    }

    SameLineIfFits(ButtonWidth("Limpar"));
    if (ImGui::Button("Limpar")) FlowClear();
    SameLineIfFits(ButtonWidth("Abrir Pasta"));
    if (ImGui::Button("Abrir Pasta")) {
        // Created first: on a fresh installation the folder does not exist until an export.
        EnsureDirectory(FlowLogDirectory());
        platform::OpenFolder(FlowLogDirectory());
    }
    SameLineIfFits(ButtonWidth("Importar PCAP"));
    ImGui::BeginDisabled(flowMonitoring);
    if (ImGui::Button("Importar PCAP")) {
        flowImportOpen = !flowImportOpen;
        if (flowImportOpen) {
            const std::string folder = FlowLogDirectory() + platform::PathSeparator();
            if (flowImportPath[0] == '\0') {
                // The text field leaves old bytes behind its terminator: terminate explicitly.
                const size_t n = folder.copy(flowImportPath, sizeof(flowImportPath) - 1);
                flowImportPath[n] = '\0';
            }
            flowImportFiles = ListPcapFiles(FlowLogDirectory());
        }
    }
    ImGui::EndDisabled();
    SameLineIfFits(ButtonWidth("Exportar CSV"));
    if (ImGui::Button("Exportar CSV")) {
        const FlowExportResult r = ExportCallsCsv(flowCore.Tracker().GetCalls());
        flowStatusLine = r.message;
        flowStatusIsError = !r.written;
    }
    SameLineIfFits(ButtonWidth("Exportar PCAP"));
    if (ImGui::Button("Exportar PCAP")) {
        const FlowExportResult r = ExportPacketsPcap(flowCore.GetPackets());
        flowStatusLine = r.message;
        flowStatusIsError = !r.written;
    }
    SameLineIfFits(ButtonWidth("Exportar Qualidade"));
    if (ImGui::Button("Exportar Qualidade")) {
        const FlowExportResult r = ExportQualityCsv(flowCore.Tracker().GetStreamReports());
        flowStatusLine = r.message;
        flowStatusIsError = !r.written;
    }
    if (ImGui::IsItemHovered())
        ImGui::SetTooltip("Um registro por fluxo RTP: perda, jitter e MOS (estimado), em <data>_qualidade.csv");
    SameLineIfFits(CheckboxWidth("Debug Raw"));
    ImGui::Checkbox("Debug Raw", &showRawDebug);
    const FlowEngineCounters engine = flowCore.Counters();
    const std::string countersLine =
        FlowCountersLine(packetCount, flowCore.Tracker().Counters(), engine.trimmedUnanalysed, engine.kernelDropped,
                         flowCore.Tracker().Stats().recordsDropped);
    const char* countersText = countersLine.c_str();
    (void)calls;
    SameLineIfFits(ImGui::CalcTextSize(countersText).x);
    ImGui::TextUnformatted(countersText);

    if (!flowStatusLine.empty()) {
        const ImVec4 colour = flowStatusIsError ? ImVec4(1.0f, 0.0f, 0.0f, 1.0f) : ImVec4(0.4f, 1.0f, 0.4f, 1.0f);
        ImGui::PushStyleColor(ImGuiCol_Text, colour);
        ImGui::TextUnformatted(flowStatusLine.c_str());
        ImGui::PopStyleColor();
    }
    if (flowImportOpen && !flowMonitoring) DrawFlowImportPanel();
}

void App::DrawFlowImportPanel() {
    ImGui::SetNextItemWidth(500);
    ImGui::InputText("##flowImportPath", flowImportPath, sizeof(flowImportPath));
    ImGui::SameLine();
    if (ImGui::Button("Carregar")) {
        if (FlowImportPcap(flowImportPath)) flowImportOpen = false;
    }
    ImGui::SameLine();
    if (ImGui::Button("Cancelar")) flowImportOpen = false;
    if (flowImportFiles.empty()) {
        ImGui::TextDisabled("Nenhum arquivo .pcap em %s", FlowLogDirectory().c_str());
        return;
    }
    const float rows = static_cast<float>(std::min<size_t>(flowImportFiles.size(), 6));
    ImGui::BeginChild("##flowImportFiles", ImVec2(0, rows * ImGui::GetTextLineHeightWithSpacing() + 8), true);
    for (const std::string& file : flowImportFiles) {
        if (ImGui::Selectable(file.c_str(), file == flowImportPath)) {
            const size_t n = std::min(file.size(), sizeof(flowImportPath) - 1);
            file.copy(flowImportPath, n);
            flowImportPath[n] = '\0';
        }
    }
    ImGui::EndChild();
}

void App::DrawFlowCallTable(const std::vector<SipCallRow>& calls) {
    const ImGuiTableFlags flags = ImGuiTableFlags_Resizable | ImGuiTableFlags_Reorderable |
                                  ImGuiTableFlags_Sortable | ImGuiTableFlags_RowBg | ImGuiTableFlags_Borders |
                                  ImGuiTableFlags_ScrollY;
    if (!ImGui::BeginTable("FlowTable", 9, flags, ImVec2(0, 0))) return;
    ImGui::TableSetupScrollFreeze(0, 1);
    ImGui::TableSetupColumn("Hora", ImGuiTableColumnFlags_WidthFixed, 85);
    ImGui::TableSetupColumn("Method", ImGuiTableColumnFlags_WidthFixed, 80);
    ImGui::TableSetupColumn("From", ImGuiTableColumnFlags_WidthStretch);
    ImGui::TableSetupColumn("To", ImGuiTableColumnFlags_WidthStretch);
    ImGui::TableSetupColumn("Msgs", ImGuiTableColumnFlags_WidthFixed, 50);
    ImGui::TableSetupColumn("Call-ID", ImGuiTableColumnFlags_WidthStretch);
    ImGui::TableSetupColumn("Estado", ImGuiTableColumnFlags_WidthFixed, 150);
    ImGui::TableSetupColumn("Origem Desl.", ImGuiTableColumnFlags_WidthFixed, 120);
    ImGui::TableSetupColumn("MOS", ImGuiTableColumnFlags_WidthFixed, 50);
    ImGui::TableHeadersRow();

    // Only the rows in view are drawn; the list can hold thousands of records.
    ImGuiListClipper clipper;
    clipper.Begin(static_cast<int>(calls.size()));
    while (clipper.Step()) {
        for (int row = clipper.DisplayStart; row < clipper.DisplayEnd; ++row) {
            const SipCallRow& call = calls[static_cast<size_t>(row)];
            ImGui::TableNextRow();

            ImGui::TableSetColumnIndex(0);
            const std::string label = call.time + "##" + call.callId;
            if (ImGui::Selectable(label.c_str(), false, ImGuiSelectableFlags_SpanAllColumns)) {
                selectedCallId = call.callId;
                selectedMessageIndex = -1;
            }

            ImGui::TableSetColumnIndex(1);
            ImGui::TextColored(Colour(CallMethodColour(call.firstMethod)), "%s", call.firstMethod.c_str());

            ImGui::TableSetColumnIndex(2);
            ImGui::Text("%s (%s)", call.fromUser.c_str(), call.callerIp.c_str());
            ImGui::TableSetColumnIndex(3);
            ImGui::Text("%s (%s)", call.toUser.c_str(), call.calleeIp.c_str());
            ImGui::TableSetColumnIndex(4);
            ImGui::Text("%d", static_cast<int>(call.messageCount));
            ImGui::TableSetColumnIndex(5);
            ImGui::TextUnformatted(call.callId.c_str());

            ImGui::TableSetColumnIndex(6);
            ImGui::TextColored(Colour(DisplayStatusColour(call.displayStatus)), "%s", call.displayStatus.c_str());

            ImGui::TableSetColumnIndex(7);
            if (call.isInvite)
                ImGui::TextColored(ImVec4(1.0f, 0.8f, 0.4f, 1.0f), "%s", call.hangupOrigin.c_str());

            // Worst direction of the call; empty while no RTP stream has an estimate.
            ImGui::TableSetColumnIndex(8);
            if (call.mos) {
                static const ImVec4 kBandColours[] = {ImVec4(0.0f, 1.0f, 0.0f, 1.0f), ImVec4(1.0f, 1.0f, 0.0f, 1.0f),
                                                      ImVec4(1.0f, 0.0f, 0.0f, 1.0f)};
                ImGui::TextColored(kBandColours[MosBand(*call.mos)], "%s", MosText(*call.mos).c_str());
                if (ImGui::IsItemHovered()) ImGui::SetTooltip("MOS (estimado), pior sentido da chamada");
            }
        }
    }
    ImGui::EndTable();
}
