// Pavo's textures and dance, all computed: no file made by anyone else goes in.
#include "make_demo/PavoAssets.h"

#include <algorithm>
#include <cmath>

namespace demo {

namespace {

constexpr float kPi = 3.14159265358979f;

uint8_t clampByte(float v) { return static_cast<uint8_t>(std::clamp(v, 0.0f, 255.0f) + 0.5f); }

Picture makePicture(int w, int h) {
    Picture p;
    p.width = w;
    p.height = h;
    p.rgba.assign(static_cast<size_t>(w) * h * 4, 255);
    return p;
}

void set(Picture& p, int x, int y, float r, float g, float b, float a = 255.0f) {
    uint8_t* c = p.at(x, y);
    c[0] = clampByte(r);
    c[1] = clampByte(g);
    c[2] = clampByte(b);
    c[3] = clampByte(a);
}

// A peacock feather's eye: gold rim, green ring, blue heart, fading barbs around it.
void featherEye(float u, float v, float& r, float& g, float& b, float& a) {
    const float dx = (u - 0.5f) * 2.0f, dy = (v - 0.32f) * 2.4f;
    const float d = std::sqrt(dx * dx + dy * dy);
    const float barbs = 0.5f + 0.5f * std::sin(u * 60.0f + v * 8.0f);
    r = 40 + 50 * barbs;
    g = 120 + 60 * barbs;
    b = 60 + 30 * barbs;
    a = 255 * std::clamp(1.4f - std::fabs(dx) * 1.1f, 0.0f, 1.0f);
    if (d < 0.9f) {
        r = 200, g = 170, b = 60, a = 255;
    }
    if (d < 0.7f) {
        r = 20, g = 150, b = 110;
    }
    if (d < 0.45f) {
        r = 20, g = 70, b = 190;
    }
    if (d < 0.22f) {
        r = 10, g = 20, b = 70;
    }
}

}  // namespace

Picture bodyTexture() {
    // Deep peacock blue with soft rows of scales.
    Picture p = makePicture(128, 128);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            const float fx = static_cast<float>(x) / 8.0f + ((y / 8) % 2) * 0.5f;
            const float fy = static_cast<float>(y % 8) / 8.0f;
            const float scale = std::fabs(std::sin(fx * kPi)) * (0.6f + 0.4f * fy);
            set(p, x, y, 20 + 25 * scale, 80 + 60 * scale, 170 + 60 * scale);
        }
    }
    return p;
}

Picture faceTexture() {
    // Lighter blue, with rosy cheeks low on both sides of the front.
    Picture p = makePicture(128, 64);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            const float u = static_cast<float>(x) / p.width, v = static_cast<float>(y) / p.height;
            float r = 60 + 40 * v, g = 150 + 40 * v, b = 230;
            for (float cu : {0.13f, 0.87f}) {
                const float du = (u - cu) * 7.0f, dv = (v - 0.62f) * 7.0f;
                const float k = std::exp(-(du * du + dv * dv));
                r += (255 - r) * 0.7f * k;
                g += (140 - g) * 0.7f * k;
                b += (170 - b) * 0.7f * k;
            }
            set(p, x, y, r, g, b);
        }
    }
    return p;
}

Picture bellyTexture() {
    // Warm cream with a gentle feathered pattern.
    Picture p = makePicture(64, 64);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            const float w = 0.5f + 0.5f * std::sin(static_cast<float>(x) * 0.6f) * std::sin(static_cast<float>(y) * 0.4f);
            set(p, x, y, 235 + 15 * w, 220 + 15 * w, 170 + 20 * w);
        }
    }
    return p;
}

Picture crestTexture() {
    Picture p = makePicture(64, 64);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            float r, g, b, a;
            featherEye((x + 0.5f) / p.width, (y + 0.5f) / p.height, r, g, b, a);
            set(p, x, y, r, g, b, a);
        }
    }
    return p;
}

