#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "capture/ByteReader.h"
#include "capture/Decode.h"

// What the link layer says about the network header.
struct LinkInfo {
    enum Kind : uint8_t {
        Ipv4,         // network header at netOffset is IPv4
        Ipv6,         // network header at netOffset is IPv6, its 40 bytes captured
        OtherEther,   // neither IPv4 nor a complete IPv6 header; `value` is the EtherType
        OtherFamily,  // BSD loopback, neither IPv4 nor IPv6; `value` is the address family
        OtherRaw,     // raw IP, neither version 4 nor 6; `value` is the version nibble
    };
    bool usable = false;           // false: not decoded (status says why)
    DecodeStatus status = DecodeStatus::NotMine;
    Kind kind = OtherEther;
    uint32_t value = 0;
    size_t netOffset = 0;          // first byte of the network header
    size_t hexOffset = 0;          // where the hex dump of a non-IPv4 frame starts
};

// Finds the network header of a frame of `linkType`. A frame cut inside its link header, or
// an IP frame shorter than the network offset + 20 (one minimal IPv4 header), is truncated
// and not usable; a complete frame of another protocol is usable and NotMine.
LinkInfo ParseLinkLayer(int linkType, const ByteReader& frame);

// "Eth 0x806", "Eth 0x86dd", "AF 7", ... for a frame that is not IPv4.
std::string NonIpv4ProtocolText(const LinkInfo& link);
