// Writing PMD and PMX 2.0/2.1 files from a description in memory. Tests build small
// models with it (and damage the bytes on purpose); the demo generator builds its
// characters with it.
//
// One description serves both formats. Names and texts are UTF-8; the PMD writer turns
// them into CP932 and cuts them to their fixed fields, the PMX writer encodes them as
// the header says. Fields only one format has are marked PMD or PMX.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace modelwriter {

struct VertexDesc {
    float position[3] = {0, 0, 0};
    float normal[3] = {0, 0, 1};
    float uv[2] = {0, 0};
    // PMX deformation type (0 BDEF1, 1 BDEF2, 2 BDEF4, 3 SDEF, 4 QDEF). PMD always
    // writes bones[0], bones[1] and weights[0] (rounded to a percentage).
    uint8_t skinType = 1;
    int32_t bones[4] = {0, 0, -1, -1};
    float weights[4] = {1, 0, 0, 0};
    float sdef[9] = {};  // PMX SDEF C, R0, R1
    float additionalUV[4][4] = {};  // PMX, the first header.additionalUVCount sets
    float edgeScale = 1.0f;         // PMX
};

struct MaterialDesc {
    std::string name = "material";  // PMX
    float diffuse[4] = {1, 1, 1, 1};
    float specular[3] = {0, 0, 0};
    float shininess = 5.0f;
    float ambient[3] = {0.5f, 0.5f, 0.5f};
    // PMX: the draw flags as written. PMD: bit 0x10 becomes the edge byte.
    uint8_t flags = 0;
    // PMD: the 20-byte texture field as written ("body.bmp*light.sph"), CP932 bytes
    // taken as they stand, cut at 20 bytes (a 20-byte name has no terminator).
    std::string pmdTexture;
    // PMX: indices into ModelDesc::textures (-1 none), sphere mode 0..3 (values above 3
    // are written as given, to test refusals).
    int32_t texture = -1;
    int32_t sphereTexture = -1;
    uint8_t sphereMode = 0;
    uint8_t sharedToon = 1;  // PMX: 1 = toon is one byte, 0 = a texture index
    int32_t toon = 0;
    uint8_t pmdToon = 0xFF;  // PMD: entry of PMDOptions::toonNameList, 0xFF none
    float edgeColour[4] = {0, 0, 0, 1};  // PMX
    float edgeSize = 1.0f;               // PMX
    uint32_t indexCount = 0;
};

struct BoneDesc {
    std::string name;
    float position[3] = {0, 0, 0};
    int32_t parent = -1;  // -1 none (PMD writes 65535)
    int32_t tail = -1;    // tail bone, -1 none (PMD writes 0; PMX sets flag 0x0001)
    // PMD bone type and IK number field, written as they stand.
    uint8_t pmdType = 0;
    uint16_t pmdIKNumber = 0;
    // PMX flags other than 0x0001 (tail), 0x0020 (IK: set by ModelDesc::ikChains) and
    // 0x0100 (set when appendParent is not -1 and appendTranslation is false).
    uint16_t pmxFlags = 0x001A;  // rotatable, visible, operable
    int32_t appendParent = -1;   // PMX
    float appendRatio = 1.0f;
    bool appendTranslation = false;  // PMX: 0x0200 instead of 0x0100
    bool appendBoth = false;         // PMX: 0x0100 and 0x0200
    int32_t deformLayer = 0;         // PMX
    float fixedAxis[3] = {1, 0, 0};  // PMX, written when pmxFlags has 0x0400
    float localAxisX[3] = {1, 0, 0}, localAxisZ[3] = {0, 0, 1};  // PMX, with 0x0800
};

struct IKLinkDesc {
    int32_t bone = 0;
    bool limited = false;  // PMX: writes lower and upper angle limits
    float lower[3] = {0, 0, 0};
    float upper[3] = {0, 0, 0};
};

// PMD: one IK record each. PMX: attached to ikBone's record (the first chain naming a
// bone wins); linkCountOverride, when >= 0, is written instead of links.size() so a
// test can declare more links than it lists.
struct IKChainDesc {
    int32_t ikBone = 0;
    int32_t target = 0;
    uint16_t iterations = 10;
    float limit = 0.5f;  // PMD: weight; PMX: limit angle in radians
    std::vector<IKLinkDesc> links;
    int32_t linkCountOverride = -1;
};

