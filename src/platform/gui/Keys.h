#pragma once
// Key indices as the GUI library sees them, so the shell and the headless test harness use
// the same numbers for the quit shortcut and for simulated key presses. ImGui 1.86 indexes
// io.KeysDown[] by SDL scancode in its SDL2 backend and by virtual-key code in its Win32 one.
#ifdef _WIN32

namespace platform::keys {

inline constexpr int LeftCtrl = 0xA2;   // VK_LCONTROL
inline constexpr int RightCtrl = 0xA3;  // VK_RCONTROL
inline constexpr int LeftShift = 0xA0;  // VK_LSHIFT
inline constexpr int LeftAlt = 0xA4;    // VK_LMENU
inline constexpr int RightShift = 0xA1; // VK_RSHIFT
inline constexpr int RightAlt = 0xA5;   // VK_RMENU
inline constexpr int Q = 'Q';
inline constexpr int Enter = 0x0D;      // VK_RETURN
inline constexpr int KeypadEnter = 0x0D;
inline constexpr int Escape = 0x1B;
inline constexpr int Tab = 0x09;
inline constexpr int Backspace = 0x08;
inline constexpr int Delete = 0x2E;
inline constexpr int Space = 0x20;
inline constexpr int Left = 0x25;
inline constexpr int Right = 0x27;
inline constexpr int Up = 0x26;
inline constexpr int Down = 0x28;
inline constexpr int Home = 0x24;
inline constexpr int End = 0x23;
inline constexpr int PageUp = 0x21;
inline constexpr int PageDown = 0x22;
inline constexpr int A = 'A';
inline constexpr int C = 'C';
inline constexpr int V = 'V';
inline constexpr int X = 'X';
inline constexpr int Y = 'Y';
inline constexpr int Z = 'Z';
inline constexpr int W = 'W';
inline constexpr int Insert = 0x2D;    // VK_INSERT

}  // namespace platform::keys

#else

#include <SDL_scancode.h>

namespace platform::keys {

inline constexpr int LeftCtrl = SDL_SCANCODE_LCTRL;
inline constexpr int RightCtrl = SDL_SCANCODE_RCTRL;
inline constexpr int LeftShift = SDL_SCANCODE_LSHIFT;
inline constexpr int LeftAlt = SDL_SCANCODE_LALT;
inline constexpr int RightShift = SDL_SCANCODE_RSHIFT;
inline constexpr int RightAlt = SDL_SCANCODE_RALT;
inline constexpr int Q = SDL_SCANCODE_Q;
inline constexpr int Enter = SDL_SCANCODE_RETURN;
inline constexpr int KeypadEnter = SDL_SCANCODE_KP_ENTER;
inline constexpr int Escape = SDL_SCANCODE_ESCAPE;
inline constexpr int Tab = SDL_SCANCODE_TAB;
inline constexpr int Backspace = SDL_SCANCODE_BACKSPACE;
inline constexpr int Delete = SDL_SCANCODE_DELETE;
inline constexpr int Space = SDL_SCANCODE_SPACE;
inline constexpr int Left = SDL_SCANCODE_LEFT;
inline constexpr int Right = SDL_SCANCODE_RIGHT;
inline constexpr int Up = SDL_SCANCODE_UP;
inline constexpr int Down = SDL_SCANCODE_DOWN;
inline constexpr int Home = SDL_SCANCODE_HOME;
inline constexpr int End = SDL_SCANCODE_END;
inline constexpr int PageUp = SDL_SCANCODE_PAGEUP;
inline constexpr int PageDown = SDL_SCANCODE_PAGEDOWN;
inline constexpr int A = SDL_SCANCODE_A;
inline constexpr int W = SDL_SCANCODE_W;
inline constexpr int Z = SDL_SCANCODE_Z;
inline constexpr int C = SDL_SCANCODE_C;
inline constexpr int V = SDL_SCANCODE_V;
inline constexpr int X = SDL_SCANCODE_X;
inline constexpr int Y = SDL_SCANCODE_Y;
inline constexpr int Insert = SDL_SCANCODE_INSERT;

}  // namespace platform::keys

#endif

namespace platform {

// The quit shortcut is Ctrl+Q by what the key means on the user's layout (its key symbol,
// 'q' on the keyboards this program meets), not by where the key sits: on an AZERTY
// keyboard the key in QWERTY's Q place types 'a', and Ctrl+A must select, not quit.
inline bool IsQuitShortcut(int keySymbol, bool ctrlHeld) { return ctrlHeld && (keySymbol == 'q' || keySymbol == 'Q'); }

}  // namespace platform
