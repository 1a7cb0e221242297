// Flow tab: capture controls and call list, read from the flow engine (which analyses on
// its own thread whatever tab is shown).
// The ladder view lives in FlowTabLadder.cpp, the raw packet window in FlowTabRaw.cpp.
#include "flow/view/FlowTab.h"

#include <imgui.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "ui/DeviceChoice.h"
#include "capture/StartError.h"
#include "flow/FlowCore.h"
#include "flow/StreamReport.h"
#include "flow/view/FlowTabLayout.h"
#include "logs/LogPaths.h"
#include "platform/ExecutablePath.h"
#include "platform/FileDialog.h"
#include "platform/Launcher.h"
#include "playback/CallPlayer.h"
#include "ui/CallExportFiles.h"
#include "ui/DiagnosisTexts.h"
#include "ui/EngineTexts.h"

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

// Text of a call table cell. A column too narrow for it (an IPv6 address alone takes up to
// 39 characters, an IPv6 Call-ID more) cuts it at the edge: the whole text then shows on hover.
void CellText(const std::string& text) {
    const float room = ImGui::GetContentRegionAvail().x;
    ImGui::TextUnformatted(text.c_str());
    if (ImGui::CalcTextSize(text.c_str()).x > room && ImGui::IsItemHovered()) ImGui::SetTooltip("%s", text.c_str());
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

// The status line while an export is written: what, and how much once the engine has copied it.
std::string ExportProgressText(FlowExportKind kind, size_t items, bool counted) {
    switch (kind) {
        case FlowExportKind::Calls:
            return counted ? "Exportando CSV (" + std::to_string(items) + " registros)..." : "Exportando CSV...";
        case FlowExportKind::Packets:
            return counted ? "Exportando PCAP (" + std::to_string(items) + " pacotes)..." : "Exportando PCAP...";
        case FlowExportKind::Quality:
            return counted ? "Exportando qualidade (" + std::to_string(items) + " fluxos RTP)..."
                           : "Exportando qualidade...";
        case FlowExportKind::Call:
            return counted ? "Exportando chamada (" + std::to_string(items) + " pacotes)..." : "Exportando chamada...";
    }
    return {};
}

// "<StartErrorText> (<detail>)" of a start that failed.
std::string StartFailureCause(const FlowStartOutcome& start, bool unknownWhenEmpty) {
    std::string cause = StartErrorText(start.error);
    if (cause.empty() && unknownWhenEmpty) cause = "causa desconhecida";
    if (!start.detail.empty()) cause += " (" + start.detail + ")";
    return cause;
}

}  // namespace

FlowTab::FlowTab(FlowCore& core, CaptureDeviceChoice& devices, MtrTraceRequest* trace)
    : core_(core), devices_(devices), trace_(trace), fileDialog_(platform::FileDialog::Create()) {
    snap_ = core_.Snapshot();
    // "Exportar Chamada": the engine gathers the call on its export thread, the words and
    // the files are this side's.
    core_.SetCallExportWriter([](const CallExportData& data) { return WriteCallExport(FlowLogDirectory(), data); });
}

FlowTab::~FlowTab() = default;

void FlowTab::SetFileDialog(std::unique_ptr<platform::FileDialog> dialog) { fileDialog_ = std::move(dialog); }

bool FlowTab::FileDialogOpen() const { return fileDialog_ && fileDialog_->IsOpen(); }

std::string_view FlowTab::RawFilter() const {
    return {rawDebugFilter_, strnlen(rawDebugFilter_, sizeof(rawDebugFilter_))};
}

std::string_view FlowTab::ImportPath() const { return {importPath_, strnlen(importPath_, sizeof(importPath_))}; }

bool FlowTab::Busy() const {
    if (player_) {
        const PlayerState listening = player_->Snapshot()->state;
        if (listening == PlayerState::Decoding || listening == PlayerState::Playing) return true;
    }
    return snap_->handled < lastCommand_ || !(snap_->view == askedView_) || pendingStart_ || pendingExport_ ||
           monitoring_ || !importActivePath_.empty() || snap_->state != FlowRunState::Idle;
}

