#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>

#include "lib/CheckIpServer.h"
#include "lib/TestSupport.h"
#include "logs/LogPaths.h"
#include "tools/CheckIp.h"

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

class CheckIp : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new CheckIpServer;
        ASSERT_TRUE(server->Start()) << "test HTTPS server did not start";
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(server, nullptr);
        exeDir = testsupport::MakeTempDir("checkip-exe");
        SetExecutableDirectoryForTesting(exeDir);
        options.host = server->Host();
        options.caFile = server->cert;
    }
    void TearDown() override {
        SetExecutableDirectoryForTesting("");
        std::error_code ec;
        fs::remove_all(exeDir, ec);
    }
    std::string History() { return testsupport::ReadFile(exeDir + "/LOGS/flow/checkip.csv"); }

    // The check as the tab runs it: worker thread, history appended by the worker.
    CheckIpResult RunOnWorker(const CheckIpOptions& opts) {
        PublicIpCheck check;
        EXPECT_TRUE(check.Start(opts));
        EXPECT_TRUE(testsupport::WaitFor([&] { return !check.Running(); }, seconds(30)));
        CheckIpResult r;
        EXPECT_TRUE(check.TakeResult(r));
        return r;
    }

    static CheckIpServer* server;
    std::string exeDir;
    CheckIpOptions options;
};
CheckIpServer* CheckIp::server = nullptr;

const std::regex kStamp(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)");

}  // namespace

TEST_F(CheckIp, MarkerAndAddressOverHttpsIsKeptAndRecordedInANewFolder) {
    server->SetBoth(CheckIpServer::Answer("Current IP Address: 203.0.113.7"), CheckIpServer::Answer("x"));
    ASSERT_FALSE(fs::exists(exeDir + "/LOGS"));
    CheckIpResult r = RunOnWorker(options);
    EXPECT_EQ(r.address, "203.0.113.7");
    EXPECT_EQ(r.source, server->HttpsUrl());
    // One request, to the fixed path, with the product's user agent.
    EXPECT_EQ(server->Requests(), "https /checkip/ OrvantaConnect\n");
    std::string history = History();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(history, m, std::regex(R"((\d\d/\d\d/\d{4} \d\d:\d\d:\d\d);203\.0\.113\.7;(.*)\n)")))
        << history;
    EXPECT_EQ(m[2].str(), server->HttpsUrl());
}

TEST_F(CheckIp, MarkupAndLineEndAfterTheAddressAreDropped) {
    server->SetBoth(CheckIpServer::Answer("<html><body>Current IP Address: 198.51.100.23</body></html>\r\n"),
                    CheckIpServer::Answer("x"));
    CheckIpResult r = RunOnWorker(options);
    EXPECT_EQ(r.address, "198.51.100.23");
    EXPECT_NE(History().find(";198.51.100.23;https://"), std::string::npos) << History();

    server->SetBoth(CheckIpServer::Answer("Current IP Address: 2001:db8::5\n"), CheckIpServer::Answer("x"));
    EXPECT_EQ(RunPublicIpCheck(options).address, "2001:db8::5");
}

TEST_F(CheckIp, ShortBodyCountsOnlyWhenItIsAnAddress) {
    // Under 20 bytes the marker cannot be present: the body itself must be the address.
    server->SetBoth(CheckIpServer::Answer("203.0.113.9\n"), CheckIpServer::Answer("x"));
    CheckIpResult r = RunPublicIpCheck(options);
    EXPECT_EQ(r.address, "203.0.113.9");
    EXPECT_EQ(r.source, server->HttpsUrl());

    server->SetBoth(CheckIpServer::Answer("Current IP Addr"), CheckIpServer::Answer("Current IP Address:"));
    r = RunPublicIpCheck(options);
    EXPECT_EQ(r.address, "");
    EXPECT_EQ(r.source, "");
    EXPECT_EQ(server->Requests(), "https /checkip/ OrvantaConnect\nhttp /checkip/ OrvantaConnect\n");
}

