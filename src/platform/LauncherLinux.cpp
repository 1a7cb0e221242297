#include "platform/Launcher.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

namespace {

// Double fork so the launched program is adopted by init and never becomes our zombie.
bool SpawnDetached(const std::vector<std::string>& argv) {
    if (argv.empty()) return false;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        setsid();
        pid_t grandchild = fork();
        if (grandchild != 0) _exit(0);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    return true;
}

}  // namespace

bool ProgramExists(const std::string& program) {
    if (program.empty()) return false;
    if (program.find('/') != std::string::npos) return access(program.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        // An empty PATH element means the current directory.
        const std::string dir = end > start ? dirs.substr(start, end - start) : std::string(".");
        std::string candidate = dir + "/" + program;
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

void OpenFolder(const std::string& path) { SpawnDetached({"xdg-open", path}); }

bool LaunchFirstAvailable(const std::vector<std::vector<std::string>>& commands) {
    for (const auto& cmd : commands) {
        if (!cmd.empty() && ProgramExists(cmd[0])) return SpawnDetached(cmd);
    }
    return false;
}

bool CanOpenFolders() { return ProgramExists("xdg-open"); }

bool OpenSettings(SettingsPanel panel) {
    switch (panel) {
        case SettingsPanel::Network:
            return LaunchFirstAvailable({
                {"nm-connection-editor"},
                {"gnome-control-center", "network"},
                {"systemsettings", "kcm_networkmanagement"},
                {"xfce4-settings-manager"},
                {"nm-applet"},
            });
        case SettingsPanel::Sound:
            return LaunchFirstAvailable({
                {"pavucontrol"},
                {"pavucontrol-qt"},
                {"gnome-control-center", "sound"},
                {"systemsettings", "kcm_pulseaudio"},
                {"xfce4-mixer"},
            });
        case SettingsPanel::System:
            return LaunchFirstAvailable({
                {"gnome-control-center"},
                {"systemsettings"},
                {"xfce4-settings-manager"},
                {"mate-control-center"},
                {"lxqt-config"},
            });
    }
    return false;
}

}  // namespace platform
