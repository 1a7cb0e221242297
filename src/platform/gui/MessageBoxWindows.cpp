#include "platform/gui/MessageBox.h"

#include <windows.h>

namespace platform {

void ShowErrorBox(const std::string& caption, const std::string& text) {
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_ICONERROR);
}

}  // namespace platform