bool FlowTab::StartMonitoring() {
    const std::string deviceName = devices_.SelectedName();
    // An import (finished or still reading) holds the capture object; a live capture
    // replaces it, since the start clears the list anyway.
    if (!importActivePath_.empty() || snap_->state == FlowRunState::Offline) lastCommand_ = core_.RequestStop();
    // The engine clears its records and buffer itself before the capture begins.
    pendingStart_ = lastCommand_ = core_.RequestStart(deviceName, sipPort_, rtpMin_, rtpMax_);
    pendingImport_ = false;
    followedRun_ = 0;
    monitoring_ = true;
    importActivePath_.clear();
    statusLine_.clear();
    statusIsError_ = false;
    return true;
}

void FlowTab::StopMonitoring() {
    lastCommand_ = core_.RequestStop();
    monitoring_ = false;
    pendingStart_ = 0;
    followedRun_ = 0;
}

void FlowTab::Clear() { lastCommand_ = core_.RequestClear(); }

bool FlowTab::ImportPcap(const std::string& path) {
    if (monitoring_) {
        statusLine_ = "Pare o monitoramento para importar " + path;
        statusIsError_ = true;
        return false;
    }
    importFromPanel_ = false;
    // A previous import still reading is replaced.
    core_.RequestStop();
    pendingStart_ = lastCommand_ = core_.RequestStartOffline(path);
    pendingImport_ = true;
    followedRun_ = 0;
    statusLine_ = "Importando " + path + "...";
    statusIsError_ = false;
    importActivePath_ = path;
    return true;
}

void FlowTab::ExportCall(const std::string& callId) {
    pendingExport_ = lastCommand_ = core_.RequestCallExport(callId);
    pendingExportKind_ = FlowExportKind::Call;
    statusLine_ = ExportProgressText(FlowExportKind::Call, 0, false);
    statusIsError_ = false;
}

void FlowTab::Export(FlowExportKind kind) {
    pendingExport_ = lastCommand_ = core_.RequestExport(kind);
    pendingExportKind_ = kind;
    statusLine_ = ExportProgressText(kind, 0, false);
    statusIsError_ = false;
}

void FlowTab::FollowEngine() {
    snap_ = core_.Snapshot();
    const FlowSnapshot& s = *snap_;
    if (pendingStart_ && s.handled >= pendingStart_) {
        const bool failed = s.start.command == pendingStart_ && s.start.error != StartError::None;
        if (failed && pendingImport_) {
            statusLine_ = "Falha ao importar " + importActivePath_ + ": " + StartFailureCause(s.start, false);
            statusIsError_ = true;
            importActivePath_.clear();
            // A path typed in the panel that cannot be read is corrected there.
            if (importFromPanel_) importOpen_ = true;
        } else if (failed) {
            statusLine_ = "Falha ao iniciar o monitoramento: " + StartFailureCause(s.start, true);
            statusIsError_ = true;
            monitoring_ = false;
        } else {
            followedRun_ = pendingStart_;
        }
        pendingStart_ = 0;
    }
    // The engine analyses on its own; the tab only notices when the run it follows ended.
    if (followedRun_ && (s.run != followedRun_ || s.state == FlowRunState::Idle)) {
        if (monitoring_) {
            // The capture ended without "PARAR MONITORAMENTO" (interface gone, read error):
            // back to the start button, with the cause under the controls.
            if (s.stopCause != FlowStopCause::None) {
                monitoring_ = false;
                statusLine_ = CaptureEndText(s.stopError);
                statusIsError_ = true;
                followedRun_ = 0;
            }
        } else if (!importActivePath_.empty()) {
            if (s.stopCause == FlowStopCause::None) {
                statusLine_ = "PCAP importado: " + importActivePath_ + " (" + std::to_string(s.engine.analysed) +
                              " pacotes)";
                statusIsError_ = false;
            } else {
                statusLine_ = "Falha ao importar " + importActivePath_ + ": " + CaptureEndText(s.stopError);
                statusIsError_ = true;
            }
            importActivePath_.clear();
            followedRun_ = 0;
        } else {
            followedRun_ = 0;
        }
    }
    if (pendingExport_ && s.exportStatus.command == pendingExport_) {
        if (s.exportStatus.done) {
            statusLine_ = s.exportStatus.result.message;
            statusIsError_ = !s.exportStatus.result.written;
            pendingExport_ = 0;
        } else {
            statusLine_ = ExportProgressText(pendingExportKind_, s.exportStatus.items, s.exportStatus.items > 0);
            statusIsError_ = false;
        }
    }
}

