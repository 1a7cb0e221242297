#include "logs/CsvFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
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

CsvWriteResult WriteCsvFile(const std::string& path, std::string_view lines, bool byteOrderMark) {
    CsvWriteResult result;
    if (!PrepareFolder(path, result)) return result;
    errno = 0;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        result.error = SystemError(EACCES);
        return result;
    }
    if (byteOrderMark) out.write(kCsvByteOrderMark.data(), static_cast<std::streamsize>(kCsvByteOrderMark.size()));
    out.write(lines.data(), static_cast<std::streamsize>(lines.size()));
    out.flush();
    const bool wrote = out.good();
    const std::string writeError = wrote ? std::string() : SystemError(EIO);
    out.close();
    if (!wrote || out.fail()) {
        result.error = wrote ? SystemError(EIO) : writeError;
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
    errno = 0;
    std::ofstream out(path, std::ios::binary | std::ios::app);
    if (!out.is_open()) {
        result.error = SystemError(EACCES);
        return result;
    }
    out.write(lines.data(), static_cast<std::streamsize>(lines.size()));
    out.flush();
    const bool wrote = out.good();
    const std::string writeError = wrote ? std::string() : SystemError(EIO);
    out.close();
    if (!wrote || out.fail()) {
        result.error = wrote ? SystemError(EIO) : writeError;
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
