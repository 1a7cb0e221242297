// Flow tab: ladder (sequence) diagram of one call and the text of the selected message.
#include <imgui.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "flow/view/FlowTab.h"
#include "flow/view/FlowTabLayout.h"
#include "flow/StreamReport.h"
#include "flow/TraceTarget.h"
#include "ui/DeviceChoice.h"
#include "ui/DiagnosisTexts.h"
#include "platform/SystemFacts.h"
#include "quality/EModel.h"

namespace {

ImU32 ToImU32(const FlowRgba& c) { return IM_COL32(c.r, c.g, c.b, c.a); }

// The stream an RTP flow entry stands for: flow entries join every stream between the two
// addresses, so the busiest stream of that direction speaks for it.
const RtpStreamReport* StreamOfEntry(const SipMessage& m, const std::vector<RtpStreamReport>& streams) {
    const RtpStreamReport* best = nullptr;
    for (const RtpStreamReport& r : streams) {
        if (!(r.src.address == m.src.address) || !(r.dst.address == m.dst.address)) continue;
        if (!best || r.packets > best->packets) best = &r;
    }
    return best;
}

// The stream's quality over time: the MOS of each 5-second interval, one line per direction
// (yellow: this stream, cyan: the opposite one), the values of the interval under the mouse.
void DrawIntervalChart(const RtpStreamReport& forward, const RtpStreamReport* reverse) {
    if (forward.intervals.empty() && (!reverse || reverse->intervals.empty())) return;
    ImGui::Spacing();
    ImGui::TextUnformatted("MOS (estimado) a cada 5 s:");
    const float width = std::max(200.0f, ImGui::GetContentRegionAvail().x);
    const float height = 110.0f;
    const ImVec2 origin = ImGui::GetCursorScreenPos();
    ImGui::InvisibleButton("IntervalChart", ImVec2(width, height));
    const bool hovered = ImGui::IsItemHovered();
    ImDrawList* draw = ImGui::GetWindowDrawList();
    draw->AddRectFilled(origin, ImVec2(origin.x + width, origin.y + height), IM_COL32(25, 25, 25, 255));
    uint32_t last = 0;
    for (const auto& iv : forward.intervals) last = std::max(last, iv.figures.index);
    if (reverse)
        for (const auto& iv : reverse->intervals) last = std::max(last, iv.figures.index);
    const float step = width / static_cast<float>(last + 1);
    auto x = [&](uint32_t index) { return origin.x + (static_cast<float>(index) + 0.5f) * step; };
    auto y = [&](double mos) { return origin.y + height - static_cast<float>((std::clamp(mos, 1.0, 5.0) - 1.0) / 4.0) * height; };
    for (double band : {emodel::kMosFair, emodel::kMosGood})
        draw->AddLine(ImVec2(origin.x, y(band)), ImVec2(origin.x + width, y(band)), IM_COL32(80, 80, 80, 255));
    auto line = [&](const RtpStreamReport& r, ImU32 colour) {
        std::optional<ImVec2> previous;
        uint32_t previousIndex = 0;
        for (const auto& iv : r.intervals) {
            if (!iv.mos) continue;
            const ImVec2 p(x(iv.figures.index), y(*iv.mos));
            // A silence of whole intervals is a gap in the line, not a slope.
            if (previous && iv.figures.index == previousIndex + 1) draw->AddLine(*previous, p, colour, 2.0f);
            draw->AddCircleFilled(p, 2.5f, colour);
            previous = p;
            previousIndex = iv.figures.index;
        }
    };
    line(forward, IM_COL32(255, 210, 0, 255));
    if (reverse) line(*reverse, IM_COL32(0, 200, 255, 255));
    if (!hovered) return;
    const float mouse = ImGui::GetIO().MousePos.x - origin.x;
    const uint32_t index = static_cast<uint32_t>(std::clamp(mouse / step, 0.0f, static_cast<float>(last)));
    std::string tip = "Intervalo " + std::to_string(index * 5) + "-" + std::to_string(index * 5 + 5) + " s";
    auto describe = [&](const RtpStreamReport& r, const char* name) {
        for (const auto& iv : r.intervals) {
            if (iv.figures.index != index) continue;
            char buf[200];
            std::snprintf(buf, sizeof buf, "\n%s: %u pacotes, %d perdidos, %u atrasados, jitter max %.1f ms, MOS %s", name,
                          iv.figures.packets, iv.figures.lost, iv.figures.lateFixed, iv.figures.maxJitterMs,
                          iv.mos ? MosText(*iv.mos).c_str() : "-");
            tip += buf;
        }
    };
    describe(forward, (forward.source + " -> " + forward.destination).c_str());
    if (reverse) describe(*reverse, (reverse->source + " -> " + reverse->destination).c_str());
    ImGui::SetTooltip("%s", tip.c_str());
}

}  // namespace