void FlowTab::AskForView() {
    FlowViewRequest request;
    request.callId = selectedCallId_;
    request.rawPage = showRawDebug_;
    // Once the player decoded the selected call, its verdicts know what the audio carried.
    if (player_ && !selectedCallId_.empty()) {
        const std::shared_ptr<const PlayerSnapshot> heard = player_->Snapshot();
        if (heard->callId == selectedCallId_) request.heardStreams = heard->decodedReports;
    }
    if (showRawDebug_) {
        request.rawFilter = std::string(RawFilter());
        request.rawLines = static_cast<size_t>(kRawDebugMaxLines);
    }
    if (request == askedView_) return;
    askedView_ = request;
    core_.SetView(request);
}

void FlowTab::Draw() {
    // 1. What the engine did since the last frame, and the file dialog's answer.
    FollowEngine();
    if (fileDialog_) {
        if (std::optional<std::string> chosen = fileDialog_->TakeResult(); chosen && !chosen->empty())
            ImportPcap(*chosen);
    }

    // 2. Ladder view instead of the list.
    if (!selectedCallId_.empty()) {
        DrawLadder();
    } else {
        // 3. "FlowList" child.
        const float height = ImGui::GetContentRegionAvail().y - 40.0f;
        ImGui::BeginChild("FlowList", ImVec2(0, height), true);
        DrawControls();
        ImGui::Separator();
        const bool withStreams = !snap_->unsignalled->empty();
        const float below = withStreams ? std::max(120.0f, ImGui::GetContentRegionAvail().y * 0.3f) : 0.0f;
        DrawCallTable(below);
        if (withStreams) DrawUnsignalledStreams();
        ImGui::EndChild();
    }

    if (showRawDebug_) DrawRawWindow();
    AskForView();
}

