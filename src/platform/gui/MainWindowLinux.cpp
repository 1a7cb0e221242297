#include "platform/gui/MainWindow.h"

#include <SDL.h>
#include <SDL_opengl.h>
#include <imgui.h>
#include <imgui_impl_opengl3.h>
#include <imgui_impl_sdl.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <set>
#include <thread>

#include "platform/gui/AppIcon.h"
#include "platform/gui/Keys.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OC_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define OC_UNDER_ASAN 1
#endif
#ifdef OC_UNDER_ASAN
#include <dlfcn.h>
#include <link.h>
#endif

namespace platform {

namespace {

#ifdef OC_UNDER_ASAN
// Sanitizer builds only: the GL driver libraries are unloaded at shutdown, after which the
// leak checker can no longer name them and their own leaks can't be told from ours.
// Pinning every loaded library keeps their names in the report (and the suppressions apply).
void PinLoadedLibraries() {
    dl_iterate_phdr(
        [](struct dl_phdr_info* info, size_t, void*) -> int {
            if (info->dlpi_name && info->dlpi_name[0]) dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
            return 0;
        },
        nullptr);
}
#else
void PinLoadedLibraries() {}
#endif

// Where vertical-blank sync is missing (Xvfb, some remote displays) the loop paces itself.
constexpr unsigned long long kMinFrameNs = 16'666'667ULL;
constexpr Uint32 kSubsystems = SDL_INIT_VIDEO | SDL_INIT_TIMER | SDL_INIT_EVENTS;

// Monotonic nanoseconds. (Scaling SDL's performance counter by 1e9 overflows 64 bits once
// the counter, itself in nanoseconds on Linux, passes about 18 seconds of uptime.)
unsigned long long NowNs() {
    return static_cast<unsigned long long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

}  // namespace

struct MainWindow::Deferred {
    std::deque<SDL_Event> events;  // held back from the previous pump, in order
    ~Deferred() {
        // A dropped file's name belongs to whoever takes the event.
        for (SDL_Event& e : events)
            if (e.type == SDL_DROPFILE) SDL_free(e.drop.file);
    }
};

std::unique_ptr<MainWindow> MainWindow::Open(const std::string& title, int x, int y, int width,
                                             int height, std::string& error) {
    // Without DISPLAY, SDL would quietly pick its invisible "offscreen" driver and the
    // program would run with nothing on screen. The tray is X11 as well: require x11.
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11");
    // Closing the only window must hide it (tray), not end the program.
    SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
    SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
    std::unique_ptr<MainWindow> w(new MainWindow());
    w->deferred_ = std::make_unique<Deferred>();
    if (SDL_InitSubSystem(kSubsystems) != 0) {
        error = std::string("SDL_Init: ") + SDL_GetError();
        return nullptr;
    }
    // Files dropped from a file manager (XDND) arrive as SDL_DROPFILE.
    SDL_EventState(SDL_DROPFILE, SDL_ENABLE);
    w->sdlStarted_ = true;
    const char* driver = SDL_GetCurrentVideoDriver();
    if (!driver || std::strcmp(driver, "x11") != 0) {
        error = std::string("video driver is not x11: ") + (driver ? driver : "none");
        return nullptr;
    }

    SDL_GL_SetAttribute(SDL_GL_CONTEXT_FLAGS, 0);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_CORE);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 3);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 0);
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
    SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 0);
    SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, 8);

    w->window_ = SDL_CreateWindow(title.c_str(), x, y, width, height,
                                  SDL_WINDOW_OPENGL | SDL_WINDOW_RESIZABLE | SDL_WINDOW_HIDDEN);
    if (!w->window_) {
        error = std::string("SDL_CreateWindow: ") + SDL_GetError();
        return nullptr;
    }
    w->glContext_ = SDL_GL_CreateContext(w->window_);
    if (!w->glContext_) {
        error = std::string("SDL_GL_CreateContext: ") + SDL_GetError();
        return nullptr;
    }
    SDL_GL_MakeCurrent(w->window_, w->glContext_);
    w->vsync_ = SDL_GL_SetSwapInterval(1) == 0;

    std::vector<uint32_t> icon = DrawAppIcon(64);
    if (SDL_Surface* s = SDL_CreateRGBSurfaceWithFormatFrom(icon.data(), 64, 64, 32, 64 * 4,
                                                            SDL_PIXELFORMAT_ARGB8888)) {
        SDL_SetWindowIcon(w->window_, s);
        SDL_FreeSurface(s);
    }
    SDL_ShowWindow(w->window_);
    return w;
}

MainWindow::~MainWindow() {
    PinLoadedLibraries();
    StopGui();
    ReleaseRenderer();
    if (window_) SDL_DestroyWindow(window_);
    // Only our subsystems: the audio tester holds its own reference to SDL's audio.
    if (sdlStarted_) SDL_QuitSubSystem(kSubsystems);
}

