// Starts of real runs on the loopback device: saving a capture file, a second Start, the
// causes of failed starts (unresolvable host, unknown device, missing capture rights).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "logs/LogPaths.h"
#include "lib/MtrLive.h"
#include "mtr/MtrCore.h"
#include "MtrTestUtil.h"
#include "ui/EngineTexts.h"

namespace fs = std::filesystem;
using namespace mtrtest;

namespace {
bool IsRoot() { return geteuid() == 0; }
}  // namespace

TEST(MtrStart, UnresolvableHostFailsWithItsCause) {
    mtrtest::LiveMtr core;
    EXPECT_FALSE(core.Start("nao-existe.invalid", "lo", kProbeUdp, false));
    EXPECT_EQ(core.LastStartError(), StartError::HostNotResolved);
    EXPECT_FALSE(core.IsRunning());
    EXPECT_FALSE(StartErrorText(core.LastStartError()).empty());
    core.Stop();
}

TEST(MtrStart, UnknownDeviceFailsWithItsCause) {
    if (!IsRoot()) GTEST_SKIP() << "needs capture rights";
    mtrtest::LiveMtr core;
    auto openFds = [] {
        size_t n = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
        return n;
    };
    const size_t before = openFds();
    EXPECT_FALSE(core.Start("127.0.0.1", "nao-existe0", kProbeUdp, false));
    EXPECT_EQ(core.LastStartError(), StartError::DeviceNotFound);
    EXPECT_FALSE(core.IsRunning());
    EXPECT_EQ(openFds(), before);  // the sender's sockets were closed again
    // The failed start closed what it had opened: a proper start follows at once.
    core.cycles = 1;
    ASSERT_TRUE(core.Start("127.0.0.1", "lo", kProbeUdp, false)) << StartErrorText(core.LastStartError());
    core.Stop();
}

// An unprivileged process (root dropped to nobody: setresuid clears the effective
// capabilities) learns that capture rights are missing, not just "failed".
namespace {
// Start as nobody in a child process; the exit code is the StartError.
int StartErrorAsNobody(int32_t protocol) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(90);
        mtrtest::LiveMtr core;
        bool started = core.Start("127.0.0.1", "lo", protocol, false);
        int code = started ? 91 : static_cast<int>(core.LastStartError());
        core.Stop();
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
}  // namespace

TEST(MtrStart, MissingCaptureRightsReachTheCaller) {
    if (!IsRoot()) GTEST_SKIP() << "needs root to drop to an unprivileged user";
    EXPECT_EQ(StartErrorAsNobody(kProbeUdp), static_cast<int>(StartError::NoCaptureRights));
    // ICMP without a raw socket needs the unprivileged ICMP socket; where the system does not
    // offer it to this group, the start says the probe socket is missing instead of losing
    // every probe in silence.
    long low = 1, high = 0;
    if (FILE* f = std::fopen("/proc/sys/net/ipv4/ping_group_range", "r")) {
        if (std::fscanf(f, "%ld %ld", &low, &high) != 2) low = 1, high = 0;
        std::fclose(f);
    }
    const bool pingAllowed = low <= 65534 && 65534 <= high;
    EXPECT_EQ(StartErrorAsNobody(kProbeIcmp),
              static_cast<int>(pingAllowed ? StartError::NoCaptureRights : StartError::SocketFailure));
}