void FlowTab::DrawLadder() {
    // The id is copied: "Voltar" clears the field, and the rest of this frame still draws.
    const std::string callId = selectedCallId_;
    if (ImGui::Button("Voltar")) selectedCallId_.clear();
    ImGui::SameLine();
    ImGui::Text("Call-ID: %s", callId.c_str());

    // The engine copies this record (and only this one) into each snapshot once the tab has
    // named it, so a call that is still running grows while it is watched.
    static const std::vector<RtpStreamReport> kNoStreams;
    const bool answered = snap_->view.callId == callId;
    const SipCall* call = answered ? snap_->call.get() : nullptr;
    const std::vector<RtpStreamReport>& streams = answered ? *snap_->callStreams : kNoStreams;

    if (call) {
        ImGui::SameLine();
        if (ImGui::Button("Exportar Chamada")) ExportCall(callId);
        if (ImGui::IsItemHovered())
            ImGui::SetTooltip("Os pacotes SIP, RTP e RTCP desta chamada (pcap) e o diagrama, os fluxos e o diagnostico (txt)");
    }
    if (trace_ && call) {
        ImGui::SameLine();
        if (ImGui::Button("Rastrear no MTR")) {
            // Read on the click only: the interface list is a short system call.
            std::vector<std::string> local;
            for (const platform::InterfaceAddress& a : platform::ListIpv4Interfaces()) local.push_back(a.ipv4);
            const std::string target = RemoteTraceTarget(*call, streams, local);
            if (!target.empty()) trace_->Ask(target);
        }
    }
    if (call) DrawListenControls(callId);
    ImGui::Separator();

    const ImVec2 avail = ImGui::GetContentRegionAvail();
    const float diagramWidth = 0.65f * avail.x;

    ImGui::BeginChild("LadderView", ImVec2(diagramWidth, avail.y), true, ImGuiWindowFlags_HorizontalScrollbar);
    if (call) {
        const std::vector<SipMessage>& messages = call->messages;
        const ImVec2 origin = ImGui::GetCursorScreenPos();
        ImDrawList* draw = ImGui::GetWindowDrawList();
        const std::vector<std::string> endpoints = LadderEndpoints(messages);
        std::vector<float> captionWidths;
        float widest = 0.0f;
        for (const std::string& e : endpoints) {
            captionWidths.push_back(ImGui::CalcTextSize(e.c_str()).x);
            widest = std::max(widest, captionWidths.back());
        }
        const float spacing = LadderColumnSpacing(widest);
        const float left = LadderLeftMargin(endpoints.size(), diagramWidth, spacing);
        auto columnX = [left, spacing](size_t j) { return left + spacing * static_cast<float>(j); };

        const float lifeBottom = LadderLifeLineBottom(origin.y, messages.size());
        for (size_t j = 0; j < endpoints.size(); ++j) {
            const float x = origin.x + columnX(j);
            draw->AddText(ImVec2(x - kLadderCaptionLead, origin.y + 10.0f), ToImU32(kLadderCaptionColour), endpoints[j].c_str());
            draw->AddLine(ImVec2(x, origin.y + kLadderLifeLineTop), ImVec2(x, lifeBottom),
                          ToImU32(kLadderLifeLineColour), 1.0f);
        }

        // Only the rows in view are drawn and get a selection area; a long call has
        // thousands of entries once RTP flows are counted in.
        const ImVec2 clipMin = ImGui::GetWindowPos();
        const float clipTop = clipMin.y - kLadderRowSpacing;
        const float clipBottom = clipMin.y + ImGui::GetWindowHeight() + kLadderRowSpacing;
        for (size_t k = 0; k < messages.size(); ++k) {
            const SipMessage& m = messages[k];
            const LadderArrow a = LadderArrowGeometry(origin.x, origin.y,
                                                      columnX(LadderColumnOf(endpoints, m.sourceIp)),
                                                      columnX(LadderColumnOf(endpoints, m.destinationIp)), k);
            if (a.y < clipTop) continue;
            if (a.y > clipBottom) break;
            const bool selected = static_cast<int32_t>(k) == selectedMessageIndex_;
            const ImU32 colour = ToImU32(LadderArrowColour(m, selected));
            draw->AddLine(ImVec2(a.x1, a.y), ImVec2(a.lineEndX, a.y), colour, 1.5f);
            draw->AddTriangleFilled(ImVec2(a.head[0], a.head[1]), ImVec2(a.head[2], a.head[3]),
                                    ImVec2(a.head[4], a.head[5]), colour);
            std::string label = LadderLabel(m);
            if (m.type == SipMsgType::Rtp)
                if (const RtpStreamReport* r = StreamOfEntry(m, streams)) label += StreamLabelSuffix(*r);
            draw->AddText(ImVec2(a.labelX, a.labelY), ToImU32(kLadderLabelColour), label.c_str());

            ImGui::PushID(static_cast<int>(k));
            ImGui::SetCursorScreenPos(ImVec2(a.selectX, a.selectY));
            if (ImGui::InvisibleButton("btn", ImVec2(a.selectW, a.selectH))) {
                selectedMessageIndex_ = static_cast<int32_t>(k);
                // An RTP arrow plays its stream.
                if (m.type == SipMsgType::Rtp)
                    if (const RtpStreamReport* r = StreamOfEntry(m, streams)) PlayStream(callId, *r);
            }
            ImGui::PopID();
        }

        // Reserve the drawing's extent so the child scrolls over every message and, with
        // more columns than fit, sideways over every column.
        ImGui::SetCursorScreenPos(origin);
        ImGui::Dummy(ImVec2(LadderContentWidth(left, spacing, captionWidths), LadderContentHeight(messages.size())));
    }
    ImGui::EndChild();

    ImGui::SameLine();
    // The stream report is a table of fixed columns, not wrapped: two "[IPv6]:port" columns
    // are wider than the panel, so the panel scrolls sideways instead of cutting them off.
    // The engine's verdicts sit below the message, in a panel of their own: what it found,
    // the evidence, what to check. A verdict that names a message selects it.
    const std::vector<Verdict>* verdicts = answered && snap_->callVerdicts ? snap_->callVerdicts.get() : nullptr;
    const bool diagnosed = verdicts && !verdicts->empty();
    const float diagnosisHeight = diagnosed ? std::min(170.0f, 0.4f * avail.y) : 0.0f;
    const float detailsHeight = diagnosed ? avail.y - diagnosisHeight - ImGui::GetStyle().ItemSpacing.y : avail.y;
    ImGui::BeginGroup();
    ImGui::BeginChild("MsgDetails", ImVec2(0, detailsHeight), true, ImGuiWindowFlags_HorizontalScrollbar);
    ImGui::TextColored(ImVec4(1.0f, 0.8f, 0.0f, 1.0f), "CONTEUDO DA MENSAGEM:");
    ImGui::Separator();
    ImGui::Spacing();
    ImGui::PushTextWrapPos(0.0f);
    if (call && selectedMessageIndex_ >= 0 && static_cast<size_t>(selectedMessageIndex_) < call->messages.size()) {
        const SipMessage& m = call->messages[static_cast<size_t>(selectedMessageIndex_)];
        ImGui::TextUnformatted(m.text.data(), m.text.data() + m.text.size());
        // An RTP arrow also shows the quality report of its stream and of the opposite one.
        if (m.type == SipMsgType::Rtp) {
            if (const RtpStreamReport* r = StreamOfEntry(m, streams)) {
                ImGui::PopTextWrapPos();
                ImGui::Spacing();
                ImGui::Separator();
                const RtpStreamReport* reverse = ReverseStream(*r, streams);
                // Once the player decoded them, the reports say what the audio carried.
                const std::optional<RtpStreamReport> heardForward = DecodedReport(*r);
                const std::optional<RtpStreamReport> heardReverse = reverse ? DecodedReport(*reverse) : std::nullopt;
                const std::string report = StreamReportText(heardForward ? *heardForward : *r,
                                                            heardReverse ? &*heardReverse : reverse);
                ImGui::TextUnformatted(report.data(), report.data() + report.size());
                DrawIntervalChart(*r, reverse);
                ImGui::PushTextWrapPos(0.0f);
            }
        }
    } else {
        ImGui::TextUnformatted("Selecione uma mensagem no diagrama lateral...");
    }
    ImGui::PopTextWrapPos();
    ImGui::EndChild();
    if (diagnosed) {
        ImGui::BeginChild("Diagnostico", ImVec2(0, diagnosisHeight), true);
        ImGui::TextColored(ImVec4(1.0f, 0.8f, 0.0f, 1.0f),
                           snap_->view.heardStreams ? "DIAGNOSTICO (com o audio decodificado):" : "DIAGNOSTICO:");
        ImGui::PushTextWrapPos(0.0f);
        for (size_t i = 0; i < verdicts->size(); ++i) {
            const Verdict& v = (*verdicts)[i];
            const FlowRgbf c = DiagnosisColour({v});
            ImGui::PushID(static_cast<int>(i));
            ImGui::PushStyleColor(ImGuiCol_Text, ImVec4(c.r, c.g, c.b, 1.0f));
            if (ImGui::Selectable(DiagnosisLabel(v.code), false) && v.messageIndex >= 0) selectedMessageIndex_ = v.messageIndex;
            ImGui::PopStyleColor();
            const std::string evidence = VerdictEvidence(v);
            if (!evidence.empty()) ImGui::TextUnformatted(evidence.c_str());
            if (const char* hint = DiagnosisHint(v.code); *hint)
                ImGui::TextColored(ImVec4(0.7f, 0.7f, 0.7f, 1.0f), "%s", hint);
            ImGui::PopID();
        }
        ImGui::PopTextWrapPos();
        ImGui::EndChild();
    }
    ImGui::EndGroup();
}
