// Every file the product writes, on a file system that is full (a 64 KiB tmpfs filled up)
// and on one mounted read-only: the user is told it failed (the tab's status text, the
// command line's standard error and exit status), no cut-off file is left behind as if it
// were the whole thing, and the engines keep working.
//
// The mounts need root and a mount namespace of their own: each test runs itself again under
// `unshare --mount --net` (a private loopback network too, for the capture and the Check IP
// server), so nothing is mounted or captured outside it.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "app/App.h"
#include "flowtab/FlowTabTestUtil.h"
#include "harness/FrameHarness.h"
#include "lib/CheckIpServer.h"
#include "lib/MtrLive.h"
#include "lib/TestSupport.h"
#include "logs/LogPaths.h"
#include "ui/EngineTexts.h"

namespace fs = std::filesystem;
using testsupport::RunCommand;
using testsupport::WaitFor;

namespace {

constexpr const char* kChildMark = "OC_FULLDISK_CHILD";

std::string SelfPath() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

enum class Disk { Full, ReadOnly };

std::string DiskName(Disk d) { return d == Disk::Full ? "Full" : "ReadOnly"; }

bool RedRun(const harness::TextRun& run) { return run.color.x == 1.0f && run.color.y == 0.0f && run.color.z == 0.0f; }

// Regular files under `dir` other than the filler, with their sizes.
std::map<std::string, uintmax_t> FilesIn(const fs::path& dir) {
    std::map<std::string, uintmax_t> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file() && it->path().filename() != "filler")
            files[fs::relative(it->path(), dir).string()] = it->file_size();
    return files;
}

// Number of records when the savefile ends exactly after its last whole record, else -1.
int WholeRecords(const std::string& path) {
    const std::string data = testsupport::ReadFile(path);
    if (data.size() < 24) return -1;
    size_t off = 24;
    int count = 0;
    while (off + 16 <= data.size()) {
        uint32_t caplen = 0;
        std::memcpy(&caplen, data.data() + off + 8, 4);  // written in this machine's byte order
        off += 16 + caplen;
        ++count;
    }
    return off == data.size() ? count : -1;
}

class FullDisk : public ::testing::TestWithParam<Disk> {
protected:
    static bool InChild() { return std::getenv(kChildMark) != nullptr; }

    void SetUp() override {
        if (!InChild()) {
            if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
            if (RunCommand("command -v unshare").exitCode != 0) GTEST_SKIP() << "unshare (util-linux) is missing";
            return;
        }
        // Mounts stay inside this namespace, whatever the parent's propagation.
        ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
        ASSERT_EQ(std::system("ip link set lo up"), 0);
        root = testsupport::MakeTempDir("fulldisk");
        ASSERT_FALSE(root.empty());
        logs = root + "/LOGS";
        fs::create_directories(logs);
        SetExecutableDirectoryForTesting(root);
    }
    void TearDown() override {
        if (!InChild()) return;
        SetExecutableDirectoryForTesting("");
        ::umount2(logs.c_str(), MNT_DETACH);
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    // Runs the current test again in private mount and network namespaces; its result is
    // this test's.
    void RunInChild() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string filter = std::string(info->test_suite_name()) + "." + info->name();
        auto r = RunCommand(std::string(kChildMark) + "=1 unshare --mount --net " + SelfPath() + " --gtest_filter='" +
                            filter + "' 2>&1");
        std::cout << r.out;
        EXPECT_EQ(r.exitCode, 0) << "the run in the private namespaces failed";
    }

