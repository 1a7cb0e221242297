#pragma once
// The Flow tab's two exports: the call list as ";"-separated text for spreadsheets and the
// buffered packets as a pcap savefile. Both write below FlowLogDirectory() under a name made
// of the local time ("%d%m%Y_%H%M%S" + ".csv" / ".pcap"); two exports of one kind within
// the same second write the same name and the later one replaces the earlier.
#include <string>
#include <vector>

#include "capture/Packet.h"
#include "flow/CallTracker.h"
#include "flow/RtpStreamStats.h"

// What an export did, for the one-line status under the tab's controls.
struct FlowExportResult {
    bool written = false;
    std::string path;     // file written (or attempted); empty when nothing was to be written
    std::string message;  // one line for the user, in Portuguese
};

// Writes the byte order mark, the header line and one line per record, in the given order
// (CallTracker::GetCalls order: oldest first). An empty list writes no file.
FlowExportResult ExportCallsCsv(const std::vector<SipCall>& calls);

// Writes every packet with its captured link type (SavePacketsToPcap). An empty buffer writes
// no file.
FlowExportResult ExportPacketsPcap(const std::vector<PacketLogEntry>& packets);

// One line per RTP stream with every quality figure, in "<time stamp>_qualidade.csv" (same
// byte order mark, quoting and line ends as the call list). No streams: no file.
FlowExportResult ExportQualityCsv(const std::vector<RtpStreamReport>& streams);

// Beside that file, "<time stamp>_qualidade_intervalos.csv": one line per 5-second interval
// of each stream (IntervalCsvLine), written by ExportQualityCsv with the same time stamp.
FlowExportResult ExportQualityIntervalsCsvTo(const std::string& path, const std::vector<RtpStreamReport>& streams);

// The same, with the file name chosen by the caller (tests and the command line).
FlowExportResult ExportCallsCsvTo(const std::string& path, const std::vector<SipCall>& calls);
FlowExportResult ExportPacketsPcapTo(const std::string& path, const std::vector<PacketLogEntry>& packets);
FlowExportResult ExportQualityCsvTo(const std::string& path, const std::vector<RtpStreamReport>& streams);
