// A capture interface that disappears during a run: the flow engine records that it stopped
// and why, and orvanta-cli flow ends with status 3 and the cause on standard error. The
// interface is one end of a veth pair whose other end lives in a namespace the test creates.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "flow/FlowCore.h"
#include "ui/EngineTexts.h"

namespace {

bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// veth pair "<name>a" (here) / "<name>b" (in namespace <name>), both up; removed at the end.
class VethInNamespace {
public:
    VethInNamespace() : name("ocfh" + std::to_string(::getpid() % 100000)) {
        ok = Shell("ip netns add " + name) == 0 &&
             Shell("ip link add " + Here() + " type veth peer name " + name + "b netns " + name) == 0 &&
             Shell("ip link set " + Here() + " up") == 0 &&
             Shell("ip -n " + name + " link set " + name + "b up") == 0;
    }
    ~VethInNamespace() {
        Shell("ip link del " + Here());
        Shell("ip netns del " + name);
    }
    std::string Here() const { return name + "a"; }
    bool Remove() { return Shell("ip link del " + Here()) == 0; }

    const std::string name;
    bool ok = false;
};

bool CanUseNamespaces(std::string& why) {
    if (::geteuid() != 0) {
        why = "needs root (capture and network namespaces)";
        return false;
    }
    if (Shell("ip netns list") != 0) {
        why = "the ip tool cannot manage network namespaces here";
        return false;
    }
    return true;
}

TEST(FlowEngineHealth, InterfaceGoneStopsTheEngineWithACause) {
    std::string why;
    if (!CanUseNamespaces(why)) GTEST_SKIP() << why;
    VethInNamespace veth;
    ASSERT_TRUE(veth.ok) << "could not create the veth pair " << veth.Here();
    FlowCore core;
    ASSERT_TRUE(core.Start(veth.Here(), 5060, 10000, 50000)) << StartErrorText(core.LastStartError());
    EXPECT_EQ(core.StopCause(), FlowStopCause::None);
    ASSERT_TRUE(veth.Remove());
    ASSERT_TRUE(WaitFor([&] { return !core.IsRunning(); }, std::chrono::seconds(10)))
        << "the engine still says it captures on a deleted interface";
    EXPECT_EQ(core.StopCause(), FlowStopCause::CaptureEnded);
    const std::string error = core.StopError();
    const std::string cause = CaptureEndText(error);
    EXPECT_EQ(cause.rfind("Captura interrompida: ", 0), 0u) << cause;
    EXPECT_NE(cause.find("deixou de existir"), std::string::npos) << cause;
    // Stop after the engine stopped itself is harmless and keeps the cause for the tab.
    core.Stop();
    EXPECT_EQ(core.StopCause(), FlowStopCause::CaptureEnded);
    EXPECT_EQ(core.StopError(), error);
    // A start on the deleted interface fails and names the cause.
    EXPECT_FALSE(core.Start(veth.Here(), 5060, 10000, 50000));
    EXPECT_EQ(core.LastStartError(), StartError::DeviceNotFound);
}

TEST(FlowEngineHealth, CliExitsWithStatusThreeWhenTheInterfaceGoes) {
    std::string why;
    if (!CanUseNamespaces(why)) GTEST_SKIP() << why;
    VethInNamespace veth;
    ASSERT_TRUE(veth.ok) << "could not create the veth pair " << veth.Here();
    const std::string cli = std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli";
    const std::string err = std::string(OC_BINARY_DIR) + "/flow_health_cli.err";
    std::remove(err.c_str());
    const pid_t pid = fork();
    if (pid == 0) {
        if (!std::freopen(err.c_str(), "w", stderr)) _exit(126);
        if (!std::freopen("/dev/null", "w", stdout)) _exit(126);
        execl(cli.c_str(), cli.c_str(), "flow", "--iface", veth.Here().c_str(), "--seconds", "60",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    // The run announces its capture once the interface is open.
    auto announced = [&] {
        std::ifstream in(err);
        std::stringstream s;
        s << in.rdbuf();
        return s.str().find("Capturando em") != std::string::npos;
    };
    ASSERT_TRUE(WaitFor(announced, std::chrono::seconds(10)));
    ASSERT_TRUE(veth.Remove());
    int status = -1;
    const bool ended = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(10));
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ended) << "orvanta-cli flow kept running on a deleted interface";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    std::ifstream in(err);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("orvanta-cli flow: Captura interrompida: a interface de captura deixou de existir"),
              std::string::npos)
        << text.str();
    std::remove(err.c_str());
}

}  // namespace
