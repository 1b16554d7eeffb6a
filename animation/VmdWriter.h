// Writing VMD motion files ("Vocaloid Motion Data 0002") from keys held in memory: the
// project's own way to make motion files for tests, benchmarks and demos.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Control values (x1, y1, x2, y2) of one interpolation channel, 0..127 (stored as bytes,
// so values of 128 and above read back as negative).
struct VmdCurve {
    int x1 = 20, y1 = 20, x2 = 107, y2 = 107;  // the straight line
};

struct VmdBoneKeyDef {
    std::string name;  // CP932 bytes; the first 15 are written, without terminator at 15
    uint32_t frame = 0;
    float position[3] = {0.0f, 0.0f, 0.0f};
    float rotation[4] = {0.0f, 0.0f, 0.0f, 1.0f};  // x, y, z, w as stored (not normalised)
    VmdCurve curves[4];                              // X, Y, Z position, rotation
};

struct VmdFaceKeyDef {
    std::string name;  // CP932 bytes, at most 15 written
    uint32_t frame = 0;
    float weight = 0.0f;
};

// One IK / visibility key: the model's visibility and the switch of each named chain
// (names: CP932 bytes of the goal bone, at most 20 written).
struct VmdIKKeyDef {
    uint32_t frame = 0;
    bool visible = true;
    std::vector<std::pair<std::string, bool>> switches;
};

// The file bytes: signature, model name (at most 20 bytes), the bone keys and the face
// keys in the order given, then empty camera, light and self-shadow sections, and the
// IK section when ikKeys is not empty.
std::vector<uint8_t> encodeVMD(const std::vector<VmdBoneKeyDef>& bones, const std::vector<VmdFaceKeyDef>& faces,
                               const std::string& modelName = std::string(),
                               const std::vector<VmdIKKeyDef>& ikKeys = {});

// encodeVMD written to path. False when the file cannot be written completely, with the
// line to report ("PATH: cannot ...") in *problem (may be null).
bool writeVMDFile(const char* path, const std::vector<VmdBoneKeyDef>& bones, const std::vector<VmdFaceKeyDef>& faces,
                  const std::string& modelName = std::string(), std::string* problem = nullptr);
