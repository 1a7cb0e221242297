#include "platform/Launcher.h"

#include <windows.h>
#include <shellapi.h>

namespace platform {

namespace {

// ShellExecuteA reports success with a value above 32.
bool Shell(const char* file, const char* parameters) {
    const auto rc = reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, "open", file, parameters, nullptr, SW_SHOWNORMAL));
    return rc > 32;
}

}  // namespace

void OpenFolder(const std::string& path) { Shell(path.c_str(), nullptr); }

bool CanOpenFolders() { return true; }

bool OpenSettings(SettingsPanel panel) {
    switch (panel) {
        case SettingsPanel::Network: return Shell("ncpa.cpl", nullptr);
        case SettingsPanel::Sound: return Shell("mmsys.cpl", nullptr);
        case SettingsPanel::System: return Shell("control", nullptr);
    }
    return false;
}

bool ProgramExists(const std::string& program) {
    if (program.empty()) return false;
    char found[MAX_PATH] = {};
    return SearchPathA(nullptr, program.c_str(), ".exe", MAX_PATH, found, nullptr) > 0;
}

bool LaunchFirstAvailable(const std::vector<std::vector<std::string>>& commands) {
    for (const auto& cmd : commands) {
        if (cmd.empty() || !ProgramExists(cmd[0])) continue;
        std::string parameters;
        for (size_t i = 1; i < cmd.size(); ++i) {
            if (i > 1) parameters += ' ';
            parameters += '"' + cmd[i] + '"';
        }
        return Shell(cmd[0].c_str(), parameters.empty() ? nullptr : parameters.c_str());
    }
    return false;
}

}  // namespace platform
