// orvanta-cli decode/devices as a user runs them: output against tshark on every fixture
// savefile, exit codes, and the capture-rights path as an unprivileged user.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "FrameBuilder.h"
#include "PcapFiles.h"

#include "lib/TestSupport.h"

using testsupport::CommandResult;
using testsupport::RunCommand;

namespace {

namespace fs = std::filesystem;

const std::string kCli = std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli";

struct Result {
    int rc = -1;
    std::string out;
    std::string err;
};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

Result Shell(const std::string& command) {
    TempDir dir;
    const std::string errFile = dir.File("stderr");
    Result r;
    CommandResult c = RunCommand(command + " 2>" + Quote(errFile));
    r.out = std::move(c.out);
    r.rc = c.exitCode;
    std::ifstream err(errFile);
    std::stringstream ss;
    ss << err.rdbuf();
    r.err = ss.str();
    return r;
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : s) {
        if (c == sep) {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    parts.push_back(cur);
    return parts;
}

std::vector<std::string> Lines(const std::string& s) {
    std::vector<std::string> lines = Split(s, '\n');
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

std::vector<std::string> FixtureSavefiles() {
    std::vector<std::string> files;
    for (const char* dir : {OC_PCAP_DIR, OC_TEST_DATA_DIR "/testnet-samples"})
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().extension() == ".pcap") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

bool HaveTshark() { return Shell("command -v tshark").rc == 0; }

// Runs orvanta-cli decode and tshark on `file` and compares addresses, ports, protocol,
// wire length and ICMP/ICMPv6 type frame by frame. Returns our lines for further checks.
std::vector<std::string> CompareWithTshark(const std::string& file) {
    SCOPED_TRACE(file);
    const Result ours = Shell(Quote(kCli) + " decode " + Quote(file));
    EXPECT_EQ(ours.rc, 0) << ours.err;
    const Result theirs = Shell(
        "tshark -n -r " + Quote(file) +
        " -T fields -E separator=/t -E occurrence=f -e frame.len -e eth.type -e vlan.etype -e ip.src"
        " -e ip.dst -e ip.proto -e udp.srcport -e udp.dstport -e tcp.srcport -e tcp.dstport -e icmp.type"
        " -e ipv6.src -e ipv6.dst -e icmpv6.type");
    EXPECT_EQ(theirs.rc, 0) << theirs.err;
    const auto ourLines = Lines(ours.out);
    const auto theirLines = Lines(theirs.out);
    EXPECT_EQ(ourLines.size(), theirLines.size());
    EXPECT_FALSE(ourLines.empty());
    for (size_t i = 0; i < ourLines.size() && i < theirLines.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        const auto o = Split(ourLines[i], '\t');
        const auto t = Split(theirLines[i], '\t');
        if (o.size() < 6 || t.size() != 14) {
            ADD_FAILURE() << ourLines[i] << " | " << theirLines[i];
            continue;
        }
        const std::string &src = o[1], &dst = o[2], &proto = o[3], &wire = o[4], &info = o[5];
        EXPECT_EQ(wire, t[0]);
        const std::string &ipSrc = t[3], &ipDst = t[4], &ipProto = t[5];
        const std::string &v6Src = t[11], &v6Dst = t[12], &icmpv6Type = t[13];
        if (ipProto.empty() && !v6Src.empty()) {
            // tshark prints IPv6 in RFC 5952 form too; ours add brackets before a port.
            if (!icmpv6Type.empty()) {
                EXPECT_EQ(proto, "ICMPv6");
                EXPECT_EQ(src, v6Src);
                EXPECT_EQ(dst, v6Dst);
                EXPECT_NE(info.find("(Type=" + icmpv6Type + ")"), std::string::npos) << info;
            } else if (!t[6].empty()) {
                EXPECT_EQ(proto, "UDP");
                EXPECT_EQ(src, "[" + v6Src + "]:" + t[6]);
                EXPECT_EQ(dst, "[" + v6Dst + "]:" + t[7]);
                EXPECT_EQ(info, "Src=" + t[6] + " Dst=" + t[7]);
            } else if (!t[8].empty()) {
                EXPECT_EQ(proto, "TCP");
                EXPECT_EQ(src, "[" + v6Src + "]:" + t[8]);
                EXPECT_EQ(dst, "[" + v6Dst + "]:" + t[9]);
            } else {
                EXPECT_EQ(proto.rfind("Other (", 0), 0u) << proto;
                EXPECT_EQ(src, v6Src);
            }
            continue;
        }
        if (ipProto.empty()) {
            const std::string etherType = t[1] == "0x8100" ? t[2] : t[1];
            if (etherType.empty()) {
                ADD_FAILURE() << "tshark sees neither IPv4 nor an EtherType: " << ourLines[i];
                continue;
            }
            char expected[32];
            std::snprintf(expected, sizeof expected, "Eth 0x%lx", std::stoul(etherType, nullptr, 16));
            EXPECT_EQ(proto, expected);
            continue;
        }
        if (ipProto == "17") {
            EXPECT_EQ(proto, "UDP");
            EXPECT_EQ(src, ipSrc + ":" + t[6]);
            EXPECT_EQ(dst, ipDst + ":" + t[7]);
            EXPECT_EQ(info, "Src=" + t[6] + " Dst=" + t[7]);
        } else if (ipProto == "6") {
            EXPECT_EQ(proto, "TCP");
            EXPECT_EQ(src, ipSrc + ":" + t[8]);
            EXPECT_EQ(dst, ipDst + ":" + t[9]);
        } else if (ipProto == "1") {
            EXPECT_EQ(proto, "ICMP");
            EXPECT_EQ(src, ipSrc);
            EXPECT_EQ(dst, ipDst);
            EXPECT_NE(info.find("(Type=" + t[10] + ")"), std::string::npos) << info;
        } else {
            EXPECT_EQ(proto, "Other (" + ipProto + ")");
            EXPECT_EQ(src, ipSrc);
        }
    }
    return ourLines;
}

TEST(CaptureCli, DecodeMatchesTsharkOnEveryFixture) {
    ASSERT_TRUE(fs::exists(kCli)) << kCli << " not built";
    ASSERT_TRUE(HaveTshark()) << "tshark is required for this comparison (scripts/deps.sh installs it)";
    const std::vector<std::string> files = FixtureSavefiles();
    ASSERT_GE(files.size(), 15u);
    for (const std::string& file : files) CompareWithTshark(file);
}

// The fixtures' IPv4 frames re-wrapped in every other link type the decoder knows: tshark
// agrees on each, and every column but the time and the wire length is the same as for the
// Ethernet original (wire lengths differ by the link header sizes).
TEST(CaptureCli, OtherLinkTypesMatchTsharkAndTheEthernetOriginal) {
    ASSERT_TRUE(fs::exists(kCli));
    ASSERT_TRUE(HaveTshark()) << "tshark is required for this comparison (scripts/deps.sh installs it)";
    struct Variant {
        const char* name;
        int linkType;
        Bytes header;
    };
    Bytes sll(16, 0), sll2(20, 0);
    sll[14] = 0x08;
    sll2[0] = 0x08;
    sll2[9] = 1;
    const std::vector<Variant> variants{{"sll", 113, sll},           {"sll2", 276, sll2},
                                        {"null", 0, {2, 0, 0, 0}},   {"loop", 108, {0, 0, 0, 2}},
                                        {"raw", 12, {}},             {"ipv4", 228, {}}};
    TempDir dir;
    for (const char* name : {"udp-trace.pcap", "tcp-trace.pcap", "icmp-trace.pcap"}) {
        const std::string source = std::string(OC_TEST_DATA_DIR "/testnet-samples/") + name;
        const Savefile original = ReadSavefile(source);
        ASSERT_EQ(original.linkType, 1);
        std::vector<Record> ipv4;
        for (const Record& r : original.records)
            if (r.bytes.size() > 14 && r.bytes[12] == 0x08 && r.bytes[13] == 0x00) ipv4.push_back(r);
        ASSERT_FALSE(ipv4.empty());
        ASSERT_TRUE(WriteSavefile(dir.File("eth.pcap"), 1, ipv4));
        const std::vector<std::string> reference = CompareWithTshark(dir.File("eth.pcap"));
        for (const Variant& v : variants) {
            SCOPED_TRACE(std::string(name) + " as " + v.name);
            std::vector<Record> wrapped;
            for (const Record& r : ipv4) {
                Record w = r;
                w.bytes = Cat({v.header, Bytes(r.bytes.begin() + 14, r.bytes.end())});
                w.wireLength = static_cast<uint32_t>(r.wireLength - 14 + v.header.size());
                wrapped.push_back(std::move(w));
            }
            const std::string file = dir.File(std::string(v.name) + ".pcap");
            ASSERT_TRUE(WriteSavefile(file, v.linkType, wrapped));
            const std::vector<std::string> lines = CompareWithTshark(file);
            ASSERT_EQ(lines.size(), reference.size());
            for (size_t i = 0; i < lines.size(); ++i) {
                auto a = Split(lines[i], '\t');
                auto b = Split(reference[i], '\t');
                a[4] = b[4] = "";
                EXPECT_EQ(a, b) << lines[i];
            }
        }
    }
}

// The IPv6 traces re-wrapped the same way: cooked captures name IPv6 by EtherType, BSD
// loopback by its IPv6 address family, raw IP by the version nibble.
TEST(CaptureCli, Ipv6OverOtherLinkTypesMatchesTsharkAndTheEthernetOriginal) {
    ASSERT_TRUE(fs::exists(kCli));
    ASSERT_TRUE(HaveTshark()) << "tshark is required for this comparison (scripts/deps.sh installs it)";
    struct Variant {
        const char* name;
        int linkType;
        Bytes header;
    };
    Bytes sll(16, 0), sll2(20, 0);
    sll[14] = 0x86;
    sll[15] = 0xdd;
    sll2[0] = 0x86;
    sll2[1] = 0xdd;
    sll2[9] = 1;
    const std::vector<Variant> variants{{"sll", 113, sll},
                                        {"sll2", 276, sll2},
                                        {"null", 0, {30, 0, 0, 0}},   // macOS AF_INET6, host order
                                        {"loop", 108, {0, 0, 0, 28}},  // FreeBSD AF_INET6
                                        {"raw", 12, {}}};
    TempDir dir;
    for (const char* name : {"udp6-trace.pcap", "tcp6-trace.pcap", "icmp6-trace.pcap"}) {
        const std::string source = std::string(OC_TEST_DATA_DIR "/testnet-samples/") + name;
        const Savefile original = ReadSavefile(source);
        ASSERT_EQ(original.linkType, 1);
        std::vector<Record> ipv6;
        for (const Record& r : original.records)
            if (r.bytes.size() > 54 && r.bytes[12] == 0x86 && r.bytes[13] == 0xdd) ipv6.push_back(r);
        ASSERT_GE(ipv6.size(), 10u);
        ASSERT_TRUE(WriteSavefile(dir.File("eth.pcap"), 1, ipv6));
        const std::vector<std::string> reference = CompareWithTshark(dir.File("eth.pcap"));
        for (const Variant& v : variants) {
            SCOPED_TRACE(std::string(name) + " as " + v.name);
            std::vector<Record> wrapped;
            for (const Record& r : ipv6) {
                Record w = r;
                w.bytes = Cat({v.header, Bytes(r.bytes.begin() + 14, r.bytes.end())});
                w.wireLength = static_cast<uint32_t>(r.wireLength - 14 + v.header.size());
                wrapped.push_back(std::move(w));
            }
            const std::string file = dir.File(std::string(v.name) + ".pcap");
            ASSERT_TRUE(WriteSavefile(file, v.linkType, wrapped));
            const std::vector<std::string> lines = CompareWithTshark(file);
            ASSERT_EQ(lines.size(), reference.size());
            for (size_t i = 0; i < lines.size(); ++i) {
                auto a = Split(lines[i], '\t');
                auto b = Split(reference[i], '\t');
                a[4] = b[4] = "";
                EXPECT_EQ(a, b) << lines[i];
            }
        }
    }
}

TEST(CaptureCli, DecodeLinesAndReplyColumn) {
    ASSERT_TRUE(fs::exists(kCli));
    const Result r = Shell(Quote(kCli) + " decode " + Quote(OC_TEST_DATA_DIR "/testnet-samples/udp-trace.pcap"));
    ASSERT_EQ(r.rc, 0);
    const auto lines = Lines(r.out);
    ASSERT_GE(lines.size(), 2u);
    auto withoutTime = [](const std::string& line) { return line.substr(line.find('\t') + 1); };
    EXPECT_EQ(withoutTime(lines[0]), "10.200.1.1:22797\t10.200.4.2:33000\tUDP\t78\tSrc=22797 Dst=33000");
    EXPECT_EQ(withoutTime(lines[1]),
              "10.200.1.2\t10.200.1.1\tICMP\t106\tTime Exceeded (Type=11) [InnerProto=17] [InnerDport=33000]"
              "\treply fromIp=10.200.1.2 origSeq=33000 type=11 code=0");
    EXPECT_NE(r.err.find("228 quadros"), std::string::npos) << r.err;
}

TEST(CaptureCli, PcapngAndNanosecondFilesReadLikeTheOriginal) {
    ASSERT_TRUE(fs::exists(kCli));
    ASSERT_EQ(Shell("command -v editcap").rc, 0) << "editcap (installed with tshark) is required";
    TempDir dir;
    const std::string source = OC_TEST_DATA_DIR "/testnet-samples/tcp-trace.pcap";
    ASSERT_EQ(Shell("editcap -F pcapng " + Quote(source) + " " + Quote(dir.File("t.pcapng"))).rc, 0);
    ASSERT_EQ(Shell("editcap -F nsecpcap " + Quote(source) + " " + Quote(dir.File("t-ns.pcap"))).rc, 0);
    const Result original = Shell(Quote(kCli) + " decode " + Quote(source));
    ASSERT_EQ(original.rc, 0);
    for (const char* name : {"t.pcapng", "t-ns.pcap"}) {
        const Result r = Shell(Quote(kCli) + " decode " + Quote(dir.File(name)));
        EXPECT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(r.out, original.out) << name;
    }
}

// One file, three interfaces: Ethernet, raw IPv6 and Linux cooked, as tshark reads them; the
// filter holds on each of them.
TEST(CaptureCli, MultiInterfacePcapngMatchesTshark) {
    ASSERT_TRUE(fs::exists(kCli));
    ASSERT_TRUE(HaveTshark()) << "tshark is required for this comparison (scripts/deps.sh installs it)";
    const std::string file = OC_PCAP_DIR "/mixed_link_types.pcapng";
    EXPECT_EQ(CompareWithTshark(file).size(), 18u);
    const Result all = Shell(Quote(kCli) + " decode " + Quote(file));
    EXPECT_NE(all.err.find("# 18 quadros: 18 decodificados"), std::string::npos) << all.err;
    const Result icmp = Shell(Quote(kCli) + " decode " + Quote(file) + " -f 'icmp or icmp6'");
    const Result theirs = Shell("tshark -n -r " + Quote(file) + " -Y 'icmp or icmpv6' -T fields -e frame.number");
    EXPECT_EQ(icmp.rc, 0) << icmp.err;
    EXPECT_EQ(Lines(icmp.out).size(), Lines(theirs.out).size());
    EXPECT_EQ(Lines(icmp.out).size(), 12u);
}

TEST(CaptureCli, UnreadableFileExitsWithOneLine) {
    ASSERT_TRUE(fs::exists(kCli));
    TempDir dir;
    std::ofstream(dir.File("junk.pcap")) << "not a savefile";
    for (const std::string& file : {dir.File("missing.pcap"), dir.File("junk.pcap")}) {
        const Result r = Shell(Quote(kCli) + " decode " + Quote(file));
        EXPECT_EQ(r.rc, 2);
        EXPECT_TRUE(r.out.empty());
        EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
        EXPECT_NE(r.err.find("Nao foi possivel ler o arquivo de captura."), std::string::npos) << r.err;
    }
    // A savefile cut inside its last record: the complete frames are printed, then the error.
    const fs::path sample = OC_TEST_DATA_DIR "/testnet-samples/icmp-trace.pcap";
    fs::copy_file(sample, dir.File("cut.pcap"));
    fs::resize_file(dir.File("cut.pcap"), fs::file_size(sample) - 20);
    const Result cut = Shell(Quote(kCli) + " decode " + Quote(dir.File("cut.pcap")));
    EXPECT_EQ(cut.rc, 2);
    EXPECT_EQ(Lines(cut.out).size(), 228u);
    EXPECT_EQ(Lines(cut.err).size(), 1u) << cut.err;
    EXPECT_NE(cut.err.find("leitura interrompida apos 228 quadros"), std::string::npos) << cut.err;

    EXPECT_EQ(Shell(Quote(kCli) + " decode").rc, 1);
    EXPECT_EQ(Shell(Quote(kCli) + " decode a.pcap -i lo").rc, 1);
}

TEST(CaptureCli, DevicesListsNameAndDescription) {
    ASSERT_TRUE(fs::exists(kCli));
    const Result r = Shell(Quote(kCli) + " devices");
    ASSERT_EQ(r.rc, 0) << r.err;
    bool sawLoopback = false;
    for (const std::string& line : Lines(r.out)) {
        const auto cols = Split(line, '\t');
        ASSERT_EQ(cols.size(), 2u) << line;
        EXPECT_FALSE(cols[1].empty());
        if (cols[0] == "lo") sawLoopback = true;
    }
    EXPECT_TRUE(sawLoopback);
}

// Copies the executable somewhere any user may run it (the build tree may sit under a
// private home directory).
struct PublicCopy {
    TempDir dir;
    std::string path;
    PublicCopy() {
        path = dir.File("orvanta-cli");
        fs::copy_file(kCli, path);
        chmod(dir.path.c_str(), 0755);
        chmod(path.c_str(), 0755);
    }
};

const std::string kAsNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

TEST(CaptureRights, UnprivilegedCaptureReportsMissingRights) {
    ASSERT_TRUE(fs::exists(kCli));
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    PublicCopy copy;
    const Result r = Shell(kAsNobody + Quote(copy.path) + " decode -i lo -t 1");
    EXPECT_EQ(r.rc, 2);
    EXPECT_NE(r.err.find("CAP_NET_RAW e CAP_NET_ADMIN"), std::string::npos) << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    // Reading a savefile needs no rights (copied where that user may read it).
    const std::string sample = copy.dir.File("icmp-trace.pcap");
    fs::copy_file(OC_TEST_DATA_DIR "/testnet-samples/icmp-trace.pcap", sample);
    chmod(sample.c_str(), 0644);
    const Result offline = Shell(kAsNobody + Quote(copy.path) + " decode " + Quote(sample));
    EXPECT_EQ(offline.rc, 0) << offline.err;
}

TEST(CaptureRights, FileCapabilitiesAreEnoughToCapture) {
    ASSERT_TRUE(fs::exists(kCli));
    if (geteuid() != 0) GTEST_SKIP() << "needs root to set file capabilities";
    ASSERT_EQ(Shell("command -v setcap").rc, 0) << "setcap (libcap2-bin) is required";
    PublicCopy copy;
    ASSERT_EQ(Shell("setcap cap_net_raw,cap_net_admin=eip " + Quote(copy.path)).rc, 0);

    int sinkFd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sinkFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(sinkFd, reinterpret_cast<sockaddr*>(&a), &len);
    const int port = ntohs(a.sin_port);

    std::atomic<bool> done{false};
    std::thread sender([&] {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        while (!done.load()) {
            sendto(fd, "cap", 3, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        close(fd);
    });
    const Result r = Shell(kAsNobody + Quote(copy.path) + " decode -i lo -c 1 -t 10 -f " +
                         Quote("udp and dst port " + std::to_string(port)));
    done.store(true);
    sender.join();
    close(sinkFd);
    EXPECT_EQ(r.rc, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_GE(lines.size(), 1u) << r.err;
    EXPECT_NE(lines[0].find("\tUDP\t"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(":" + std::to_string(port) + "\t"), std::string::npos) << lines[0];
}

}  // namespace
