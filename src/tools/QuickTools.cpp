#include "tools/QuickTools.h"

#include "logs/LogPaths.h"
#include "logs/Trace.h"
#include "platform/Launcher.h"

bool OpenNetworkSettings() {
    bool ok = platform::LaunchFirstAvailable({
        {"nm-connection-editor"},
        {"gnome-control-center", "network"},
        {"systemsettings", "kcm_networkmanagement"},
        {"xfce4-settings-manager"},
        {"nm-applet"},
    });
    if (!ok) Trace("No network settings tool found");
    return ok;
}

bool OpenSoundSettings() {
    bool ok = platform::LaunchFirstAvailable({
        {"pavucontrol"},
        {"pavucontrol-qt"},
        {"gnome-control-center", "sound"},
        {"systemsettings", "kcm_pulseaudio"},
        {"xfce4-mixer"},
    });
    if (!ok) Trace("No sound settings tool found");
    return ok;
}

bool OpenSystemSettings() {
    bool ok = platform::LaunchFirstAvailable({
        {"gnome-control-center"},
        {"systemsettings"},
        {"xfce4-settings-manager"},
        {"mate-control-center"},
        {"lxqt-config"},
    });
    if (!ok) Trace("No settings tool found");
    return ok;
}

bool OpenLogFolder() {
    std::string dir = LogsDirectory();
    EnsureDirectory(dir);
    if (!platform::ProgramExists("xdg-open")) {
        Trace("xdg-open not found; cannot open " + dir);
        return false;
    }
    platform::OpenFolder(dir);
    return true;
}
