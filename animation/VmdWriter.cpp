#include "animation/VmdWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kSignature[] = "Vocaloid Motion Data 0002";
constexpr std::size_t kSignatureBytes = 30;
constexpr std::size_t kModelNameBytes = 20;
constexpr std::size_t kNameBytes = 15;
constexpr std::size_t kCurveBlockBytes = 64;

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void putF32(std::vector<uint8_t>& out, float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof(bits));
    putU32(out, bits);
}

void putField(std::vector<uint8_t>& out, const std::string& s, std::size_t bytes) {
    const std::size_t n = std::min(s.size(), bytes);
    out.insert(out.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
    out.insert(out.end(), bytes - n, 0);
}

}  // namespace

std::vector<uint8_t> encodeVMD(const std::vector<VmdBoneKeyDef>& bones, const std::vector<VmdFaceKeyDef>& faces,
                               const std::string& modelName, const std::vector<VmdIKKeyDef>& ikKeys) {
    std::vector<uint8_t> out;
    out.reserve(58 + 111 * bones.size() + 23 * faces.size() + 12);
    putField(out, kSignature, kSignatureBytes);
    putField(out, modelName, kModelNameBytes);

    putU32(out, static_cast<uint32_t>(bones.size()));
    for (const VmdBoneKeyDef& k : bones) {
        putField(out, k.name, kNameBytes);
        putU32(out, k.frame);
        for (float v : k.position) putF32(out, v);
        for (float v : k.rotation) putF32(out, v);
        // Channel c keeps x1, y1, x2, y2 at block offsets 16c, +4, +8, +12; the bytes
        // between are left at zero.
        uint8_t block[kCurveBlockBytes] = {};
        for (int c = 0; c < 4; ++c) {
            block[16 * c + 0] = static_cast<uint8_t>(k.curves[c].x1);
            block[16 * c + 4] = static_cast<uint8_t>(k.curves[c].y1);
            block[16 * c + 8] = static_cast<uint8_t>(k.curves[c].x2);
            block[16 * c + 12] = static_cast<uint8_t>(k.curves[c].y2);
        }
        out.insert(out.end(), block, block + kCurveBlockBytes);
    }

    putU32(out, static_cast<uint32_t>(faces.size()));
    for (const VmdFaceKeyDef& k : faces) {
        putField(out, k.name, kNameBytes);
        putU32(out, k.frame);
        putF32(out, k.weight);
    }

    putU32(out, 0);  // camera keys
    putU32(out, 0);  // light keys
    putU32(out, 0);  // self-shadow keys
    if (ikKeys.empty()) return out;
    putU32(out, static_cast<uint32_t>(ikKeys.size()));
    for (const VmdIKKeyDef& k : ikKeys) {
        putU32(out, k.frame);
        out.push_back(k.visible ? 1 : 0);
        putU32(out, static_cast<uint32_t>(k.switches.size()));
        for (const auto& sw : k.switches) {
            putField(out, sw.first, 20);
            out.push_back(sw.second ? 1 : 0);
        }
    }
    return out;
}

bool writeVMDFile(const char* path, const std::vector<VmdBoneKeyDef>& bones, const std::vector<VmdFaceKeyDef>& faces,
                  const std::string& modelName, std::string* problem) {
    const std::vector<uint8_t> bytes = encodeVMD(bones, faces, modelName);
    std::FILE* file = std::fopen(path, "wb");
    if (!file) {
        if (problem) *problem = std::string(path) + ": cannot create the motion file: " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        if (problem) *problem = std::string(path) + ": cannot write the motion file";
        return false;
    }
    return true;
}
