// The morphs of a PMX model of every kind, as the loader keeps them for playback
// (animation/MorphKinds.h applies them).
//
// Vertex morphs stay where PMD morphs live (ModelData::morphs, cMorph entries holding
// absolute targets); this table lists every morph of the file in file order, so the
// indices that group morphs store and the names face keys use both resolve here. The
// offsets of each other kind sit in one array per kind; a record names its run in it.
//
// The rest values that morphs change (texture coordinates, material colours) are kept
// here and written back at the start of each frame; the scratch arrays of the per-frame
// evaluation are sized at load, so playback allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/ModelData.h"

// PMX morph types.
namespace morphkind {
constexpr uint8_t kGroup = 0;
constexpr uint8_t kVertex = 1;
constexpr uint8_t kBone = 2;
constexpr uint8_t kUV = 3;
constexpr uint8_t kAdditionalUV1 = 4;  // 4..7: additional UV sets 1..4
constexpr uint8_t kAdditionalUV4 = 7;
constexpr uint8_t kMaterial = 8;
constexpr uint8_t kFlip = 9;      // PMX 2.1; applied like a group
constexpr uint8_t kImpulse = 10;  // PMX 2.1; read, not applied
constexpr uint8_t kLast = kImpulse;
}  // namespace morphkind

struct MorphRecord {
    char name[256];         // CP932
    uint8_t kind = 0;       // morphkind
    uint8_t panel = 0;      // the editor panel, as read
    int32_t vertexMorph = -1;  // vertex morphs: index into ModelData::morphs
    uint32_t first = 0;        // other kinds: first offset in the kind's array
    uint32_t count = 0;        // number of offsets
};

// A member of a group (or flip) morph: the member's weight is the group's times this.
struct GroupMember {
    int32_t morph;  // index into MorphKinds::morphs
    float weight;
};

struct BoneMorphOffset {
    int32_t bone;
    float translation[3];  // added to the local translation, model units, times the weight
    float rotation[4];     // local turn (x, y, z, w), unit; identity when the file's is unusable
};

struct UVMorphOffset {
    int32_t vertex;
    float offset[4];  // texture coordinates take x and y
};

// Colours of a material that morphs change. Tints scale and then shift a sampled texel
// per channel: texel * mul + add; at rest mul is 1 and add 0.
struct MaterialLook {
    float diffuse[4];
    float specular[3];
    float power;
    float ambient[3];
    float edgeColour[4];
    float edgeSize;
};
struct MaterialTint {
    float textureMul[4], textureAdd[4];
    float sphereMul[4], sphereAdd[4];
    float toonMul[4], toonAdd[4];
};

struct MaterialMorphOffset {
    int32_t material;   // -1: every material
    uint8_t operation;  // 0 multiply, 1 add
    MaterialLook look;
    float textureTint[4], sphereTint[4], toonTint[4];
};

struct MorphKinds {
    std::vector<MorphRecord> morphs;  // every morph of the file, in file order
    std::vector<GroupMember> members;  // group and flip morphs
    std::vector<BoneMorphOffset> boneOffsets;
    std::vector<UVMorphOffset> uvOffsets;
    std::vector<MaterialMorphOffset> materialOffsets;
    // Group and flip morphs, each one before every group it is a member of is done: a
    // group comes before the groups it contains, so weights flow down in one pass.
    std::vector<int32_t> groupOrder;
    uint32_t additionalUVMorphs = 0;  // read and not applied: the model keeps no extra UVs
    uint32_t impulseMorphs = 0;       // read and not applied

    // Rest values, present only when some morph changes them.
    std::vector<float> restTexCoords;        // 2 per vertex (UV morphs)
    std::vector<MaterialLook> restLooks;     // one per material (material morphs)
    std::vector<MaterialTint> tints;         // current tints, one per material (material morphs)
    std::vector<int32_t> morphedBones;       // bones some bone morph moves, each once

    // Per-frame scratch: the summed weight of each morph and the morphs that got one, in
    // the order they got it.
    std::vector<float> weights;
    std::vector<uint8_t> weighted;
    std::vector<int32_t> weightedOrder;  // one slot per morph; the first weightedCount used
    uint32_t weightedCount = 0;
};

// The first morph of any kind whose name equals name in its first 20 bytes; -1 if none.
int32_t findMorphRecord(const MorphKinds& kinds, const char* name);

// Sets the tint to rest (mul 1, add 0).
void setRestTint(MaterialTint& tint);

// Cuts the group and flip members that would make a morph its own member (directly or
// through other groups), reporting each through note (may be null), then fills
// groupOrder. Members are assumed to index morphs (the loader checks that first).
void orderGroups(MorphKinds& kinds, void (*note)(void* context, int32_t group, int32_t member), void* context);

// Sizes the rest and scratch arrays from what the offsets use and copies the rest values
// out of the model (texture coordinates, materials). Call once the morphs, vertices and
// materials are loaded. Returns false when memory runs out.
bool prepareMorphKinds(MorphKinds& kinds, const ModelData& model);
