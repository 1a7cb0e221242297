// Flow tab: floating window listing the newest captured packets, whatever they are, so a
// technician can see what the capture filter lets through even when nothing is recognised.
#include <imgui.h>

#include <cstring>

#include "flow/FlowCore.h"
#include "flow/FlowTab.h"
#include "flow/FlowTabLayout.h"

namespace {

// Packets are read backwards in blocks from the engine, so the window never copies the
// whole buffer when the newest packets already fill its lines.
constexpr size_t kRawReadBlock = 256;

}  // namespace

void FlowTab::DrawRawWindow() {
    if (!ImGui::Begin("Raw Packet Debug (FlowCore)", &showRawDebug_)) {
        ImGui::End();
        return;
    }
    ImGui::InputText("Filter", rawDebugFilter_, sizeof(rawDebugFilter_));
    const std::string_view filter(rawDebugFilter_, strnlen(rawDebugFilter_, sizeof(rawDebugFilter_)));

    const uint64_t first = core_.FirstPosition();
    uint64_t end = core_.EndPosition();
    int32_t drawn = 0;
    while (end > first && drawn < kRawDebugMaxLines) {
        const uint64_t from = end - first > kRawReadBlock ? end - kRawReadBlock : first;
        uint64_t copiedFrom = from;
        const std::vector<PacketLogEntry> block =
            core_.GetPacketsFrom(from, static_cast<size_t>(end - from), &copiedFrom);
        if (block.empty()) break;
        // Only the part before `end` belongs to this step (a trim may have moved the start).
        size_t count = block.size();
        if (copiedFrom + count > end) count = end > copiedFrom ? static_cast<size_t>(end - copiedFrom) : 0;
        for (size_t i = count; i-- > 0 && drawn < kRawDebugMaxLines;) {
            const PacketLogEntry& p = block[i];
            if (!RawPacketMatches(p, filter)) continue;
            ImGui::PushID(drawn);
            const std::string line = RawPacketLine(p);
            ImGui::TextUnformatted(line.c_str());
            if (ImGui::IsItemHovered()) {
                const std::string tip = RawPacketTooltip(p);
                ImGui::BeginTooltip();
                ImGui::PushTextWrapPos(ImGui::GetFontSize() * 40.0f);
                ImGui::TextUnformatted(tip.c_str());
                ImGui::PopTextWrapPos();
                ImGui::EndTooltip();
            }
            ImGui::PopID();
            ++drawn;
        }
        if (copiedFrom <= first || copiedFrom >= end) break;
        end = copiedFrom;
    }
    ImGui::End();
}
