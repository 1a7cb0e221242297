#include <gtest/gtest.h>

#include "lib/TestEnv.h"

#include <filesystem>
#include <fstream>

#include "logs/LogPaths.h"
#include "logs/Trace.h"
#include "platform/ExecutablePath.h"

namespace fs = std::filesystem;

TEST(LogPaths, DirectoryIsCutBeforeTheLastSeparatorOfEitherKind) {
    EXPECT_EQ(DirectoryOfPath("/opt/orvanta/bin/orvanta-connect"), "/opt/orvanta/bin");
    EXPECT_EQ(DirectoryOfPath("C:\\Tools\\Net\\app.exe"), "C:\\Tools\\Net");
    EXPECT_EQ(DirectoryOfPath("C:/x\\y/app"), "C:/x\\y");
    EXPECT_EQ(DirectoryOfPath("app"), ".");
    EXPECT_EQ(DirectoryOfPath(""), ".");
    EXPECT_EQ(DirectoryOfPath("/app"), "");
}

// Paths are joined with the system's own separator: "/" here, "\\" on Windows.
TEST(LogPaths, FoldersSitBesideTheExecutableWithTheSystemSeparator) {
    std::string dir = ExecutableDirectory();
    EXPECT_TRUE(fs::exists(dir + "/" + fs::path(OC_BINARY_DIR).filename().string()) || fs::is_directory(dir));
    const char sep = platform::PathSeparator();
    auto p = [sep](std::string s) {
        for (char& c : s)
            if (c == '/') c = sep;
        return s;
    };
    const std::string root = sep == '/' ? "/srv/app" : "C:\\Orvanta";
    SetExecutableDirectoryForTesting(root);
    EXPECT_EQ(LogsDirectory(), root + p("/LOGS"));
    EXPECT_EQ(MtrLogDirectory(), root + p("/LOGS/mtr"));
    EXPECT_EQ(FlowLogDirectory(), root + p("/LOGS/flow"));
    EXPECT_EQ(LogFilePath(true, "checkip.csv"), root + p("/LOGS/flow/checkip.csv"));
    EXPECT_EQ(LogFilePath(false, "x y.pcap"), root + p("/LOGS/mtr/x y.pcap"));
    SetExecutableDirectoryForTesting("");
}

TEST(LogPaths, FileTimeStampHasFifteenCharacters) {
    std::string s = FileTimeStamp();
    ASSERT_EQ(s.size(), 15u);
    EXPECT_EQ(s[8], '_');
    for (size_t i = 0; i < s.size(); ++i) {
        if (i != 8) {
            EXPECT_TRUE(isdigit(static_cast<unsigned char>(s[i]))) << s;
        }
    }
}

TEST(LogPaths, MissingFoldersAreCreatedBeforeWriting) {
    fs::path root = fs::temp_directory_path() / ("oc_logs_" + std::to_string(getpid()));
    fs::remove_all(root);
    SetExecutableDirectoryForTesting(root.string());
    EXPECT_FALSE(fs::exists(FlowLogDirectory()));
    EXPECT_TRUE(EnsureDirectory(FlowLogDirectory()));
    EXPECT_TRUE(fs::is_directory(root / "LOGS" / "flow"));
    EXPECT_TRUE(EnsureDirectory(FlowLogDirectory()));  // existing folder is fine
    std::ofstream(root / "blocker") << "x";
    EXPECT_FALSE(EnsureDirectory((root / "blocker" / "sub").string()));
    SetExecutableDirectoryForTesting("");
    fs::remove_all(root);
}

TEST(Trace, LinesReachTheDebugLogOnlyWhenOneIsNamed) {
    fs::path file = fs::temp_directory_path() / ("oc_trace_" + std::to_string(getpid()));
    fs::remove(file);
    UnsetTestEnv("ORVANTA_DEBUG_LOG");
    Trace("dropped");
    SetTraceFileForTesting(file.string());
    Trace("Selected Interface: eth0");
    SetTraceFileForTesting("");
    {
        // Closed before the removal: Windows refuses to delete a file that is still open.
        std::ifstream in(file);
        std::string line;
        std::getline(in, line);
        EXPECT_NE(line.find("Selected Interface: eth0"), std::string::npos);
        EXPECT_FALSE(std::getline(in, line));
    }
    fs::remove(file);
}
