// orvanta-cli flow over every fixture capture: its printed call list and RTP flows are
// compared with tests/flow/golden/<capture>.txt (checked against EXPECTED.md), and --csv
// must write exactly the export's bytes.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>


#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "lib/TestSupport.h"

using testsupport::CommandResult;
using testsupport::RunCommand;

namespace {

const std::string kCli = std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli";

struct Result {
    int status = -1;
    std::string out;
};

// `prefix` goes before the program, e.g. "timeout 30" as a hang guard.
Result RunCli(const std::string& args, const std::string& prefix = "") {
    CommandResult c = RunCommand("TZ=UTC " + prefix + " '" + kCli + "' " + args + " 2>/dev/null");
    return {c.exitCode, c.out};
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class CliFlowGolden : public ::testing::TestWithParam<std::string> {};

TEST_P(CliFlowGolden, PrintsGroundTruth) {
    const std::string name = GetParam();
    const std::string csv = std::string(OC_BINARY_DIR) + "/cli_flow_" + name + ".csv";
    std::filesystem::remove(csv);
    Result r = RunCli("flow --read '" + std::string(OC_PCAP_DIR) + "/" + name + ".pcap' --csv '" + csv + "'");
    ASSERT_EQ(r.status, 0);
    const std::string golden = ReadFile(std::string(OC_SOURCE_DIR) + "/tests/flow/golden/" + name + ".txt");
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ(r.out, golden);
    // The call lines printed are the CSV's lines: the file is BOM + that block.
    EXPECT_EQ(ReadFile(csv), "\xEF\xBB\xBF" + golden.substr(0, golden.find("\n\n") + 1));
    std::filesystem::remove(csv);
}

INSTANTIATE_TEST_SUITE_P(FlowCoreCli, CliFlowGolden,
                         ::testing::Values("01_basic_call_caller_bye", "02_basic_call_callee_bye", "03_call_cancelled",
                                           "04_call_busy_486", "05_call_digest_auth", "06a_register_401_200",
                                           "06b_register_403", "07a_options_200", "07b_options_unanswered",
                                           "08_call_pcmu_dtmf_rfc2833", "09_call_compact_headers_lf",
                                           "10_batch_20_calls", "11_ipv6_call_caller_bye"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = "f";  // appended: gcc 12 misreads "f" + string as overlapping
                             return name.append(info.param, 0, info.param.find('_'));
                         });

// --diagnose after everything else: the verdict codes of each fixture's record, evidence
// with the capture's times (TZ=UTC).
TEST(FlowCoreCli, DiagnoseAddsOneVerdictLinePerRecord) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"01_basic_call_caller_bye", "1-21527@192.168.1.50;ok;200 OK as "},
        {"03_call_cancelled", "1-21740@10.0.20.15;cancelled;CANCEL as "},
        {"04_call_busy_486", "1-21802@10.0.20.15;rejected;486 Busy Here as "},
        {"06b_register_403", "1-22344@192.168.1.51;register_failed;403 Forbidden as "},
        {"07b_options_unanswered", "1-22457@192.168.1.50;;\n"},
    };
    for (const auto& [name, line] : cases) {
        SCOPED_TRACE(name);
        const std::string file = "'" + std::string(OC_PCAP_DIR) + "/" + name + ".pcap'";
        const Result plain = RunCli("flow --read " + file);
        const Result r = RunCli("flow --read " + file + " --streams --diagnose");
        ASSERT_EQ(r.status, 0);
        const size_t header = r.out.find("\ncall_id;diagnosis;evidence\n");
        ASSERT_NE(header, std::string::npos) << r.out;
        EXPECT_EQ(r.out.compare(0, plain.out.size(), plain.out), 0) << "the other output comes first, unchanged";
        EXPECT_NE(r.out.find(line, header), std::string::npos) << r.out.substr(header);
    }
}

// The captures of tests/data/diag, one fault each between SIPp peers: the whole output of
// --diagnose against tests/flow/golden/diag/<capture>.txt.
class CliDiagnoseGolden : public ::testing::TestWithParam<std::string> {};

TEST_P(CliDiagnoseGolden, PrintsTheVerdictOfThePeers) {
    const std::string name = GetParam();
    const Result r = RunCli("flow --read '" + std::string(OC_SOURCE_DIR) + "/tests/data/diag/" + name + ".pcap' --diagnose");
    ASSERT_EQ(r.status, 0);
    const std::string golden = ReadFile(std::string(OC_SOURCE_DIR) + "/tests/flow/golden/diag/" + name + ".txt");
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ(r.out, golden);
}

