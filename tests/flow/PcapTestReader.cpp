#include "capture/HandMadePacket.h"
#include "PcapTestReader.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif
#include <pcap/pcap.h>

#include <cstdio>
#include <ctime>

namespace {

// The payload runs from `offset` to the end of the entry's frame.
void SetFramePayload(PacketLogEntry& e, size_t offset) {
    e.payloadOffset = static_cast<uint32_t>(offset);
    e.payloadLength = static_cast<uint32_t>(e.rawData.size() - offset);
}

unsigned Be16(const uint8_t* p) { return (unsigned(p[0]) << 8) | p[1]; }

std::string Dotted(const uint8_t* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
    return buf;
}

}  // namespace

std::vector<PacketLogEntry> ReadPcapForTest(const std::string& path) {
    std::vector<PacketLogEntry> out;
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_open_offline(path.c_str(), err);
    if (!handle) return out;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(handle, &header, &data) == 1) {
        const size_t len = header->caplen;
        if (len < 14) continue;
        PacketLogEntry e;
        e.tsSec = static_cast<uint32_t>(header->ts.tv_sec);
        e.tsUsec = static_cast<uint32_t>(header->ts.tv_usec);
        e.wireLength = header->len;
        e.rawData.assign(data, data + len);
        time_t t = static_cast<time_t>(e.tsSec);
        tm local{};
        localtime_r(&t, &local);
        char buf[32];
        std::strftime(buf, sizeof buf, "%H:%M:%S", &local);
        char ms[16];
        std::snprintf(ms, sizeof ms, ".%03u", e.tsUsec / 1000);
        e.time = std::string(buf) + ms;
        size_t l2 = 14;
        unsigned ether = Be16(data + 12);
        if (ether == 0x8100) {
            if (len < 18) continue;
            l2 = 18;
            ether = Be16(data + 16);
        }
        // IPv6 UDP without extension headers (what the fixtures carry), addresses as the
        // platform prints them: an independent reading of what the decoder must give.
        if (ether == 0x86dd && len >= l2 + 48 && data[l2 + 6] == 17) {
            char a[INET6_ADDRSTRLEN], b[INET6_ADDRSTRLEN];
            inet_ntop(AF_INET6, data + l2 + 8, a, sizeof a);
            inet_ntop(AF_INET6, data + l2 + 24, b, sizeof b);
            e.protocol = "UDP";
            e.srcAddr = IpAddress::FromV6(std::span<const uint8_t>(data + l2 + 8, 16));
            e.dstAddr = IpAddress::FromV6(std::span<const uint8_t>(data + l2 + 24, 16));
            e.ipProtocol = kIpProtoUdp;
            e.hasPorts = true;
            e.srcPort = static_cast<uint16_t>(Be16(data + l2 + 40));
            e.dstPort = static_cast<uint16_t>(Be16(data + l2 + 42));
            e.source = "[" + std::string(a) + "]:" + std::to_string(Be16(data + l2 + 40));
            e.destination = "[" + std::string(b) + "]:" + std::to_string(Be16(data + l2 + 42));
            if (l2 + 48 < len) SetFramePayload(e, l2 + 48);
            SetEndpointsFromText(e, e.source, e.destination);
            out.push_back(std::move(e));
            continue;
        }
        if (ether != 0x0800 || len < l2 + 20) {
            e.protocol = "Eth";
            out.push_back(std::move(e));
            continue;
        }
        const uint8_t* ip = data + l2;
        const size_t h = l2 + (ip[0] & 0x0F) * 4u;
        e.source = Dotted(ip + 12);
        e.destination = Dotted(ip + 16);
        e.srcAddr = IpAddress::FromV4(std::span<const uint8_t>(ip + 12, 4));
        e.dstAddr = IpAddress::FromV4(std::span<const uint8_t>(ip + 16, 4));
        e.ipProtocol = ip[9];
        if ((ip[9] == 17 && len >= h + 8) || (ip[9] == 6 && len >= h + 20)) {
            e.hasPorts = true;
            e.srcPort = static_cast<uint16_t>(Be16(data + h));
            e.dstPort = static_cast<uint16_t>(Be16(data + h + 2));
        }
        size_t transport = 0;
        if (ip[9] == 17 && len >= h + 8) {
            e.protocol = "UDP";
            e.source += ":" + std::to_string(Be16(data + h));
            e.destination += ":" + std::to_string(Be16(data + h + 2));
            transport = 8;
        } else if (ip[9] == 6 && len >= h + 20) {
            e.protocol = "TCP";
            e.source += ":" + std::to_string(Be16(data + h));
            e.destination += ":" + std::to_string(Be16(data + h + 2));
            transport = (data[h + 12] >> 4) * 4u;
            e.tcpSeq = (uint32_t{data[h + 4]} << 24) | (uint32_t{data[h + 5]} << 16) | (uint32_t{data[h + 6]} << 8) |
                       data[h + 7];
            e.tcpFlags = data[h + 13];
        }
        if (h + transport < len) SetFramePayload(e, h + transport);
        SetEndpointsFromText(e, e.source, e.destination, ip[9]);
        if (ip[9] == 6 && len >= h + 20) {
            e.tcpSeq = (uint32_t{data[h + 4]} << 24) | (uint32_t{data[h + 5]} << 16) | (uint32_t{data[h + 6]} << 8) | data[h + 7];
            e.tcpFlags = data[h + 13];
        }
        out.push_back(std::move(e));
    }
    pcap_close(handle);
    return out;
}