    // LOGS becomes a small tmpfs (`kib` KiB) holding the product's folders and `setup` (files
    // that were there before); then it is filled up to `freeBytes` (Full) or mounted read-only.
    void BreakLogs(const std::function<void()>& setup = {}, size_t freeBytes = 0, int kib = 64) {
        sizeOption = "size=" + std::to_string(kib) + "k";
        ASSERT_EQ(::mount("tmpfs", logs.c_str(), "tmpfs", 0, (sizeOption + ",mode=0755").c_str()), 0)
            << std::strerror(errno);
        fs::create_directories(logs + "/flow");
        fs::create_directories(logs + "/mtr");
        if (setup) setup();
        if (GetParam() == Disk::ReadOnly) {
            ASSERT_EQ(::mount(nullptr, logs.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, sizeOption.c_str()), 0)
                << std::strerror(errno);
            return;
        }
        {
            std::ofstream filler(logs + "/filler", std::ios::binary);
            const std::string block(4096, 'f');
            for (int i = 0; i < 4 * kib && filler.write(block.data(), block.size()) && filler.flush(); ++i) {
            }
        }
        const uintmax_t size = fs::file_size(logs + "/filler");
        ASSERT_GT(size, 16384u);
        if (freeBytes) fs::resize_file(logs + "/filler", size > freeBytes ? size - freeBytes : 0);
    }
    // Makes room again (Full) or lifts the read-only mount.
    void MendLogs() {
        if (GetParam() == Disk::ReadOnly)
            ASSERT_EQ(::mount(nullptr, logs.c_str(), nullptr, MS_REMOUNT, sizeOption.c_str()), 0) << std::strerror(errno);
        else
            fs::remove(logs + "/filler");
    }
    // A copy of orvanta-cli beside which LOGS is the broken folder.
    std::string Cli() {
        const std::string cli = root + "/orvanta-cli";
        if (!fs::exists(cli)) fs::copy_file(std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli", cli);
        return cli;
    }

    std::string root, logs, sizeOption;
};

}  // namespace

// The three exports of the Flow tab: each says in red that it failed and why, leaves no file,
// and the engine goes on analysing; with room again the same buttons write whole files.
TEST_P(FullDisk, FlowTabExportsFailInRedAndLeaveNothing) {
    if (!InChild()) return RunInChild();
    // Room for the whole capture once the disk is mended.
    BreakLogs({}, 0, 2048);
    harness::FrameHarness h(1280.0f, 800.0f);
    h.Unlock();
    h.Frame();
    ASSERT_TRUE(h.SelectTab("Flow"));
    FlowCore& core = h.app().FlowEngine();
    for (const PacketLogEntry& p : flowtab_test::ReadCapture("10_batch_20_calls.pcap")) core.OnPacket(p);
    for (const PacketLogEntry& p : flowtab_test::ReadCapture("01_basic_call_caller_bye.pcap")) core.OnPacket(p);
    ASSERT_TRUE(core.Settle());
    h.Frame();
    const auto before = FilesIn(logs);

    for (const char* button : {"Exportar CSV", "Exportar PCAP", "Exportar Qualidade"}) {
        SCOPED_TRACE(button);
        ASSERT_TRUE(h.ClickText(button, true));
        ASSERT_TRUE(core.Settle());  // the export is written on the engine's export thread
        h.RunFrames(2);
        const std::string status = h.app().Flow().StatusLine();
        EXPECT_EQ(status.rfind("Falha ao exportar ", 0), 0u) << status;
        const std::string cause = GetParam() == Disk::Full ? "No space left on device" : "Read-only file system";
        EXPECT_NE(status.find(cause), std::string::npos) << status;
        bool shownInRed = false;
        for (const auto& run : h.Texts()) shownInRed = shownInRed || (RedRun(run) && run.text.rfind("Falha ao exportar ", 0) == 0);
        EXPECT_TRUE(shownInRed) << h.AllText("FlowList");
        EXPECT_EQ(FilesIn(logs), before) << "a failed export left a file behind";
    }

    // The engine was not held up: more packets are analysed and listed.
    const uint64_t analysed = core.Counters().analysed;
    for (const PacketLogEntry& p : flowtab_test::ReadCapture("04_call_busy_486.pcap")) core.OnPacket(p);
    ASSERT_TRUE(core.Settle());
    h.Frame();
    EXPECT_GT(core.Counters().analysed, analysed);
    EXPECT_TRUE(h.HasText("1-21802@10.0.20.15"));

    MendLogs();
    for (const char* button : {"Exportar CSV", "Exportar PCAP", "Exportar Qualidade"}) {
        SCOPED_TRACE(button);
        ASSERT_TRUE(h.ClickText(button, true));
        ASSERT_TRUE(core.Settle());  // the export is written on the engine's export thread
        h.RunFrames(2);
        EXPECT_FALSE(h.app().Flow().StatusLine().rfind("Falha", 0) == 0) << h.app().Flow().StatusLine();
    }
    // The call list, the packets, and the quality with its intervals beside it.
    EXPECT_EQ(FilesIn(logs).size(), before.size() + 4);
}

