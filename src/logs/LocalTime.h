#pragma once
#include <ctime>
#include <string>

// `t` in local time, written with strftime's `format`; empty when the text would not fit in
// 63 characters.
std::string LocalTimeText(std::time_t t, const char* format);
