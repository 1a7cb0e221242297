#include "mtr/MtrTabFormat.h"

const std::array<const char*, kMtrLogColumns> kMtrLogHeaders = {"Hora",  "Origem", "Destino",
                                                                 "Proto", "Tam",    "Info"};

std::optional<ImVec4> MtrLossColor(double lossPercent) {
    if (lossPercent > 0.0) return kMtrRed;
    return std::nullopt;
}

std::optional<ImVec4> MtrLostColor(int lost) {
    if (lost > 0) return kMtrRed;
    return std::nullopt;
}

ImVec4 MtrJitterColor(double jitterMs) {
    if (jitterMs < 4.0) return kMtrGreen;
    if (jitterMs < 10.0) return kMtrPaleYellow;
    if (jitterMs < 20.0) return kMtrOrange;
    return kMtrLightRed;
}

std::array<MtrCell, kMtrTableColumns> MtrRowCells(int ttl, const HopStats& hop) {
    const std::array<std::string, kMtrTableColumns> texts = HopRowTexts(ttl, hop);
    std::array<MtrCell, kMtrTableColumns> cells;
    for (int c = 0; c < kMtrTableColumns; ++c) cells[c].text = texts[c];
    cells[2].color = MtrLossColor(HopLossPercent(hop));
    cells[4].color = kMtrGreen;
    cells[5].color = MtrLostColor(static_cast<int>(hop.lost));
    cells[10].color = MtrJitterColor(hop.jitterMs);
    return cells;
}
