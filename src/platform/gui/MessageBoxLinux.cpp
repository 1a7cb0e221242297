#include "platform/gui/MessageBox.h"

#include <SDL.h>

#include <cstdio>

namespace platform {

void ShowErrorBox(const std::string& caption, const std::string& text) {
    // SDL may be called for a message box before (or after) SDL_Init; with no display it
    // fails, and the text goes to standard error instead of being lost.
    if (SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, caption.c_str(), text.c_str(), nullptr) != 0) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
}

}  // namespace platform
