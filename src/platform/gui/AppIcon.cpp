#include "platform/gui/AppIcon.h"

#include <algorithm>
#include <cmath>

namespace platform {

namespace {

struct Rgba {
    float r, g, b, a;
};

// Distance from point p to segment ab.
float SegmentDistance(float px, float py, float ax, float ay, float bx, float by) {
    const float dx = bx - ax, dy = by - ay;
    const float len2 = dx * dx + dy * dy;
    float t = len2 > 0 ? ((px - ax) * dx + (py - ay) * dy) / len2 : 0.0f;
    t = std::clamp(t, 0.0f, 1.0f);
    const float qx = ax + t * dx - px, qy = ay + t * dy - py;
    return std::sqrt(qx * qx + qy * qy);
}

// The icon in unit coordinates (0..1): a dark blue rounded square, an accent-blue ring
// (the "O" of the name) and a white pulse line running through it, as on a trace.
Rgba Sample(float x, float y) {
    Rgba out{0, 0, 0, 0};
    auto over = [&out](Rgba c) {
        const float a = c.a + out.a * (1 - c.a);
        if (a <= 0) return;
        out.r = (c.r * c.a + out.r * out.a * (1 - c.a)) / a;
        out.g = (c.g * c.a + out.g * out.a * (1 - c.a)) / a;
        out.b = (c.b * c.a + out.b * out.a * (1 - c.a)) / a;
        out.a = a;
    };
    // Rounded square.
    const float radius = 0.2f;
    const float cx = std::clamp(x, radius, 1 - radius), cy = std::clamp(y, radius, 1 - radius);
    if (std::hypot(x - cx, y - cy) <= radius) over({0.06f, 0.16f, 0.30f, 1.0f});
    // Ring.
    const float d = std::hypot(x - 0.5f, y - 0.5f);
    if (d >= 0.27f && d <= 0.39f) over({0.2f, 0.7f, 1.0f, 1.0f});
    // Pulse line: flat, a spike up, a dip down, flat again.
    const float pts[][2] = {{0.08f, 0.55f}, {0.36f, 0.55f}, {0.45f, 0.22f}, {0.56f, 0.80f},
                            {0.64f, 0.55f}, {0.92f, 0.55f}};
    float best = 1.0f;
    for (int i = 0; i + 1 < 6; ++i) {
        best = std::min(best, SegmentDistance(x, y, pts[i][0], pts[i][1], pts[i + 1][0], pts[i + 1][1]));
    }
    if (best <= 0.045f) over({1.0f, 1.0f, 1.0f, 1.0f});
    return out;
}

}  // namespace

std::vector<uint32_t> DrawAppIcon(int size) {
    std::vector<uint32_t> pixels(static_cast<size_t>(std::max(size, 0)) * std::max(size, 0));
    constexpr int kSub = 4;  // 4x4 supersampling for smooth edges
    for (int py = 0; py < size; ++py) {
        for (int px = 0; px < size; ++px) {
            float r = 0, g = 0, b = 0, a = 0;
            for (int sy = 0; sy < kSub; ++sy) {
                for (int sx = 0; sx < kSub; ++sx) {
                    const Rgba c = Sample((px + (sx + 0.5f) / kSub) / size, (py + (sy + 0.5f) / kSub) / size);
                    r += c.r * c.a;
                    g += c.g * c.a;
                    b += c.b * c.a;
                    a += c.a;
                }
            }
            const float n = kSub * kSub;
            const float alpha = a / n;
            auto ch = [](float v) { return static_cast<uint32_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 255)); };
            const float inv = a > 0 ? 1.0f / a : 0.0f;
            pixels[static_cast<size_t>(py) * size + px] =
                (ch(alpha) << 24) | (ch(r * inv) << 16) | (ch(g * inv) << 8) | ch(b * inv);
        }
    }
    return pixels;
}

}  // namespace platform
