#pragma once
#include <string>

namespace platform {

// Full path of the running executable, or an empty string when the system won't say.
std::string ExecutablePath();

}  // namespace platform
