#pragma once
// Network namespaces for the tests that need the kernel's own behaviour between two hosts:
// two namespaces joined by links of small MTU (the sending kernel fragments what is larger),
// tcpdump inside one of them, and this thread inside one for as long as it opens a capture.
// Linux only; root.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace netns {

inline int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// Two namespaces "<tag>a<pid>" and "<tag>b<pid>" joined by two veth pairs: v4a/v4b with MTU
// 576 for IPv4 (10.231.0.1 in a, .2 in b), v6a/v6b with IPv6's minimum MTU of 1280 (IPv6 is
// switched off on a link below it; fd00:231::1 and ::2). Removed by name at the end.
class FragmentingLink {
public:
    explicit FragmentingLink(const std::string& tag = "ocfr")
        : a(tag + "a" + std::to_string(::getpid() % 100000)), b(tag + "b" + std::to_string(::getpid() % 100000)) {
        ok = Shell("ip netns add " + a) == 0 && Shell("ip netns add " + b) == 0 &&
             Shell("ip -n " + a + " link add v4a type veth peer name v4b netns " + b) == 0 &&
             Shell("ip -n " + a + " link add v6a type veth peer name v6b netns " + b) == 0 &&
             Shell("ip -n " + a + " link set v4a mtu 576 up") == 0 && Shell("ip -n " + b + " link set v4b mtu 576 up") == 0 &&
             Shell("ip -n " + a + " link set v6a mtu 1280 up") == 0 && Shell("ip -n " + b + " link set v6b mtu 1280 up") == 0 &&
             Shell("ip -n " + a + " addr add 10.231.0.1/24 dev v4a") == 0 &&
             Shell("ip -n " + b + " addr add 10.231.0.2/24 dev v4b") == 0 &&
             Shell("ip -n " + a + " addr add fd00:231::1/64 dev v6a nodad") == 0 &&
             Shell("ip -n " + b + " addr add fd00:231::2/64 dev v6b nodad") == 0;
    }
    ~FragmentingLink() {
        Shell("ip netns del " + a);
        Shell("ip netns del " + b);
    }
    FragmentingLink(const FragmentingLink&) = delete;
    FragmentingLink& operator=(const FragmentingLink&) = delete;
    const std::string a, b;
    bool ok = false;
};

// tcpdump in namespace `ns` on `device`, writing every frame at once (-U) to `path`. In
// immediate mode every frame takes a slot of the snapshot length (256 KiB): the default 2 MiB
// buffer would hold eight, and a busy machine would drop frames behind them.
class Tcpdump {
public:
    Tcpdump(const std::string& ns, const std::string& device, const std::string& path, const std::string& logPath)
        : log(logPath) {
        const std::string pidFile = path + ".pid";
        // A log left by an earlier run would say "listening on" before this tcpdump does.
        std::remove(log.c_str());
        std::remove(pidFile.c_str());
        const std::string start = "ip netns exec " + ns + " tcpdump --immediate-mode -B 65536 -i " + device + " -s 0 -U -w " + path + " 2>" + log +
                                  " </dev/null >/dev/null & echo $! >" + pidFile;
        if (std::system(start.c_str()) != 0) return;
        std::ifstream(pidFile) >> pid;
        // Ready once it says it is listening.
        for (int i = 0; i < 200 && pid > 0; ++i) {
            std::ifstream in(log);
            std::stringstream text;
            text << in.rdbuf();
            said = text.str();
            if (said.find("listening on") != std::string::npos) {
                listening = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    void Stop() {
        if (pid <= 0) return;
        Shell("kill -INT " + std::to_string(pid));
        for (int i = 0; i < 400 && Alive(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
        pid = -1;
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        said = text.str();
    }
    // Whether tcpdump still runs. It is no child of this process (the shell that started it is
    // gone): an ended one may stay a zombie until the init process gets round to it.
    bool Alive() const {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string stat;
        if (!std::getline(in, stat)) return false;
        const size_t close = stat.rfind(')');
        return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
    }
    // After Stop: its count of frames the kernel dropped for want of room.
    bool DroppedNone() const { return said.find("\n0 packets dropped by kernel") != std::string::npos; }
    ~Tcpdump() { Stop(); }
    Tcpdump(const Tcpdump&) = delete;
    Tcpdump& operator=(const Tcpdump&) = delete;
    const std::string log;
    int pid = -1;
    bool listening = false;
    std::string said;  // its standard error
};

// Runs `f` with this thread inside namespace `name` (one `ip netns add` made), then brings
// the thread back. What `f` opens there, a capture socket, stays in that namespace; threads
// it starts are born there. A value-initialised result when the namespace cannot be entered.
template <typename F>
auto InNamespace(const std::string& name, F f) -> decltype(f()) {
    struct Fds {
        int home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        int there = -1;
        ~Fds() {
            if (home >= 0) {
                if (::setns(home, CLONE_NEWNET) != 0) std::abort();  // the rest of the run would be elsewhere
                ::close(home);
            }
            if (there >= 0) ::close(there);
        }
    } fds;
    fds.there = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fds.home < 0 || fds.there < 0 || ::setns(fds.there, CLONE_NEWNET) != 0) return decltype(f()){};
    return f();
}

}  // namespace netns
