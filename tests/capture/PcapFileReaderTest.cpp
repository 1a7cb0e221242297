// The plain pcap reader against libpcap's own: every fixture, the hostile files and edge
// cases built here read the same frames, end the same way and fail with the same words.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "capture/PcapFileReader.h"
#include "lib/TestEnv.h"
#include "lib/TestSupport.h"

namespace fs = std::filesystem;

namespace {

bool PlainPcapFile(const std::string& path) {
    return PcapFileReader::IsPlainPcap(ReadFileHead(path, PcapFileReader::kFileHeaderBytes));
}

struct Read {
    std::vector<SavefileFrame> headers;       // data left empty
    std::vector<std::vector<uint8_t>> bytes;
    std::string error;  // empty at a clean end
    int linkType = -1;
};

Read ByLibpcap(const std::string& path) {
    Read r;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_open_offline(path.c_str(), errbuf);
    if (!p) {
        r.error = errbuf;
        return r;
    }
    r.linkType = pcap_datalink(p);
    pcap_pkthdr* h;
    const u_char* d;
    int rc;
    while ((rc = pcap_next_ex(p, &h, &d)) == 1) {
        SavefileFrame f;
        f.tsSec = static_cast<int64_t>(h->ts.tv_sec);
        f.tsUsec = static_cast<uint32_t>(h->ts.tv_usec);
        f.wireLength = h->len;
        r.headers.push_back(f);
        r.bytes.emplace_back(d, d + h->caplen);
    }
    if (rc == PCAP_ERROR) r.error = pcap_geterr(p);
    pcap_close(p);
    return r;
}

Read ByReader(const std::string& path) {
    Read r;
    PcapFileReader reader;
    if (!reader.OpenFile(path)) {
        r.error = reader.Error();
        return r;
    }
    r.linkType = reader.FirstLinkType();
    SavefileFrame f;
    SavefileReader::Status status;
    while ((status = reader.Next(f)) == SavefileReader::Status::Frame) {
        r.bytes.emplace_back(f.data.begin(), f.data.end());
        f.data = {};
        r.headers.push_back(f);
    }
    if (status == SavefileReader::Status::Error) r.error = reader.Error();
    EXPECT_EQ(reader.Next(f), status) << "an ended read stays ended";
    return r;
}

// Compares the two reads of one file; false when the reader does not take the file.
bool ExpectSameAsLibpcap(const std::string& path) {
    SCOPED_TRACE(path);
    if (!PlainPcapFile(path)) return false;
    const Read want = ByLibpcap(path), got = ByReader(path);
    EXPECT_EQ(got.linkType, want.linkType);
    EXPECT_EQ(got.error, want.error);
    EXPECT_EQ(got.headers.size(), want.headers.size());
    for (size_t i = 0; i < std::min(got.headers.size(), want.headers.size()); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        // As the capture loop hands them on: 32-bit seconds and microseconds.
        EXPECT_EQ(static_cast<uint32_t>(got.headers[i].tsSec), static_cast<uint32_t>(want.headers[i].tsSec));
        EXPECT_EQ(got.headers[i].tsUsec, want.headers[i].tsUsec);
        EXPECT_EQ(got.headers[i].wireLength, want.headers[i].wireLength);
        EXPECT_EQ(got.bytes[i], want.bytes[i]);
        if (::testing::Test::HasFailure()) break;
    }
    return true;
}

void Put32(std::string& out, uint32_t v, bool big) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(big ? v >> (24 - 8 * i) : v >> (8 * i)));
}
void Put16(std::string& out, uint16_t v, bool big) {
    out.push_back(static_cast<char>(big ? v >> 8 : v));
    out.push_back(static_cast<char>(big ? v : v >> 8));
}

struct Builder {
    bool big = false;
    std::string out;
    Builder(bool bigEndian, uint32_t magic, uint32_t snap, uint32_t linkType) : big(bigEndian) {
        Put32(out, magic, big);
        Put16(out, 2, big);
        Put16(out, 4, big);
        Put32(out, 0, big);
        Put32(out, 0, big);
        Put32(out, snap, big);
        Put32(out, linkType, big);
    }
    // A record claiming `capLength` bytes, holding `bytes` of them (fewer: a cut file).
    Builder& Record(uint32_t sec, uint32_t sub, uint32_t capLength, size_t bytes, uint32_t wire = 0) {
        Put32(out, sec, big);
        Put32(out, sub, big);
        Put32(out, capLength, big);
        Put32(out, wire ? wire : capLength, big);
        for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<char>((i * 7 + capLength) & 0xFF));
        return *this;
    }
    std::string Write(const fs::path& dir, const std::string& name) const {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << out;
        return path;
    }
};

class PcapFileReaderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(MakeTempDirectory(dir)); }
    void TearDown() override { fs::remove_all(dir); }
    std::string dir = (fs::temp_directory_path() / "oc_pcapfile_XXXXXX").string();
};

