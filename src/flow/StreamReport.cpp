#include "flow/StreamReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "flow/FlowCsv.h"
#include "quality/EModel.h"

namespace {

std::string Format(const char* fmt, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

std::string Ms(double v) { return Format("%.3f", v); }

std::string Hex(uint32_t ssrc) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", ssrc);
    return buf;
}

std::string Opt(const std::optional<double>& v) { return v ? MosText(*v) : std::string(); }

}  // namespace

std::string StreamListHeaderLine() {
    return "call_id;source;destination;ssrc;payload_type;codec;packets;expected;lost;loss_pct;duplicates;"
           "max_delta_ms;mean_jitter_ms;max_jitter_ms;mos\n";
}

std::string StreamListLine(const RtpStreamReport& r) {
    std::string line = CsvField(r.callId) + ";" + r.source + ";" + r.destination + ";" + Hex(r.ssrc) + ";" +
                       std::to_string(r.payloadType) + ";" + CsvField(r.codec) + ";" + std::to_string(r.packets) +
                       ";" + std::to_string(r.expected) + ";" + std::to_string(r.lost) + ";" +
                       Format("%.2f", r.lossPercent) + ";" + std::to_string(r.duplicates) + ";" + Ms(r.maxDeltaMs) +
                       ";" + Ms(r.meanJitterMs) + ";" + Ms(r.maxJitterMs) + ";" + Opt(r.mosAdaptive);
    return line + "\n";
}

namespace {

std::vector<std::string> IntervalFields(const RtpStreamReport& r, const RtpStreamReport::Interval& iv) {
    const StreamInterval& f = iv.figures;
    const double lossPct = f.expected ? 100.0 * std::max(0, f.lost) / f.expected : 0.0;
    const double latePct = f.expected ? 100.0 * f.lateFixed / f.expected : 0.0;
    return {r.callId, r.source, r.destination, Hex(r.ssrc),
            Format("%.0f", f.index * StreamInterval::kIntervalSeconds), std::to_string(f.packets),
            std::to_string(f.expected), std::to_string(f.lost), std::to_string(f.lateFixed), Format("%.2f", lossPct),
            Format("%.2f", latePct), Ms(f.maxJitterMs), Opt(iv.mos)};
}

}  // namespace

std::string IntervalListHeaderLine() {
    return "call_id;source;destination;ssrc;start_s;packets;expected;lost;late_50ms;loss_pct;late_pct;max_jitter_ms;mos\n";
}

std::string IntervalListLine(const RtpStreamReport& r, const RtpStreamReport::Interval& iv) {
    return CsvLine(IntervalFields(r, iv));
}

std::string IntervalCsvHeaderLine() {
    return "Call-ID;Origem;Destino;SSRC;Inicio s;Pacotes;Esperados;Perdidos;Atrasados 50 ms;Perda %;Atraso %;"
           "Jitter max ms;MOS (estimado)\n";
}

std::string IntervalCsvLine(const RtpStreamReport& r, const RtpStreamReport::Interval& iv) {
    return CsvLine(IntervalFields(r, iv));
}

std::string QualityCsvHeaderLine() {
    return "Call-ID;Origem;Destino;SSRC;PT;Codec;Pacotes;Esperados;Perdidos;Perda %;Duplicados;Fora de ordem;"
           "Delta min ms;Delta medio ms;Delta max ms;Jitter medio ms;Jitter max ms;Descartes buffer 50 ms;"
           "Descartes buffer adaptativo;Atraso usado ms;MOS (estimado) rede;MOS (estimado) buffer 50 ms;"
           "MOS (estimado);RTCP perda %;RTCP perdidos;RTCP jitter ms;RTCP RTT ms\n";
}

