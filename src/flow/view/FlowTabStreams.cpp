// The Flow tab's table of RTP streams that belong to no call: a capture started during the
// call, or SIP on a port that was not captured. Same figures as a call's streams.
#include <imgui.h>

#include <algorithm>

#include "flow/view/FlowTab.h"
#include "flow/StreamReport.h"

void FlowTab::DrawUnsignalledStreams() {
    const std::vector<RtpStreamReport>& unsignalled = *snap_->unsignalled;
    if (unsignalledSelected_ >= static_cast<int32_t>(unsignalled.size())) unsignalledSelected_ = -1;
    ImGui::TextColored(ImVec4(0.2f, 0.7f, 1.0f, 1.0f), "Fluxos RTP sem chamada (%d)", static_cast<int>(unsignalled.size()));
    const bool withReport = unsignalledSelected_ >= 0;
    const ImVec2 avail = ImGui::GetContentRegionAvail();
    const ImGuiTableFlags flags = ImGuiTableFlags_Resizable | ImGuiTableFlags_RowBg | ImGuiTableFlags_Borders |
                                  ImGuiTableFlags_ScrollY;
    if (ImGui::BeginTable("UnsignalledStreams", 7, flags, ImVec2(withReport ? avail.x * 0.55f : 0.0f, 0.0f))) {
        ImGui::TableSetupScrollFreeze(0, 1);
        ImGui::TableSetupColumn("Origem", ImGuiTableColumnFlags_WidthStretch);
        ImGui::TableSetupColumn("Destino", ImGuiTableColumnFlags_WidthStretch);
        ImGui::TableSetupColumn("Codec", ImGuiTableColumnFlags_WidthFixed, 60);
        ImGui::TableSetupColumn("Pacotes", ImGuiTableColumnFlags_WidthFixed, 60);
        ImGui::TableSetupColumn("Perda %", ImGuiTableColumnFlags_WidthFixed, 60);
        ImGui::TableSetupColumn("Jitter ms", ImGuiTableColumnFlags_WidthFixed, 70);
        ImGui::TableSetupColumn("MOS", ImGuiTableColumnFlags_WidthFixed, 50);
        ImGui::TableHeadersRow();
        ImGuiListClipper clipper;
        clipper.Begin(static_cast<int>(unsignalled.size()));
        while (clipper.Step()) {
            for (int row = clipper.DisplayStart; row < clipper.DisplayEnd; ++row) {
                const RtpStreamReport& r = unsignalled[static_cast<size_t>(row)];
                ImGui::TableNextRow();
                ImGui::TableSetColumnIndex(0);
                const std::string label = r.source + "##unsignalled" + std::to_string(row);
                if (ImGui::Selectable(label.c_str(), row == unsignalledSelected_, ImGuiSelectableFlags_SpanAllColumns))
                    unsignalledSelected_ = row == unsignalledSelected_ ? -1 : row;
                ImGui::TableSetColumnIndex(1);
                ImGui::TextUnformatted(r.destination.c_str());
                ImGui::TableSetColumnIndex(2);
                ImGui::TextUnformatted(r.codec.c_str());
                ImGui::TableSetColumnIndex(3);
                ImGui::Text("%llu", static_cast<unsigned long long>(r.packets));
                ImGui::TableSetColumnIndex(4);
                ImGui::Text("%.2f", r.lossPercent);
                ImGui::TableSetColumnIndex(5);
                ImGui::Text("%.2f", r.maxJitterMs);
                ImGui::TableSetColumnIndex(6);
                if (r.mosAdaptive) {
                    static const ImVec4 kBandColours[] = {ImVec4(0.0f, 1.0f, 0.0f, 1.0f), ImVec4(1.0f, 1.0f, 0.0f, 1.0f),
                                                          ImVec4(1.0f, 0.0f, 0.0f, 1.0f)};
                    ImGui::TextColored(kBandColours[MosBand(*r.mosAdaptive)], "%s", MosText(*r.mosAdaptive).c_str());
                }
            }
        }
        ImGui::EndTable();
    }
    if (!withReport) return;
    ImGui::SameLine();
    ImGui::BeginChild("UnsignalledReport", ImVec2(0, 0), true, ImGuiWindowFlags_HorizontalScrollbar);
    const RtpStreamReport& r = unsignalled[static_cast<size_t>(unsignalledSelected_)];
    const std::string report = StreamReportText(r, ReverseStream(r, unsignalled));
    ImGui::TextUnformatted(report.data(), report.data() + report.size());
    ImGui::EndChild();
}
