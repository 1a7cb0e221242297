#include "flow/RawPacketFilter.h"

#include <span>
#include <string>

#include "capture/Decode.h"

bool RawPacketMatches(const PacketLogEntry& p, std::string_view filter) {
    if (filter.empty()) return true;
    const PacketTexts texts = DescribePacket(p);
    // "protocol info" without building the joined string for every packet.
    const std::string_view proto(texts.protocol), info(texts.info);
    if (proto.find(filter) != std::string_view::npos || info.find(filter) != std::string_view::npos)
        return true;
    if (filter.size() <= proto.size() + 1 + info.size()) {
        std::string joined;
        joined.reserve(proto.size() + 1 + info.size());
        joined.append(proto).append(1, ' ').append(info);
        if (joined.find(filter) != std::string::npos) return true;
    }
    const std::span<const uint8_t> bytes = p.Payload();
    const std::string_view payload(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return payload.find(filter) != std::string_view::npos;
}
