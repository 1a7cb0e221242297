#include "tools/QuickTools.h"

#include "logs/LogPaths.h"
#include "logs/Trace.h"
#include "platform/Launcher.h"

bool OpenNetworkSettings() {
    bool ok = platform::OpenSettings(platform::SettingsPanel::Network);
    if (!ok) Trace("No network settings tool found");
    return ok;
}

bool OpenSoundSettings() {
    bool ok = platform::OpenSettings(platform::SettingsPanel::Sound);
    if (!ok) Trace("No sound settings tool found");
    return ok;
}

bool OpenSystemSettings() {
    bool ok = platform::OpenSettings(platform::SettingsPanel::System);
    if (!ok) Trace("No settings tool found");
    return ok;
}

bool OpenLogFolder() {
    std::string dir = LogsDirectory();
    EnsureDirectory(dir);
    if (!platform::CanOpenFolders()) {
        Trace("No file browser found; cannot open " + dir);
        return false;
    }
    platform::OpenFolder(dir);
    return true;
}
