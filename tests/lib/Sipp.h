#pragma once
// SIPp as a test peer: the callee is started first and waited for until its SIP port is
// open, then the caller; each runs in a network namespace when one is named (empty: this
// one), in a working folder, its output and errors in a log file. Linux only.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "lib/TestSupport.h"

namespace sipp {

// The recordings of the Debian package: g711a.pcap (PCMA, 30 ms packets), dtmf_2833_<d>.pcap.
inline constexpr const char* kAudioDir = "/usr/share/sip-tester";

inline bool Installed() { return std::system("command -v sipp >/dev/null 2>&1") == 0; }

// "ip netns exec NS " before a command, or nothing.
inline std::string InNamespace(const std::string& ns) { return ns.empty() ? "" : "ip netns exec " + ns + " "; }

// True when a socket listens on `port` (UDP or TCP, any address) in namespace `ns`.
inline bool Listening(const std::string& ns, int port) {
    return !testsupport::RunCommand(InNamespace(ns) + "ss -Hlntu 'sport = :" + std::to_string(port) + "'").out.empty();
}

// The built-in scenarios that play audio (uac_pcap) read "pcap/g711a.pcap" from the folder
// SIPp starts in: a link to the package's folder there.
inline bool LinkAudio(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::filesystem::remove(dir + "/pcap", ec);
    std::filesystem::create_directory_symlink(kAudioDir, dir + "/pcap", ec);
    return std::filesystem::exists(dir + "/pcap/g711a.pcap");
}

// The command line: SIPp sends its audio on a clock, so it runs ahead of whatever else keeps
// the machine busy (a caller that is not root stays at its own priority, with a warning).
inline std::string Command(const std::string& ns, const std::string& args) {
    return InNamespace(ns) + "nice -n -5 sipp " + args;
}

// `sipp ARGS` started in `dir` as the callee; true once it listens on `port` (within 20 s).
inline bool StartCallee(testsupport::Child& child, const std::string& ns, const std::string& args, int port,
                        const std::string& dir, const std::string& log) {
    if (!child.StartShell(Command(ns, args), dir, log)) return false;
    return testsupport::WaitFor([&] { return Listening(ns, port) || !child.Running(); }, std::chrono::seconds(20)) &&
           child.Running();
}

// `sipp ARGS` started in `dir` as the caller.
inline bool StartCaller(testsupport::Child& child, const std::string& ns, const std::string& args,
                        const std::string& dir, const std::string& log) {
    return child.StartShell(Command(ns, args), dir, log);
}

}  // namespace sipp