struct MorphOffsetDesc {
    int32_t index = 0;               // vertex (or morph, bone, material, body) index
    // Vertex: the offset. Group and flip: value[0] is the member's weight. Bone: the
    // translation.
    float value[3] = {0, 0, 0};
    float rotation[4] = {0, 0, 0, 1};  // PMX bone: the turn (x, y, z, w)
    float uv[4] = {0, 0, 0, 0};        // PMX UV and additional UV
    // PMX material (index -1 = every material): operation 0 multiply, 1 add, then the
    // values; the defaults multiply by one. Impulse payloads are written as zeros.
    uint8_t operation = 0;
    float diffuse[4] = {1, 1, 1, 1};
    float specular[3] = {1, 1, 1};
    float power = 1;
    float ambient[3] = {1, 1, 1};
    float edgeColour[4] = {1, 1, 1, 1};
    float edgeSize = 1;
    float textureTint[4] = {1, 1, 1, 1};
    float sphereTint[4] = {1, 1, 1, 1};
    float toonTint[4] = {1, 1, 1, 1};
};

// PMD: the first morph is the base (absolute positions of vertices); later ones name
// places in the base and hold offsets. PMX: the morph type says which of the offset's
// fields are written (type 1 = vertex morph with offsets from the rest position).
struct MorphDesc {
    std::string name;
    uint8_t panel = 0;
    uint8_t type = 1;  // PMX morph type
    std::vector<MorphOffsetDesc> offsets;
};

struct RigidBodyDesc {
    std::string name = "body";
    int32_t bone = -1;  // PMD: -1 writes 65535 ("センター")
    uint8_t group = 0;
    uint16_t mask = 0xFFFF;
    uint8_t shape = 0;  // 0 sphere, 1 box, 2 capsule
    float size[3] = {1, 1, 1};
    float position[3] = {0, 0, 0};
    float rotation[3] = {0, 0, 0};
    float mass = 1, linearDamping = 0.5f, angularDamping = 0.5f, restitution = 0, friction = 0.5f;
    uint8_t mode = 0;
};

struct JointDesc {
    std::string name = "joint";
    int32_t bodyA = 0, bodyB = 0;
    float position[3] = {0, 0, 0};
    float rotation[3] = {0, 0, 0};
    float linearLower[3] = {0, 0, 0}, linearUpper[3] = {0, 0, 0};
    float angularLower[3] = {0, 0, 0}, angularUpper[3] = {0, 0, 0};
    float linearSpring[3] = {0, 0, 0}, angularSpring[3] = {0, 0, 0};
};

struct PMXOptions {
    float version = 2.0f;         // 2.0 or 2.1 (other values to test refusals)
    uint8_t textEncoding = 0;     // 0 UTF-16LE, 1 UTF-8
    uint8_t additionalUVCount = 0;
    // Index widths; 0 chooses the smallest that holds every index.
    uint8_t vertexIndexSize = 0, textureIndexSize = 0, materialIndexSize = 0, boneIndexSize = 0,
            morphIndexSize = 0, rigidBodyIndexSize = 0;
};

struct PMDOptions {
    bool english = true;      // write the English block (names copied from the Japanese ones)
    bool toonNames = true;    // write the 10 toon names; needed for the physics sections
    // The names written; missing entries are toon01.bmp ... toon10.bmp.
    std::vector<std::string> toonNameList;
    bool physics = true;      // write rigid-body and joint sections (even when empty)
};

struct ModelDesc {
    std::string name = "model";
    std::string comment;
    std::vector<VertexDesc> vertices;
    std::vector<uint32_t> indices;
    std::vector<std::string> textures;  // PMX texture table
    std::vector<MaterialDesc> materials;
    std::vector<BoneDesc> bones;
    std::vector<IKChainDesc> ikChains;
    std::vector<MorphDesc> morphs;
    std::vector<RigidBodyDesc> rigidBodies;
    std::vector<JointDesc> joints;
    PMXOptions pmx;
    PMDOptions pmd;
};

// Where each section starts in the written bytes (the count field of the section), so a
// test can damage a chosen field. Sections a format lacks stay 0.
struct Layout {
    std::size_t vertices = 0, indices = 0, textures = 0, materials = 0, bones = 0, ikChains = 0, morphs = 0,
                displayLists = 0, english = 0, toonNames = 0, rigidBodies = 0, joints = 0, end = 0;
    std::vector<std::size_t> boneRecords;      // start of each bone record
    std::vector<std::size_t> materialRecords;  // start of each material record
};

std::vector<uint8_t> writePMD(const ModelDesc& model, Layout* layout = nullptr);
std::vector<uint8_t> writePMX(const ModelDesc& model, Layout* layout = nullptr);

// Writes bytes to path (UTF-8). Returns false when the file cannot be written.
bool saveFile(const std::string& path, const std::vector<uint8_t>& bytes);

// UTF-8 to UTF-16LE bytes (surrogate pairs outside the BMP; invalid bytes become U+FFFD).
std::string utf8ToUtf16le(const std::string& utf8);

}  // namespace modelwriter