// `flow --read ... --csv --pcap` onto the broken folder: the cause on standard error, exit 2,
// no files; the call list is still printed.
TEST_P(FullDisk, CliFlowExportsFailWithTheCause) {
    if (!InChild()) return RunInChild();
    BreakLogs();
    const std::string cli = Cli();
    auto r = RunCommand(cli + " flow --read " + OC_PCAP_DIR + "/10_batch_20_calls.pcap --csv " + logs +
                        "/flow/calls.csv --pcap " + logs + "/flow/calls.pcap 2>" + root + "/err.txt");
    const std::string err = testsupport::ReadFile(root + "/err.txt");
    EXPECT_EQ(r.exitCode, 2) << err;
    EXPECT_NE(err.find("nao foi possivel gravar " + logs + "/flow/calls.csv: "), std::string::npos) << err;
    EXPECT_NE(err.find("nao foi possivel gravar " + logs + "/flow/calls.pcap: "), std::string::npos) << err;
    EXPECT_TRUE(FilesIn(logs).empty());
    EXPECT_NE(r.out.find("Chamadas"), std::string::npos) << r.out;
    if (GetParam() == Disk::ReadOnly) return;
    // With 8 KiB free the capture (about 300 KiB) is cut off part-way: removed all the same.
    fs::resize_file(logs + "/filler", fs::file_size(logs + "/filler") - 8192);
    r = RunCommand(cli + " flow --read " + OC_PCAP_DIR + "/10_batch_20_calls.pcap --pcap " + logs +
                   "/flow/calls.pcap 2>" + root + "/err.txt");
    EXPECT_EQ(r.exitCode, 2) << testsupport::ReadFile(root + "/err.txt");
    EXPECT_TRUE(FilesIn(logs).empty());
}

// A check that found the address but could not add its history line: the address is shown
// and, in red, that the history was not written; the old history is untouched. The command
// line prints the address, the cause, and exits 2.
TEST_P(FullDisk, CheckIpHistoryThatCannotBeWrittenIsReported) {
    if (!InChild()) return RunInChild();
    CheckIpServer server;
    ASSERT_TRUE(server.Start());
    server.SetBoth(CheckIpServer::Answer("Current IP Address: 198.51.100.23"),
                   CheckIpServer::Answer("Current IP Address: 198.51.100.23"));
    const std::string history = logs + "/flow/checkip.csv";
    // A whole page of history: the next line needs a block the full disk does not have.
    std::string oldHistory;
    std::string line = "01/12/2026 10:00:00;203.0.113.9;https://203.0.113.1/checkip/";
    line.resize(63, '#');
    line += '\n';
    while (oldHistory.size() < 4096) oldHistory += line;
    ASSERT_EQ(oldHistory.size(), 4096u);
    BreakLogs([&] { testsupport::WriteFile(history, oldHistory); });

    {
        AppOptions options;
        options.checkIp.host = server.Host();
        options.checkIp.caFile = server.cert;
        harness::FrameHarness h(options);
        h.Unlock();
        h.RunFrames(2);
        ASSERT_TRUE(h.SelectTab("Check IP"));
        ASSERT_TRUE(h.ClickText("VERIFICAR MEU IP"));
        ASSERT_TRUE(WaitFor([&] {
            h.Frame();
            return !h.app().CheckIp().Address().empty();
        }, 20000));
        h.RunFrames(2);
        EXPECT_TRUE(h.HasText("198.51.100.23"));
        const auto line = h.FindText("Historico checkip.csv nao gravado: ");
        ASSERT_TRUE(line) << h.AllText();
        EXPECT_TRUE(RedRun(*line));
        EXPECT_GT(line->text.size(), std::string("Historico checkip.csv nao gravado: ").size());
    }
    EXPECT_EQ(testsupport::ReadFile(history), oldHistory);

    auto r = RunCommand("ORVANTA_CHECKIP_HOST=" + server.Host() + " " + Cli() + " checkip 2>" + root + "/err.txt");
    const std::string err = testsupport::ReadFile(root + "/err.txt");
    EXPECT_EQ(r.exitCode, 2) << err;
    EXPECT_EQ(r.out.rfind("198.51.100.23\n", 0), 0u) << r.out;
    EXPECT_NE(err.find("checkip: historico checkip.csv nao pode ser gravado: "), std::string::npos) << err;
    EXPECT_EQ(testsupport::ReadFile(history), oldHistory);
}

