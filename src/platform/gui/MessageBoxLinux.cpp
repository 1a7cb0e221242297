#include "platform/gui/MessageBox.h"

#include <SDL.h>

#include <cstdio>
#include <cstdlib>

namespace platform {

void ShowErrorBox(const std::string& caption, const std::string& text) {
    // SDL may be called for a message box before (or after) SDL_Init; with no display it
    // fails, and the text goes to standard error instead of being lost. Without a display it
    // is not asked at all: SDL 2.26 then hands the box to zenity when that is installed and
    // reports success although zenity could not open the display either.
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const bool display = (x11 && *x11) || (wayland && *wayland);
    if (!display || SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, caption.c_str(), text.c_str(), nullptr) != 0) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
}

}  // namespace platform
