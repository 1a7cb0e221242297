// The flow engine as its views see it: commands that return at once and the snapshots the
// engine publishes. Every wait is on a snapshot (with a generous time-out), never a sleep.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "FlowTestUtil.h"
#include "flow/FlowCore.h"
#include "flow/FlowCsv.h"
#include "flow/RawPacketFilter.h"
#include "logs/LogPaths.h"

using namespace flowtest;
namespace fs = std::filesystem;

namespace {

constexpr auto kGenerous = std::chrono::seconds(30);
const std::string kBasicCall = "1-21527@192.168.1.50";

std::string Fixture(const std::string& name) { return std::string(OC_PCAP_DIR) + "/" + name; }

// The snapshot once `command` (an import) is done and the file has been read to its end.
FlowSnapshotPtr WaitImported(FlowCore& core, uint64_t command) {
    return core.WaitSnapshot(
        [command](const FlowSnapshot& s) { return s.handled >= command && s.state == FlowRunState::Idle; }, kGenerous);
}

FlowSnapshotPtr WaitExport(FlowCore& core, uint64_t command) {
    return core.WaitSnapshot(
        [command](const FlowSnapshot& s) { return s.exportStatus.command == command && s.exportStatus.done; },
        kGenerous);
}

PacketLogEntry Options(int n) {
    PacketLogEntry e = Packet("10.0.0.1:5060", "10.0.0.2:5060",
                              Bytes(Sip("OPTIONS sip:x SIP/2.0", "opt-" + std::to_string(n), "1 OPTIONS")));
    e.tsSec = static_cast<uint32_t>(n);
    return e;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(FlowCommands, ImportShowsTheCallsInTheSnapshotAndOldSnapshotsStayAsTheyWere) {
    FlowCore core;
    const FlowSnapshotPtr before = core.Snapshot();
    ASSERT_TRUE(before);
    ASSERT_TRUE(before->rows && before->rows->empty());
    const uint64_t command = core.RequestStartOffline(Fixture("10_batch_20_calls.pcap"));
    const FlowSnapshotPtr s = WaitImported(core, command);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->start.command, command);
    EXPECT_TRUE(s->start.offline);
    EXPECT_EQ(s->start.error, StartError::None);
    EXPECT_EQ(s->run, command);
    EXPECT_EQ(s->stopCause, FlowStopCause::None) << "the end of a file is no failure";
    // The rows are the tracker's, in its order, with the counts of the counter line.
    const std::vector<SipCall> calls = core.Tracker().GetCalls();
    ASSERT_EQ(s->rows->size(), calls.size());
    ASSERT_FALSE(calls.empty());
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ((*s->rows)[i].callId, calls[i].callId);
        EXPECT_EQ((*s->rows)[i].messageCount, calls[i].messages.size());
    }
    EXPECT_EQ(s->calls.calls, core.Tracker().Counters().calls);
    EXPECT_GT(s->engine.analysed, 0u);
    EXPECT_EQ(s->bufferedPackets, s->engine.analysed);
    EXPECT_GT(s->version, before->version);
    EXPECT_TRUE(before->rows->empty()) << "a published snapshot never changes";
}

TEST(FlowCommands, FailedStartsAreAnsweredInTheSnapshotAndKeepTheLastRun) {
    FlowCore core;
    const uint64_t good = core.RequestStartOffline(Fixture("01_basic_call_caller_bye.pcap"));
    ASSERT_TRUE(WaitImported(core, good));
    const uint64_t bad = core.RequestStartOffline("/nonexistent/flow-commands.pcap");
    FlowSnapshotPtr s = core.WaitHandled(bad, kGenerous);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->start.command, bad);
    EXPECT_EQ(s->start.error, StartError::FileUnreadable);
    EXPECT_EQ(s->start.path, "/nonexistent/flow-commands.pcap");
    EXPECT_EQ(s->run, good);
    EXPECT_EQ(s->state, FlowRunState::Idle);
    EXPECT_EQ(s->rows->size(), 1u) << "a start that failed clears nothing";

    const uint64_t live = core.RequestStart("oc-no-such-dev0", 5060, 10000, 50000);
    s = core.WaitHandled(live, kGenerous);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->start.command, live);
    EXPECT_FALSE(s->start.offline);
    EXPECT_NE(s->start.error, StartError::None);
    EXPECT_EQ(s->state, FlowRunState::Idle);
}

