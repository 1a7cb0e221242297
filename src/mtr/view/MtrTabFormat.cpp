#include "mtr/view/MtrTabFormat.h"
#include "quality/EModel.h"

#include <algorithm>

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

const std::array<const char*, kMtrEventColumns> kMtrEventHeaders = {"Hora", "Salto", "Evento", "Detalhe"};

std::array<MtrCell, kMtrTableColumns> MtrRowCells(int ttl, const HopStats& hop, bool remarking) {
    const std::array<std::string, kMtrTableColumns> texts = HopRowTexts(ttl, hop);
    std::array<MtrCell, kMtrTableColumns> cells;
    for (int c = 0; c < kMtrTableColumns; ++c) cells[c].text = texts[c];
    cells[2].color = MtrLossColor(HopLossPercent(hop));
    cells[4].color = kMtrGreen;
    cells[5].color = MtrLostColor(static_cast<int>(hop.lost));
    cells[10].color = MtrJitterColor(hop.jitterMs);
    cells[kMtrMosColumn].color = MtrMosColor(HopMos(hop));
    if (remarking) cells[kMtrDscpColumn].color = kMtrYellow;
    return cells;
}

std::optional<ImVec4> MtrMosColor(std::optional<double> mos) {
    if (!mos) return std::nullopt;
    if (*mos >= emodel::kMosGood) return kMtrGreen;
    if (*mos >= emodel::kMosFair) return kMtrPaleYellow;
    if (*mos >= 3.1) return kMtrOrange;
    return kMtrLightRed;
}

std::vector<MtrHistoryBucket> MtrHistoryBuckets(const HopHistory& history, int width) {
    std::vector<MtrHistoryBucket> buckets;
    if (width <= 0) return buckets;
    buckets.resize(static_cast<size_t>(width));
    const size_t n = history.Count();
    for (size_t i = 0; i < n; ++i) {
        const HopSample& s = history.At(i);
        // Spread over the whole width: one probe at the left edge, the newest at the right.
        const size_t x = n == 1 ? static_cast<size_t>(width - 1) : i * static_cast<size_t>(width - 1) / (n - 1);
        MtrHistoryBucket& b = buckets[x];
        if (s.Lost()) {
            b.lost = true;
        } else if (s.Answered()) {
            b.maxMs = b.answered ? std::max(b.maxMs, s.rttMs) : s.rttMs;
            b.answered = true;
        }
    }
    return buckets;
}

MtrHistorySummary MtrHistorySummaryOf(const HopHistory& history) {
    MtrHistorySummary sum;
    const size_t n = history.Count();
    if (n == 0) return sum;
    sum.firstTicks = history.SampleTicks(history.At(0));
    sum.lastTicks = history.SampleTicks(history.At(n - 1));
    double total = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const HopSample& s = history.At(i);
        if (s.Lost()) {
            ++sum.lost;
        } else if (s.Answered()) {
            sum.minMs = sum.answered ? std::min(sum.minMs, s.rttMs) : s.rttMs;
            sum.maxMs = std::max(sum.maxMs, s.rttMs);
            total += s.rttMs;
            ++sum.answered;
        }
    }
    if (sum.answered) sum.avgMs = static_cast<float>(total / sum.answered);
    return sum;
}
