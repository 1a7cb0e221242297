#pragma once
#include <string>

namespace platform {

// Full path of the running executable, or an empty string when the system won't say.
std::string ExecutablePath();

// The separator this system writes between the parts of a path.
char PathSeparator();

}  // namespace platform
