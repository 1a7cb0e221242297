#include "mtr/view/MtrTab.h"

#include <imgui.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <ctime>
#include <string>

#include "ui/DeviceChoice.h"
#include "capture/StartError.h"
#include "logs/LocalTime.h"
#include "logs/LogPaths.h"
#include "mtr/MtrCore.h"
#include "mtr/MtrReport.h"
#include "mtr/view/MtrTabFormat.h"
#include "platform/Launcher.h"
#include "ui/TabTexts.h"
#include "ui/EngineTexts.h"
#include "ui/MtrTexts.h"

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

const ImU32 kHistoryLineColor = IM_COL32(90, 200, 255, 255);
const ImU32 kHistoryLossColor = IM_COL32(255, 40, 40, 255);
const ImU32 kHistoryFrameColor = IM_COL32(110, 110, 110, 255);
const ImU32 kHistoryMarkColor = IM_COL32(170, 170, 170, 255);
constexpr float kChartWidth = 480.0f;
constexpr float kChartHeight = 140.0f;

// The history of one hop in the rectangle [origin, origin + size): round trips as a line
// scaled to the slowest probe of the window, lost probes as red strokes over the full height.
// Draws at most one point per pixel column, whatever the number of probes.
void DrawHistory(ImDrawList* draw, ImVec2 origin, ImVec2 size, const HopHistory& history) {
    const int width = static_cast<int>(size.x);
    const std::vector<MtrHistoryBucket> buckets = MtrHistoryBuckets(history, width);
    float top = 0.0f;
    for (const MtrHistoryBucket& b : buckets)
        if (b.answered) top = std::max(top, b.maxMs);
    if (top <= 0.0f) top = 1.0f;
    ImVec2 points[1024];
    int count = 0;
    auto flush = [&] {
        if (count == 1) draw->AddCircleFilled(points[0], 1.0f, kHistoryLineColor);
        else if (count > 1) draw->AddPolyline(points, count, kHistoryLineColor, 0, 1.0f);
        count = 0;
    };
    for (int x = 0; x < static_cast<int>(buckets.size()); ++x) {
        const MtrHistoryBucket& b = buckets[static_cast<size_t>(x)];
        const float px = origin.x + static_cast<float>(x);
        if (b.lost) {
            draw->AddLine(ImVec2(px, origin.y), ImVec2(px, origin.y + size.y), kHistoryLossColor);
            flush();  // a loss breaks the line
        }
        // Columns without probes (a short history spread wide) are bridged by the line.
        if (!b.answered) continue;
        if (count == static_cast<int>(sizeof points / sizeof points[0])) flush();
        points[count++] = ImVec2(px, origin.y + size.y - 1.0f - (size.y - 2.0f) * (b.maxMs / top));
    }
    flush();
}

std::string ClockText(int64_t ticks) {
    return LocalTimeText(static_cast<std::time_t>(ticks / 10'000'000), "%H:%M:%S");
}