void FlowTab::DrawControls() {
    if (monitoring_) {
        if (ImGui::Button("PARAR MONITORAMENTO", ImVec2(180, 0))) StopMonitoring();
    } else {
        const std::vector<NetDevice>& devices = devices_.devices;
        if (!devices.empty()) {
            devices_.Clamp();
            ImGui::SetNextItemWidth(300);
            if (ImGui::BeginCombo("##devFlow", devices[static_cast<size_t>(devices_.selected)].description.c_str())) {
                for (size_t i = 0; i < devices.size(); ++i) {
                    const bool chosen = static_cast<int32_t>(i) == devices_.selected;
                    ImGui::PushID(static_cast<int>(i));
                    if (ImGui::Selectable(devices[i].description.c_str(), chosen))
                        devices_.selected = static_cast<int32_t>(i);
                    if (chosen) ImGui::SetItemDefaultFocus();
                    ImGui::PopID();
                }
                ImGui::EndCombo();
            }
            ImGui::SameLine();
        }
        ImGui::PushItemWidth(60);
        ImGui::DragInt("SIP", &sipPort_, 1.0f, 1, 65535, "%d");
        ImGui::SameLine();
        ImGui::DragInt("RTP Min", &rtpMin_, 100.0f, 1024, 65500, "%d");
        ImGui::SameLine();
        ImGui::DragInt("Max", &rtpMax_, 100.0f, 1024, 65500, "%d");
        ImGui::PopItemWidth();
        ImGui::SameLine();
        if (ImGui::Button("INICIAR MONITORAMENTO", ImVec2(180, 0))) StartMonitoring();
    }

    SameLineIfFits(ButtonWidth("Limpar"));
    if (ImGui::Button("Limpar")) Clear();
    SameLineIfFits(ButtonWidth("Abrir Pasta"));
    if (ImGui::Button("Abrir Pasta")) {
        // Created first: on a fresh installation the folder does not exist until an export.
        EnsureDirectory(FlowLogDirectory());
        platform::OpenFolder(FlowLogDirectory());
    }
    SameLineIfFits(ButtonWidth("Importar PCAP"));
    ImGui::BeginDisabled(monitoring_ || FileDialogOpen());
    if (ImGui::Button("Importar PCAP")) {
        // The system's dialog when there is one; the typed path when it cannot be shown.
        bool dialogShown = false;
        if (fileDialog_) {
            EnsureDirectory(FlowLogDirectory());  // the dialog starts there
            dialogShown = fileDialog_->StartOpen(
                {"Importar PCAP", FlowLogDirectory(), "Capturas", {"pcap", "pcapng", "cap"}});
        }
        importOpen_ = !dialogShown && !importOpen_;
        if (importOpen_) {
            const std::string folder = FlowLogDirectory() + platform::PathSeparator();
            if (importPath_[0] == '\0') {
                // The text field leaves old bytes behind its terminator: terminate explicitly.
                const size_t n = folder.copy(importPath_, sizeof(importPath_) - 1);
                importPath_[n] = '\0';
            }
            importFiles_ = ListPcapFiles(FlowLogDirectory());
        }
    }
    ImGui::EndDisabled();
    SameLineIfFits(ButtonWidth("Exportar CSV"));
    if (ImGui::Button("Exportar CSV")) Export(FlowExportKind::Calls);
    SameLineIfFits(ButtonWidth("Exportar PCAP"));
    if (ImGui::Button("Exportar PCAP")) Export(FlowExportKind::Packets);
    SameLineIfFits(ButtonWidth("Exportar Qualidade"));
    if (ImGui::Button("Exportar Qualidade")) Export(FlowExportKind::Quality);
    if (ImGui::IsItemHovered())
        ImGui::SetTooltip("Um registro por fluxo RTP: perda, jitter e MOS (estimado), em <data>_qualidade.csv");
    SameLineIfFits(CheckboxWidth("Debug Raw"));
    ImGui::Checkbox("Debug Raw", &showRawDebug_);
    const FlowEngineCounters& engine = snap_->engine;
    const CallTrackerStats& kept = snap_->kept;
    const FlowDropCounts drops{engine.fragmentsIncomplete + engine.fragmentsOverlap + engine.fragmentsOverBounds,
                               kept.tcpBytesDropped, kept.streamsDropped};
    const std::string countersLine =
        FlowCountersLine(snap_->bufferedPackets, snap_->calls, engine.trimmedUnanalysed, engine.kernelDropped,
                         kept.recordsDropped, drops);
    const char* countersText = countersLine.c_str();
    SameLineIfFits(ImGui::CalcTextSize(countersText).x);
    ImGui::TextUnformatted(countersText);

    if (!statusLine_.empty()) {
        const ImVec4 colour = statusIsError_ ? ImVec4(1.0f, 0.0f, 0.0f, 1.0f) : ImVec4(0.4f, 1.0f, 0.4f, 1.0f);
        ImGui::PushStyleColor(ImGuiCol_Text, colour);
        // Wrapped: a long path plus the reader's cause runs past the window's right edge,
        // and the cause is the part the user needs.
        ImGui::PushTextWrapPos(0.0f);
        ImGui::TextUnformatted(statusLine_.c_str());
        ImGui::PopTextWrapPos();
        ImGui::PopStyleColor();
    }
    if (importOpen_ && !monitoring_) DrawImportPanel();
}

void FlowTab::DrawImportPanel() {
    ImGui::SetNextItemWidth(500);
    ImGui::InputText("##flowImportPath", importPath_, sizeof(importPath_));
    ImGui::SameLine();
    if (ImGui::Button("Carregar")) {
        if (ImportPcap(importPath_)) {
            importOpen_ = false;
            importFromPanel_ = true;
        }
    }
    ImGui::SameLine();
    if (ImGui::Button("Cancelar")) importOpen_ = false;
    if (importFiles_.empty()) {
        ImGui::TextDisabled("Nenhum arquivo .pcap em %s", FlowLogDirectory().c_str());
        return;
    }
    const float rows = static_cast<float>(std::min<size_t>(importFiles_.size(), 6));
    ImGui::BeginChild("##flowImportFiles", ImVec2(0, rows * ImGui::GetTextLineHeightWithSpacing() + 8), true);
    for (const std::string& file : importFiles_) {
        if (ImGui::Selectable(file.c_str(), file == importPath_)) {
            const size_t n = std::min(file.size(), sizeof(importPath_) - 1);
            file.copy(importPath_, n);
            importPath_[n] = '\0';
        }
    }
    ImGui::EndChild();
}

