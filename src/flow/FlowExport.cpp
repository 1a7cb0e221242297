#include "flow/FlowExport.h"

#include "capture/Sniffer.h"
#include "flow/FlowCsv.h"
#include "flow/StreamReport.h"
#include "logs/LogPaths.h"
#include "logs/Trace.h"

namespace {

// Creates the flow folder first: on a fresh installation it does not exist yet, and an
// export into a missing folder would otherwise be lost without a word.
bool PrepareFlowFolder(FlowExportResult& result) {
    const std::string folder = FlowLogDirectory();
    if (EnsureDirectory(folder)) return true;
    result.message = "Nada exportado: nao foi possivel criar a pasta " + folder;
    return false;
}

// Writes a whole CSV text; on success the message says what was written.
FlowExportResult WriteCsvText(const std::string& path, const std::string& text, const std::string& doneMessage) {
    FlowExportResult result;
    result.path = path;
    // The text carries its own byte order mark.
    const CsvWriteResult written = WriteCsvFile(path, text, false);
    if (!written.written) {
        result.message = "Falha ao exportar CSV (" + path + "): " + written.error;
        return result;
    }
    result.written = true;
    result.message = doneMessage;
    return result;
}

}  // namespace

FlowExportResult ExportCallsCsvTo(const std::string& path, const std::vector<SipCall>& calls) {
    if (calls.empty()) {
        FlowExportResult result;
        result.message = "Nada exportado: a lista de chamadas esta vazia.";
        return result;
    }
    return WriteCsvText(path, CallsCsvText(calls),
                        "CSV exportado: " + path + " (" + std::to_string(calls.size()) + " registros)");
}

FlowExportResult ExportQualityCsvTo(const std::string& path, const std::vector<RtpStreamReport>& streams) {
    if (streams.empty()) {
        FlowExportResult result;
        result.message = "Nada exportado: nenhum fluxo RTP analisado.";
        return result;
    }
    std::string text = "\xEF\xBB\xBF" + QualityCsvHeaderLine();
    for (const RtpStreamReport& r : streams) text += QualityCsvLine(r);
    return WriteCsvText(path, text,
                        "Qualidade exportada: " + path + " (" + std::to_string(streams.size()) + " fluxos RTP)");
}

FlowExportResult ExportQualityCsv(const std::vector<RtpStreamReport>& streams) {
    FlowExportResult result;
    if (streams.empty()) return ExportQualityCsvTo(std::string(), streams);
    if (!PrepareFlowFolder(result)) return result;
    const std::string stamp = FileTimeStamp();
    result = ExportQualityCsvTo(LogFilePath(true, stamp + "_qualidade.csv"), streams);
    if (result.written) {
        // Beside it, the same streams interval by interval.
        const std::string path = LogFilePath(true, stamp + "_qualidade_intervalos.csv");
        const FlowExportResult intervals = ExportQualityIntervalsCsvTo(path, streams);
        result.message += intervals.written ? "; intervalos: " + path : "; " + intervals.message;
    }
    Trace(result.message);
    return result;
}

FlowExportResult ExportQualityIntervalsCsvTo(const std::string& path, const std::vector<RtpStreamReport>& streams) {
    std::string text = "\xEF\xBB\xBF" + IntervalCsvHeaderLine();
    size_t lines = 0;
    for (const RtpStreamReport& r : streams)
        for (const RtpStreamReport::Interval& iv : r.intervals) {
            text += IntervalCsvLine(r, iv);
            ++lines;
        }
    return WriteCsvText(path, text, "Intervalos exportados: " + path + " (" + std::to_string(lines) + " intervalos)");
}

FlowExportResult ExportPacketsPcapTo(const std::string& path, const std::vector<PacketLogEntry>& packets) {
    FlowExportResult result;
    if (packets.empty()) {
        result.message = "Nada exportado: nenhum pacote capturado.";
        return result;
    }
    result.path = path;
    std::string why;
    if (!SavePacketsToPcap(path, packets, &why)) {
        result.message = "Falha ao exportar PCAP (" + path + "): " + why;
        return result;
    }
    // A savefile has one link type: SavePacketsToPcap keeps the frames of the first packet's
    // type (and skips frames without bytes), so say how many really went in.
    size_t kept = 0;
    for (const PacketLogEntry& p : packets)
        if (p.linkType == packets.front().linkType && !p.rawData.empty()) ++kept;
    result.written = true;
    result.message = "PCAP exportado: " + path + " (" + std::to_string(kept) + " pacotes";
    if (kept < packets.size()) result.message += ", " + std::to_string(packets.size() - kept) + " ignorados";
    result.message += ")";
    return result;
}

FlowExportResult ExportCallsCsv(const std::vector<SipCall>& calls) {
    FlowExportResult result;
    if (calls.empty()) return ExportCallsCsvTo(std::string(), calls);
    if (!PrepareFlowFolder(result)) return result;
    result = ExportCallsCsvTo(LogFilePath(true, FileTimeStamp() + ".csv"), calls);
    Trace(result.message);
    return result;
}

FlowExportResult ExportPacketsPcap(const std::vector<PacketLogEntry>& packets) {
    FlowExportResult result;
    if (packets.empty()) return ExportPacketsPcapTo(std::string(), packets);
    if (!PrepareFlowFolder(result)) return result;
    result = ExportPacketsPcapTo(LogFilePath(true, FileTimeStamp() + ".pcap"), packets);
    Trace(result.message);
    return result;
}
