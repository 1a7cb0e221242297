#pragma once
// The tone calls of make_tone_calls.py (one SIP call per codec, tones known by the SSRC:
// 0x51A70000 + the tone's frequency), made once per build tree and shared by the tests that
// read them; empty when ffmpeg or sox is missing.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

#include "lib/TestSupport.h"

inline std::string ToneCallsCapture(std::string* why) {
    const std::string path = std::string(OC_BINARY_DIR) + "/tests/playback/tone_calls.pcap";
    const std::string script = std::string(OC_SOURCE_DIR) + "/tests/playback/make_tone_calls.py";
    std::error_code ec;
    if (std::filesystem::exists(path) &&
        std::filesystem::last_write_time(path, ec) >= std::filesystem::last_write_time(script, ec))
        return path;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    for (const char* tool : {"ffmpeg", "sox", "python3"}) {
        if (testsupport::RunCommand(std::string("command -v ") + tool).exitCode != 0) {
            *why = std::string(tool) + " is not installed";
            return {};
        }
    }
    // Made under a name of its own and renamed: tests running side by side never read half a file.
    const std::string part = path + "." + std::to_string(getpid());
    const testsupport::CommandResult r = testsupport::RunCommand(
        "python3 " + script + " " + part);
    if (r.exitCode != 0) {
        *why = "make_tone_calls.py failed: " + r.err;
        return {};
    }
    std::filesystem::rename(part, path);
    return path;
}

constexpr uint32_t kToneSsrcBase = 0x51A70000;
