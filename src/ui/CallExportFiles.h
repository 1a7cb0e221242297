#pragma once
// "Exportar Chamada" and orvanta-cli flow --call ID --export DIR: the files of one call.
#include <string>

#include "flow/CallExport.h"
#include "flow/FlowExport.h"

// Writes "<time stamp>_chamada_<Call-ID>.pcap" (the call's packets) and ".txt" (its ladder,
// stream reports and verdicts) into `folder`, created when missing. The Call-ID is reduced to
// letters, digits and ".-_@" in the names.
FlowExportResult WriteCallExport(const std::string& folder, const CallExportData& data);
// The text file's contents.
std::string CallExportText(const CallExportData& data);
