// The parts of the system facts that are the same on every system.
#include "platform/SystemFacts.h"

#include <fstream>
#include <sstream>

namespace platform {

bool ReadSmallTextFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    // /proc files report size 0: read until the end instead of trusting the size.
    std::ostringstream ss;
    ss << in.rdbuf();
    text = ss.str();
    return !in.bad();
}

}  // namespace platform