bool MainWindow::StartGui() {
    if (!ImGui_ImplSDL2_InitForOpenGL(window_, glContext_)) return false;
    if (!ImGui_ImplOpenGL3_Init("#version 130")) {
        ImGui_ImplSDL2_Shutdown();
        return false;
    }
    guiStarted_ = true;
    return true;
}

void MainWindow::StopGui() {
    if (!guiStarted_) return;
    ImGui_ImplOpenGL3_Shutdown();
    ImGui_ImplSDL2_Shutdown();
    guiStarted_ = false;
}

void MainWindow::ReleaseRenderer() {
    StopGui();  // the renderer backend's GL objects go with the context
    if (glContext_) SDL_GL_DeleteContext(static_cast<SDL_GLContext>(glContext_));
    glContext_ = nullptr;
}

PumpResult MainWindow::PumpEvents() {
    PumpResult result;
    std::deque<SDL_Event> batch;
    batch.swap(deferred_->events);
    SDL_Event e;
    while (SDL_PollEvent(&e)) batch.push_back(e);

    std::set<int> pressedThisBatch;
    while (!batch.empty()) {
        const SDL_Event& ev = batch.front();
        if (ev.type == SDL_KEYUP && pressedThisBatch.count(ev.key.keysym.scancode)) {
            // The key went down in this batch; ImGui must see it down for one frame first.
            deferred_->events.assign(batch.begin(), batch.end());
            break;
        }
        if (ev.type == SDL_KEYDOWN) {
            pressedThisBatch.insert(ev.key.keysym.scancode);
            // Read here, not from ImGui's key state, so a quick Ctrl+Q tap is never lost.
            if (IsQuitShortcut(ev.key.keysym.sym, (ev.key.keysym.mod & KMOD_CTRL) != 0)) result.quitShortcut = true;
        }
        if (guiStarted_) ImGui_ImplSDL2_ProcessEvent(&ev);
        ++result.handled;
        if (ev.type == SDL_DROPFILE && ev.drop.file) {
            result.droppedFiles.emplace_back(ev.drop.file);
            SDL_free(ev.drop.file);
        }
        if (ev.type == SDL_QUIT) result.quit = true;
        if (ev.type == SDL_WINDOWEVENT && ev.window.event == SDL_WINDOWEVENT_CLOSE &&
            ev.window.windowID == SDL_GetWindowID(window_)) {
            result.closeRequested = true;
        }
        batch.pop_front();
    }
    result.pending = !deferred_->events.empty();
    return result;
}

void MainWindow::WaitForEvents(int timeoutMs) {
    if (!deferred_->events.empty()) return;  // something is already waiting for a frame
    SDL_WaitEventTimeout(nullptr, timeoutMs);
}

void MainWindow::BeginFrame() {
    ImGui_ImplOpenGL3_NewFrame();
    ImGui_ImplSDL2_NewFrame();
    // The 1.86 backend reads SDL_GetGlobalMouseState(), which SDL caches on X11 and which
    // is stale right after a pointer warp; the window-relative state is current.
    if (SDL_GetMouseFocus() == window_) {
        int mx = 0, my = 0;
        SDL_GetMouseState(&mx, &my);
        ImGui::GetIO().MousePos = ImVec2(static_cast<float>(mx), static_cast<float>(my));
    }
}

void MainWindow::Present(float r, float g, float b, float a) {
    ImGuiIO& io = ImGui::GetIO();
    glViewport(0, 0, static_cast<int>(io.DisplaySize.x * io.DisplayFramebufferScale.x),
               static_cast<int>(io.DisplaySize.y * io.DisplayFramebufferScale.y));
    glClearColor(r * a, g * a, b * a, a);
    glClear(GL_COLOR_BUFFER_BIT);
    ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
    SDL_GL_SwapWindow(window_);

    // A swap interval that was accepted may still not block (some X servers); pacing on
    // the clock covers both cases and costs nothing when the swap already waited. Frames
    // are due on a fixed grid, so sleep overshoot does not accumulate below 60 per second;
    // a frame that fell more than one period
    // behind restarts the grid instead of racing to catch up.
    const unsigned long long now = NowNs();
    if (nextFrameDueNs_ == 0 || now > nextFrameDueNs_ + kMinFrameNs) {
        nextFrameDueNs_ = now + kMinFrameNs;
        return;
    }
    if (now < nextFrameDueNs_) std::this_thread::sleep_for(std::chrono::nanoseconds(nextFrameDueNs_ - now));
    nextFrameDueNs_ += kMinFrameNs;
}

void MainWindow::Hide() { SDL_HideWindow(window_); }

void MainWindow::Minimize() { SDL_MinimizeWindow(window_); }

void MainWindow::RestoreAndRaise() {
    SDL_ShowWindow(window_);
    SDL_RestoreWindow(window_);
    SDL_RaiseWindow(window_);
}

bool MainWindow::IsHidden() const {
    return (SDL_GetWindowFlags(window_) & SDL_WINDOW_HIDDEN) != 0;
}

bool MainWindow::IsMinimized() const {
    return (SDL_GetWindowFlags(window_) & SDL_WINDOW_MINIMIZED) != 0;
}

}  // namespace platform