// `mtr --save-pcap`: on the full disk the file fills up while the run goes on; what is left
// is a readable capture of whole records, the cause is on standard error and the exit status
// is 2. On the read-only folder no file is made at all. The hop table is complete either way.
TEST_P(FullDisk, CliMtrSavePcapReportsTheFailedFile) {
    if (!InChild()) return RunInChild();
    BreakLogs({}, 8192);
    // Pings on the loopback are captured too: they fill the 8 KiB within the run.
    std::system("ping -q -i 0.01 -c 500 -s 400 127.0.0.1 >/dev/null 2>&1 &");
    auto r = RunCommand(Cli() + " mtr 127.0.0.1 --iface lo --cycles 4 --save-pcap 2>" + root + "/err.txt");
    const std::string err = testsupport::ReadFile(root + "/err.txt");
    EXPECT_EQ(r.exitCode, 2) << err;
    EXPECT_EQ(err.find("Captura salva em"), std::string::npos) << err;
    EXPECT_NE(r.out.find("127.0.0.1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", 4 ciclos"), std::string::npos) << r.out;
    const auto files = FilesIn(logs);
    if (GetParam() == Disk::ReadOnly) {
        EXPECT_NE(err.find("Nenhuma captura foi salva: nao foi possivel criar "), std::string::npos) << err;
        EXPECT_TRUE(files.empty());
        return;
    }
    EXPECT_NE(err.find("Falha ao gravar a captura "), std::string::npos) << err;
    ASSERT_EQ(files.size(), 1u);
    const std::string path = logs + "/" + files.begin()->first;
    // Whole records only, up to the file's last byte.
    EXPECT_GT(WholeRecords(path), 0) << fs::file_size(path) << " bytes";
    auto decoded = RunCommand(Cli() + " decode " + path + " 2>&1");
    EXPECT_EQ(decoded.exitCode, 0) << decoded.out;
}

// The MTR tab with "Salvar Pcap": the failure shows in red under the controls while the run
// keeps probing.
TEST_P(FullDisk, MtrTabSaysThePcapFailedAndKeepsProbing) {
    if (!InChild()) return RunInChild();
    BreakLogs({}, 8192);
    harness::FrameHarness h(1280.0f, 800.0f);
    h.Unlock();
    h.Frame();
    ASSERT_TRUE(h.SelectTab("MTR"));
    mtrtest::LiveMtr core(h.app().MtrEngine());
    std::system("ping -q -i 0.01 -c 300 -s 400 127.0.0.1 >/dev/null 2>&1 &");
    ASSERT_TRUE(core.Start("127.0.0.1", "lo", kProbeUdp, true)) << StartErrorText(core.LastStartError());
    ASSERT_TRUE(!core.Until([](const MtrSnapshot& s) { return !s.status.pcapError.empty(); }, std::chrono::seconds(20))->status.pcapError.empty());
    h.RunFrames(2);
    const auto line = h.FindText("Falha ao gravar o PCAP ");
    ASSERT_TRUE(line) << h.AllText();
    EXPECT_TRUE(RedRun(*line));
    EXPECT_EQ(core.State(), MtrRunState::Running);
    auto sent = [&] {
        const auto hops = core.GetHops();
        return hops.count(1) ? hops.at(1).sent : 0;
    };
    const int32_t before = sent();
    const auto later = core.Until(
        [&](const MtrSnapshot& s) { return s.hops.count(1) && s.hops.at(1).sent > before; }, std::chrono::seconds(20));
    EXPECT_TRUE(later->hops.count(1) && later->hops.at(1).sent > before) << "the run stopped probing";
    core.Stop();
    if (GetParam() == Disk::Full) {
        EXPECT_GT(WholeRecords(core.PcapPath()), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Disks, FullDisk, ::testing::Values(Disk::Full, Disk::ReadOnly),
                         [](const auto& info) { return DiskName(info.param); });