TEST_F(PcapFileReaderTest, EveryFixtureAndHostileFileReadsAsLibpcapReadsIt) {
    size_t taken = 0;
    for (const auto& e : fs::recursive_directory_iterator(OC_TEST_DATA_DIR))
        if (e.path().extension() == ".pcap") taken += ExpectSameAsLibpcap(e.path().string());
    EXPECT_GT(taken, 30u);
    const std::string hostile = dir + "/hostile";
    const auto made = testsupport::RunCommand("python3 '" + std::string(OC_SOURCE_DIR) +
                                              "/tests/capture/hostile_captures.py' --write '" + hostile + "' '" +
                                              OC_PCAP_DIR + "'");
    ASSERT_EQ(made.exitCode, 0) << made.err;
    size_t hostileTaken = 0;
    for (const auto& e : fs::directory_iterator(hostile))
        if (e.path().extension() == ".pcap") hostileTaken += ExpectSameAsLibpcap(e.path().string());
    EXPECT_GT(hostileTaken, 5u);
}

TEST_F(PcapFileReaderTest, ByteOrdersNanosecondsCutsAndLimits) {
    const fs::path d(dir);
    const uint32_t micros = 0xA1B2C3D4, nanos = 0xA1B23C4D;
    std::vector<std::string> files = {
        // Big-endian nanoseconds, a negative sub-second field, Linux cooked capture.
        Builder(true, nanos, 65535, 113).Record(1, 999999999, 60, 60).Record(2, 0x80000000u, 20, 20).Write(d, "be_ns.pcap"),
        Builder(false, nanos, 65535, 276).Record(1, 999999999, 60, 60).Record(2, 0x80000000u, 20, 20).Write(d, "le_ns.pcap"),
        // Records longer than the snapshot length are cut to it; 0 and oversized snapshot lengths.
        Builder(false, micros, 100, 1).Record(1, 5, 300, 300).Record(1, 6, 40, 40).Write(d, "over_snap.pcap"),
        Builder(false, micros, 0, 1).Record(1, 5, 3000, 3000).Write(d, "snap0.pcap"),
        Builder(false, micros, 0x90000000u, 101).Record(1, 5, 3000, 3000, 9000).Write(d, "snap_huge_raw.pcap"),
        // Beyond libpcap's largest record, with and without the snapshot length above it.
        Builder(false, micros, 65535, 1).Record(1, 0, 262145, 10).Write(d, "too_long.pcap"),
        Builder(false, micros, 300000, 1).Record(1, 0, 262145, 10).Write(d, "too_long_big_snap.pcap"),
        // Cut in a record header, in its data, and in the part past the snapshot length.
        Builder(false, micros, 65535, 1).Record(1, 0, 50, 50).Write(d, "cut_header.pcap") ,
        Builder(false, micros, 65535, 1).Record(1, 0, 50, 50).Record(2, 0, 80, 33).Write(d, "cut_data.pcap"),
        Builder(false, micros, 64, 1).Record(1, 0, 200, 100).Write(d, "cut_past_snap.pcap"),
        Builder(false, micros, 64, 1).Record(1, 0, 200, 20).Write(d, "cut_before_snap.pcap"),
    };
    // The header cut one: a few bytes of a next record header.
    {
        std::ofstream(files[7], std::ios::binary | std::ios::app) << std::string(9, '\1');
    }
    for (const std::string& f : files) EXPECT_TRUE(ExpectSameAsLibpcap(f)) << f;

    // Files it leaves to libpcap: older versions and unknown link types.
    Builder old(false, micros, 65535, 1);
    old.out[6] = 3;  // 2.3
    EXPECT_FALSE(PlainPcapFile(old.Write(d, "v23.pcap")));
    EXPECT_FALSE(PlainPcapFile(Builder(false, micros, 65535, 147).Write(d, "user0.pcap")));
}

// Records across the reader's 1 MiB reads, of every length up to a jumbo frame.
TEST_F(PcapFileReaderTest, ALargeFileAcrossManyReads) {
    Builder b(false, 0xA1B2C3D4, 65535, 1);
    for (uint32_t i = 0; i < 6000; ++i) b.Record(1000 + i, i * 13 % 1000000, 1 + (i * 977) % 9000, 1 + (i * 977) % 9000);
    EXPECT_TRUE(ExpectSameAsLibpcap(b.Write(fs::path(dir), "large.pcap")));
    PcapFileReader memoryReader;
    ASSERT_TRUE(memoryReader.OpenMemory(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(b.out.data()), b.out.size())));
    SavefileFrame f;
    size_t frames = 0;
    while (memoryReader.Next(f) == SavefileReader::Status::Frame) ++frames;
    EXPECT_EQ(frames, 6000u);
    EXPECT_TRUE(memoryReader.Error().empty());
}

}  // namespace
