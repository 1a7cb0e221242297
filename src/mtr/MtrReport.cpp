#include "mtr/MtrReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#include <nlohmann/json.hpp>

#include "logs/CsvFile.h"
#include "logs/LocalTime.h"
#include "quality/EModel.h"

namespace {
template <typename... Args>
std::string Fmt(const char* fmt, Args... args) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

// The JSON figures carry the precision the tables show and no binary noise beyond it.
double Rounded(double v, double scale) { return std::round(v * scale) / scale; }
constexpr double kMsScale = 1000.0;  // microseconds
}  // namespace

double HopLossPercent(const HopStats& h) {
    if (h.sent <= 0) return 0.0;
    return static_cast<double>(h.lost) / static_cast<double>(h.sent) * 100.0;
}

std::optional<double> HopMos(const HopStats& h) {
    if (h.received <= 0) return std::nullopt;
    static const emodel::CodecImpairment kG711 = *emodel::ImpairmentFor("G711u");
    // Half the round trip is the one-way delay; a jitter buffer deep enough for this jitter
    // adds about twice the jitter before the audio plays.
    const double oneWay = h.avgMs / 2.0 + 2.0 * h.jitterMs;
    return emodel::EstimateMos(kG711, HopLossPercent(h), oneWay);
}

std::string ResponderText(const HopResponder& r) {
    return r.name.empty() ? r.address : r.name + " (" + r.address + ")";
}

std::string HopHostText(const HopStats& h) {
    const HopResponder* main = h.MainResponder();
    if (!main) return h.host;
    std::string text = ResponderText(*main);
    if (h.responders.size() > 1) text += " +" + std::to_string(h.responders.size() - 1);
    return text;
}

std::string HopRespondersText(const HopStats& h) {
    std::string out;
    for (const HopResponder& r : h.responders) {
        if (!out.empty()) out += "; ";
        out += ResponderText(r) + ": " + std::to_string(r.received) + " rec, " + Fmt("%.1f ms", r.avgMs);
    }
    return out;
}

std::string HopDscpText(const HopStats& h) {
    const int32_t dscp = h.MainDscp();
    if (dscp < 0) return "-";
    return std::to_string(dscp) + (h.DscpVaried() ? "+" : "");
}

int32_t FirstRemarkingHop(const std::map<int32_t, HopStats>& hops, int32_t maxHops, int32_t sentDscp) {
    for (const auto& [ttl, h] : hops) {
        if (ttl > maxHops) break;
        const int32_t seen = h.MainDscp();
        if (seen >= 0 && seen != sentDscp) return ttl;
    }
    return 0;
}

const char* MtrEventKindName(MtrEventKind kind) {
    switch (kind) {
        case MtrEventKind::LossStart: return "loss_start";
        case MtrEventKind::LossEnd: return "loss_end";
        case MtrEventKind::LatencyUp: return "latency_up";
        case MtrEventKind::LatencyDown: return "latency_down";
        case MtrEventKind::Responder: return "responder";
        case MtrEventKind::Dscp: return "dscp";
    }
    return "";
}

namespace {
std::string EventClock(int64_t ticks) {
    return LocalTimeText(static_cast<std::time_t>(ticks / 10'000'000), "%H:%M:%S");
}
}  // namespace

std::string MtrEventLine(const MtrEvent& e) {
    return "event;" + EventClock(e.ticks) + ";" + std::to_string(e.hop) + ";" + MtrEventKindName(e.kind) + ";" +
           e.detail;
}

std::string FormatMtrEvents(const std::vector<MtrEvent>& events) {
    std::string out;
    for (const MtrEvent& e : events) out += MtrEventLine(e) + "\n";
    return out;
}

std::array<std::string, kMtrTableColumns> HopRowTexts(int ttl, const HopStats& h) {
    const std::optional<double> mos = HopMos(h);
    return {Fmt("%d", ttl),
            HopHostText(h),
            Fmt("%.1f%%", HopLossPercent(h)),
            Fmt("%d", static_cast<int>(h.sent)),
            Fmt("%d", static_cast<int>(h.received)),
            Fmt("%d", static_cast<int>(h.lost)),
            Fmt("%.1f ms", h.lastMs),
            Fmt("%.1f ms", h.avgMs),
            Fmt("%.1f ms", h.bestMs),
            Fmt("%.1f ms", h.worstMs),
            Fmt("%.2f ms", h.jitterMs),
            mos ? Fmt("%.2f", *mos) : std::string("-"),
            HopDscpText(h)};
}

