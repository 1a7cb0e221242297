#pragma once
// What the MTR results table shows in each cell: the text and, where the figure carries a
// warning, its colour. Kept apart from the drawing so the thresholds can be checked without
// a GUI frame.
#include <imgui.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "mtr/HopTable.h"
#include "mtr/MtrReport.h"

inline constexpr int kMtrLogColumns = 6;

// Header texts of the packet log, left to right (the results table's are kMtrTableHeaders).
extern const std::array<const char*, kMtrLogColumns> kMtrLogHeaders;

// Colours of the table (RGBA, 0..1).
inline const ImVec4 kMtrRed{1.0f, 0.0f, 0.0f, 1.0f};
inline const ImVec4 kMtrGreen{0.0f, 1.0f, 0.0f, 1.0f};
inline const ImVec4 kMtrPaleYellow{1.0f, 1.0f, 0.5f, 1.0f};
inline const ImVec4 kMtrOrange{1.0f, 0.8f, 0.0f, 1.0f};
inline const ImVec4 kMtrLightRed{1.0f, 0.2f, 0.2f, 1.0f};
inline const ImVec4 kMtrYellow{1.0f, 1.0f, 0.0f, 1.0f};

// Red for any loss above zero; no colour (the style's text colour) otherwise.
std::optional<ImVec4> MtrLossColor(double lossPercent);
std::optional<ImVec4> MtrLostColor(int lost);

// Jitter scale: green below 4 ms, pale yellow below 10 ms, orange below 20 ms, light red
// from 20 ms on. Judged on the value itself, not on its two-decimal rendering.
ImVec4 MtrJitterColor(double jitterMs);

struct MtrCell {
    std::string text;
    std::optional<ImVec4> color;  // empty: drawn with the default text colour
};

// The cells of one row of the results table, in column order: HopRowTexts with colours. The
// DSCP cell is yellow on the hop where the marking was first seen changed (`remarking`, as
// FirstRemarkingHop finds it).
std::array<MtrCell, kMtrTableColumns> MtrRowCells(int ttl, const HopStats& hop, bool remarking = false);

// Header texts of the event panel ("Eventos"); its kinds are named by MtrEventKindLabel.
inline constexpr int kMtrEventColumns = 4;
extern const std::array<const char*, kMtrEventColumns> kMtrEventHeaders;

// MOS scale of a call over this hop: green from 4.0, pale yellow from 3.6, orange from 3.1,
// light red below; nothing without an estimate.
std::optional<ImVec4> MtrMosColor(std::optional<double> mos);

// Header of the history column, drawn after the table's other columns.
inline constexpr const char* kMtrHistoryHeader = "Historico";

// One pixel column of a history chart: the probes of the window that fall on it.
struct MtrHistoryBucket {
    bool answered = false;  // at least one probe answered; maxMs is then the slowest
    bool lost = false;      // at least one probe was lost
    float maxMs = 0.0f;
};
// The window's settled probes spread evenly over `width` columns, oldest at the left (probes
// still waiting count as neither). Fewer probes than columns leave columns between them
// empty. Empty for width <= 0.
std::vector<MtrHistoryBucket> MtrHistoryBuckets(const HopHistory& history, int width);

// Figures over the history window.
struct MtrHistorySummary {
    int answered = 0;
    int lost = 0;
    float minMs = 0.0f, avgMs = 0.0f, maxMs = 0.0f;  // of the answered probes; 0 without any
    int64_t firstTicks = 0, lastTicks = 0;           // send times of the oldest and newest probe
};
MtrHistorySummary MtrHistorySummaryOf(const HopHistory& history);
