#include "ui/CallExportFiles.h"

#include <filesystem>
#include <fstream>

#include "capture/Sniffer.h"
#include "flow/StreamReport.h"
#include "logs/LogPaths.h"
#include "ui/DiagnosisTexts.h"

namespace {

std::string FileSafe(const std::string& callId) {
    std::string out;
    for (char c : callId) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '-' || c == '_' || c == '@';
        out += ok ? c : '_';
        if (out.size() >= 64) break;
    }
    return out.empty() ? "sem_id" : out;
}

}  // namespace

std::string CallExportText(const CallExportData& d) {
    std::string t = "Call-ID: " + d.call.callId + "\n";
    t += "Estado: " + CallStateText(d.call) + " (" + DisplayStatus(d.call) + ")\n";
    t += "De: " + d.call.fromUser + " (" + d.call.callerIp + ")  Para: " + d.call.toUser + " (" + d.call.calleeIp + ")\n";
    t += "\nDIAGNOSTICO:\n";
    if (d.verdicts.empty()) t += "  (nenhum)\n";
    for (const Verdict& v : d.verdicts) {
        t += std::string("  ") + DiagnosisLabel(v.code) + " [" + DiagnosisCode(v.code) + "]";
        const std::string evidence = VerdictEvidence(v);
        if (!evidence.empty()) t += ": " + evidence;
        t += "\n";
        if (const char* hint = DiagnosisHint(v.code); *hint) t += std::string("    ") + hint + "\n";
    }
    t += "\nDIAGRAMA (hora, desde a anterior, origem -> destino, primeira linha):\n" + CallLadderText(d.call);
    t += "\nFLUXOS RTP:\n";
    if (d.streams.empty()) t += "  (nenhum)\n";
    std::vector<bool> shown(d.streams.size(), false);
    for (size_t i = 0; i < d.streams.size(); ++i) {
        if (shown[i]) continue;
        const RtpStreamReport* reverse = ReverseStream(d.streams[i], d.streams);
        for (size_t k = 0; k < d.streams.size(); ++k)
            if (&d.streams[k] == reverse) shown[k] = true;
        t += StreamReportText(d.streams[i], reverse) + "\n";
    }
    return t;
}

FlowExportResult WriteCallExport(const std::string& folder, const CallExportData& d) {
    FlowExportResult result;
    if (!EnsureDirectory(folder)) {
        result.message = "Nada exportado: nao foi possivel criar a pasta " + folder;
        return result;
    }
    const std::string base = (std::filesystem::path(folder) / (FileTimeStamp() + "_chamada_" + FileSafe(d.call.callId))).string();
    std::string why;
    if (!d.packets.empty() && !SavePacketsToPcap(base + ".pcap", d.packets, &why)) {
        result.path = base + ".pcap";
        result.message = "Falha ao exportar a chamada (" + result.path + "): " + why;
        return result;
    }
    result.path = base + ".txt";
    std::ofstream out(result.path, std::ios::binary);
    const std::string text = CallExportText(d);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
        result.message = "Falha ao exportar a chamada (" + result.path + "): erro de escrita";
        return result;
    }
    result.written = true;
    result.message = "Chamada exportada: " + result.path + (d.packets.empty() ? "" : " e " + base + ".pcap") + " (" +
                     std::to_string(d.packets.size()) + " pacotes)";
    return result;
}