TEST(FlowCommands, ClearWaitsForTheAnalysisButNeitherTheRequestNorTheSnapshotDoes) {
    FlowCore core;
    for (int n = 0; n < 100; ++n) core.OnPacket(Options(n));
    FlowSnapshotPtr s = core.Settle();
    ASSERT_TRUE(s);
    ASSERT_EQ(s->rows->size(), 100u);
    uint64_t clear = 0;
    {
        // Every engine lock held, as by a worker in the middle of a long batch.
        FlowCore::FrozenForTesting frozen(core);
        clear = core.RequestClear();
        const FlowSnapshotPtr during = core.Snapshot();
        ASSERT_TRUE(during);
        EXPECT_LT(during->handled, clear) << "the clear cannot be done while the analysis is held";
        EXPECT_EQ(during->rows->size(), 100u);
    }
    s = core.WaitHandled(clear, kGenerous);
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->rows->empty());
    EXPECT_EQ(s->bufferedPackets, 0u);
    EXPECT_EQ(s->engine.analysed, 0u);
    // Commands are carried out in order: packets after the clear are listed again.
    core.OnPacket(Options(500));
    s = core.Settle();
    ASSERT_TRUE(s);
    ASSERT_EQ(s->rows->size(), 1u);
    EXPECT_EQ(s->rows->front().callId, "opt-500");
}

TEST(FlowCommands, CallDetailsAndTheRawPageComeOnRequest) {
    FlowCore core;
    ASSERT_TRUE(WaitImported(core, core.RequestStartOffline(Fixture("01_basic_call_caller_bye.pcap"))));
    FlowSnapshotPtr s = core.Settle();
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->call) << "nobody asked for a call";
    EXPECT_TRUE(s->rawPage->empty());

    FlowViewRequest view;
    view.callId = kBasicCall;
    view.rawPage = true;
    view.rawFilter = "SIP";
    view.rawLines = 5;
    core.SetView(view);
    s = core.WaitHandled(core.RequestSnapshot(), kGenerous);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->view, view);
    ASSERT_TRUE(s->call);
    const std::optional<SipCall> direct = core.Tracker().GetCall(kBasicCall);
    ASSERT_TRUE(direct);
    ASSERT_EQ(s->call->messages.size(), direct->messages.size());
    EXPECT_EQ(s->call->messages.back().text, direct->messages.back().text);
    ASSERT_FALSE(s->callStreams->empty());
    EXPECT_EQ(s->callStreams->size(), core.Tracker().GetStreamReports(&kBasicCall).size());
    // The newest packets the filter lets through, newest first.
    const std::vector<PacketLogEntry> all = core.GetPackets();
    std::vector<std::string> expected;
    for (size_t i = all.size(); i-- > 0 && expected.size() < 5;)
        if (RawPacketMatches(all[i], "SIP")) expected.push_back(all[i].time + " " + all[i].info);
    std::vector<std::string> page;
    for (const PacketLogEntry& p : *s->rawPage) page.push_back(p.time + " " + p.info);
    EXPECT_EQ(page, expected);
    EXPECT_EQ(page.size(), 5u);

    // The streams as a player heard them: only silence, so the verdicts say no audio; the
    // same request without them does not know it.
    auto heard = std::make_shared<std::vector<RtpStreamReport>>(*s->callStreams);
    DecodedAudioFacts silence;
    silence.silent = true;
    for (RtpStreamReport& r : *heard) r.audio = silence;
    const auto noAudio = [](const FlowSnapshot& snap) {
        return std::any_of(snap.callVerdicts->begin(), snap.callVerdicts->end(),
                           [](const Verdict& v) { return v.code == Diagnosis::NoAudio; });
    };
    EXPECT_FALSE(noAudio(*s));
    view.heardStreams = heard;
    core.SetView(view);
    s = core.WaitHandled(core.RequestSnapshot(), kGenerous);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->view.heardStreams, heard);
    EXPECT_TRUE(noAudio(*s));
    EXPECT_FALSE(s->callStreams->front().audio) << "the live reports stay as the engine has them";
    // Heard with sound on one side: that side was heard.
    auto oneSide = std::make_shared<std::vector<RtpStreamReport>>(*heard);
    oneSide->front().audio->silent = false;
    view.heardStreams = oneSide;
    core.SetView(view);
    s = core.WaitHandled(core.RequestSnapshot(), kGenerous);
    ASSERT_TRUE(s);
    EXPECT_FALSE(noAudio(*s));

    // A call that is not there, and the raw window closed.
    core.SetView(FlowViewRequest{"no-such-call", false, {}, 0, nullptr});
    s = core.WaitHandled(core.RequestSnapshot(), kGenerous);
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->call);
    EXPECT_TRUE(s->callStreams->empty());
    EXPECT_TRUE(s->rawPage->empty());
}