TEST_F(CheckIp, ErrorPageIsRejectedAndTheNextUrlAnswers) {
    server->SetBoth(CheckIpServer::Answer("<html><head><title>502 Bad Gateway</title></head><body>nginx</body></html>", 502),
                    CheckIpServer::Answer("Current IP Address: 192.0.2.44\n"));
    CheckIpResult r = RunOnWorker(options);
    EXPECT_EQ(r.address, "192.0.2.44");
    EXPECT_EQ(r.source, server->HttpUrl());
    EXPECT_EQ(server->Requests(), "https /checkip/ OrvantaConnect\nhttp /checkip/ OrvantaConnect\n");
    EXPECT_EQ(History().substr(19), ";192.0.2.44;" + server->HttpUrl() + "\n");
}

TEST_F(CheckIp, HttpsDownOrUntrustedFallsBackToHttp) {
    server->SetBoth("{\"mode\": \"close\"}", CheckIpServer::Answer("Current IP Address: 192.0.2.45"));
    CheckIpResult r = RunOnWorker(options);
    EXPECT_EQ(r.address, "192.0.2.45");
    EXPECT_EQ(r.source, server->HttpUrl());
    EXPECT_NE(History().find(";192.0.2.45;" + server->HttpUrl() + "\n"), std::string::npos);

    // A certificate nobody vouches for is a failed HTTPS attempt, never an answer.
    server->SetBoth(CheckIpServer::Answer("Current IP Address: 192.0.2.99"),
                    CheckIpServer::Answer("Current IP Address: 192.0.2.46"));
    CheckIpOptions untrusted = options;
    untrusted.caFile.clear();
    r = RunPublicIpCheck(untrusted);
    EXPECT_EQ(r.address, "192.0.2.46");
    EXPECT_EQ(r.source, server->HttpUrl());
}

TEST_F(CheckIp, NothingAnsweringFailsWithoutHistory) {
    CheckIpOptions closed = options;
    closed.host = "127.0.0.1:" + std::to_string(ClosedLoopbackPort());
    CheckIpResult r = RunOnWorker(closed);
    EXPECT_EQ(r.address, "");
    EXPECT_EQ(r.source, "");
    EXPECT_NE(r.error.find("https://" + closed.host), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("http://" + closed.host), std::string::npos) << r.error;
    EXPECT_FALSE(fs::exists(exeDir + "/LOGS/flow/checkip.csv"));

    std::string source = "unchanged";
    setenv("ORVANTA_CHECKIP_HOST", closed.host.c_str(), 1);
    EXPECT_EQ(CheckPublicIp(source), "");
    EXPECT_EQ(source, "unchanged");
    unsetenv("ORVANTA_CHECKIP_HOST");
}

TEST_F(CheckIp, SilentServerEndsWithinTheTimeOuts) {
    server->SetBoth("{\"mode\": \"hang\"}", "{\"mode\": \"hang\"}");
    CheckIpOptions quick = options;
    quick.connectTimeoutMs = 500;
    quick.totalTimeoutMs = 1000;
    auto t0 = steady_clock::now();
    CheckIpResult r = RunPublicIpCheck(quick);
    auto took = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    EXPECT_EQ(r.address, "");
    EXPECT_GE(took, 1900);
    EXPECT_LT(took, 4000);
}

TEST_F(CheckIp, DestroyingARunningCheckCancelsItPromptly) {
    server->SetBoth("{\"mode\": \"hang\"}", "{\"mode\": \"hang\"}");
    auto t0 = steady_clock::now();
    {
        PublicIpCheck check;  // default time-outs: 10 s per URL
        ASSERT_TRUE(check.Start(options));
        std::this_thread::sleep_for(milliseconds(300));
        EXPECT_TRUE(check.Running());
        EXPECT_FALSE(check.Start(options));  // one check at a time
    }
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 3000);
    EXPECT_FALSE(fs::exists(exeDir + "/LOGS/flow/checkip.csv"));
}

