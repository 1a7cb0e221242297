#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "mtr/MtrCore.h"

// Text renderings of an MTR hop table for the command line: the columns of the MTR tab,
// or a JSON object. Only hops with TTL <= maxHops are shown, as in the tab.

// Loss percentage as the tab shows it: lost / sent x 100, 0 when nothing was sent.
double HopLossPercent(const HopStats& h);

// "udp", "icmp" or "tcp".
std::string ProbeProtocolName(int32_t protocol);

// Header "Salto  Host/IP  Perda %  Env  Rec  Perd  Ult  Med  Melh  Pior  Jitter", one line
// per hop, values formatted as in the tab ("%.1f%%", "%.1f ms", "%.2f ms").
std::string FormatMtrTable(const std::map<int32_t, HopStats>& hops, int32_t maxHops);

// {"target": ..., "protocol": ..., "hops": [{"ttl":..., "host":..., "loss_pct":..., "sent":...,
//  "received":..., "lost":..., "last_ms":..., "avg_ms":..., "best_ms":..., "worst_ms":...,
//  "jitter_ms":...}]}
std::string FormatMtrJson(const std::string& target, int32_t protocol, const std::map<int32_t, HopStats>& hops,
                          int32_t maxHops);
