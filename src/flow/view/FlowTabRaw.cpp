// Flow tab: floating window listing the newest captured packets, whatever they are, so a
// technician can see what the capture filter lets through even when nothing is recognised.
#include <imgui.h>

#include <cstring>

#include "flow/view/FlowTab.h"
#include "flow/view/FlowTabLayout.h"

void FlowTab::DrawRawWindow() {
    // The window opens once the engine has answered with its first page: a window fits its
    // size to what its first frames hold.
    if (!snap_->view.rawPage) return;
    if (!ImGui::Begin("Raw Packet Debug (FlowCore)", &showRawDebug_)) {
        ImGui::End();
        return;
    }
    ImGui::InputText("Filter", rawDebugFilter_, sizeof(rawDebugFilter_));

    // The engine pages through its buffer for the tab: the newest packets the filter lets
    // through, at most kRawDebugMaxLines of them.
    static const std::vector<PacketLogEntry> kNoPage;
    const std::vector<PacketLogEntry>& page = snap_->view.rawPage ? *snap_->rawPage : kNoPage;
    int32_t drawn = 0;
    for (const PacketLogEntry& p : page) {
        if (drawn >= kRawDebugMaxLines) break;
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
    ImGui::End();
}