// The tooltip of a hovered row: every responder with its figures, then the hop's history
// large, with the times of its first, middle and last probe and min/avg/max of the window.
void DrawRowTooltip(int ttl, const HopStats& hop) {
    ImGui::BeginTooltip();
    ImGui::Text("Salto %d", ttl);
    if (hop.responders.empty()) ImGui::TextUnformatted("Nenhuma resposta ainda.");
    for (const HopResponder& r : hop.responders)
        ImGui::Text("%s: %d rec, med %.1f ms, melh %.1f ms, pior %.1f ms", ResponderText(r).c_str(), r.received,
                    r.avgMs, r.bestMs, r.worstMs);
    const MtrHistorySummary sum = MtrHistorySummaryOf(hop.history);
    ImGui::Separator();
    ImGui::Text("Ultimas %d sondas: min %.1f ms, med %.1f ms, max %.1f ms, %d perdidas",
                static_cast<int>(hop.history.Count()), sum.minMs, sum.avgMs, sum.maxMs, sum.lost);
    const ImVec2 origin = ImGui::GetCursorScreenPos();
    ImDrawList* draw = ImGui::GetWindowDrawList();
    draw->AddRect(origin, ImVec2(origin.x + kChartWidth, origin.y + kChartHeight), kHistoryFrameColor);
    DrawHistory(draw, ImVec2(origin.x + 1.0f, origin.y + 1.0f), ImVec2(kChartWidth - 2.0f, kChartHeight - 2.0f),
                hop.history);
    char top[32];
    std::snprintf(top, sizeof top, "%.1f ms", sum.maxMs);
    draw->AddText(ImVec2(origin.x + 4.0f, origin.y + 2.0f), kHistoryMarkColor, top);
    ImGui::Dummy(ImVec2(kChartWidth, kChartHeight));
    if (hop.history.Count() > 0) {
        // Time marks under the left edge, the middle and the right edge.
        const size_t n = hop.history.Count();
        const std::string first = ClockText(hop.history.SampleTicks(hop.history.At(0)));
        const std::string middle = ClockText(hop.history.SampleTicks(hop.history.At(n / 2)));
        const std::string last = ClockText(hop.history.SampleTicks(hop.history.At(n - 1)));
        ImGui::TextUnformatted(first.c_str());
        const float markWidth = ImGui::CalcTextSize(last.c_str()).x;
        ImGui::SameLine(kChartWidth / 2.0f - markWidth / 2.0f);
        ImGui::TextUnformatted(middle.c_str());
        ImGui::SameLine(kChartWidth - markWidth);
        ImGui::TextUnformatted(last.c_str());
    }
    ImGui::EndTooltip();
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
    // One snapshot for the whole frame: every part of the tab shows the same moment.
    const std::shared_ptr<const MtrSnapshot> snap = core_.Snapshot();
    DrawControls(*snap);

    ImGui::Spacing();
    ImGui::Text("Resultados do MTR");
    ImGui::BeginChild("ResultsPanel", ImVec2(0.0f, -330.0f), true);
    DrawResults(*snap);
    ImGui::EndChild();

    ImGui::TextUnformatted("Eventos");
    ImGui::BeginChild("EventsPanel", ImVec2(0.0f, 110.0f), true);
    DrawEvents(*snap);
    ImGui::EndChild();

    ImGui::Spacing();
    ImGui::TextUnformatted(ui::CaptureHeading().c_str());
    ImGui::BeginChild("LogPanel", ImVec2(0.0f, 0.0f), true);
    DrawPacketLog(*snap);
    ImGui::EndChild();
}

