// Notification-area icon through Shell_NotifyIconA: id 1, callback message WM_USER + 1, our
// icon resource 101 and the tool tip. A hidden window of our own receives its messages, so
// the icon needs nothing from the main window.
#include "platform/gui/TrayIcon.h"

#include <windows.h>
#include <shellapi.h>

namespace platform {

namespace {

constexpr UINT kTrayMessage = WM_USER + 1;  // 1025
constexpr UINT kTrayIconId = 1;
constexpr UINT kOpenCommand = 1002;
constexpr int kIconResource = 101;
constexpr const char* kTrayClass = "OrvantaConnectTray";

}  // namespace

struct TrayIcon::Impl {
    HWND hwnd = nullptr;
    NOTIFYICONDATAA data{};
    bool added = false;
    std::string menuItem;
    TrayEvents pending;

    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (self && msg == kTrayMessage) {
            // Legacy notification behaviour: lParam carries the mouse message.
            if (lParam == WM_LBUTTONDBLCLK) self->pending.restoreRequested = true;
            if (lParam == WM_RBUTTONUP) self->ShowMenu();
            return 0;
        }
        if (self && msg == WM_COMMAND && LOWORD(wParam) == kOpenCommand) {
            self->pending.restoreRequested = true;
            return 0;
        }
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }

    void ShowMenu() {
        POINT at{};
        GetCursorPos(&at);
        HMENU menu = CreatePopupMenu();
        if (!menu) return;
        InsertMenuA(menu, 0, MF_BYPOSITION | MF_STRING, kOpenCommand, menuItem.c_str());
        // Without the foreground the menu would not close when the user clicks elsewhere.
        SetForegroundWindow(hwnd);
        TrackPopupMenu(menu, TPM_BOTTOMALIGN | TPM_LEFTALIGN | TPM_LEFTBUTTON, at.x, at.y, 0, hwnd, nullptr);
        DestroyMenu(menu);
    }
};

std::unique_ptr<TrayIcon> TrayIcon::Create(const std::string& tip, const std::string& menuItem) {
    std::unique_ptr<TrayIcon> icon(new TrayIcon());
    icon->impl_ = std::make_unique<Impl>();
    Impl& t = *icon->impl_;
    t.menuItem = menuItem;
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Impl::Proc;
    wc.hInstance = instance;
    wc.lpszClassName = kTrayClass;
    RegisterClassExA(&wc);
    t.hwnd = CreateWindowExA(0, kTrayClass, "", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    if (!t.hwnd) return nullptr;
    SetWindowLongPtrA(t.hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&t));

    t.data.cbSize = sizeof t.data;
    t.data.hWnd = t.hwnd;
    t.data.uID = kTrayIconId;
    t.data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    t.data.uCallbackMessage = kTrayMessage;
    t.data.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(kIconResource));
    lstrcpynA(t.data.szTip, tip.c_str(), sizeof t.data.szTip);
    t.added = Shell_NotifyIconA(NIM_ADD, &t.data) != FALSE;
    return icon;
}

TrayIcon::~TrayIcon() {
    if (!impl_) return;
    if (impl_->added) Shell_NotifyIconA(NIM_DELETE, &impl_->data);
    if (impl_->hwnd) {
        SetWindowLongPtrA(impl_->hwnd, GWLP_USERDATA, 0);
        DestroyWindow(impl_->hwnd);
    }
}

// The main window's message pump dispatches the icon's messages; this only hands over
// what they asked for.
TrayEvents TrayIcon::Pump() {
    TrayEvents events = impl_->pending;
    impl_->pending = {};
    return events;
}

bool TrayIcon::Docked() const { return impl_->added; }

}  // namespace platform
