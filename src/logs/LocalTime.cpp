#include "logs/LocalTime.h"

std::string LocalTimeText(std::time_t t, const char* format) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    if (std::strftime(buf, sizeof buf, format, &tm) == 0) return {};
    return buf;
}
