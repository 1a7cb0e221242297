#pragma once
// The hop table as text: its headers, the text of every cell (the MTR tab draws these, and
// colours some), and the renderings for the command line (aligned columns or JSON). Only
// hops with TTL <= maxHops are shown, as in the tab.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "mtr/MtrCore.h"

inline constexpr int kMtrTableColumns = 11;
// Header texts of the hop table, left to right.
inline constexpr std::array<const char*, kMtrTableColumns> kMtrTableHeaders = {
    "Salto", "Host/IP", "Perda %", "Env", "Rec", "Perd", "Ult", "Med", "Melh", "Pior", "Jitter"};

// Lost probes over sent probes in percent; 0 while nothing was sent. Probes still waiting
// for an answer count as sent but not lost, so a fresh hop reads 0.
double HopLossPercent(const HopStats& h);

// The eleven cell texts of one hop, in column order: "%d", host, "%.1f%%", counts,
// "%.1f ms" for the times and "%.2f ms" for the jitter.
std::array<std::string, kMtrTableColumns> HopRowTexts(int ttl, const HopStats& hop);

// The probe kinds as the tab's protocol combo names them, indexed by ProbeProtocol.
inline constexpr std::array<const char*, 3> kProbeProtocolLabels = {"UDP", "ICMP", "TCP"};
// Items of the "IPv4/IPv6" combo, in ProbeFamily order.
inline constexpr std::array<const char*, 2> kProbeFamilyLabels = {"IPv4", "IPv6"};
// "udp", "icmp" or "tcp": the label in lower case, for file names, options and JSON.
std::string ProbeProtocolName(int32_t protocol);
// The protocol a lower-case name stands for; empty for anything else.
std::optional<int32_t> ProbeProtocolFromName(std::string_view name);

// The header line and one line per hop, cells as in the tab, columns aligned.
std::string FormatMtrTable(const std::map<int32_t, HopStats>& hops, int32_t maxHops);

// {"target": ..., "protocol": ..., "hops": [{"ttl":..., "host":..., "loss_pct":..., "sent":...,
//  "received":..., "lost":..., "last_ms":..., "avg_ms":..., "best_ms":..., "worst_ms":...,
//  "jitter_ms":...}]}
std::string FormatMtrJson(const std::string& target, int32_t protocol, const std::map<int32_t, HopStats>& hops,
                          int32_t maxHops);
