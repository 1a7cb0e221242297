#pragma once
// Notification-area icon through the freedesktop system-tray protocol (XEmbed): our own
// drawn icon, a tool tip, a double click and a one-item menu that ask for the main window.
#include <memory>
#include <string>

namespace platform {

struct TrayEvents {
    bool restoreRequested = false;  // double click, or the menu item was chosen
    bool hostLost = false;          // the tray host went away while we were docked
};

class TrayIcon {
public:
    // Opens its own X connection and asks the tray host (if one runs) to dock the icon.
    // Returns nullptr only when no X display can be opened.
    static std::unique_ptr<TrayIcon> Create(const std::string& tip, const std::string& menuItem);
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    // Handles the icon's X events without blocking; call once per frame.
    TrayEvents Pump();
    // True while a tray host has embedded the icon.
    bool Docked() const;

    struct Impl;

private:
    TrayIcon() = default;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