void MtrTab::DrawControls(const MtrSnapshot& snap) {
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
    ImGui::SameLine(0.0f, 20.0f);
    // Names are looked up by the engine's worker; the table shows them as they arrive.
    if (ImGui::Checkbox("Nomes", &names_)) core_.SetNamesEnabled(names_);
    // Marking and flow are the next start's; a run under way keeps its own.
    ImGui::SameLine(0.0f, 20.0f);
    ImGui::PushItemWidth(90.0f);
    ImGui::Combo("DSCP##dscp", &dscpChoice_, kMtrDscpLabels.data(), static_cast<int>(kMtrDscpLabels.size()));
    ImGui::PopItemWidth();
    ImGui::SameLine(0.0f, 20.0f);
    ImGui::Checkbox("Fluxo fixo", &fixedFlow_);
    if (ImGui::IsItemHovered())
        ImGui::SetTooltip("Portas, identificador e checksum fixos: um balanceador mantem todas as sondas no mesmo caminho");

    // The engine decides what the button is: a run that stopped by itself shows "INICIAR"
    // again. While a start is with the engine (resolving the host) the button stays
    // disabled; a start that failed there opens the failure popup with its cause.
    const bool pending = startTicket_ != 0 && snap.status.startsHandled < startTicket_;
    if (traceRequested_) {
        traceRequested_ = false;
        // A run against another host gives way to the new one (both are requests the engine
        // takes in order); a start still resolving its host is left to finish.
        if (!pending && snap.status.state != MtrRunState::Resolving) {
            if (snap.status.state == MtrRunState::Running) core_.Stop();
            Start();
        }
    }
    const MtrRunState state = snap.status.state;
    if (startTicket_ != 0 && snap.status.startsHandled >= startTicket_) {
        startTicket_ = 0;
        if (state != MtrRunState::Running) {
            startFailureCause_ = StartErrorText(snap.status.startError);
            ImGui::OpenPopup(kStartFailedPopup);
        }
    }
    const bool starting = startTicket_ != 0 || state == MtrRunState::Resolving;
    if (state == MtrRunState::Running && !starting) {
        if (ImGui::Button("PARAR", kButtonSize)) core_.Stop();
    } else {
        ImGui::BeginDisabled(starting);
        if (ImGui::Button("INICIAR", kButtonSize) && !starting) Start();
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

    ImGui::SameLine();
    if (ImGui::Button("RELATORIO", ImVec2(100.0f, kButtonSize.y))) WriteReport(snap);

    if (state == MtrRunState::Resolving) {
        ImGui::Text("Resolvendo %s...", snap.status.startHost.c_str());
    } else if (state == MtrRunState::Stopped) {
        ImGui::TextColored(kStopCauseColor, "%s",
                           MtrStopCauseText(snap.status.stopCause, snap.status.stopDetail).c_str());
    }
    if (!reportMessage_.empty()) {
        if (state != MtrRunState::Idle && state != MtrRunState::Running) ImGui::SameLine(0.0f, 20.0f);
        if (reportFailed_)
            ImGui::TextColored(kStopCauseColor, "%s", reportMessage_.c_str());
        else
            ImGui::TextUnformatted(reportMessage_.c_str());
    }
    // "Salvar Pcap" that could not be honoured: the run goes on, the user must know the
    // file is missing or ends early.
    if (state != MtrRunState::Resolving) {
        const std::string& pcapError = snap.status.pcapError;
        if (!pcapError.empty())
            ImGui::TextColored(kStopCauseColor, "Falha ao gravar o PCAP %s: %s", snap.status.pcapPath.c_str(),
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

void MtrTab::WriteReport(const MtrSnapshot& snap) {
    const std::string folder = MtrLogDirectory();
    MtrRunInfo run = snap.status.run;
    run.targetHost = snap.status.startHost;
    const MtrReportFiles files =
        WriteMtrReportFiles(folder, FileTimeStamp(), run, snap.hops, snap.maxHops, *snap.events);
    reportFailed_ = !files.error.empty();
    reportMessage_ = reportFailed_ ? "Nao foi possivel salvar o relatorio: " + files.error
                                   : "Relatorio salvo em " + files.textPath + " e " + files.csvPath;
}

void MtrTab::SetNames(bool on) {
    names_ = on;
    core_.SetNamesEnabled(on);
}

void MtrTab::StartTraceTo(std::string_view target) {
    SetTarget(target);
    // Started by the next drawing of the controls, where a failure popup opens in this
    // tab's own ID scope.
    traceRequested_ = true;
}

bool MtrTab::Running() const { return core_.Snapshot()->Running(); }

void MtrTab::Start() {
    startFailureCause_.clear();
    // Resolution and capture opening run on the engine's thread: a name server that does not
    // answer must not hold the frame.
    MtrStartRequest request;
    request.host = target_;
    request.device = devices_.SelectedName();
    request.protocol = protocol_;
    request.family = family_;
    request.savePcap = savePcap_;
    request.dscp = Dscp();
    request.fixedFlow = fixedFlow_;
    startTicket_ = core_.Start(std::move(request));
    if (startTicket_ == 0) {
        startFailureCause_ = StartErrorText(StartError::AlreadyRunning);
        ImGui::OpenPopup(kStartFailedPopup);
    }
}

void MtrTab::DrawPacketLog(const MtrSnapshot& snap) {
    constexpr ImGuiTableFlags kLogFlags =
        ImGuiTableFlags_RowBg | ImGuiTableFlags_Borders | ImGuiTableFlags_ScrollY;
    if (ImGui::BeginTable("LogTable", kMtrLogColumns, kLogFlags, ImVec2(0.0f, 0.0f))) {
        for (const char* header : kMtrLogHeaders) ImGui::TableSetupColumn(header);
        ImGui::TableSetupScrollFreeze(0, 1);
        ImGui::TableHeadersRow();

        const std::vector<PacketLogEntry>& log = *snap.log;
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

void MtrTab::DrawEvents(const MtrSnapshot& snap) {
    constexpr ImGuiTableFlags kFlags = ImGuiTableFlags_RowBg | ImGuiTableFlags_Borders | ImGuiTableFlags_ScrollY;
    if (!ImGui::BeginTable("EventTable", kMtrEventColumns, kFlags, ImVec2(0.0f, 0.0f))) return;
    ImGui::TableSetupColumn(kMtrEventHeaders[0], ImGuiTableColumnFlags_WidthFixed, 70.0f);
    ImGui::TableSetupColumn(kMtrEventHeaders[1], ImGuiTableColumnFlags_WidthFixed, 45.0f);
    ImGui::TableSetupColumn(kMtrEventHeaders[2], ImGuiTableColumnFlags_WidthFixed, 130.0f);
    ImGui::TableSetupColumn(kMtrEventHeaders[3], ImGuiTableColumnFlags_WidthStretch);
    ImGui::TableSetupScrollFreeze(0, 1);
    ImGui::TableHeadersRow();
    const std::vector<MtrEvent>& events = *snap.events;
    ImGuiListClipper clipper;
    clipper.Begin(static_cast<int>(events.size()));
    while (clipper.Step()) {
        for (int i = clipper.DisplayStart; i < clipper.DisplayEnd; ++i) {
            const MtrEvent& e = events[static_cast<size_t>(i)];
            ImGui::TableNextRow();
            ImGui::TableNextColumn();
            ImGui::TextUnformatted(ClockText(e.ticks).c_str());
            ImGui::TableNextColumn();
            ImGui::Text("%d", static_cast<int>(e.hop));
            ImGui::TableNextColumn();
            ImGui::TextUnformatted(MtrEventKindLabel(e.kind));
            ImGui::TableNextColumn();
            ImGui::TextUnformatted(e.detail.c_str());
        }
    }
    // The newest event stays in view unless the user scrolled up.
    if (ImGui::GetScrollY() >= ImGui::GetScrollMaxY()) ImGui::SetScrollHereY(1.0f);
    ImGui::EndTable();
}

void MtrTab::DrawResults(const MtrSnapshot& snap) {
    constexpr ImGuiTableFlags kFlags = ImGuiTableFlags_Resizable | ImGuiTableFlags_RowBg |
                                       ImGuiTableFlags_Borders | ImGuiTableFlags_ScrollY;
    if (!ImGui::BeginTable("MtrTable", kMtrTableColumns + 1, kFlags, ImVec2(0.0f, 0.0f))) return;

    ImGui::TableSetupColumn(kMtrTableHeaders[0], ImGuiTableColumnFlags_WidthFixed, 40.0f);
    // The host cell holds "name (address) +N": it gets three shares of the width.
    ImGui::TableSetupColumn(kMtrTableHeaders[1], ImGuiTableColumnFlags_WidthStretch, 3.0f);
    for (int c = 2; c < kMtrTableColumns; ++c)
        ImGui::TableSetupColumn(kMtrTableHeaders[c], ImGuiTableColumnFlags_WidthStretch, 1.0f);
    ImGui::TableSetupColumn(kMtrHistoryHeader, ImGuiTableColumnFlags_WidthFixed, 160.0f);
    ImGui::TableSetupScrollFreeze(0, 1);
    ImGui::TableHeadersRow();

    const int32_t limit = snap.maxHops;
    const int32_t remarking = FirstRemarkingHop(snap.hops, limit, snap.status.run.dscp);
    for (const auto& [ttl, hop] : snap.hops) {
        if (ttl > limit) continue;
        ImGui::TableNextRow();
        const auto cells = MtrRowCells(ttl, hop, ttl == remarking);
        // The hop number spans the row as a selectable, so hovering anywhere on the row is
        // seen; the other cells draw over it.
        ImGui::TableNextColumn();
        ImGui::PushID(ttl);
        ImGui::Selectable(cells[0].text.c_str(), false,
                          ImGuiSelectableFlags_SpanAllColumns | ImGuiSelectableFlags_AllowItemOverlap);
        const bool hovered = ImGui::IsItemHovered();
        ImGui::PopID();
        for (int c = 1; c < kMtrTableColumns; ++c) {
            ImGui::TableNextColumn();
            DrawCell(cells[static_cast<size_t>(c)]);
        }
        ImGui::TableNextColumn();
        const ImVec2 origin = ImGui::GetCursorScreenPos();
        const ImVec2 size(ImGui::GetContentRegionAvail().x, ImGui::GetTextLineHeight());
        if (size.x >= 2.0f) DrawHistory(ImGui::GetWindowDrawList(), origin, size, hop.history);
        ImGui::Dummy(size);
        if (hovered) DrawRowTooltip(ttl, hop);
    }
    ImGui::EndTable();
}
