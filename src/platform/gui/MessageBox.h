#pragma once
#include <string>

namespace platform {

// Modal error box with no owner window. Falls back to standard error when no display can
// show it (the text must reach the user either way).
void ShowErrorBox(const std::string& caption, const std::string& text);

}  // namespace platform
