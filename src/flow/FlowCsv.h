#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "flow/CallTracker.h"

// The call list as the Flow tab's CSV export writes it: UTF-8 byte order mark, the header
// line, then one ";"-separated line per call in the order given (CallTracker::GetCalls).
// Columns: Hora;Method;From User;From IP;To User;To IP;Msgs;Call-ID;Estado;Origem Desl.
// A field containing ';', '"', CR or LF is quoted RFC 4180 style ('"' doubled), so a value
// never shifts the columns; every other field is written as it is.

// "Hora;Method;From User;From IP;To User;To IP;Msgs;Call-ID;Estado;Origem Desl.\n"
std::string CsvHeaderLine();
// One field, quoted only when it must be.
std::string CsvField(std::string_view value);
// The ten fields of one call, unquoted (for callers that format them otherwise).
std::vector<std::string> CallCsvColumns(const SipCall& call);
// One line, ended by "\n".
std::string CallCsvLine(const SipCall& call);
// Byte order mark + header line + one line per call: the whole file content.
std::string CallsCsvText(const std::vector<SipCall>& calls);
// Writes CallsCsvText(calls) to `path` (truncating). False when the file cannot be written.
bool WriteCallsCsvFile(const std::string& path, const std::vector<SipCall>& calls);
