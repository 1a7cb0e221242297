// Writes the product's icon (drawn by platform::DrawAppIcon) as a Windows .ico file with
// 16, 32, 48 and 64 pixel images, for the Windows resource script. Built and run on the
// build machine by scripts/build-windows.sh.
//   make-icon OUT.ico
#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/gui/AppIcon.h"

namespace {

void Put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(v & 0xFF);
    b.push_back((v >> 8) & 0xFF);
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

// One icon image: a 32-bit bottom-up DIB (height doubled for the mask) and its AND mask.
std::vector<uint8_t> Image(int size) {
    const std::vector<uint32_t> argb = platform::DrawAppIcon(size);
    std::vector<uint8_t> b;
    Put32(b, 40);
    Put32(b, static_cast<uint32_t>(size));
    Put32(b, static_cast<uint32_t>(size * 2));
    Put16(b, 1);
    Put16(b, 32);
    for (int i = 0; i < 6; ++i) Put32(b, 0);
    for (int y = size - 1; y >= 0; --y)
        for (int x = 0; x < size; ++x) Put32(b, argb[static_cast<size_t>(y * size + x)]);  // BGRA in memory
    const int maskRow = ((size + 31) / 32) * 4;
    b.insert(b.end(), static_cast<size_t>(maskRow * size), 0);  // alpha decides; mask all opaque
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-icon OUT.ico\n");
        return 1;
    }
    const int sizes[] = {16, 32, 48, 64};
    std::vector<std::vector<uint8_t>> images;
    for (int s : sizes) images.push_back(Image(s));
    std::vector<uint8_t> out;
    Put16(out, 0);
    Put16(out, 1);
    Put16(out, static_cast<uint32_t>(images.size()));
    uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        out.push_back(static_cast<uint8_t>(sizes[i]));
        out.push_back(static_cast<uint8_t>(sizes[i]));
        out.push_back(0);
        out.push_back(0);
        Put16(out, 1);
        Put16(out, 32);
        Put32(out, static_cast<uint32_t>(images[i].size()));
        Put32(out, offset);
        offset += static_cast<uint32_t>(images[i].size());
    }
    for (const auto& img : images) out.insert(out.end(), img.begin(), img.end());
    FILE* f = std::fopen(argv[1], "wb");
    if (!f || std::fwrite(out.data(), 1, out.size(), f) != out.size()) return 1;
    return std::fclose(f) == 0 ? 0 : 1;
}
