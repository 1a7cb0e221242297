#include "platform/ExecutablePath.h"

#include <unistd.h>

#include <vector>

namespace platform {

std::string ExecutablePath() {
    // readlink does not terminate the string and silently truncates: grow until it fits.
    std::vector<char> buf(512);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
        buf.resize(buf.size() * 2);
    }
}

char PathSeparator() { return '/'; }

}  // namespace platform
