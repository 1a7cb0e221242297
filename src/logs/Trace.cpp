#include "logs/Trace.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "logs/LocalTime.h"

namespace {

std::mutex traceMutex;
std::string overridePath;
bool overrideSet = false;

std::string TraceFile() {
    if (overrideSet) return overridePath;
    const char* env = std::getenv("ORVANTA_DEBUG_LOG");
    return env ? std::string(env) : std::string();
}

}  // namespace

void SetTraceFileForTesting(const std::string& path) {
    std::lock_guard<std::mutex> lock(traceMutex);
    overridePath = path;
    overrideSet = !path.empty();
}

void Trace(const std::string& line) {
    std::lock_guard<std::mutex> lock(traceMutex);
    std::string path = TraceFile();
    if (path.empty()) return;
    FILE* f = std::fopen(path.c_str(), "a");
    if (!f) return;
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::fprintf(f, "%s.%03d %s\n", LocalTimeText(t, "%H:%M:%S").c_str(), static_cast<int>(ms), line.c_str());
    std::fclose(f);
}
