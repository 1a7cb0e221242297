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
