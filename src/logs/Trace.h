#pragma once
#include <string>

// Diagnostic trace. Engines describe what they do in English lines ("Selected Interface: eth0");
// the user never sees them. When ORVANTA_DEBUG_LOG names a file the lines are appended there
// with a time stamp, otherwise they are dropped.
void Trace(const std::string& line);

// For tests: send the trace to this file (empty string: back to the environment's choice).
void SetTraceFileForTesting(const std::string& path);