std::string QualityCsvLine(const RtpStreamReport& r) {
    std::vector<std::string> f = {
        r.callId, r.source, r.destination, Hex(r.ssrc), std::to_string(r.payloadType), r.codec,
        std::to_string(r.packets), std::to_string(r.expected), std::to_string(r.lost),
        Format("%.2f", r.lossPercent), std::to_string(r.duplicates), std::to_string(r.outOfOrder),
        Ms(r.minDeltaMs), Ms(r.meanDeltaMs), Ms(r.maxDeltaMs), Ms(r.meanJitterMs), Ms(r.maxJitterMs),
        std::to_string(r.lateFixed), std::to_string(r.lateAdaptive), Format("%.1f", r.oneWayDelayMs),
        Opt(r.mosNetwork), Opt(r.mosFixed), Opt(r.mosAdaptive)};
    if (r.rtcp && r.rtcp->reports) {
        f.push_back(Format("%.2f", r.rtcp->fractionLostPercent));
        f.push_back(std::to_string(r.rtcp->cumulativeLost));
        f.push_back(Ms(r.rtcp->jitterMs));
    } else {
        f.insert(f.end(), 3, std::string());
    }
    f.push_back(r.rtcp && r.rtcp->roundTripMs ? Ms(*r.rtcp->roundTripMs) : std::string());
    std::string line;
    for (size_t i = 0; i < f.size(); ++i) {
        if (i) line += ';';
        line += CsvField(f[i]);
    }
    return line + "\n";
}

std::optional<double> WorstMos(const std::vector<RtpStreamReport>& streams) {
    std::optional<double> worst;
    for (const RtpStreamReport& r : streams) {
        if (r.mosAdaptive && (!worst || *r.mosAdaptive < *worst)) worst = r.mosAdaptive;
    }
    return worst;
}

int MosBand(double mos) {
    // Compare on the two shown decimals, so a cell reading "4.00" is never coloured as below 4.
    const double shown = std::round(mos * 100.0) / 100.0;
    if (shown >= emodel::kMosGood) return 0;
    if (shown >= emodel::kMosFair) return 1;
    return 2;
}

std::string MosText(double mos) { return Format("%.2f", mos); }

std::string StreamLabelSuffix(const RtpStreamReport& r) {
    return " | perda " + Format("%.1f", r.lossPercent) + "% | jitter " + Format("%.1f", r.meanJitterMs) + " ms";
}

const RtpStreamReport* ReverseStream(const RtpStreamReport& r, const std::vector<RtpStreamReport>& all) {
    const RtpStreamReport* best = nullptr;
    for (const RtpStreamReport& o : all) {
        if (!(o.src == r.dst) || !(o.dst == r.src)) continue;
        if (!best || o.packets > best->packets) best = &o;  // the busiest SSRC of that direction
    }
    return best;
}

std::string DecodedAudioText(const RtpStreamReport& r) {
    if (!r.audio) return "-";
    std::string text = r.audio->silent ? "so silencio" : r.audio->clipped ? "recortado" : "ok";
    if (r.audio->clipped && r.audio->silent) text += ", recortado";
    if (r.audio->clipped) text += " (" + std::to_string(r.audio->clipEvents) + " picos)";
    return text + ", pico " + Format("%.1f", r.audio->peakDbfs) + " dBFS";
}

std::string WavListLine(const RtpStreamReport& r, const std::string& file) {
    return "wav;" + CsvField(r.callId) + ";" + r.source + ";" + r.destination + ";" + Hex(r.ssrc) + ";" + CsvField(r.codec) +
           ";" + CsvField(file) + "\n";
}

