#pragma once
// Environment changes in tests, the same call on Linux and on Windows (under Wine).
#include <cstdlib>
#include <ctime>
#include <string>

inline void SetTestEnv(const char* name, const char* value) {
#ifdef _WIN32
    _putenv((std::string(name) + "=" + value).c_str());
#else
    setenv(name, value, 1);
#endif
}

inline void UnsetTestEnv(const char* name) {
#ifdef _WIN32
    _putenv((std::string(name) + "=").c_str());
#else
    unsetenv(name);
#endif
}

// Local time as UTC, so that printed times match the expected texts on every machine.
inline void UseUtcLocalTime() {
    SetTestEnv("TZ", "UTC");
    tzset();
}

#ifdef _WIN32
#include <io.h>
#include <filesystem>
#else
#include <unistd.h>
#endif

// Live capture needs root here; the Windows suites run under Wine, which has no capture
// driver at all, so those tests skip there.
inline bool RunningAsRoot() {
#ifdef _WIN32
    return false;
#else
    return geteuid() == 0;
#endif
}

// mkdtemp: replaces the trailing XXXXXX of templ and creates the directory; false on failure.
inline bool MakeTempDirectory(std::string& templ) {
#ifdef _WIN32
    if (_mktemp_s(templ.data(), templ.size() + 1) != 0) return false;
    std::error_code ec;
    return std::filesystem::create_directory(templ, ec);
#else
    return mkdtemp(templ.data()) != nullptr;
#endif
}
