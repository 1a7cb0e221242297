#include "mtr/MtrReport.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

namespace {
template <typename... Args>
std::string Fmt(const char* fmt, Args... args) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

// JSON string literal (RFC 8259 7): quote, backslash and control characters escaped.
std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}
}  // namespace

double HopLossPercent(const HopStats& h) {
    if (h.sent <= 0) return 0.0;
    return static_cast<double>(h.lost) / static_cast<double>(h.sent) * 100.0;
}

std::array<std::string, kMtrTableColumns> HopRowTexts(int ttl, const HopStats& h) {
    return {Fmt("%d", ttl),
            h.host,
            Fmt("%.1f%%", HopLossPercent(h)),
            Fmt("%d", static_cast<int>(h.sent)),
            Fmt("%d", static_cast<int>(h.received)),
            Fmt("%d", static_cast<int>(h.lost)),
            Fmt("%.1f ms", h.lastMs),
            Fmt("%.1f ms", h.avgMs),
            Fmt("%.1f ms", h.bestMs),
            Fmt("%.1f ms", h.worstMs),
            Fmt("%.2f ms", h.jitterMs)};
}

std::string ProbeProtocolName(int32_t protocol) {
    if (protocol < 0 || protocol >= static_cast<int32_t>(kProbeProtocolLabels.size())) protocol = kProbeIcmp;
    std::string name = kProbeProtocolLabels[static_cast<size_t>(protocol)];
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    return name;
}

std::optional<int32_t> ProbeProtocolFromName(std::string_view name) {
    for (int32_t p = 0; p < static_cast<int32_t>(kProbeProtocolLabels.size()); ++p)
        if (ProbeProtocolName(p) == name) return p;
    return std::nullopt;
}

std::string FormatMtrTable(const std::map<int32_t, HopStats>& hops, int32_t maxHops) {
    std::vector<std::vector<std::string>> rows;
    rows.emplace_back(kMtrTableHeaders.begin(), kMtrTableHeaders.end());
    for (const auto& [ttl, h] : hops) {
        if (ttl > maxHops) continue;
        const auto cells = HopRowTexts(ttl, h);
        rows.emplace_back(cells.begin(), cells.end());
    }
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto& r : rows)
        for (size_t i = 0; i < r.size(); ++i) width[i] = std::max(width[i], r[i].size());
    std::string out;
    for (const auto& r : rows) {
        std::string line;
        for (size_t i = 0; i < r.size(); ++i) {
            // Host left-aligned, figures right-aligned, two blanks between columns.
            std::string pad(width[i] - r[i].size(), ' ');
            if (i) line += "  ";
            line += i == 1 ? r[i] + pad : pad + r[i];
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

std::string FormatMtrJson(const std::string& target, int32_t protocol, const std::map<int32_t, HopStats>& hops,
                          int32_t maxHops) {
    std::string out = "{\"target\": " + JsonString(target) + ", \"protocol\": " +
                      JsonString(ProbeProtocolName(protocol)) + ", \"hops\": [";
    bool first = true;
    for (const auto& [ttl, h] : hops) {
        if (ttl > maxHops) continue;
        if (!first) out += ", ";
        first = false;
        out += "{\"ttl\": " + std::to_string(ttl) + ", \"host\": " + JsonString(h.host) +
               ", \"loss_pct\": " + Fmt("%.1f", HopLossPercent(h)) + ", \"sent\": " + std::to_string(h.sent) +
               ", \"received\": " + std::to_string(h.received) + ", \"lost\": " + std::to_string(h.lost) +
               ", \"last_ms\": " + Fmt("%.3f", h.lastMs) + ", \"avg_ms\": " + Fmt("%.3f", h.avgMs) +
               ", \"best_ms\": " + Fmt("%.3f", h.bestMs) + ", \"worst_ms\": " + Fmt("%.3f", h.worstMs) +
               ", \"jitter_ms\": " + Fmt("%.3f", h.jitterMs) + "}";
    }
    return out + "]}\n";
}