void FlowTab::DrawCallTable(float reserveBelow) {
    const std::vector<SipCallRow>& calls = *snap_->rows;
    // Tri-state: until a header is clicked (and after its third click) the rows stay in
    // capture order, oldest first.
    const ImGuiTableFlags flags = ImGuiTableFlags_Resizable | ImGuiTableFlags_Reorderable |
                                  ImGuiTableFlags_Sortable | ImGuiTableFlags_SortTristate | ImGuiTableFlags_RowBg |
                                  ImGuiTableFlags_Borders | ImGuiTableFlags_ScrollY;
    if (!ImGui::BeginTable("FlowTable", kCallTableColumns, flags, ImVec2(0, -reserveBelow))) return;
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
    ImGui::TableSetupColumn("Diagnóstico", ImGuiTableColumnFlags_WidthFixed, 150);
    ImGui::TableHeadersRow();

    const ImGuiTableSortSpecs* sort = ImGui::TableGetSortSpecs();
    if (sort && sort->SpecsCount > 0) {
        const ImGuiTableColumnSortSpecs& by = sort->Specs[0];
        const bool descending = by.SortDirection == ImGuiSortDirection_Descending;
        const std::tuple<uint64_t, int, bool> key{snap_->rowsVersion, by.ColumnIndex, descending};
        if (orderKey_ != key) {
            order_ = SortedCallRows(calls, static_cast<CallColumn>(by.ColumnIndex), descending);
            orderKey_ = key;
        }
    } else {
        order_.clear();
        orderKey_.reset();
    }
    const std::vector<size_t>& order = order_;

    // Only the rows in view are drawn; the list can hold thousands of records.
    ImGuiListClipper clipper;
    clipper.Begin(static_cast<int>(calls.size()));
    while (clipper.Step()) {
        for (int row = clipper.DisplayStart; row < clipper.DisplayEnd; ++row) {
            const size_t index = order.empty() ? static_cast<size_t>(row) : order[static_cast<size_t>(row)];
            const SipCallRow& call = calls[index];
            ImGui::TableNextRow();

            ImGui::TableSetColumnIndex(0);
            const std::string label = call.time + "##" + call.callId;
            if (ImGui::Selectable(label.c_str(), false, ImGuiSelectableFlags_SpanAllColumns)) {
                selectedCallId_ = call.callId;
                selectedMessageIndex_ = -1;
            }

            ImGui::TableSetColumnIndex(1);
            ImGui::TextColored(Colour(CallMethodColour(call.firstMethod)), "%s", call.firstMethod.c_str());

            ImGui::TableSetColumnIndex(2);
            CellText(call.fromUser + " (" + call.callerIp + ")");
            ImGui::TableSetColumnIndex(3);
            CellText(call.toUser + " (" + call.calleeIp + ")");
            ImGui::TableSetColumnIndex(4);
            ImGui::Text("%d", static_cast<int>(call.messageCount));
            ImGui::TableSetColumnIndex(5);
            CellText(call.callId);

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
            // The engine's verdicts, in the colour of the worst; the evidence on hover.
            ImGui::TableSetColumnIndex(9);
            if (!call.verdicts.empty()) {
                const std::string labels = DiagnosisLabels(call.verdicts);
                ImGui::TextColored(Colour(DiagnosisColour(call.verdicts)), "%s", labels.c_str());
                if (ImGui::IsItemHovered()) {
                    std::string tip;
                    for (const Verdict& v : call.verdicts) {
                        if (!tip.empty()) tip += '\n';
                        tip += std::string(DiagnosisLabel(v.code)) + ": " + VerdictEvidence(v);
                    }
                    ImGui::SetTooltip("%s", tip.c_str());
                }
            }
        }
    }
    ImGui::EndTable();
}
