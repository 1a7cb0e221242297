#pragma once
#include <cstdint>
#include <vector>

namespace platform {

// The product's icon, drawn in code at any size: 0xAARRGGBB pixels, row by row.
std::vector<uint32_t> DrawAppIcon(int size);

}  // namespace platform