std::string StreamReportText(const RtpStreamReport& a, const RtpStreamReport* b) {
    struct Row {
        std::string label, left, right;
    };
    std::vector<Row> rows;
    auto add = [&](const std::string& label, auto figure) {
        rows.push_back({label, figure(a), b ? figure(*b) : std::string()});
    };
    add("Origem", [](const RtpStreamReport& r) { return r.source; });
    add("Destino", [](const RtpStreamReport& r) { return r.destination; });
    add("SSRC", [](const RtpStreamReport& r) { return Hex(r.ssrc); });
    add("Codec (PT)", [](const RtpStreamReport& r) { return r.codec + " (" + std::to_string(r.payloadType) + ")"; });
    add("Pacotes", [](const RtpStreamReport& r) { return std::to_string(r.packets); });
    add("Esperados", [](const RtpStreamReport& r) { return std::to_string(r.expected); });
    add("Perdidos", [](const RtpStreamReport& r) {
        return std::to_string(r.lost) + " (" + Format("%.2f", r.lossPercent) + "%)";
    });
    add("Duplicados", [](const RtpStreamReport& r) { return std::to_string(r.duplicates); });
    add("Fora de ordem", [](const RtpStreamReport& r) { return std::to_string(r.outOfOrder); });
    add("Delta min/med/max", [](const RtpStreamReport& r) {
        return Ms(r.minDeltaMs) + "/" + Ms(r.meanDeltaMs) + "/" + Ms(r.maxDeltaMs) + " ms";
    });
    add("Jitter medio", [](const RtpStreamReport& r) { return Ms(r.meanJitterMs) + " ms"; });
    add("Jitter max", [](const RtpStreamReport& r) { return Ms(r.maxJitterMs) + " ms"; });
    add("Descartes 50 ms", [](const RtpStreamReport& r) { return std::to_string(r.lateFixed); });
    add("Descartes adapt.", [](const RtpStreamReport& r) { return std::to_string(r.lateAdaptive); });
    add("Atraso usado", [](const RtpStreamReport& r) {
        return Format("%.1f", r.oneWayDelayMs) + (r.delayFromRtcp ? " ms (RTCP)" : " ms (padrao)");
    });
    add("MOS rede", [](const RtpStreamReport& r) { return r.mosNetwork ? MosText(*r.mosNetwork) : "-"; });
    add("MOS buffer 50 ms", [](const RtpStreamReport& r) { return r.mosFixed ? MosText(*r.mosFixed) : "-"; });
    add("MOS (estimado)", [](const RtpStreamReport& r) { return r.mosAdaptive ? MosText(*r.mosAdaptive) : "-"; });
    // Only once the audio was decoded (Ouvir, orvanta-cli flow --wav).
    if (a.audio || (b && b->audio)) {
        add("Audio decodificado", [](const RtpStreamReport& r) { return DecodedAudioText(r); });
    }
    const bool anyRtcp = (a.rtcp.has_value()) || (b && b->rtcp.has_value());
    if (anyRtcp) {
        auto rtcp = [](const RtpStreamReport& r, auto figure) -> std::string {
            return r.rtcp ? figure(*r.rtcp) : std::string("-");
        };
        add("RTCP relatorios", [&](const RtpStreamReport& r) {
            return rtcp(r, [](const RtcpFigures& f) {
                return std::to_string(f.reports) + " RR, " + std::to_string(f.senderReports) + " SR";
            });
        });
        add("RTCP perda", [&](const RtpStreamReport& r) {
            return rtcp(r, [](const RtcpFigures& f) {
                return f.reports ? Format("%.2f", f.fractionLostPercent) + "% (" + std::to_string(f.cumulativeLost) + ")"
                                 : std::string("-");
            });
        });
        add("RTCP jitter", [&](const RtpStreamReport& r) {
            return rtcp(r, [](const RtcpFigures& f) { return f.reports ? Ms(f.jitterMs) + " ms" : std::string("-"); });
        });
        add("RTCP RTT", [&](const RtpStreamReport& r) {
            return rtcp(r, [](const RtcpFigures& f) {
                return f.roundTripMs ? Ms(*f.roundTripMs) + " ms" : std::string("-");
            });
        });
    }
    size_t labelWidth = 0, leftWidth = 0;
    for (const Row& row : rows) {
        labelWidth = std::max(labelWidth, row.label.size());
        leftWidth = std::max(leftWidth, row.left.size());
    }
    std::string out = "RELATORIO DO FLUXO RTP - MOS (estimado), modelo E (G.107)\n\n";
    auto pad = [](std::string s, size_t w) {
        if (s.size() < w) s.append(w - s.size(), ' ');
        return s;
    };
    out += pad("", labelWidth) + "  " + pad("Ida", leftWidth) + (b ? "  Volta" : "") + "\n";
    for (const Row& row : rows) {
        out += pad(row.label, labelWidth) + "  " + (b ? pad(row.left, leftWidth) + "  " + row.right : row.left);
        out += "\n";
    }
    return out;
}
