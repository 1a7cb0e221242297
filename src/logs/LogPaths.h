#pragma once
#include <string>

// Everything the program records lives below LOGS beside the executable:
//   LOGS/mtr   MTR capture files
//   LOGS/flow  Flow CSV and pcap exports, checkip.csv
// None of these functions caches anything; each call asks the system again.

// Folder part of a path: everything before the last '/' or '\'. "." when there is none.
std::string DirectoryOfPath(const std::string& path);

std::string ExecutableDirectory();
std::string LogsDirectory();     // ExecutableDirectory() + "/LOGS"
std::string MtrLogDirectory();   // LogsDirectory() + "/mtr"
std::string FlowLogDirectory();  // LogsDirectory() + "/flow"

// FlowLogDirectory() or MtrLogDirectory(), "/" and the name unchanged.
std::string LogFilePath(bool flowFolder, const std::string& fileName);

// Local time as "%d%m%Y_%H%M%S" (15 characters), used for exported file names.
std::string FileTimeStamp();

// Creates the folder and any missing parents. Writers call this just before they open a
// file in a log folder, so that a fresh installation loses nothing. True when the folder
// exists afterwards.
bool EnsureDirectory(const std::string& path);

// For tests: make ExecutableDirectory() answer with this folder (empty: the real one).
void SetExecutableDirectoryForTesting(const std::string& dir);
