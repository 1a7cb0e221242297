#include "logs/CsvFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <system_error>

#include "logs/LogPaths.h"

namespace fs = std::filesystem;

namespace {

std::string SystemError(int fallback) { return std::strerror(errno != 0 ? errno : fallback); }

bool PrepareFolder(const std::string& path, CsvWriteResult& result) {
    const std::string folder = DirectoryOfPath(path);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (fs::is_directory(folder, ec)) return true;
    result.error = ec ? ec.message() : std::strerror(ENOTDIR);
    return false;
}

}  // namespace

std::string CsvField(std::string_view value) {
    if (value.find_first_of(";\"\r\n") == std::string_view::npos) return std::string(value);
    std::string out = "\"";
    for (char c : value) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::string CsvLine(const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) line += kCsvSeparator;
        line += CsvField(fields[i]);
    }
    line += kCsvLineEnd;
    return line;
}

namespace {

// Opens `path` in `mode`, writes the parts and closes it. On a failure `result.error` says
// why and the caller undoes what reached the file.
bool WriteParts(const std::string& path, std::ios::openmode mode, std::initializer_list<std::string_view> parts,
                CsvWriteResult& result) {
    errno = 0;
    std::ofstream out(path, std::ios::binary | mode);
    if (!out.is_open()) {
        result.error = SystemError(EACCES);
        return false;
    }
    for (std::string_view part : parts) out.write(part.data(), static_cast<std::streamsize>(part.size()));
    out.flush();
    const bool wrote = out.good();
    const std::string writeError = wrote ? std::string() : SystemError(EIO);
    out.close();
    if (wrote && !out.fail()) return true;
    result.error = wrote ? SystemError(EIO) : writeError;
    return false;
}

}  // namespace

CsvWriteResult WriteCsvFile(const std::string& path, std::string_view lines, bool byteOrderMark) {
    CsvWriteResult result;
    if (!PrepareFolder(path, result)) return result;
    const std::string_view mark = byteOrderMark ? kCsvByteOrderMark : std::string_view();
    if (!WriteParts(path, std::ios::trunc, {mark, lines}, result)) {
        // Only what this call made is taken away (never a device such as /dev/full).
        std::error_code ec;
        if (fs::is_regular_file(path, ec)) fs::remove(path, ec);
        return result;
    }
    result.written = true;
    return result;
}

CsvWriteResult AppendCsvLines(const std::string& path, std::string_view lines) {
    CsvWriteResult result;
    if (!PrepareFolder(path, result)) return result;
    std::error_code ec;
    const bool existed = fs::exists(path, ec);
    const std::uintmax_t before = existed ? fs::file_size(path, ec) : 0;
    if (ec) {
        result.error = ec.message();
        return result;
    }
    if (!WriteParts(path, std::ios::app, {lines}, result)) {
        // Half a line would be continued by the next append: take back everything of this one.
        if (!fs::is_regular_file(path, ec)) return result;
        if (existed)
            fs::resize_file(path, before, ec);
        else
            fs::remove(path, ec);
        return result;
    }
    result.written = true;
    return result;
}
