#include "platform/ExecutablePath.h"

#include <windows.h>

#include <vector>

namespace platform {

std::string ExecutablePath() {
    // GetModuleFileNameA truncates silently (and returns the buffer size): grow until it fits.
    std::vector<char> buf(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return std::string(buf.data(), n);
        if (buf.size() >= 32768) return {};
        buf.resize(buf.size() * 2);
    }
}

char PathSeparator() { return '\\'; }

}  // namespace platform
