#include <gtest/gtest.h>

#include "tools/SystemInfo.h"

TEST(SystemInfo, MemInfoGivesTotalAndAvailableBytes) {
    const std::string meminfo =
        "MemTotal:       16777216 kB\n"
        "MemFree:         1048576 kB\n"
        "MemAvailable:    6291456 kB\n"
        "Buffers:          262144 kB\n"
        "Cached:          4194304 kB\n";
    double total = 0, avail = 0;
    ASSERT_TRUE(ParseMemInfo(meminfo, total, avail));
    EXPECT_DOUBLE_EQ(total, 16.0 * 1024 * 1024 * 1024);
    EXPECT_DOUBLE_EQ(avail, 6.0 * 1024 * 1024 * 1024);

    SystemInfo info;
    info.ramTotalGb = total / (1024.0 * 1024 * 1024);
    info.ramAvailableGb = avail / (1024.0 * 1024 * 1024);
    EXPECT_EQ(MemoryFiguresText(info), "10.0 / 16.0 GB");
    EXPECT_FLOAT_EQ(MemoryUsedFraction(info), 0.625f);

    // Old kernels without MemAvailable: free + buffers + cache.
    ASSERT_TRUE(ParseMemInfo("MemTotal: 1000 kB\nMemFree: 100 kB\nBuffers: 50 kB\nCached: 250 kB\n", total, avail));
    EXPECT_DOUBLE_EQ(avail, 400.0 * 1024);
    EXPECT_FALSE(ParseMemInfo("MemFree: 100 kB\n", total, avail));
    EXPECT_FALSE(ParseMemInfo("", total, avail));
    // "MemTotalX" is not "MemTotal".
    EXPECT_FALSE(ParseMemInfo("MemTotalX: 5 kB\nMemAvailable: 1 kB\n", total, avail));
}

TEST(SystemInfo, DiskFiguresRoundToWholeGigabytes) {
    SystemInfo info;
    info.diskTotalGb = 476.3;
    info.diskFreeGb = 120.6;
    EXPECT_EQ(DiskFiguresText(info), "121 / 476 GB Livre");
    EXPECT_NEAR(DiskUsedFraction(info), (476.3 - 120.6) / 476.3, 1e-6);
    // A failed query leaves zeros; the bar must not become NaN.
    SystemInfo empty;
    EXPECT_EQ(DiskFiguresText(empty), "0 / 0 GB Livre");
    EXPECT_EQ(MemoryFiguresText(empty), "0.0 / 0.0 GB");
    EXPECT_EQ(DiskUsedFraction(empty), 0.0f);
    EXPECT_EQ(MemoryUsedFraction(empty), 0.0f);
}

TEST(SystemInfo, OsReleasePrettyNameWithKernel) {
    const std::string debian =
        "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
        "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nID=debian\n";
    EXPECT_EQ(ParseOsReleasePrettyName(debian), "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(ParseOsReleasePrettyName("NAME=Arch\r\nPRETTY_NAME='Arch Linux'\r\n"), "Arch Linux");
    EXPECT_EQ(ParseOsReleasePrettyName("PRETTY_NAME=\"Say \\\"hi\\\"\"\n"), "Say \"hi\"");
    EXPECT_EQ(ParseOsReleasePrettyName("NAME=x\n"), "");
    EXPECT_EQ(OsDisplayText("Debian GNU/Linux 12 (bookworm)", "6.1.0-18-amd64"),
              "Debian GNU/Linux 12 (bookworm) - Linux 6.1.0-18-amd64");
    EXPECT_EQ(OsDisplayText("", "6.1.0"), "Linux - Linux 6.1.0");
    EXPECT_EQ(OsDisplayText("", ""), "Linux");
}

TEST(SystemInfo, InterfaceFilterKeepsUpNonLoopbackFirstAddress) {
    std::vector<platform::InterfaceAddress> list = {
        {"lo", "127.0.0.1", true, true},
        {"eth0", "192.168.1.10", true, false},
        {"eth0", "192.168.1.11", true, false},  // second address of the same interface
        {"wlan0", "10.0.0.5", false, false},    // down
        {"tun0", "0.0.0.0", true, false},
        {"br0", "172.16.0.1", true, false},
    };
    EXPECT_EQ(ActiveInterfaceLines(list),
              (std::vector<std::string> {"eth0 (192.168.1.10)", "br0 (172.16.0.1)"}));
    std::vector<platform::InterfaceAddress> none = {{"lo", "127.0.0.1", true, true}, {"eth1", "10.1.1.1", false, false}};
    EXPECT_EQ(ActiveInterfaceLines(none), (std::vector<std::string> {"Nenhuma interface ativa encontrada."}));
    EXPECT_EQ(ActiveInterfaceLines({}), (std::vector<std::string> {"Nenhuma interface ativa encontrada."}));
}

TEST(SystemInfo, RefreshTimerFiresFirstThenAboutEveryTwoSeconds) {
    float timer = 0.0f;
    EXPECT_TRUE(SystemInfoRefreshDue(timer, 1.0f / 60.0f));  // the first drawing refreshes at once
    int refreshes = 0;
    float shown = 0.0f;
    float firstAt = -1.0f;
    for (int frame = 0; frame < 600; ++frame) {  // 10 s at 60 frames per second
        shown += 1.0f / 60.0f;
        if (SystemInfoRefreshDue(timer, 1.0f / 60.0f)) {
            ++refreshes;
            if (firstAt < 0) firstAt = shown;
        }
    }
    EXPECT_EQ(refreshes, 5);
    EXPECT_NEAR(firstAt, 2.0f, 0.05f);
    EXPECT_FALSE(SystemInfoRefreshDue(timer, 0.5f));
}

TEST(SystemInfo, CollectedFactsOfThisMachine) {
    SystemInfo info = CollectSystemInfo();
    EXPECT_FALSE(info.computerName.empty());
#ifdef _WIN32
    // The version and build the system reports, e.g. "Windows 10 (10.0.19045)", not a fixed
    // text (Wine reports the version its prefix imitates).
    EXPECT_EQ(info.osText.rfind("Windows", 0), 0u) << info.osText;
    ASSERT_FALSE(platform::KernelRelease().empty());
    // Appended, not "(" + s: GCC 12 warns falsely (-Wrestrict) on the inlined operator+.
    std::string build = "(";
    build += platform::KernelRelease();
    build += ')';
    EXPECT_NE(info.osText.find(build), std::string::npos) << info.osText;
#else
    EXPECT_NE(info.osText.find("Linux"), std::string::npos);
#endif
    EXPECT_GT(info.ramTotalGb, 0.1);
    EXPECT_GT(info.ramAvailableGb, 0.0);
    EXPECT_LE(info.ramAvailableGb, info.ramTotalGb);
    EXPECT_GT(info.diskTotalGb, 0.0);
    EXPECT_LE(info.diskFreeGb, info.diskTotalGb);
    ASSERT_FALSE(info.interfaces.empty());
    for (const auto& line : info.interfaces) EXPECT_EQ(line.rfind("lo (", 0), std::string::npos) << line;
}