TEST(MtrStart, CliWithoutCaptureRightsPrintsTheCauseAndExits2) {
    if (!IsRoot()) GTEST_SKIP() << "needs root for setpriv";
    std::string cli = std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli";
    ASSERT_TRUE(fs::exists(cli));
    auto r = RunCommand("setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all " + cli +
                 " mtr 127.0.0.1 --iface lo --cycles 1 2>&1 >/dev/null");
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_NE(r.out.find("Nao foi possivel iniciar o MTR."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(StartErrorText(StartError::NoCaptureRights)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Faltam: CAP_NET_RAW e CAP_NET_ADMIN."), std::string::npos) << r.out;

    r = RunCommand(cli + " mtr nao-existe.invalid --cycles 1 2>&1 >/dev/null");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.out.find(StartErrorText(StartError::HostNotResolved)), std::string::npos) << r.out;
    r = RunCommand(cli + " mtr 127.0.0.1 --proto sctp 2>&1 >/dev/null");
    EXPECT_EQ(r.exitCode, 1) << r.out;
}

// Saving on with no LOGS folder yet: the folder is created and the file holds the capture.
TEST(MtrStart, SecondStartIsRefusedAndThePcapIsWritten) {
    if (!IsRoot()) GTEST_SKIP() << "needs capture rights";
    std::string dir = MakeTempDir("mtrlive");
    ASSERT_FALSE(dir.empty());
    SetExecutableDirectoryForTesting(dir);
    {
        mtrtest::LiveMtr core;
        core.cycles = 2;
        ASSERT_TRUE(core.Start("127.0.0.1", "lo", kProbeUdp, true)) << StartErrorText(core.LastStartError());
        EXPECT_FALSE(core.Start("127.0.0.1", "lo", kProbeIcmp, false));
        EXPECT_EQ(core.LastStartError(), StartError::AlreadyRunning);
        EXPECT_EQ(core.Protocol(), kProbeUdp);  // the running run is untouched
        ASSERT_TRUE(core.WaitFinished(15000));
        core.Stop();
        auto hops = core.GetHops();
        ASSERT_EQ(hops.count(1), 1u);
        EXPECT_EQ(hops[1].host, "127.0.0.1");
        EXPECT_EQ(hops[1].received, 2);
        EXPECT_EQ(core.MaxHops(), 1);
        std::string path = core.PcapPath();
        EXPECT_EQ(fs::path(path).parent_path(), fs::path(dir) / "LOGS" / "mtr");
        std::string name = fs::path(path).filename().string();
        EXPECT_EQ(name.size(), std::string("07122026_143005_udp.pcap").size()) << name;
        EXPECT_EQ(name.substr(15), "_udp.pcap");
        // Two probes and two port-unreachable answers at least.
        EXPECT_GE(CountPcapRecords(path), 4) << path;
        EXPECT_GE(core.GetLog().size(), 4u);
        // Stop then Start keeps the rows, which go on counting.
        core.cycles = 1;
        ASSERT_TRUE(core.Start("127.0.0.1", "lo", kProbeUdp, false));
        ASSERT_TRUE(core.WaitFinished(15000));
        core.Stop();
        EXPECT_EQ(core.GetHops()[1].received, 3);
    }
    SetExecutableDirectoryForTesting("");
    fs::remove_all(dir);
}

// TCP probes to a loopback target: no Ethernet header to build, the SYN leaves through a raw
// IP socket and the kernel answers it (RST when nothing listens on port 80, else SYN-ACK).
TEST(MtrStart, TcpProbesToLoopbackAreAnswered) {
    if (!IsRoot()) GTEST_SKIP() << "needs capture rights";
    for (const char* device : {"lo", "any"}) {
        mtrtest::LiveMtr core;
        core.cycles = 2;
        ASSERT_TRUE(core.Start("127.0.0.1", device, kProbeTcp, false)) << device;
        ASSERT_TRUE(core.WaitFinished(15000));
        core.Stop();
        auto hops = core.GetHops();
        ASSERT_EQ(hops.count(1), 1u) << device;
        EXPECT_EQ(hops[1].host, "127.0.0.1") << device;
        EXPECT_EQ(hops[1].received, 2) << device;
        EXPECT_EQ(hops[1].lost, 0) << device;
        EXPECT_EQ(core.MaxHops(), 1) << device;
    }
}

// The same over IPv6: the SYN leaves through a raw IPv6 socket with our own header (hop
// limit, source and the checksum over them), and the kernel's answer from [::1]:80 matches.
TEST(MtrStart, TcpProbesToIpv6LoopbackAreAnswered) {
    if (!IsRoot()) GTEST_SKIP() << "needs capture rights";
    if (RunCommand("ip -6 addr show dev lo | grep -q '::1/128'").exitCode != 0)
        GTEST_SKIP() << "no ::1 on lo (IPv6 disabled)";
    for (const char* device : {"lo", "any"}) {
        mtrtest::LiveMtr core;
        core.cycles = 2;
        ASSERT_TRUE(core.Start("::1", device, kProbeTcp, false)) << device;
        EXPECT_EQ(core.TargetIp(), "::1");
        ASSERT_TRUE(core.WaitFinished(15000));
        core.Stop();
        auto hops = core.GetHops();
        ASSERT_EQ(hops.count(1), 1u) << device;
        EXPECT_EQ(hops[1].host, "::1") << device;
        EXPECT_EQ(hops[1].received, 2) << device;
        EXPECT_EQ(hops[1].lost, 0) << device;
        EXPECT_EQ(core.MaxHops(), 1) << device;
    }
    // The command line, as a user runs it.
    const std::string cli = std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli";
    auto r = RunCommand(cli + " mtr ::1 -6 --iface lo --proto tcp --cycles 2 --json 2>&1");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("{\"ttl\":1,\"host\":\"::1\",\"name\":\"\",\"loss_pct\":0.0,\"sent\":2,\"received\":2"),
              std::string::npos)
        << r.out;
}

// The way the README tells users to run without root: file capabilities on the executable.
// An unprivileged user then traces loopback in every protocol.
TEST(MtrStart, CliWithFileCapabilitiesRunsUnprivileged) {
    if (!IsRoot()) GTEST_SKIP() << "needs root for setcap and setpriv";
    if (RunCommand("command -v setcap").out.empty()) GTEST_SKIP() << "setcap (libcap2-bin) missing";
    std::string dir = MakeTempDir("mtrcaps");
    ASSERT_FALSE(dir.empty());
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    std::string cli = dir + "/orvanta-cli";
    fs::copy_file(std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli", cli);
    auto set = RunCommand("setcap cap_net_raw,cap_net_admin=eip " + cli + " 2>&1");
    if (set.exitCode != 0) {
        fs::remove_all(dir);
        GTEST_SKIP() << "file capabilities not supported here: " << set.out;
    }
    for (const char* proto : {"udp", "icmp", "tcp"}) {
        // cd into the temp dir: LOGS is created beside the executable only when saving.
        auto r = RunCommand("cd " + dir + " && setpriv --reuid=65534 --regid=65534 --clear-groups " + cli +
                            " mtr 127.0.0.1 --iface lo --cycles 1 --json --proto " + proto + " 2>&1");
        EXPECT_EQ(r.exitCode, 0) << proto << ": " << r.out;
        EXPECT_NE(r.out.find("{\"ttl\":1,\"host\":\"127.0.0.1\",\"name\":\"\",\"loss_pct\":0.0,\"sent\":1,\"received\":1"),
                  std::string::npos)
            << proto << ": " << r.out;
    }
    fs::remove_all(dir);
}

// --save-pcap names the saved file only when it is on disk: with a LOGS that cannot hold a
// folder (a plain file stands in its place) the run goes on without a file, says so and
// exits 2, so that a script does not take the missing file for a saved one.
TEST(MtrStart, CliReportsASavedCaptureOnlyWhenTheFileExists) {
    if (!IsRoot()) GTEST_SKIP() << "needs capture rights";
    for (bool logsBlocked : {false, true}) {
        SCOPED_TRACE(logsBlocked ? "LOGS is a file" : "LOGS can be created");
        std::string dir = MakeTempDir("mtrsave");
        ASSERT_FALSE(dir.empty());
        const std::string cli = dir + "/orvanta-cli";
        fs::copy_file(std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli", cli);
        if (logsBlocked) std::ofstream(dir + "/LOGS") << "not a folder";
        auto r = RunCommand(cli + " mtr 127.0.0.1 --iface lo --cycles 1 --save-pcap 2>&1 >/dev/null");
        EXPECT_EQ(r.exitCode, logsBlocked ? 2 : 0) << r.out;
        const std::string saved = "Captura salva em ";
        const size_t at = r.out.find(saved);
        if (logsBlocked) {
            EXPECT_EQ(at, std::string::npos) << r.out;
            EXPECT_NE(r.out.find("Nenhuma captura foi salva"), std::string::npos) << r.out;
        } else {
            ASSERT_NE(at, std::string::npos) << r.out;
            std::string path = r.out.substr(at + saved.size());
            path = path.substr(0, path.find('\n'));
            EXPECT_TRUE(fs::is_regular_file(path)) << path;
            EXPECT_EQ(fs::path(path).parent_path(), fs::path(dir) / "LOGS" / "mtr");
        }
        fs::remove_all(dir);
    }
}
