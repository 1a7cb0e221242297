#pragma once
// What the MTR results table shows in each cell: the text and, where the figure carries a
// warning, its colour. Kept apart from the drawing so the thresholds can be checked without
// a GUI frame.
#include <imgui.h>

#include <array>
#include <optional>
#include <string>

#include "mtr/MtrCore.h"
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

// The eleven cells of one row of the results table, in column order: HopRowTexts with colours.
std::array<MtrCell, kMtrTableColumns> MtrRowCells(int ttl, const HopStats& hop);
