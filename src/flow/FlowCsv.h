#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "flow/CallTracker.h"
#include "logs/CsvFile.h"

// The call list as the Flow tab's CSV export writes it: UTF-8 byte order mark, the header
// line, then one ";"-separated line per call in the order given (CallTracker::GetCalls).
// Columns: Hora;Method;From User;From IP;To User;To IP;Msgs;Call-ID;Estado;Origem Desl.
// Quoting, line ends and the file writing are logs/CsvFile's.

// "Hora;Method;From User;From IP;To User;To IP;Msgs;Call-ID;Estado;Origem Desl.\n"
std::string CsvHeaderLine();
// The ten fields of one call, unquoted (for callers that format them otherwise).
std::vector<std::string> CallCsvColumns(const SipCall& call);
// One line, ended by "\n".
std::string CallCsvLine(const SipCall& call);
// Byte order mark + header line + one line per call: the whole file content.
std::string CallsCsvText(const std::vector<SipCall>& calls);
// Writes CallsCsvText(calls) to `path` (replacing it); nothing stays behind on a failure.
CsvWriteResult WriteCallsCsvFile(const std::string& path, const std::vector<SipCall>& calls);
