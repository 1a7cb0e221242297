// CSV and pcap exports of the Flow tab, written into the flow log folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "capture/Sniffer.h"
#include "flow/FlowExport.h"
#include "logs/LogPaths.h"
#include "FlowTabTestUtil.h"

using namespace flowtab_test;
namespace fs = std::filesystem;

namespace {

class FlowTabExport : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("flowtab-export-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
        SetExecutableDirectoryForTesting(root.string());
    }
    void TearDown() override {
        SetExecutableDirectoryForTesting("");
        fs::remove_all(root);
    }
    size_t FilesInFlowFolder() const {
        std::error_code ec;
        size_t n = 0;
        for (fs::directory_iterator it(FlowLogDirectory(), ec), end; !ec && it != end; it.increment(ec)) ++n;
        return n;
    }
    fs::path root;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Lines of the CSV body (after the byte order mark and the header), split on ';' with
// RFC 4180 quoted fields honoured.
std::vector<std::vector<std::string>> CsvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ';') {
            row.push_back(field);
            field.clear();
        } else if (c == '\n') {
            row.push_back(field);
            field.clear();
            rows.push_back(row);
            row.clear();
        } else {
            field += c;
        }
    }
    return rows;
}

}  // namespace

TEST_F(FlowTabExport, EmptyListOrBufferWritesNoFileAndSaysWhy) {
    const FlowExportResult csv = ExportCallsCsv({});
    EXPECT_FALSE(csv.written);
    EXPECT_FALSE(csv.message.empty());
    const FlowExportResult pcap = ExportPacketsPcap({});
    EXPECT_FALSE(pcap.written);
    EXPECT_FALSE(pcap.message.empty());
    EXPECT_EQ(FilesInFlowFolder(), 0u);
}

TEST_F(FlowTabExport, BusyCallExportsErrorStateAndCreatesTheMissingFolder) {
    ASSERT_FALSE(fs::exists(FlowLogDirectory()));
    const auto calls = CallsOf("04_call_busy_486.pcap");
    ASSERT_EQ(calls.size(), 1u);
    const FlowExportResult r = ExportCallsCsv(calls);
    ASSERT_TRUE(r.written) << r.message;
    EXPECT_EQ(fs::path(r.path).parent_path(), fs::path(FlowLogDirectory()));
    EXPECT_EQ(fs::path(r.path).extension(), ".csv");
    EXPECT_EQ(fs::path(r.path).stem().string().size(), 15u);  // ddmmYYYY_HHMMSS
    EXPECT_NE(r.message.find(r.path), std::string::npos);

    const std::string text = ReadFile(r.path);
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
    const auto rows = CsvRows(text.substr(3));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"Hora", "Method", "From User", "From IP", "To User", "To IP", "Msgs",
                                                 "Call-ID", "Estado", "Origem Desl."}));
    ASSERT_EQ(rows[1].size(), 10u);
    EXPECT_EQ(rows[1][1], "INVITE");
    EXPECT_EQ(rows[1][3], "10.0.20.15");
    EXPECT_EQ(rows[1][5], "10.0.20.30");
    EXPECT_EQ(rows[1][6], "4");
    EXPECT_EQ(rows[1][7], "1-21802@10.0.20.15");
    EXPECT_EQ(rows[1][8], "Error (486)");  // the stored state, not the table's "Desligada"
    EXPECT_EQ(rows[1][9], "Softphone/PC");
}

TEST_F(FlowTabExport, RegistrationExportsInitAndAnEmptyLastColumn) {
    const auto calls = CallsOf("06a_register_401_200.pcap");
    ASSERT_EQ(calls.size(), 1u);
    const FlowExportResult r = ExportCallsCsv(calls);
    ASSERT_TRUE(r.written) << r.message;
    const std::string text = ReadFile(r.path);
    const auto rows = CsvRows(text.substr(3));
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_EQ(rows[1].size(), 10u);
    EXPECT_EQ(rows[1][1], "REGISTER");
    EXPECT_EQ(rows[1][8], "Init");
    EXPECT_EQ(rows[1][9], "");
    EXPECT_EQ(text.substr(text.size() - 6), "Init;\n");
}

TEST_F(FlowTabExport, ValueWithSemicolonIsQuotedAndKeepsTheColumns) {
    CallTracker tracker;
    // A tel URI is kept whole by the user extraction, parameters and all.
    tracker.ProcessPacket(MakePacket("11:00:00.000", "10.0.0.1:5060", "10.0.0.2:5060",
                                     SipRequest("OPTIONS", "semi-1", "<tel:+5511999;phone-context=x>;tag=9",
                                                "\"Say \"\"hi\"\"\" <sip:2000@b>", "OPTIONS")));
    const auto calls = tracker.GetCalls();
    ASSERT_EQ(calls.size(), 1u);
    const FlowExportResult r = ExportCallsCsv(calls);
    ASSERT_TRUE(r.written) << r.message;
    const std::string text = ReadFile(r.path);
    EXPECT_NE(text.find("\"<tel:+5511999;phone-context=x>;tag=9\""), std::string::npos);
    const auto rows = CsvRows(text.substr(3));
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_EQ(rows[1].size(), 10u);
    EXPECT_EQ(rows[1][2], "<tel:+5511999;phone-context=x>;tag=9");
    EXPECT_EQ(rows[1][4], "2000");
    EXPECT_EQ(rows[1][7], "semi-1");
    // Fields without special characters are written as they are.
    EXPECT_NE(text.find(";semi-1;"), std::string::npos);
}

