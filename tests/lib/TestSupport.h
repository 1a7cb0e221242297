#pragma once
// The one home of the test helpers: temporary folders and files, child processes started and
// stopped by their PID, shell commands with their output, waiting for a condition, and a
// private X server. Shell scripts have theirs in x11.sh beside this file.
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

#ifndef _WIN32
inline std::string MakeTempDir(const std::string& tag) {
    std::string templ = (std::filesystem::temp_directory_path() / ("oc-" + tag + "-XXXXXX")).string();
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return "";
    return buf.data();
}
#endif

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}
template <typename Pred>
bool WaitFor(Pred pred, int limitMs) {
    return WaitFor(pred, std::chrono::milliseconds(limitMs));
}

#ifndef _WIN32
// Child processes, shell commands and X servers are the Linux suite's: the Windows suites
// under Wine use only what is above.

// A child process in a process group of its own; killed (SIGTERM, then SIGKILL) and reaped
// by the destructor.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { Stop(); }

    // argv[0] is looked up on PATH. With captureStdout the output can be read with ReadLine;
    // otherwise it goes to `outputFile` when given (standard error too with errorToFile).
    // `cwd`: the folder it starts in (empty: this one).
    bool Start(const std::vector<std::string>& argv, bool captureStdout = false, const std::string& outputFile = "",
               const std::string& cwd = "", bool errorToFile = false) {
        int fds[2] = {-1, -1};
        if (captureStdout && pipe(fds) != 0) return false;
        pid = fork();
        if (pid < 0) return false;
        if (pid == 0) {
            setpgid(0, 0);
            if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
            if (captureStdout) {
                dup2(fds[1], 1);
                close(fds[0]);
                close(fds[1]);
            } else if (!outputFile.empty()) {
                int fd = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd >= 0) {
                    dup2(fd, 1);
                    if (errorToFile) dup2(fd, 2);
                }
            }
            int devnull = open("/dev/null", O_RDONLY);
            if (devnull >= 0) dup2(devnull, 0);
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        if (captureStdout) {
            close(fds[1]);
            out = fdopen(fds[0], "r");
        }
        return true;
    }

    // A shell command line started in `cwd`, its output and errors going to `logFile`.
    bool StartShell(const std::string& command, const std::string& cwd, const std::string& logFile) {
        return Start({"/bin/sh", "-c", "exec " + command}, false, logFile, cwd, true);
    }

    std::string ReadLine() {
        if (!out) return "";
        char buf[512];
        if (!std::fgets(buf, sizeof buf, out)) return "";
        std::string s(buf);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        return s;
    }

    // Its exit status once it ended within `limit` (128 + signal when killed), else -1.
    int Wait(std::chrono::milliseconds limit) {
        int code = -1;
        WaitFor([&] {
            if (pid <= 0) return true;
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) != pid) return false;
            pid = -1;
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }, limit);
        return code;
    }

    bool Running() {
        if (pid <= 0) return false;
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            pid = -1;
            return false;
        }
        return true;
    }

    void Stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            if (Wait(std::chrono::seconds(2)) == -1 && pid > 0) {
                kill(pid, SIGKILL);
                int status = 0;
                waitpid(pid, &status, 0);
                pid = -1;
            }
        }
        if (out) {
            std::fclose(out);
            out = nullptr;
        }
    }

    pid_t Pid() const { return pid; }

private:
    pid_t pid = -1;
    FILE* out = nullptr;
};

struct CommandResult {
    int exitCode = -1;  // -1 when the shell could not run it or it died of a signal
    std::string out;
    std::string err;
};

// Runs a shell command line; standard output and error are collected through files.
inline CommandResult RunCommand(const std::string& command) {
    static int counter = 0;
    std::string base = std::filesystem::temp_directory_path().string() + "/oc-cmd-" + std::to_string(getpid()) + "-" +
                       std::to_string(counter++);
    // Grouped, so that redirections inside the command ("2>&1 >/dev/null") act before these.
    std::string full = "{ " + command + "\n} >" + base + ".out 2>" + base + ".err";
    int rc = std::system(full.c_str());
    CommandResult r;
    r.exitCode = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = ReadFile(base + ".out");
    r.err = ReadFile(base + ".err");
    std::filesystem::remove(base + ".out");
    std::filesystem::remove(base + ".err");
    return r;
}

// A private X server on `display` (":61"), answering when this returns true. Refuses a
// display that is taken. -noreset: an X server resets when its last client leaves and
// refuses connections while it does, which would fail the next client at random.
inline bool StartXvfb(Child& xvfb, const std::string& display) {
    const std::string lock = "/tmp/.X" + display.substr(1) + "-lock";
    // A server still shutting down on this display would answer and then vanish.
    if (!WaitFor([&] { return !std::filesystem::exists(lock); }, std::chrono::seconds(5))) return false;
    if (!xvfb.Start({"Xvfb", display, "-screen", "0", "1600x1000x24", "-nolisten", "tcp", "-noreset"}, false,
                    "/dev/null", "", true))
        return false;
    return WaitFor([&] { return RunCommand("xdpyinfo -display " + display).exitCode == 0; }, std::chrono::seconds(10)) &&
           xvfb.Running();
}

#endif  // _WIN32

}  // namespace testsupport
