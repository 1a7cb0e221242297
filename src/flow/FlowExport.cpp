#include "flow/FlowExport.h"

#include "capture/Sniffer.h"
#include "flow/FlowCsv.h"
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

}  // namespace

FlowExportResult ExportCallsCsvTo(const std::string& path, const std::vector<SipCall>& calls) {
    FlowExportResult result;
    if (calls.empty()) {
        result.message = "Nada exportado: a lista de chamadas esta vazia.";
        return result;
    }
    result.path = path;
    const CsvWriteResult written = WriteCallsCsvFile(path, calls);
    if (!written.written) {
        result.message = "Falha ao exportar CSV (" + path + "): " + written.error;
        return result;
    }
    result.written = true;
    result.message = "CSV exportado: " + path + " (" + std::to_string(calls.size()) + " registros)";
    return result;
}

FlowExportResult ExportPacketsPcapTo(const std::string& path, const std::vector<PacketLogEntry>& packets) {
    FlowExportResult result;
    if (packets.empty()) {
        result.message = "Nada exportado: nenhum pacote capturado.";
        return result;
    }
    result.path = path;
    if (!SavePacketsToPcap(path, packets)) {
        result.message = "Falha ao exportar PCAP (" + path + ").";
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