INSTANTIATE_TEST_SUITE_P(FlowCoreCli, CliDiagnoseGolden,
                         ::testing::Values("busy_486_tcp", "codec_488", "codec_answer_g729", "no_answer_408",
                                           "no_answer_silent", "cancelled_487", "no_ack_bye", "register_401_loop",
                                           "register_403", "register_ok", "ok_dtmf", "one_way_audio", "no_audio",
                                           "address_private_sdp", "address_rtp_port", "choppy_slow_link"));

// --call ID --export DIR: the call's own packets (not those of "13-..." whose Call-ID contains
// it) in a pcap that reads back as that call alone, and the text with verdicts and ladder.
TEST(FlowCoreCli, ExportOfOneCall) {
    const std::string dir = std::string(OC_BINARY_DIR) + "/cli_call_export";
    std::filesystem::remove_all(dir);
    const std::string file = "'" + std::string(OC_PCAP_DIR) + "/10_batch_20_calls.pcap'";
    const Result r = RunCli("flow --read " + file + " --call 3-22690@192.168.1.50 --export '" + dir + "'");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Chamada exportada: "), std::string::npos) << r.out;
    std::string pcap, text;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        if (e.path().extension() == ".pcap") pcap = e.path().string();
        if (e.path().extension() == ".txt") text = ReadFile(e.path().string());
    }
    ASSERT_FALSE(pcap.empty());
    const Result again = RunCli("flow --read '" + pcap + "'");
    ASSERT_EQ(again.status, 0);
    EXPECT_NE(again.out.find("3-22690@192.168.1.50"), std::string::npos) << again.out;
    EXPECT_EQ(again.out.find("13-22690@192.168.1.50"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("Chamadas: 1; Registers: 0; Pacotes: 47"), std::string::npos) << again.out;
    EXPECT_NE(text.find("OK [ok]: 200 OK as 20:13:04.297"), std::string::npos) << text;
    EXPECT_NE(text.find("20:13:03.492    +0.044 s  203.0.113.10:5060 -> 192.168.1.50:5060  SIP/2.0 180 Ringing"),
              std::string::npos) << text;
    EXPECT_NE(text.find("RELATORIO DO FLUXO RTP"), std::string::npos) << text;
    // A Call-ID the capture does not have, or --call without --export.
    EXPECT_EQ(RunCli("flow --read " + file + " --call nada --export '" + dir + "'").status, 2);
    EXPECT_EQ(RunCli("flow --read " + file + " --call 3-22690@192.168.1.50").status, 1);
    std::filesystem::remove_all(dir);
}

TEST(FlowCoreCli, UsageAndFailures) {
    EXPECT_EQ(RunCli("flow").status, 1);
    EXPECT_EQ(RunCli("flow --read").status, 1);
    EXPECT_EQ(RunCli("flow --iface lo").status, 1);  // a live run needs --seconds
    EXPECT_EQ(RunCli("flow --read a.pcap --iface lo --seconds 1").status, 1);
    EXPECT_EQ(RunCli("flow --iface lo --seconds 1 --sip-port 70000").status, 1);
    EXPECT_EQ(RunCli("flow --read /nonexistent.pcap").status, 2);
    // --pcap writes the buffered packets back out; reading that file gives the same calls.
    const std::string out = std::string(OC_BINARY_DIR) + "/cli_flow_roundtrip.pcap";
    Result first = RunCli("flow --read '" + std::string(OC_PCAP_DIR) + "/05_call_digest_auth.pcap' --pcap '" + out + "'");
    ASSERT_EQ(first.status, 0);
    Result second = RunCli("flow --read '" + out + "'");
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(first.out, second.out);
    // IPv6 frames too are written back as they were captured, byte for byte.
    const std::string v6 = std::string(OC_PCAP_DIR) + "/11_ipv6_call_caller_bye.pcap";
    ASSERT_EQ(RunCli("flow --read '" + v6 + "' --pcap '" + out + "'").status, 0);
    const std::string dump = "tcpdump -nn -xx -r '";
    EXPECT_EQ(RunCommand(dump + out + "' 2>/dev/null").out, RunCommand(dump + v6 + "' 2>/dev/null").out);
    std::filesystem::remove(out);
}

TEST(FlowCoreCli, LiveRunEndsAfterItsSeconds) {
    if (geteuid() != 0) GTEST_SKIP() << "live capture needs root";
    // Nothing passes this filter on lo: the run must still end (timeout reports 124).
    Result r = RunCli("flow --iface lo --seconds 1 --sip-port 5999 --rtp-min 0 --rtp-max 0", "timeout 30");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Hora;Method;", 0), 0u);
    EXPECT_NE(r.out.find("Chamadas: 0; Registers: 0"), std::string::npos);
    EXPECT_EQ(RunCli("flow --iface no-such-dev-oc --seconds 1").status, 2);
}

}  // namespace
