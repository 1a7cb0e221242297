// A real call on loopback: SIPp as callee (echoing RTP) and as caller (playing a PCMA
// recording), captured live by FlowCore on "lo" and analysed by its worker.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "flow/CallTracker.h"
#include "flow/FlowCore.h"
#include "lib/Sipp.h"
#include "lib/TestSupport.h"
#include "flow/FlowCsv.h"
#include "ui/EngineTexts.h"

namespace {

// 127.0.0.2/.3 are loopback addresses too: distinct caller and callee addresses keep the two
// RTP directions apart, and nothing leaves the machine.
constexpr const char* kCallee = "127.0.0.2";
constexpr const char* kCaller = "127.0.0.3";
constexpr int kSipPort = 5072;

TEST(FlowCoreLive, SippCallWithRtpIsTracked) {
    if (geteuid() != 0) GTEST_SKIP() << "live capture needs root";
    if (!sipp::Installed()) GTEST_SKIP() << "sipp (Debian sip-tester) is missing";
    const std::string dir = std::string(OC_BINARY_DIR) + "/flow_live_sipp";
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(sipp::LinkAudio(dir));

    FlowCore core;
    // The capture is open when Start returns; the engine analyses on its own from here on.
    ASSERT_TRUE(core.Start("lo", kSipPort, 10000, 50000)) << StartErrorText(core.LastStartError());

    const std::string port = std::to_string(kSipPort);
    testsupport::Child uas, uac;
    ASSERT_TRUE(sipp::StartCallee(uas, "", std::string("-sn uas -i ") + kCallee + " -p " + port +
                                                " -mp 16000 -rtp_echo -m 1 -nostdin -timeout 40s",
                                  kSipPort, dir, dir + "/uas.log"))
        << "sipp uas did not bind";
    ASSERT_TRUE(sipp::StartCaller(uac, "", std::string("-sn uac_pcap ") + kCallee + ":" + port + " -i " + kCaller +
                                               " -p 5073 -mp 18000 -m 1 -nostdin -timeout 35s",
                                  dir, dir + "/uac.log"));

    const int uacStatus = uac.Wait(std::chrono::seconds(40));
    // The last BYE/200 may still be on its way through the capture: wait for its effect.
    auto ended = [&] {
        for (const SipCall& c : core.Tracker().GetCalls())
            if (c.isInvite && c.callerIp == kCaller && c.state == CallState::Terminated) return true;
        return false;
    };
    testsupport::WaitFor(ended, std::chrono::seconds(5));
    uas.Stop();
    uac.Stop();
    core.Stop();  // the call's traffic has ended: this also checks a stop on an idle capture
    core.WaitAnalysed();
    EXPECT_EQ(uacStatus, 0) << "see " << dir << "/uac.log";
    EXPECT_EQ(core.Counters().trimmedUnanalysed, 0u);
    EXPECT_EQ(core.Counters().kernelDropped, 0u);
    EXPECT_EQ(core.StopCause(), FlowStopCause::None) << "a stop asked for is not a failure";

    const SipCall* call = nullptr;
    auto calls = core.Tracker().GetCalls();
    for (const SipCall& c : calls)
        if (c.isInvite && c.callerIp == kCaller) call = &c;
    ASSERT_NE(call, nullptr) << calls.size() << " records";
    EXPECT_EQ(call->calleeIp, kCallee);
    EXPECT_EQ(CallStateText(*call), "Terminated");
    EXPECT_EQ(call->hangupOrigin, "PABX/ROTA");  // rule A: only 127.0.0.1 counts as this PC
    EXPECT_EQ(DisplayStatus(*call), "Desligada");
    EXPECT_EQ(call->mediaPorts, (std::vector<int32_t>{18000, 16000}));
    std::vector<const SipMessage*> flows;
    for (const SipMessage& m : call->messages)
        if (m.type == SipMsgType::Rtp) flows.push_back(&m);
    ASSERT_EQ(flows.size(), 2u);
    for (const SipMessage* f : flows) {
        EXPECT_EQ(f->codec, "G711a") << f->text;
        EXPECT_GT(f->count, 100u) << f->text;
    }
    EXPECT_NE(flows[0]->sourceIp, flows[1]->sourceIp);
}

// The same call over IPv6, in a network namespace of its own (its loopback carries the two
// addresses; the host's loopback is shared with other tests): the test runs itself again
// inside `unshare -n` and the child's result is this test's.
constexpr const char* kCallee6 = "2001:db8:10::10";
constexpr const char* kCaller6 = "fd00:10::50";

std::string SelfPath() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

TEST(FlowCoreLive, SippCallOverIpv6IsTracked) {
    if (geteuid() != 0) GTEST_SKIP() << "live capture and namespaces need root";
    if (!sipp::Installed()) GTEST_SKIP() << "sipp (Debian sip-tester) is missing";
    if (!std::getenv("OC_FLOW_NETNS_CHILD")) {
        if (std::system("command -v unshare >/dev/null 2>&1") != 0) GTEST_SKIP() << "unshare is missing";
        const std::string setup = std::string("ip link set lo up && ip -6 addr add ") + kCallee6 +
                                  "/128 dev lo nodad && ip -6 addr add " + kCaller6 + "/128 dev lo nodad";
        const auto r = testsupport::RunCommand("unshare -n sh -c '" + setup + " && OC_FLOW_NETNS_CHILD=1 " + SelfPath() +
                                               " --gtest_filter=FlowCoreLive.SippCallOverIpv6IsTracked' 2>&1");
        std::printf("%s", r.out.c_str());
        EXPECT_EQ(r.exitCode, 0) << "the run inside the namespace failed";
        return;
    }
    const std::string dir = std::string(OC_BINARY_DIR) + "/flow_live_sipp6";
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(sipp::LinkAudio(dir));

    FlowCore core;
    ASSERT_TRUE(core.Start("lo", 5060, 10000, 50000)) << StartErrorText(core.LastStartError());
    testsupport::Child uas, uac;
    ASSERT_TRUE(sipp::StartCallee(uas, "", std::string("-sn uas -i ") + kCallee6 +
                                                " -p 5060 -mp 12000 -rtp_echo -m 1 -nostdin -timeout 40s",
                                  5060, dir, dir + "/uas.log"))
        << "sipp uas did not bind";
    ASSERT_TRUE(sipp::StartCaller(uac, "", std::string("-sn uac_pcap [") + kCallee6 + "]:5060 -i " + kCaller6 +
                                               " -p 5060 -mp 16400 -m 1 -nostdin -timeout 35s",
                                  dir, dir + "/uac.log"));
    const int uacStatus = uac.Wait(std::chrono::seconds(40));
    auto ended = [&] {
        for (const SipCall& c : core.Tracker().GetCalls())
            if (c.isInvite && c.state == CallState::Terminated) return true;
        return false;
    };
    testsupport::WaitFor(ended, std::chrono::seconds(5));
    uas.Stop();
    uac.Stop();
    core.Stop();
    core.WaitAnalysed();
    EXPECT_EQ(uacStatus, 0) << "see " << dir << "/uac.log";

    const auto calls = core.Tracker().GetCalls();
    ASSERT_EQ(calls.size(), 1u);
    const SipCall& call = calls[0];
    EXPECT_EQ(call.callerIp, kCaller6);
    EXPECT_EQ(call.calleeIp, kCallee6);
    EXPECT_EQ(CallStateText(call), "Terminated");
    EXPECT_EQ(call.hangupOrigin, "Softphone/PC");  // the caller's unique local address hung up
    EXPECT_EQ(call.mediaPorts, (std::vector<int32_t>{16400, 12000}));
    std::vector<std::string> directions;
    for (const SipMessage& m : call.messages) {
        if (m.type != SipMsgType::Rtp) continue;
        directions.push_back(m.sourceIp + " -> " + m.destinationIp);
        EXPECT_EQ(m.codec, "G711a") << m.text;
        EXPECT_GT(m.count, 100u) << m.text;
    }
    std::sort(directions.begin(), directions.end());
    EXPECT_EQ(directions, (std::vector<std::string>{std::string(kCallee6) + " -> " + kCaller6,
                                                    std::string(kCaller6) + " -> " + kCallee6}));
}

}  // namespace