class FlowExportCommands : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("flow-export-commands-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        SetExecutableDirectoryForTesting(root.string());
    }
    void TearDown() override {
        SetExecutableDirectoryForTesting("");
        fs::remove_all(root);
    }
    fs::path root;
};

TEST_F(FlowExportCommands, ExportsAreWrittenByTheEngineAndReportWhatTheyWrote) {
    FlowCore core;
    uint64_t e = core.RequestExport(FlowExportKind::Calls);
    FlowSnapshotPtr s = WaitExport(core, e);
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->exportStatus.result.written);
    EXPECT_EQ(s->exportStatus.result.message, "Nada exportado: a lista de chamadas esta vazia.");
    EXPECT_FALSE(fs::exists(FlowLogDirectory()));

    ASSERT_TRUE(WaitImported(core, core.RequestStartOffline(Fixture("01_basic_call_caller_bye.pcap"))));
    const std::vector<SipCall> calls = core.Tracker().GetCalls();
    e = core.RequestExport(FlowExportKind::Calls);
    s = WaitExport(core, e);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->exportStatus.kind, FlowExportKind::Calls);
    ASSERT_TRUE(s->exportStatus.result.written) << s->exportStatus.result.message;
    EXPECT_EQ(s->exportStatus.items, calls.size());
    EXPECT_EQ(s->exportStatus.result.message,
              "CSV exportado: " + s->exportStatus.result.path + " (" + std::to_string(calls.size()) + " registros)");
    EXPECT_EQ(ReadFile(s->exportStatus.result.path), CallsCsvText(calls));

    e = core.RequestExport(FlowExportKind::Packets);
    s = WaitExport(core, e);
    ASSERT_TRUE(s);
    ASSERT_TRUE(s->exportStatus.result.written) << s->exportStatus.result.message;
    EXPECT_EQ(s->exportStatus.items, s->bufferedPackets);
    EXPECT_EQ(s->exportStatus.result.message, "PCAP exportado: " + s->exportStatus.result.path + " (" +
                                                  std::to_string(s->bufferedPackets) + " pacotes)");
    EXPECT_TRUE(fs::file_size(s->exportStatus.result.path) > 24u);

    e = core.RequestExport(FlowExportKind::Quality);
    s = WaitExport(core, e);
    ASSERT_TRUE(s);
    ASSERT_TRUE(s->exportStatus.result.written) << s->exportStatus.result.message;
    EXPECT_EQ(s->exportStatus.items, core.Tracker().GetStreamReports().size());
    EXPECT_NE(s->exportStatus.result.path.find("_qualidade.csv"), std::string::npos);
    // Settle waits for exports too: after it, nothing is being written.
    core.RequestExport(FlowExportKind::Calls);
    s = core.Settle();
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->exportStatus.done);
}

}  // namespace
