#include "mtr/MtrTabFormat.h"

#include <cstdio>

const std::array<const char*, kMtrTableColumns> kMtrTableHeaders = {
    "Salto", "Host/IP", "Perda %", "Env", "Rec", "Perd", "Ult", "Med", "Melh", "Pior", "Jitter"};

const std::array<const char*, kMtrLogColumns> kMtrLogHeaders = {"Hora",  "Origem", "Destino",
                                                                 "Proto", "Tam",    "Info"};

namespace {

template <typename... Args>
std::string Format(const char* fmt, Args... args) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

}  // namespace

double MtrLossPercent(const HopStats& hop) {
    if (hop.sent <= 0) return 0.0;
    return static_cast<double>(hop.lost) / static_cast<double>(hop.sent) * 100.0;
}

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
    const double loss = MtrLossPercent(hop);
    return {{
        {Format("%d", ttl), std::nullopt},
        {hop.host, std::nullopt},
        {Format("%.1f%%", loss), MtrLossColor(loss)},
        {Format("%d", static_cast<int>(hop.sent)), std::nullopt},
        {Format("%d", static_cast<int>(hop.received)), kMtrGreen},
        {Format("%d", static_cast<int>(hop.lost)), MtrLostColor(static_cast<int>(hop.lost))},
        {Format("%.1f ms", hop.lastMs), std::nullopt},
        {Format("%.1f ms", hop.avgMs), std::nullopt},
        {Format("%.1f ms", hop.bestMs), std::nullopt},
        {Format("%.1f ms", hop.worstMs), std::nullopt},
        {Format("%.2f ms", hop.jitterMs), MtrJitterColor(hop.jitterMs)},
    }};
}
