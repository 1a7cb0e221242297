#pragma once
// ";"-separated text for spreadsheets, written by the Flow tab's export, orvanta-cli and the
// Check IP history. The one place for field quoting, the line end, the byte order mark,
// creating the folder, and for a write that either lands whole or leaves nothing behind.
#include <string>
#include <string_view>
#include <vector>

inline constexpr char kCsvSeparator = ';';
inline constexpr std::string_view kCsvLineEnd = "\n";
// UTF-8 byte order mark: spreadsheet programs take the file for ANSI text without it.
inline constexpr std::string_view kCsvByteOrderMark = "\xEF\xBB\xBF";

// One field as it is, or quoted RFC 4180 style ('"' doubled) when it holds ';', '"', CR or
// LF, so that a value never shifts the columns.
std::string CsvField(std::string_view value);
// The fields, each through CsvField, joined by ';' and ended by the line end.
std::string CsvLine(const std::vector<std::string>& fields);

struct CsvWriteResult {
    bool written = false;
    std::string error;  // what failed, in the system's words (empty after a success)
};

// Writes a whole file (replacing one of that name): the byte order mark (when asked), then
// `lines`, each already ended by CsvLine. The folder is created when missing. A write that
// fails part-way removes the file, so a failure never leaves a truncated export behind.
CsvWriteResult WriteCsvFile(const std::string& path, std::string_view lines, bool byteOrderMark = true);

// Appends `lines` to a running log (created, folder included, when missing; no byte order
// mark, as the log is read line by line). On a failure the file is cut back to its old
// length, so nothing of `lines` stays.
CsvWriteResult AppendCsvLines(const std::string& path, std::string_view lines);