Picture tailTexture() {
    // Feather eye at the tip (top of the picture), green barbs down the shaft.
    Picture p = makePicture(64, 256);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            const float u = (x + 0.5f) / p.width, v = (y + 0.5f) / p.height;
            float r, g, b, a;
            featherEye(u, v * 4.0f - 0.3f, r, g, b, a);
            if (v > 0.35f) {
                const float shaft = std::exp(-std::pow((u - 0.5f) * 18.0f, 2.0f));
                const float barbs = 0.5f + 0.5f * std::sin(v * 90.0f + std::fabs(u - 0.5f) * 30.0f);
                r = 30 + 40 * barbs + 150 * shaft;
                g = 110 + 70 * barbs + 90 * shaft;
                b = 70 + 30 * barbs;
            }
            set(p, x, y, r, g, b);
        }
    }
    return p;
}

Picture shineSphere() {
    // Multiplied onto the lit colour: bright in the middle, darker at the rim.
    Picture p = makePicture(64, 64);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            const float dx = (x + 0.5f) / 32.0f - 1.0f, dy = (y + 0.5f) / 32.0f - 1.0f;
            const float d = std::min(1.0f, std::sqrt(dx * dx + dy * dy));
            const float k = 255.0f * (1.0f - 0.35f * d * d);
            set(p, x, y, k, k, k);
        }
    }
    return p;
}

Picture glowSphere() {
    // Added onto the lit colour: a small highlight up and to the left.
    Picture p = makePicture(64, 64);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            const float dx = (x + 0.5f) / 32.0f - 0.7f, dy = (y + 0.5f) / 32.0f - 0.7f;
            const float k = 200.0f * std::exp(-(dx * dx + dy * dy) * 18.0f);
            set(p, x, y, k, k, k);
        }
    }
    return p;
}

// ---------------------------------------------------------------------------------
// The dance: 20 seconds (600 frames at 30 per second), four-beat bars of 30 frames.

namespace {

struct Quat {
    float x, y, z, w;
};

// Rotation by Euler angles in radians, applied as Y, then X, then Z (an upright
// figure's usual order); only the result matters, the file stores quaternions.
Quat euler(float x, float y, float z) {
    const float cx = std::cos(x / 2), sx = std::sin(x / 2), cy = std::cos(y / 2), sy = std::sin(y / 2),
                cz = std::cos(z / 2), sz = std::sin(z / 2);
    // q = qy * qx * qz
    const Quat qy{0, sy, 0, cy}, qx{sx, 0, 0, cx}, qz{0, 0, sz, cz};
    auto mul = [](Quat a, Quat b) {
        return Quat{a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y, a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
                    a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w, a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z};
    };
    return mul(mul(qy, qx), qz);
}

float deg(float d) { return d * kPi / 180.0f; }

// Ease in and out; and a livelier curve for quick moves.
const VmdCurve kEase{40, 0, 87, 127};
const VmdCurve kSnap{20, 60, 60, 127};
const VmdCurve kLinear{20, 20, 107, 107};

VmdBoneKeyDef key(const std::string& bone, uint32_t frame, float px, float py, float pz, Quat q,
                  const VmdCurve& curve = kEase) {
    VmdBoneKeyDef k;
    k.name = bone;
    k.frame = frame;
    k.position[0] = px;
    k.position[1] = py;
    k.position[2] = pz;
    k.rotation[0] = q.x;
    k.rotation[1] = q.y;
    k.rotation[2] = q.z;
    k.rotation[3] = q.w;
    for (auto& c : k.curves) c = curve;
    return k;
}

}  // namespace

