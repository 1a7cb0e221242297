#include "platform/FileDialog.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/Launcher.h"

extern char** environ;

namespace platform {

namespace {

// A path longer than this is no answer from a file dialog; the rest of the output is dropped.
constexpr size_t kMaxOutputBytes = 64 * 1024;

std::string Patterns(const OpenFileRequest& r) {
    std::string out;
    for (const std::string& e : r.extensions) out += (out.empty() ? "*." : " *.") + e;
    return out;
}

// The folder with a trailing slash: both tools then open it instead of pre-selecting its name.
std::string FolderArgument(const std::string& folder) {
    if (folder.empty()) return "./";
    return folder.back() == '/' ? folder : folder + "/";
}

// Runs one dialog program per request; the worker reads its answer and reaps it.
class DialogProcess final : public FileDialog {
public:
    explicit DialogProcess(bool zenity) : zenity_(zenity) {}
    ~DialogProcess() override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            // Leaving with the dialog still open: close it, or the worker would wait for the user.
            if (pid_ > 0) kill(pid_, SIGTERM);
        }
        if (worker_.joinable()) worker_.join();
    }

    bool StartOpen(const OpenFileRequest& request) override {
        std::lock_guard<std::mutex> lock(mu_);
        if (pid_ > 0) return false;
        if (worker_.joinable()) worker_.join();  // the last one has finished: pid_ is gone
        const std::vector<std::string> argv = zenity_ ? ZenityOpenCommand(request) : KdialogOpenCommand(request);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        // GTK's and KDE's warnings are not ours to print.
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_t pid = -1;
        const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (rc != 0) {
            close(out[0]);
            return false;
        }
        pid_ = pid;
        result_.reset();
        worker_ = std::thread([this, pid, fd = out[0]] { Collect(pid, fd); });
        return true;
    }

    bool IsOpen() const override {
        std::lock_guard<std::mutex> lock(mu_);
        return pid_ > 0;
    }

    std::optional<std::string> TakeResult() override {
        std::lock_guard<std::mutex> lock(mu_);
        std::optional<std::string> r;
        r.swap(result_);
        return r;
    }

private:
    void Collect(pid_t pid, int fd) {
        std::string output;
        char buf[4096];
        for (;;) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            // Read to the end (the program must not block on a full pipe), keep the first bytes.
            output.append(buf, std::min(static_cast<size_t>(n), kMaxOutputBytes - output.size()));
        }
        close(fd);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        // Exit 0 with a path: chosen; 1: cancelled; anything else: the tool failed.
        std::string path;
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && output.size() < kMaxOutputBytes) {
            path = output.substr(0, output.find('\n'));
        }
        std::lock_guard<std::mutex> lock(mu_);
        pid_ = -1;
        result_ = path;
    }

    const bool zenity_;
    mutable std::mutex mu_;
    pid_t pid_ = -1;  // the dialog's process while it is open
    std::optional<std::string> result_;
    std::thread worker_;
};

}  // namespace

std::vector<std::string> ZenityOpenCommand(const OpenFileRequest& r) {
    std::vector<std::string> argv = {"zenity", "--file-selection", "--title=" + r.title,
                                     "--filename=" + FolderArgument(r.folder)};
    if (!r.extensions.empty()) argv.push_back("--file-filter=" + r.filterName + " | " + Patterns(r));
    argv.push_back("--file-filter=Todos os arquivos | *");
    return argv;
}

std::vector<std::string> KdialogOpenCommand(const OpenFileRequest& r) {
    std::vector<std::string> argv = {"kdialog", "--title", r.title, "--getopenfilename", FolderArgument(r.folder)};
    if (!r.extensions.empty()) argv.push_back(Patterns(r) + "|" + r.filterName);
    return argv;
}

std::unique_ptr<FileDialog> FileDialog::Create() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (!(x11 && *x11) && !(wayland && *wayland)) return nullptr;
    if (ProgramExists("zenity")) return std::make_unique<DialogProcess>(true);
    if (ProgramExists("kdialog")) return std::make_unique<DialogProcess>(false);
    return nullptr;
}

}  // namespace platform