TEST_F(FlowTabExport, UnwritableFolderIsReportedNotSilent) {
    // A file where the folder should be: nothing can be created below it.
    fs::create_directories(LogsDirectory());
    std::ofstream(FlowLogDirectory()) << "x";
    const auto calls = CallsOf("04_call_busy_486.pcap");
    const FlowExportResult r = ExportCallsCsv(calls);
    EXPECT_FALSE(r.written);
    EXPECT_NE(r.message.find(FlowLogDirectory()), std::string::npos) << r.message;
}

TEST_F(FlowTabExport, PcapReadsBackWithTheCapturedLinkType) {
    const auto packets = ReadCapture("01_basic_call_caller_bye.pcap");
    ASSERT_EQ(packets.size(), 211u);
    const FlowExportResult r = ExportPacketsPcap(packets);
    ASSERT_TRUE(r.written) << r.message;
    EXPECT_EQ(fs::path(r.path).extension(), ".pcap");

    Sniffer reader;
    ASSERT_TRUE(reader.InitOffline(r.path));
    EXPECT_EQ(reader.LinkType(), kLinkEthernet);
    reader.Stop();
    const auto back = ReadCapture(r.path);
    ASSERT_EQ(back.size(), packets.size());
    for (size_t i = 0; i < back.size(); ++i) {
        ASSERT_EQ(back[i].rawData, packets[i].rawData) << i;
        ASSERT_EQ(back[i].tsSec, packets[i].tsSec) << i;
        ASSERT_EQ(back[i].tsUsec, packets[i].tsUsec) << i;
    }

    // Frames captured without an Ethernet header (raw IP) keep their own link type.
    std::vector<PacketLogEntry> raw;
    for (const PacketLogEntry& p : packets) {
        if (p.rawData.size() <= 14 || p.rawData[12] != 0x08 || p.rawData[13] != 0x00) continue;  // IPv4 only
        PacketLogEntry q = p;
        q.rawData.erase(q.rawData.begin(), q.rawData.begin() + 14);
        q.linkType = kLinkRaw;
        raw.push_back(q);
    }
    ASSERT_FALSE(raw.empty());
    const size_t rawCount = raw.size();
    raw.push_back(packets.front());  // an Ethernet frame cannot go into a raw-IP savefile
    const FlowExportResult r2 = ExportPacketsPcapTo((root / "raw.pcap").string(), raw);
    ASSERT_TRUE(r2.written) << r2.message;
    EXPECT_NE(r2.message.find("(" + std::to_string(rawCount) + " pacotes, 1 ignorados)"), std::string::npos)
        << r2.message;
    Sniffer rawReader;
    ASSERT_TRUE(rawReader.InitOffline(r2.path));
    EXPECT_EQ(rawReader.LinkType(), kLinkRaw);
    rawReader.Stop();
}

namespace {

TEST_F(FlowTabExport, QualityExportWritesOneLinePerStreamBesideTheCallList) {
    CallTracker tracker;
    Feed(tracker, ReadCapture("01_basic_call_caller_bye.pcap"));
    const FlowExportResult none = ExportQualityCsv({});
    EXPECT_FALSE(none.written);
    EXPECT_EQ(FilesInFlowFolder(), 0u);

    const FlowExportResult r = ExportQualityCsv(tracker.GetStreamReports());
    ASSERT_TRUE(r.written) << r.message;
    EXPECT_EQ(fs::path(r.path).parent_path(), fs::path(FlowLogDirectory()));
    const std::string name = fs::path(r.path).filename().string();
    EXPECT_EQ(name.size(), 15u + std::string("_qualidade.csv").size()) << name;
    EXPECT_EQ(name.substr(15), "_qualidade.csv");

    const std::string text = ReadFile(r.path);
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
    const auto rows = CsvRows(text.substr(3));
    ASSERT_EQ(rows.size(), 3u);  // header + one line per direction
    const size_t columns = rows[0].size();
    EXPECT_EQ(rows[0][0], "Call-ID");
    EXPECT_EQ(rows[0][22], "MOS (estimado)");
    for (size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), columns);
        EXPECT_EQ(rows[i][0], "1-21527@192.168.1.50");
        EXPECT_EQ(rows[i][5], "G711a");
        EXPECT_EQ(rows[i][6], "100");  // packets
        EXPECT_EQ(rows[i][8], "0");    // lost
        EXPECT_FALSE(rows[i][22].empty());
    }
    // Beside it, with the same time stamp, the streams' 5-second intervals.
    const fs::path intervals = fs::path(r.path).parent_path() / (name.substr(0, 15) + "_qualidade_intervalos.csv");
    ASSERT_TRUE(fs::exists(intervals)) << r.message;
    EXPECT_NE(r.message.find(intervals.string()), std::string::npos) << r.message;
    const auto lines = CsvRows(ReadFile(intervals.string()).substr(3));
    ASSERT_EQ(lines.size(), 3u);  // header + the one interval of each 2-second direction
    EXPECT_EQ(lines[0][4], "Inicio s");
    EXPECT_EQ(lines[1][4], "0");
    EXPECT_EQ(lines[1][5], "100");
    EXPECT_FALSE(lines[1][12].empty());
    // The call list export is not touched by it: still ten columns.
    const FlowExportResult calls = ExportCallsCsv(tracker.GetCalls());
    ASSERT_TRUE(calls.written);
    EXPECT_EQ(CsvRows(ReadFile(calls.path).substr(3))[1].size(), 10u);
}

}  // namespace