std::string FormatMtrTable(const std::map<int32_t, HopStats>& hops, int32_t maxHops, bool responders) {
    std::vector<std::vector<std::string>> rows;
    rows.emplace_back(kMtrTableHeaders.begin(), kMtrTableHeaders.end());
    if (responders) rows.back().emplace_back("Respondentes");
    for (const auto& [ttl, h] : hops) {
        if (ttl > maxHops) continue;
        const auto cells = HopRowTexts(ttl, h);
        rows.emplace_back(cells.begin(), cells.end());
        if (responders) rows.back().push_back(HopRespondersText(h));
    }
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto& r : rows)
        for (size_t i = 0; i < r.size(); ++i) width[i] = std::max(width[i], r[i].size());
    std::string out;
    for (const auto& r : rows) {
        std::string line;
        for (size_t i = 0; i < r.size(); ++i) {
            // Host and responders left-aligned, figures right-aligned, two blanks between columns.
            std::string pad(width[i] - r[i].size(), ' ');
            if (i) line += "  ";
            line += i == 1 || i == static_cast<size_t>(kMtrTableColumns) ? r[i] + pad : pad + r[i];
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

std::string FormatMtrJson(const std::string& target, int32_t protocol, const std::map<int32_t, HopStats>& hops,
                          int32_t maxHops, int32_t sentDscp, bool fixedFlow, const std::vector<MtrEvent>& events) {
    // ordered_json keeps the keys in the order written, as readers of the old output saw them.
    using Json = nlohmann::ordered_json;
    Json rows = Json::array();
    for (const auto& [ttl, h] : hops) {
        if (ttl > maxHops) continue;
        std::string name;  // of the address in "host"
        for (const HopResponder& r : h.responders)
            if (r.address == h.host) name = r.name;
        const std::optional<double> mos = HopMos(h);
        Json responders = Json::array();
        for (const HopResponder& r : h.responders)
            responders.push_back({{"address", r.address},
                                  {"name", r.name},
                                  {"received", r.received},
                                  {"avg_ms", Rounded(r.avgMs, kMsScale)},
                                  {"best_ms", Rounded(r.bestMs, kMsScale)},
                                  {"worst_ms", Rounded(r.worstMs, kMsScale)}});
        Json history = Json::array();
        for (size_t i = 0; i < h.history.Count(); ++i) {
            const HopSample& s = h.history.At(i);
            if (!s.Answered() && !s.Lost()) continue;
            Json sample = {{"t_ms", s.sentMs}};
            if (s.Lost())
                sample["lost"] = true;
            else
                sample["rtt_ms"] = Rounded(s.rttMs, kMsScale);
            history.push_back(std::move(sample));
        }
        rows.push_back({{"ttl", ttl},
                        {"host", h.host},
                        {"name", name},
                        {"loss_pct", Rounded(HopLossPercent(h), 10.0)},
                        {"sent", h.sent},
                        {"received", h.received},
                        {"lost", h.lost},
                        {"last_ms", Rounded(h.lastMs, kMsScale)},
                        {"avg_ms", Rounded(h.avgMs, kMsScale)},
                        {"best_ms", Rounded(h.bestMs, kMsScale)},
                        {"worst_ms", Rounded(h.worstMs, kMsScale)},
                        {"jitter_ms", Rounded(h.jitterMs, kMsScale)},
                        {"mos", mos ? Json(Rounded(*mos, 100.0)) : Json(nullptr)},
                        {"dscp", h.MainDscp() >= 0 ? Json(h.MainDscp()) : Json(nullptr)},
                        {"dscp_varied", h.DscpVaried()},
                        {"responders", std::move(responders)},
                        {"history", std::move(history)}});
    }
    Json log = Json::array();
    for (const MtrEvent& e : events)
        log.push_back({{"time", EventClock(e.ticks)},
                       {"ticks", e.ticks},
                       {"hop", e.hop},
                       {"kind", MtrEventKindName(e.kind)},
                       {"detail", e.detail}});
    const Json doc = {{"target", target},
                      {"protocol", ProbeProtocolName(protocol)},
                      {"hops", std::move(rows)},
                      {"dscp_sent", sentDscp},
                      {"fixed_flow", fixedFlow},
                      {"remarking_hop", FirstRemarkingHop(hops, maxHops, sentDscp)},
                      {"events", std::move(log)}};
    // Names from reverse lookups are not always UTF-8: replace what is not rather than throw.
    return doc.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

namespace {
std::string StartText(int64_t ticks) {
    if (ticks <= 0) return "-";
    return LocalTimeText(static_cast<std::time_t>(ticks / 10'000'000), "%d/%m/%Y %H:%M:%S");
}
}  // namespace

std::string FormatMtrReport(const MtrRunInfo& run, const std::map<int32_t, HopStats>& hops, int32_t maxHops,
                            const std::vector<MtrEvent>& events) {
    std::string target = run.targetHost.empty() ? run.targetIp : run.targetHost;
    if (!run.targetIp.empty() && run.targetIp != target) target += " (" + run.targetIp + ")";
    std::string out = "Relatorio MTR\n";
    out += "Alvo: " + target + "\n";
    out += "Protocolo: " + ProbeProtocolName(run.protocol) + "\n";
    out += "Interface: " + (run.device.empty() ? std::string("padrao") : run.device) + "\n";
    out += "Inicio: " + StartText(run.startTicks) + "\n";
    out += "Ciclos: " + std::to_string(run.cycles) + "\n\n";
    out += FormatMtrTable(hops, maxHops, true);
    if (run.dscp != 0 || run.fixedFlow) {
        out += "\nDSCP enviado: " + std::to_string(run.dscp) + "\n";
        const int32_t remarked = FirstRemarkingHop(hops, maxHops, run.dscp);
        out += remarked ? "DSCP alterado a partir do salto " + std::to_string(remarked) + "\n"
                        : std::string("DSCP mantido em todos os saltos\n");
        out += std::string("Fluxo fixo: ") + (run.fixedFlow ? "sim" : "nao") + "\n";
    }
    if (!events.empty()) out += "\nEventos:\n" + FormatMtrEvents(events);
    return out;
}

std::string FormatMtrCsv(const std::map<int32_t, HopStats>& hops, int32_t maxHops) {
    std::vector<std::string> header(kMtrTableHeaders.begin(), kMtrTableHeaders.end());
    header.emplace_back("Respondentes");
    std::string out = CsvLine(header);
    for (const auto& [ttl, h] : hops) {
        if (ttl > maxHops) continue;
        const std::optional<double> mos = HopMos(h);
        out += CsvLine({std::to_string(ttl), HopHostText(h), Fmt("%.1f", HopLossPercent(h)), std::to_string(h.sent),
                        std::to_string(h.received), std::to_string(h.lost), Fmt("%.1f", h.lastMs),
                        Fmt("%.1f", h.avgMs), Fmt("%.1f", h.bestMs), Fmt("%.1f", h.worstMs),
                        Fmt("%.2f", h.jitterMs), mos ? Fmt("%.2f", *mos) : std::string(),
                        h.MainDscp() >= 0 ? HopDscpText(h) : std::string(), HopRespondersText(h)});
    }
    return out;
}

MtrReportFiles WriteMtrReportFiles(const std::string& folder, const std::string& stamp, const MtrRunInfo& run,
                                   const std::map<int32_t, HopStats>& hops, int32_t maxHops,
                                   const std::vector<MtrEvent>& events) {
    MtrReportFiles files;
    const std::string text = folder + "/" + stamp + "_relatorio.txt";
    const std::string csv = folder + "/" + stamp + "_relatorio.csv";
    // The text goes through the same all-or-nothing writer as the CSV, without the byte
    // order mark that only spreadsheet programs want.
    CsvWriteResult r = WriteCsvFile(text, FormatMtrReport(run, hops, maxHops, events), false);
    if (!r.written) {
        files.error = r.error;
        return files;
    }
    files.textPath = text;
    r = WriteCsvFile(csv, FormatMtrCsv(hops, maxHops));
    if (!r.written) {
        files.error = r.error;
        return files;
    }
    files.csvPath = csv;
    return files;
}
