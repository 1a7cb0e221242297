// The main window on Windows: a Win32 window of class "DARUzirivaClass" with a Direct3D 11
// swap chain, and the glue to ImGui's Win32 and DX11 backends.
#include "platform/gui/MainWindow.h"

#include <windows.h>
#include <shellapi.h>
#include <d3d11.h>
#include <dxgi.h>

#include <imgui.h>
#include <imgui_impl_dx11.h>
#include <imgui_impl_win32.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern IMGUI_IMPL_API LRESULT ImGui_ImplWin32_WndProcHandler(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

namespace platform {

namespace {

constexpr const char* kClassName = "DARUzirivaClass";
constexpr const char* kMutexName = "OrvantaConnect_Mutex";
constexpr int kIconResource = 101;
constexpr auto kMinFrame = std::chrono::nanoseconds(1000000000LL / 60);

// Set by the window procedure, read by the pump of the same (GUI) thread.
struct WindowFlags {
    bool closeRequested = false;
    std::vector<std::string> droppedFiles;
};

// The paths of a WM_DROPFILES drop, which the handle owns until DragFinish.
void TakeDroppedFiles(HDROP drop, std::vector<std::string>& out) {
    const UINT count = DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        const UINT length = DragQueryFileA(drop, i, nullptr, 0);
        std::string path(length + 1, '\0');
        if (DragQueryFileA(drop, i, path.data(), length + 1) == length) {
            path.resize(length);
            out.push_back(std::move(path));
        }
    }
    DragFinish(drop);
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (ImGui::GetCurrentContext() && ImGui_ImplWin32_WndProcHandler(hwnd, msg, wParam, lParam)) return 1;
    auto* flags = reinterpret_cast<WindowFlags*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    switch (msg) {
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_SIZE:
            return 0;
        case WM_DROPFILES:
            if (flags) {
                TakeDroppedFiles(reinterpret_cast<HDROP>(wParam), flags->droppedFiles);
                return 0;
            }
            break;
        case WM_CLOSE:
            // The shell decides: hide to the tray, or minimise when no tray icon is docked.
            if (flags) {
                flags->closeRequested = true;
                return 0;
            }
            break;
        case WM_SYSCOMMAND:
            // Alt and F10 would open the system menu and take the keyboard from the GUI.
            if ((wParam & 0xFFF0) == SC_KEYMENU) return 0;
            break;
        default:
            break;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace

struct MainWindow::Deferred {
    HINSTANCE instance = nullptr;
    HWND hwnd = nullptr;
    WindowFlags flags;
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;
    IDXGISwapChain* swapChain = nullptr;
    ID3D11RenderTargetView* target = nullptr;
    UINT targetWidth = 0, targetHeight = 0;
    std::chrono::steady_clock::time_point nextFrameDue{};
    bool classRegistered = false;

    void ReleaseTarget() {
        if (target) target->Release();
        target = nullptr;
    }
    // The back buffer follows the client area, so the GUI is never stretched after a resize.
    void EnsureTarget() {
        RECT rc{};
        GetClientRect(hwnd, &rc);
        const UINT w = static_cast<UINT>(rc.right - rc.left), h = static_cast<UINT>(rc.bottom - rc.top);
        if (target && w == targetWidth && h == targetHeight) return;
        if (w == 0 || h == 0) return;  // minimised: keep the old buffers
        ReleaseTarget();
        swapChain->ResizeBuffers(0, w, h, DXGI_FORMAT_UNKNOWN, 0);
        ID3D11Texture2D* back = nullptr;
        if (SUCCEEDED(swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&back)))) {
            device->CreateRenderTargetView(back, nullptr, &target);
            back->Release();
        }
        targetWidth = w;
        targetHeight = h;
    }
};

std::unique_ptr<MainWindow> MainWindow::Open(const std::string& title, int x, int y, int width, int height,
                                             std::string& error) {
    std::unique_ptr<MainWindow> w(new MainWindow());
    w->deferred_ = std::make_unique<Deferred>();
    Deferred& d = *w->deferred_;
    d.instance = GetModuleHandleA(nullptr);

    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_CLASSDC;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = d.instance;
    wc.hIcon = LoadIconA(d.instance, MAKEINTRESOURCEA(kIconResource));
    wc.hIconSm = wc.hIcon;
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    wc.lpszClassName = kClassName;
    d.classRegistered = RegisterClassExA(&wc) != 0;
    // Named for the whole life of the process; a second copy still runs normally.
    CreateMutexA(nullptr, TRUE, kMutexName);

    d.hwnd = CreateWindowExA(0, kClassName, title.c_str(), WS_OVERLAPPEDWINDOW, x, y, width, height, nullptr, nullptr,
                             d.instance, nullptr);
    if (!d.hwnd) {
        error = "CreateWindowExA failed (" + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    SetWindowLongPtrA(d.hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&d.flags));
    // Captures dropped from Explorer. An elevated process does not get these messages from
    // a normal one unless it lets them through (User Interface Privilege Isolation).
    DragAcceptFiles(d.hwnd, TRUE);
    for (UINT msg : {static_cast<UINT>(WM_DROPFILES), static_cast<UINT>(WM_COPYDATA), 0x0049u /* WM_COPYGLOBALDATA */})
        ChangeWindowMessageFilterEx(d.hwnd, msg, MSGFLT_ALLOW, nullptr);

    DXGI_SWAP_CHAIN_DESC sd{};
    sd.BufferCount = 2;
    sd.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    sd.BufferDesc.RefreshRate.Numerator = 60;
    sd.BufferDesc.RefreshRate.Denominator = 1;
    sd.Flags = DXGI_SWAP_CHAIN_FLAG_ALLOW_MODE_SWITCH;
    sd.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    sd.OutputWindow = d.hwnd;
    sd.SampleDesc.Count = 1;
    sd.Windowed = TRUE;
    sd.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_0};
    D3D_FEATURE_LEVEL got{};
    HRESULT hr = D3D11CreateDeviceAndSwapChain(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 2,
                                               D3D11_SDK_VERSION, &sd, &d.swapChain, &d.device, &got, &d.context);
    if (FAILED(hr)) {
        error = "D3D11CreateDeviceAndSwapChain failed (" + std::to_string(static_cast<long>(hr)) + ")";
        return nullptr;
    }
    d.EnsureTarget();
    ShowWindow(d.hwnd, SW_SHOWDEFAULT);
    UpdateWindow(d.hwnd);
    return w;
}

