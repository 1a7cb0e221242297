#pragma once

// Shortcuts of the HOME and Som tabs: each opens the first desktop tool found on this machine.
// Silent when none exists (false is returned).
bool OpenNetworkSettings();
bool OpenSoundSettings();
bool OpenSystemSettings();
// Creates the log folder when it is missing, then opens it in the file browser.
bool OpenLogFolder();