DanceKeys pavoDance() {
    DanceKeys d;
    const uint32_t kEnd = 600;
    const uint32_t kBeat = 15;
    auto& b = d.bones;

    for (uint32_t f = 0; f <= kEnd; f += kBeat) {
        const int beat = static_cast<int>(f / kBeat);
        const float s = (beat % 2 == 0) ? 1.0f : -1.0f;  // sway side
        const bool intro = f < 60;
        const bool outro = f >= 570;
        const float amp = intro || outro ? 0.0f : 1.0f;
        // The body sways and bobs on every beat; the hips dip between beats.
        const float bob = (beat % 2 == 0 ? -0.5f : -0.15f) * amp;
        b.push_back(key("センター", f, 0.7f * s * amp, bob, 0.0f, euler(0, deg(12) * s * amp, 0), kEase));
        b.push_back(key("上半身", f, 0, 0, 0, euler(deg(6) * amp, deg(-10) * s * amp, deg(8) * s * amp), kEase));
        b.push_back(key("下半身", f, 0, 0, 0, euler(0, deg(8) * s * amp, deg(-5) * s * amp), kEase));
        b.push_back(key("首", f, 0, 0, 0, euler(deg(-4) * amp, deg(-6) * s * amp, 0), kEase));
        // The head nods on the beat and looks around every other bar.
        const float look = (beat / 4) % 2 == 0 ? deg(18) : deg(-18);
        b.push_back(key("頭", f, 0, 0, 0, euler(deg(beat % 2 == 0 ? 10 : -4) * amp, look * amp, deg(6) * s * amp),
                        kSnap));

        // Arms: waves in the first half, claps over the head in the chorus.
        const bool chorus = f >= 300 && f < 480;
        for (int side = 0; side < 2; ++side) {
            const std::string lr = side == 0 ? "左" : "右";
            const float m = side == 0 ? 1.0f : -1.0f;  // mirror for the right side
            float lift, forward, bend;
            if (chorus) {
                lift = deg(beat % 2 == 0 ? 75 : 55);
                forward = deg(-25);
                bend = deg(beat % 2 == 0 ? 60 : 20);
            } else {
                const bool up = (beat + side) % 2 == 0;
                lift = deg(up ? 45 : -10);
                forward = deg(up ? -20 : 10);
                bend = deg(up ? 35 : 10);
            }
            lift *= amp;
            forward *= amp;
            bend *= amp;
            b.push_back(key(lr + "腕", f, 0, 0, 0, euler(forward, 0, lift * m), kEase));
            b.push_back(key(lr + "ひじ", f, 0, 0, 0, euler(0, -bend * m, 0), kEase));
            b.push_back(key(lr + "手首", f, 0, 0, 0, euler(0, 0, deg(20) * s * amp), kLinear));
        }

        // Steps: the feet take turns, lifted between beats and set down on them.
        for (int side = 0; side < 2; ++side) {
            const std::string lr = side == 0 ? "左" : "右";
            const bool stepping = (beat % 4) == (side == 0 ? 1 : 3) && !intro && !outro;
            const float out = side == 0 ? 0.5f : -0.5f;
            const float x = (s > 0 ? 0.6f : -0.2f) * (side == 0 ? 1.0f : -1.0f) * amp + out * amp * 0.3f;
            b.push_back(key(lr + "足ＩＫ", f, x, stepping ? 1.4f : 0.0f, stepping ? -0.6f : 0.0f,
                            euler(0, 0, 0), stepping ? kSnap : kEase));
        }
    }

    // Faces: blinks, a little song, and a smile for the chorus.
    auto face = [&d](const char* name, uint32_t frame, float weight) {
        VmdFaceKeyDef k;
        k.name = name;
        k.frame = frame;
        k.weight = weight;
        d.faces.push_back(k);
    };
    for (uint32_t f = 40; f + 8 < kEnd; f += 97) {
        face("まばたき", f, 0.0f);
        face("まばたき", f + 3, 1.0f);
        face("まばたき", f + 7, 0.0f);
    }
    const char* vowels[] = {"あ", "い", "う", "あ", "う", "い"};
    for (const char* v : {"あ", "い", "う"}) face(v, 0, 0.0f);
    for (uint32_t f = 120, i = 0; f < 300; f += 10, ++i) {
        const char* v = vowels[i % 6];
        face(v, f, 0.0f);
        face(v, f + 4, 0.9f);
        face(v, f + 9, 0.0f);
    }
    face("笑い", 0, 0.0f);
    face("笑い", 290, 0.0f);
    face("笑い", 305, 1.0f);
    face("笑い", 470, 1.0f);
    face("笑い", 490, 0.0f);
    face("笑い", kEnd, 0.6f);
    return d;
}

}  // namespace demo