MainWindow::~MainWindow() {
    StopGui();
    ReleaseRenderer();
    if (deferred_) {
        if (deferred_->hwnd) {
            SetWindowLongPtrA(deferred_->hwnd, GWLP_USERDATA, 0);
            DestroyWindow(deferred_->hwnd);
        }
        if (deferred_->classRegistered) UnregisterClassA(kClassName, deferred_->instance);
    }
}

bool MainWindow::StartGui() {
    Deferred& d = *deferred_;
    if (!ImGui_ImplWin32_Init(d.hwnd)) return false;
    if (!ImGui_ImplDX11_Init(d.device, d.context)) {
        ImGui_ImplWin32_Shutdown();
        return false;
    }
    guiStarted_ = true;
    return true;
}

void MainWindow::StopGui() {
    if (!guiStarted_) return;
    ImGui_ImplDX11_Shutdown();
    ImGui_ImplWin32_Shutdown();
    guiStarted_ = false;
}

void MainWindow::ReleaseRenderer() {
    StopGui();
    if (!deferred_) return;
    Deferred& d = *deferred_;
    d.ReleaseTarget();
    if (d.swapChain) d.swapChain->Release();
    if (d.context) d.context->Release();
    if (d.device) d.device->Release();
    d.swapChain = nullptr;
    d.context = nullptr;
    d.device = nullptr;
}

PumpResult MainWindow::PumpEvents() {
    PumpResult result;
    Deferred& d = *deferred_;
    std::set<WPARAM> pressedThisBatch;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
        const bool keyUp = msg.message == WM_KEYUP || msg.message == WM_SYSKEYUP;
        // The GUI library keeps key state, not events: a key that went down in this batch
        // must be seen down for one frame, so its release waits in the queue.
        if (keyUp && pressedThisBatch.count(msg.wParam)) {
            result.pending = true;
            break;
        }
        PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
        if (msg.message == WM_QUIT) {
            result.quit = true;
            continue;
        }
        if (msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) {
            pressedThisBatch.insert(msg.wParam);
            // Read here, so a quick Ctrl+Q tap is never lost.
            if (msg.wParam == 'Q' && (GetKeyState(VK_CONTROL) & 0x8000)) result.quitShortcut = true;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        ++result.handled;
    }
    if (d.flags.closeRequested) {
        result.closeRequested = true;
        d.flags.closeRequested = false;
    }
    if (!d.flags.droppedFiles.empty()) {
        ++result.handled;
        result.droppedFiles.swap(d.flags.droppedFiles);
        d.flags.droppedFiles.clear();
    }
    return result;
}

void MainWindow::WaitForEvents(int timeoutMs) {
    // MWMO_INPUTAVAILABLE: also wake for messages already queued but not yet removed (a key
    // release held back by the pump), which plain QS_ALLINPUT counts as seen.
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(timeoutMs), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void MainWindow::BeginFrame() {
    deferred_->EnsureTarget();
    ImGui_ImplDX11_NewFrame();
    ImGui_ImplWin32_NewFrame();
}

void MainWindow::Present(float r, float g, float b, float a) {
    Deferred& d = *deferred_;
    if (d.target) {
        const float clear[4] = {r * a, g * a, b * a, a};
        d.context->OMSetRenderTargets(1, &d.target, nullptr);
        d.context->ClearRenderTargetView(d.target, clear);
    }
    ImGui_ImplDX11_RenderDrawData(ImGui::GetDrawData());
    d.swapChain->Present(1, 0);
    // Where the present does not wait for the vertical blank (hidden window, some virtual
    // displays), the clock keeps the loop near 60 frames per second.
    const auto now = std::chrono::steady_clock::now();
    if (d.nextFrameDue.time_since_epoch().count() == 0 || now > d.nextFrameDue + kMinFrame) {
        d.nextFrameDue = now + kMinFrame;
        return;
    }
    if (now < d.nextFrameDue) std::this_thread::sleep_for(d.nextFrameDue - now);
    d.nextFrameDue += kMinFrame;
}

void MainWindow::Hide() { ShowWindow(deferred_->hwnd, SW_HIDE); }

void MainWindow::Minimize() { ShowWindow(deferred_->hwnd, SW_MINIMIZE); }

void MainWindow::RestoreAndRaise() {
    ShowWindow(deferred_->hwnd, SW_SHOW);
    ShowWindow(deferred_->hwnd, SW_RESTORE);
    SetForegroundWindow(deferred_->hwnd);
}

bool MainWindow::IsHidden() const { return !IsWindowVisible(deferred_->hwnd); }

bool MainWindow::IsMinimized() const { return IsIconic(deferred_->hwnd) != 0; }

}  // namespace platform
