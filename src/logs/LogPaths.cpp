#include "logs/LogPaths.h"

#include <ctime>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/ExecutablePath.h"
#include "logs/LocalTime.h"

namespace {
std::mutex overrideMutex;
std::string executableDirOverride;
}  // namespace

void SetExecutableDirectoryForTesting(const std::string& dir) {
    std::lock_guard<std::mutex> lock(overrideMutex);
    executableDirOverride = dir;
}

std::string DirectoryOfPath(const std::string& path) {
    size_t cut = path.find_last_of("/\\");
    if (path.empty() || cut == std::string::npos) return ".";
    return path.substr(0, cut);
}

std::string ExecutableDirectory() {
    {
        std::lock_guard<std::mutex> lock(overrideMutex);
        if (!executableDirOverride.empty()) return executableDirOverride;
    }
    return DirectoryOfPath(platform::ExecutablePath());
}

namespace {
std::string Join(const std::string& dir, const char* name) { return dir + platform::PathSeparator() + name; }
}  // namespace

std::string LogsDirectory() { return Join(ExecutableDirectory(), "LOGS"); }
std::string MtrLogDirectory() { return Join(LogsDirectory(), "mtr"); }
std::string FlowLogDirectory() { return Join(LogsDirectory(), "flow"); }

std::string LogFilePath(bool flowFolder, const std::string& fileName) {
    return Join(flowFolder ? FlowLogDirectory() : MtrLogDirectory(), fileName.c_str());
}

std::string FileTimeStamp() { return LocalTimeText(std::time(nullptr), "%d%m%Y_%H%M%S"); }

bool EnsureDirectory(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}
