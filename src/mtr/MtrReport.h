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
#include <vector>

#include "mtr/HopEvents.h"
#include "mtr/HopTable.h"
#include "mtr/MtrTypes.h"

inline constexpr int kMtrTableColumns = 13;
// Header texts of the hop table, left to right.
inline constexpr std::array<const char*, kMtrTableColumns> kMtrTableHeaders = {
    "Salto", "Host/IP", "Perda %", "Env", "Rec", "Perd", "Ult", "Med", "Melh", "Pior", "Jitter", "MOS", "DSCP"};
// Index of the MOS column.
inline constexpr int kMtrMosColumn = 11;
// Index of the column of the DSCP the hop saw.
inline constexpr int kMtrDscpColumn = 12;

// Lost probes over sent probes in percent; 0 while nothing was sent. Probes still waiting
// for an answer count as sent but not lost, so a fresh hop reads 0.
double HopLossPercent(const HopStats& h);

// Estimated MOS of a G.711 call whose media took this hop's path, from the hop's loss,
// average round trip and jitter; nothing while the hop has not answered.
std::optional<double> HopMos(const HopStats& hop);

// "address", or "name (address)" when the name is known, for one responder.
std::string ResponderText(const HopResponder& r);
// The host cell: the responder that answered most (ResponderText) and " +N" when N others
// answered too; the row's host ("???") while none has.
std::string HopHostText(const HopStats& hop);
// Every responder with its count and average: "a: 5 rec, 3.1 ms; b: 2 rec, 4.0 ms".
std::string HopRespondersText(const HopStats& hop);

// The DSCP the hop saw most often and "+" when it saw others too ("46", "46+"); "-" while no
// reply quoted the probe.
std::string HopDscpText(const HopStats& hop);
// The first hop (up to maxHops) that saw another DSCP than the probes were sent with: where
// the marking was changed on the way. 0 when every hop that quoted saw it unchanged.
int32_t FirstRemarkingHop(const std::map<int32_t, HopStats>& hops, int32_t maxHops, int32_t sentDscp);

// The event log as the command line prints it: "loss_start", "loss_end", "latency_up",
// "latency_down", "responder", "dscp"; and one line per event,
// "event;<HH:MM:SS local>;<hop>;<kind>;<detail>".
const char* MtrEventKindName(MtrEventKind kind);
std::string MtrEventLine(const MtrEvent& event);
std::string FormatMtrEvents(const std::vector<MtrEvent>& events);

// The cell texts of one hop, in column order: "%d", host, "%.1f%%", counts, "%.1f ms" for
// the times, "%.2f ms" for the jitter, "%.2f" for the MOS ("-" without an estimate) and
// HopDscpText.
std::array<std::string, kMtrTableColumns> HopRowTexts(int ttl, const HopStats& hop);

// The header line and one line per hop, cells as in the tab, columns aligned; with
// `responders` a last column "Respondentes" holds HopRespondersText.
std::string FormatMtrTable(const std::map<int32_t, HopStats>& hops, int32_t maxHops, bool responders = false);

// The text report: a heading, target, protocol, interface, start time and cycles, a blank
// line, then FormatMtrTable with the responders. A run marked with a DSCP or on one flow says
// so after the table (and where the marking changed), and the events follow, when there are
// any, under "Eventos:" as FormatMtrEvents prints them.
std::string FormatMtrReport(const MtrRunInfo& run, const std::map<int32_t, HopStats>& hops, int32_t maxHops,
                            const std::vector<MtrEvent>& events = {});
// The same table as CSV lines (logs/CsvFile): headers, then one line per hop with plain
// numbers (no units) and the responders.
std::string FormatMtrCsv(const std::map<int32_t, HopStats>& hops, int32_t maxHops);

// Writes "<stamp>_relatorio.txt" and "<stamp>_relatorio.csv" into `folder`.
struct MtrReportFiles {
    std::string textPath;
    std::string csvPath;
    std::string error;  // empty when both were written
};
MtrReportFiles WriteMtrReportFiles(const std::string& folder, const std::string& stamp, const MtrRunInfo& run,
                                   const std::map<int32_t, HopStats>& hops, int32_t maxHops,
                                   const std::vector<MtrEvent>& events = {});

// {"target": ..., "protocol": ..., "hops": [{"ttl":..., "host":..., "name":..., "loss_pct":...,
//  "sent":..., "received":..., "lost":..., "last_ms":..., "avg_ms":..., "best_ms":...,
//  "worst_ms":..., "jitter_ms":..., "mos":... | null, "dscp": ... | null, "dscp_varied": bool,
//  "responders": [{"address":..., "name":..., "received":..., "avg_ms":..., "best_ms":..., "worst_ms":...}],
//  "history": [{"t_ms":..., "rtt_ms":...} | {"t_ms":..., "lost": true}]}]}
// "name" is that of "host" (the latest source), "" when unknown; history times are ms after the hop's first probe, oldest first,
// probes still waiting left out. After "hops": "dscp_sent", "fixed_flow", "remarking_hop" (0:
// none) and "events": [{"time": "HH:MM:SS", "ticks":..., "hop":..., "kind":..., "detail":...}].
std::string FormatMtrJson(const std::string& target, int32_t protocol, const std::map<int32_t, HopStats>& hops,
                          int32_t maxHops, int32_t sentDscp = 0, bool fixedFlow = false,
                          const std::vector<MtrEvent>& events = {});