TEST_F(CheckIp, SuccessiveChecksAppendLinesWithoutHeader) {
    server->SetBoth(CheckIpServer::Answer("Current IP Address: 203.0.113.1"), "{}");
    RunOnWorker(options);
    server->SetBoth(CheckIpServer::Answer("Current IP Address: 203.0.113.2"), "{}");
    RunOnWorker(options);
    std::string h = History();
    std::regex twoLines(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d;203\.0\.113\.1;[^\n]*\n)"
                        R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d;203\.0\.113\.2;[^\n]*\n)");
    EXPECT_TRUE(std::regex_match(h, twoLines)) << h;
}

TEST(CheckIpParse, OnlyAValidAddressIsTaken) {
    EXPECT_EQ(ExtractPublicIp("Current IP Address: 203.0.113.7"), "203.0.113.7");
    EXPECT_EQ(ExtractPublicIp("<p>Current IP Address: 10.1.2.3<br/>Current IP Address: 10.9.9.9"), "10.1.2.3");
    EXPECT_EQ(ExtractPublicIp("  2001:db8:0:1::42 \r\n"), "2001:db8:0:1::42");
    EXPECT_EQ(ExtractPublicIp("Current IP Address: 300.1.2.3"), "");
    EXPECT_EQ(ExtractPublicIp("Current IP Address: 1.2.3"), "");
    EXPECT_EQ(ExtractPublicIp("Current IP Address: 203.0.113.7abc"), "");
    EXPECT_EQ(ExtractPublicIp("Current IP Address: "), "");
    EXPECT_EQ(ExtractPublicIp("<html>Service Unavailable</html>"), "");
    EXPECT_EQ(ExtractPublicIp("203.0.113.7 and more"), "");
    EXPECT_EQ(ExtractPublicIp(std::string("203.0.113.7\0junk", 16)), "");
    EXPECT_EQ(ExtractPublicIp(""), "");
}

TEST(CheckIpParse, HostComesFromTheEnvironmentWhenSet) {
    unsetenv("ORVANTA_CHECKIP_HOST");
    EXPECT_EQ(CheckIpHost(), kCheckIpDefaultHost);
    setenv("ORVANTA_CHECKIP_HOST", "", 1);
    EXPECT_EQ(CheckIpHost(), kCheckIpDefaultHost);
    setenv("ORVANTA_CHECKIP_HOST", "ip.example.net:8443", 1);
    EXPECT_EQ(CheckIpHost(), "ip.example.net:8443");
    EXPECT_EQ(CheckIpUrls(CheckIpHost()),
              (std::vector<std::string> {"https://ip.example.net:8443/checkip/", "http://ip.example.net:8443/checkip/"}));
    unsetenv("ORVANTA_CHECKIP_HOST");
}

// orvanta-cli checkip, run from a copy beside which its LOGS folder is created.
TEST_F(CheckIp, CommandLinePrintsAddressAndSourceAndRecordsIt) {
    std::string cli = exeDir + "/orvanta-cli";
    fs::copy_file(std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli", cli);
    // The command line has no CA option: the self-signed HTTPS answer is refused and HTTP answers.
    server->SetBoth(CheckIpServer::Answer("Current IP Address: 203.0.113.77\n"),
                    CheckIpServer::Answer("<b>Current IP Address: 203.0.113.78</b>\n"));
    auto ok = testsupport::RunCommand("ORVANTA_CHECKIP_HOST=" + server->Host() + " " + cli + " checkip");
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_EQ(ok.out, "203.0.113.78\n" + server->HttpUrl() + "\n");
    std::string h = History();
    EXPECT_TRUE(std::regex_match(h, std::regex(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d;203\.0\.113\.78;http://[^\n]*\n)"))) << h;

    auto fail = testsupport::RunCommand("ORVANTA_CHECKIP_HOST=127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + " " +
                                        cli + " checkip");
    EXPECT_EQ(fail.exitCode, 2);
    EXPECT_EQ(fail.out, "");
    EXPECT_NE(fail.err.find("checkip:"), std::string::npos);
    EXPECT_EQ(History(), h);  // nothing appended on failure
}
