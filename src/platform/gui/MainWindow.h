#pragma once
// The main window and its event pump: an SDL2 window on X11 with an OpenGL 3 context, and
// the glue to ImGui's SDL2 and OpenGL3 backends. The shell (App) drives it once per frame.
#include <memory>
#include <string>
#include <vector>

struct SDL_Window;

namespace platform {

struct PumpResult {
    bool quit = false;            // SDL_QUIT (SIGINT/SIGTERM): leave the loop without a frame
    bool quitShortcut = false;    // Ctrl+Q (either Ctrl) was pressed in the window
    bool closeRequested = false;  // the window's close box / WM_DELETE_WINDOW
    int handled = 0;              // events handed to the GUI backend in this call
    bool pending = false;         // events held back for the next call (don't sleep before it)
    std::vector<std::string> droppedFiles;  // files dropped on the window, in order
};

class MainWindow {
public:
    // Opens the window (client size width x height at x, y), its GL context, and shows it.
    // Needs a real X11 display: SDL's invisible fallback drivers are refused. On failure
    // returns nullptr and says why in `error`.
    static std::unique_ptr<MainWindow> Open(const std::string& title, int x, int y, int width,
                                            int height, std::string& error);
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // ImGui's platform and renderer backends; the ImGui context must already exist.
    bool StartGui();
    void StopGui();
    // Deletes the GL context (after StopGui); the window itself stays until destruction.
    void ReleaseRenderer();

    // Empties the event queue without blocking, handing every event to the GUI backend.
    // A key released in the same batch it was pressed in is held back, with everything
    // after it, for the next call: ImGui 1.86 keeps key state, not key events, and would
    // never see such a tap.
    PumpResult PumpEvents();
    // Blocks until an event arrives or `timeoutMs` passes: the loop sleeps here while nothing
    // changes.
    void WaitForEvents(int timeoutMs);

    // Backend half of a new GUI frame; call right before ImGui::NewFrame().
    void BeginFrame();
    // Draws ImGui's draw data over the clear colour and swaps. Paces the loop to about
    // 60 frames per second where vertical-blank sync is unavailable (Xvfb).
    void Present(float r, float g, float b, float a);

    void Hide();
    void Minimize();
    void RestoreAndRaise();
    bool IsHidden() const;
    bool IsMinimized() const;
    bool VsyncActive() const { return vsync_; }

private:
    MainWindow() = default;
    struct Deferred;
    SDL_Window* window_ = nullptr;
    void* glContext_ = nullptr;
    bool vsync_ = false;
    bool guiStarted_ = false;
    bool sdlStarted_ = false;
    unsigned long long nextFrameDueNs_ = 0;  // when the next frame may be shown (ns)
    std::unique_ptr<Deferred> deferred_;
};

}  // namespace platform
