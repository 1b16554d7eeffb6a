// Toon ramps computed from a few numbers: a vertical gradient whose top row is the lit
// side and whose bottom row is the side turned away from the light. Shared by
// pavonix-make-toon (the ten default ramps) and pavonix-make-demo (Pavo's own).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "make_demo/ImageWriters.h"

namespace toon {

struct RampSpec {
    float lit[3];     // colour of the lit side (0..1)
    float shade[3];   // colour of the side in shadow
    float step;       // where the shade begins, 0 (top) .. 1 (bottom); 0.5 = the terminator
    float softness;   // width of the blend between the two, as a fraction of the height
    float deep[3];    // a second, darker shade towards the bottom ...
    float deepStep;   // ... beginning here (above 1: none)
};

inline float smooth(float edge, float width, float t) {
    if (width <= 0.0f) return t < edge ? 0.0f : 1.0f;
    const float x = std::min(1.0f, std::max(0.0f, (t - edge + width * 0.5f) / width));
    return x * x * (3.0f - 2.0f * x);
}

inline demo::Picture makeRamp(const RampSpec& s, int width = 16, int height = 64) {
    demo::Picture p;
    p.width = width;
    p.height = height;
    p.rgba.assign(static_cast<size_t>(width) * height * 4, 255);
    for (int y = 0; y < height; ++y) {
        const float t = (static_cast<float>(y) + 0.5f) / static_cast<float>(height);
        const float a = smooth(s.step, s.softness, t);
        const float b = s.deepStep <= 1.0f ? smooth(s.deepStep, s.softness, t) : 0.0f;
        uint8_t rgb[3];
        for (int k = 0; k < 3; ++k) {
            float v = s.lit[k] + (s.shade[k] - s.lit[k]) * a;
            v += (s.deep[k] - v) * b;
            rgb[k] = static_cast<uint8_t>(std::lround(std::min(1.0f, std::max(0.0f, v)) * 255.0f));
        }
        for (int x = 0; x < width; ++x) {
            uint8_t* px = p.at(x, y);
            px[0] = rgb[0];
            px[1] = rgb[1];
            px[2] = rgb[2];
        }
    }
    return p;
}

// The ten shared ramps, toon01 first: neutral, warm skin, cool cloth, hard dark,
// rose, moss, pale, three-tone, violet and the almost flat one eyes use.
inline RampSpec defaultRamp(int index) {
    static const RampSpec kRamps[10] = {
        {{1, 1, 1}, {0.80f, 0.80f, 0.82f}, 0.50f, 0.10f, {0, 0, 0}, 2.0f},
        {{1, 1, 1}, {0.93f, 0.80f, 0.76f}, 0.48f, 0.08f, {0, 0, 0}, 2.0f},
        {{1, 1, 1}, {0.76f, 0.80f, 0.90f}, 0.50f, 0.08f, {0, 0, 0}, 2.0f},
        {{1, 1, 1}, {0.62f, 0.62f, 0.64f}, 0.52f, 0.03f, {0, 0, 0}, 2.0f},
        {{1, 1, 1}, {0.92f, 0.78f, 0.82f}, 0.50f, 0.12f, {0, 0, 0}, 2.0f},
        {{1, 1, 1}, {0.78f, 0.86f, 0.78f}, 0.50f, 0.10f, {0, 0, 0}, 2.0f},
        {{1, 1, 1}, {0.90f, 0.90f, 0.90f}, 0.45f, 0.30f, {0, 0, 0}, 2.0f},
        {{1, 1, 1}, {0.84f, 0.82f, 0.84f}, 0.44f, 0.04f, {0.66f, 0.64f, 0.70f}, 0.70f},
        {{1, 1, 1}, {0.84f, 0.78f, 0.92f}, 0.50f, 0.08f, {0, 0, 0}, 2.0f},
        {{1, 1, 1}, {0.96f, 0.96f, 0.96f}, 0.55f, 0.20f, {0, 0, 0}, 2.0f},
    };
    return kRamps[std::min(9, std::max(0, index))];
}

}  // namespace toon
