#pragma once
#include <string>
#include <vector>

namespace platform {

// Opens a folder in the desktop's file browser, detached. The result is ignored.
void OpenFolder(const std::string& path);

// True when OpenFolder has a file browser to start on this machine.
bool CanOpenFolders();

// The system's own settings for one subject: network connections, sound devices, or the
// settings overview. False when this machine has no tool for it.
enum class SettingsPanel { Network, Sound, System };
bool OpenSettings(SettingsPanel panel);

// Starts the first command whose program is found on PATH, detached from this process.
// Each command is an argv vector. Returns false when none of them exists.
bool LaunchFirstAvailable(const std::vector<std::vector<std::string>>& commands);

// True when an executable with this name is found on PATH (or the path itself is executable).
bool ProgramExists(const std::string& program);

}  // namespace platform
