#include "flow/SdpReader.h"

#include <limits>

std::optional<int32_t> ReadSdpAudioPort(std::string_view text) {
    if (text.size() <= 8) return std::nullopt;
    size_t pos = text.find("\nm=audio ");
    if (pos == std::string_view::npos && text.size() >= 9) pos = text.find("\rm=audio ");
    if (pos == std::string_view::npos) return std::nullopt;
    std::string_view field = text.substr(pos + 9, 10);
    // Read like a formatted stream extraction of an int: blanks, optional sign, digits;
    // a value out of range is a failed read.
    size_t i = 0;
    while (i < field.size() && (field[i] == ' ' || field[i] == '\t' || field[i] == '\n' ||
                                field[i] == '\r' || field[i] == '\v' || field[i] == '\f')) ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
    int64_t value = 0;
    bool any = false;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
        any = true;
        value = value * 10 + (field[i] - '0');  // at most 10 digits: fits in 64 bits
    }
    if (!any) return std::nullopt;
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min()) return std::nullopt;
    return static_cast<int32_t>(value);
}

namespace {

std::string_view TrimLine(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    return line;
}

// "c=IN IP4 192.0.2.1" or "c=IN IP6 2001:db8::1" (a multicast "/ttl" suffix dropped).
std::optional<IpAddress> ConnectionAddress(std::string_view value) {
    if (!value.starts_with("IN ")) return std::nullopt;
    value.remove_prefix(3);
    const bool v6 = value.starts_with("IP6 ");
    if (!v6 && !value.starts_with("IP4 ")) return std::nullopt;
    value.remove_prefix(4);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    value = value.substr(0, value.find_first_of(" /"));
    std::optional<IpAddress> a = IpAddress::Parse(value);
    if (!a || (a->family == IpAddress::V6) != v6) return std::nullopt;
    bool zero = true;
    for (uint8_t b : a->Bytes()) zero = zero && b == 0;
    if (zero) return std::nullopt;
    return a;
}

std::optional<uint16_t> MediaPort(std::string_view value) {
    uint32_t port = 0;
    size_t i = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        port = port * 10 + static_cast<uint32_t>(value[i] - '0');
        if (port > 65535) return std::nullopt;
    }
    if (i == 0) return std::nullopt;
    return static_cast<uint16_t>(port);
}

}  // namespace

std::optional<Endpoint> ReadSdpAudioEndpoint(std::string_view message) {
    size_t body = message.find("\r\n\r\n");
    body = body == std::string_view::npos ? message.find("\n\n") : body;
    if (body == std::string_view::npos) return std::nullopt;
    std::string_view sdp = message.substr(body);

    std::optional<IpAddress> session, media;
    std::optional<uint16_t> port;
    bool inMedia = false;  // past the first m= line
    bool inAudio = false;  // inside the chosen audio section
    while (!sdp.empty()) {
        const size_t end = sdp.find('\n');
        const std::string_view line = TrimLine(sdp.substr(0, end));
        sdp = end == std::string_view::npos ? std::string_view() : sdp.substr(end + 1);
        if (line.size() < 2 || line[1] != '=') continue;
        const std::string_view value = line.substr(2);
        if (line[0] == 'm') {
            if (inAudio) break;  // the chosen section ended
            inMedia = true;
            if (value.starts_with("audio ")) {
                const std::optional<uint16_t> p = MediaPort(value.substr(6));
                if (p && *p != 0) {
                    port = p;
                    inAudio = true;
                }
            }
        } else if (line[0] == 'c') {
            if (!inMedia) session = ConnectionAddress(value);
            else if (inAudio) media = ConnectionAddress(value);
        }
    }
    if (!port) return std::nullopt;
    const std::optional<IpAddress>& address = media ? media : session;
    if (!address) return std::nullopt;
    return Endpoint{*address, *port};
}
