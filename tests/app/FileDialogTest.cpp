// The Linux file dialog: the command lines given to zenity and kdialog, and the worker that
// runs one, driven here by stand-in scripts of those names on PATH.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "lib/TestSupport.h"
#include "platform/FileDialog.h"

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

const platform::OpenFileRequest kRequest{"Importar PCAP", "/srv/logs/flow", "Capturas", {"pcap", "pcapng", "cap"}};

// PATH and DISPLAY pointed at a folder holding one stand-in dialog program, for one test.
class StandInDialog {
public:
    StandInDialog(const std::string& name, const std::string& body) {
        dir_ = testsupport::MakeTempDir("filedialog");
        const std::string path = dir_ + "/" + name;
        std::ofstream(path) << "#!/bin/sh\nPATH=/bin:/usr/bin\n" << body << "\n";
        fs::permissions(path, fs::perms::owner_all);
        oldPath_ = std::getenv("PATH") ? std::getenv("PATH") : "";
        oldDisplay_ = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
        // Only the stand-in: a real dialog installed on this machine must not be found.
        setenv("PATH", dir_.c_str(), 1);
        setenv("DISPLAY", ":99", 1);
    }
    ~StandInDialog() {
        setenv("PATH", oldPath_.c_str(), 1);
        if (oldDisplay_.empty())
            unsetenv("DISPLAY");
        else
            setenv("DISPLAY", oldDisplay_.c_str(), 1);
        fs::remove_all(dir_);
    }
    const std::string& Dir() const { return dir_; }

private:
    std::string dir_, oldPath_, oldDisplay_;
};

std::optional<std::string> WaitForResult(platform::FileDialog& d, milliseconds limit = seconds(5)) {
    const auto end = steady_clock::now() + limit;
    while (steady_clock::now() < end) {
        if (auto r = d.TakeResult()) return r;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return std::nullopt;
}

}  // namespace

TEST(FileDialogLinux, CommandLinesOpenTheFolderWithTheCaptureFilter) {
    EXPECT_EQ(platform::ZenityOpenCommand(kRequest),
              (std::vector<std::string>{"zenity", "--file-selection", "--title=Importar PCAP",
                                        "--filename=/srv/logs/flow/",
                                        "--file-filter=Capturas | *.pcap *.pcapng *.cap",
                                        "--file-filter=Todos os arquivos | *"}));
    EXPECT_EQ(platform::KdialogOpenCommand(kRequest),
              (std::vector<std::string>{"kdialog", "--title", "Importar PCAP", "--getopenfilename", "/srv/logs/flow/",
                                        "*.pcap *.pcapng *.cap|Capturas"}));
}

TEST(FileDialogLinux, NoDialogWithoutADisplayOrWithoutAProgram) {
    {
        StandInDialog none("unrelated", "exit 0");
        EXPECT_EQ(platform::FileDialog::Create(), nullptr) << "neither zenity nor kdialog on PATH";
    }
    StandInDialog kdialog("kdialog", "exit 0");
    EXPECT_NE(platform::FileDialog::Create(), nullptr);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(platform::FileDialog::Create(), nullptr) << "a dialog needs a display";
}

// The worker hands over the chosen path, a cancel as "", and each outcome once; the window's
// thread never waits for the dialog.
TEST(FileDialogLinux, ChoiceCancelAndFailureEachComeBackOnce) {
    StandInDialog zenity("zenity",
                         "echo \"$@\" >\"$(dirname \"$0\")/args\"\n"
                         "case \"$(cat \"$(dirname \"$0\")/mode\")\" in\n"
                         "  choose) sleep 0.3; echo '/tmp/captura de teste.pcap' ;;\n"
                         "  cancel) exit 1 ;;\n"
                         "  *) echo 'Gtk-WARNING' >&2; exit 5 ;;\n"
                         "esac");
    auto dialog = platform::FileDialog::Create();
    ASSERT_NE(dialog, nullptr);
    auto mode = [&](const char* m) { std::ofstream(zenity.Dir() + "/mode") << m; };

    mode("choose");
    const auto t0 = steady_clock::now();
    ASSERT_TRUE(dialog->StartOpen(kRequest));
    EXPECT_LT(steady_clock::now() - t0, milliseconds(200)) << "StartOpen waited for the dialog";
    EXPECT_TRUE(dialog->IsOpen());
    EXPECT_FALSE(dialog->StartOpen(kRequest)) << "a second dialog while one is open";
    EXPECT_EQ(dialog->TakeResult(), std::nullopt);
    EXPECT_EQ(WaitForResult(*dialog), "/tmp/captura de teste.pcap");
    EXPECT_FALSE(dialog->IsOpen());
    EXPECT_EQ(dialog->TakeResult(), std::nullopt) << "the outcome is handed out once";
    EXPECT_NE(testsupport::ReadFile(zenity.Dir() + "/args").find("--filename=/srv/logs/flow/"), std::string::npos);

    mode("cancel");
    ASSERT_TRUE(dialog->StartOpen(kRequest));
    EXPECT_EQ(WaitForResult(*dialog), "");
    mode("fail");
    ASSERT_TRUE(dialog->StartOpen(kRequest));
    EXPECT_EQ(WaitForResult(*dialog), "") << "a failing tool is no choice";
}

TEST(FileDialogLinux, ClosingTheProgramEndsADialogStillOpen) {
    StandInDialog zenity("zenity", "echo $$ >\"$(dirname \"$0\")/pid\"; exec sleep 30");
    std::string pidFile = zenity.Dir() + "/pid";
    {
        auto dialog = platform::FileDialog::Create();
        ASSERT_NE(dialog, nullptr);
        ASSERT_TRUE(dialog->StartOpen(kRequest));
        for (int i = 0; i < 200 && testsupport::ReadFile(pidFile).empty(); ++i)
            std::this_thread::sleep_for(milliseconds(10));
        ASSERT_FALSE(testsupport::ReadFile(pidFile).empty());
        const auto t0 = steady_clock::now();
        dialog.reset();
        EXPECT_LT(steady_clock::now() - t0, seconds(2)) << "the destructor waited for the user";
    }
    const pid_t pid = std::atoi(testsupport::ReadFile(pidFile).c_str());
    EXPECT_NE(::kill(pid, 0), 0) << "the dialog process outlived the program";
}
