// A character model as its file gives it: mesh, materials, texture names, bones, IK
// chains, morphs and the rigid-body and joint definitions. The readers fill it; what is
// made from it (GL textures, Bullet bodies, the pose, skinned vertices) lives with the
// subsystem that makes it, tied together in character/Model.h.
//
// Every array is a std::vector the model owns; releaseModel() (character/Model.h)
// empties them. Pointers between records (a bone's parent, a chain's links, the motion
// player's targets) point into the owning model's vectors and never own: the readers
// size each vector once, before any such pointer is taken, and nothing resizes it until
// the model is released.
//
// Conventions (animation and physics): vectors are float[3]; quaternions float[4]
// stored (x, y, z, w), normalised with w >= 0; 4x4 matrices are float[16] column-major
// as OpenGL expects (translation in elements 12..14). All names are CP932 byte strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/BodyDefinition.h"

struct MorphKinds;  // model/MorphKinds.h

// CP932 byte forms of the names the program looks for.
namespace cp932 {
inline constexpr char kHead[] = "\x93\xaa";                           // 頭
inline constexpr char kCentre[] = "\x83\x5a\x83\x93\x83\x5e\x81\x5b";  // センター
inline constexpr char kLeftKnee[] = "\x8d\xb6\x82\xd0\x82\xb4";        // 左ひざ
inline constexpr char kRightKnee[] = "\x89\x45\x82\xd0\x82\xb4";       // 右ひざ
}  // namespace cp932

// Models may name the toon ramps that come with their authoring program (toon01.bmp ...
// toon10.bmp) without shipping them.
constexpr int kSharedToonCount = 10;

// Bone and morph lookups compare at most this many bytes of a name.
constexpr std::size_t kNameCompareBytes = 20;

// Deformation data of one vertex. type is the PMX deformation type as read
// (0 BDEF1, 1 BDEF2, 2 BDEF4, 3 SDEF, 4 QDEF); every PMD vertex has type 1.
struct VertexSkin {
    uint8_t type;
    float weights[4];
    int32_t boneIndices[4];
};

// The spherical-blend data of one SDEF vertex, as the file gives it: the centre C of
// the joint the vertex wraps and the two reference points R0 and R1 (model space).
struct SdefVertex {
    uint32_t vertex;  // index into the model's vertices
    float c[3];
    float r0[3];
    float r1[3];
};

struct Material {
    float diffuse[4];   // r, g, b, alpha
    float specular[4];  // r, g, b, 1
    float ambient[4];   // r, g, b, 1
    float shininess;
    int32_t indexCount;     // indices taken in order from ModelData::indices
    int32_t textureIndex;  // main texture: index into ModelData::textureNames, -1 when none
    int32_t sphereIndex;   // sphere map: index into ModelData::textureNames, -1 when none
    uint8_t sphereMode;    // of the sphere map: 0 none, 1 multiply, 2 add
    uint8_t drawFlags;      // 0x01 both faces, 0x10 edge (PMX: the flag byte as read)
    // PMX also: 0x02 casts a ground shadow, 0x04/0x08 self shadow, 0x20 vertex
    // colour, 0x40 points, 0x80 lines (2.1). A PMD material always casts its shadow.
    // Toon ramp: an index into ModelData::textureNames, or one of the shared ramps
    // (0..kSharedToonCount-1, PMX), -1 when none.
    int32_t toonIndex;
    int8_t sharedToon;
    float edgeColour[4];    // r, g, b, alpha of the outline
    float edgeSize;         // outline width, scaled per vertex by ModelData::edgeScales
};

struct cIKChain;

// Material flag bits as PMX files define them (PMD materials are given the same ones).
namespace materialflag {
constexpr uint8_t kDoubleSided = 0x01;
constexpr uint8_t kGroundShadow = 0x02;
constexpr uint8_t kEdge = 0x10;
constexpr uint8_t kVertexColour = 0x20;
constexpr uint8_t kPoints = 0x40;
constexpr uint8_t kLines = 0x80;
}  // namespace materialflag

struct cBone {
    char name[32];           // CP932, at most 31 bytes plus terminator
    uint8_t ikAngleLimited;  // a knee link of an IK chain
    float restPosition[3];   // model space, as read
    float parentOffset[3];   // restPosition - parent's restPosition (restPosition without parent)
    float inverseRest[16];   // identity with translation -restPosition
    uint16_t flags;          // PMX bone flags (0x0020 IK, 0x0100 append rotation, ...)
    cBone* parent = nullptr;
    cBone* child = nullptr;
    cBone* appendParent = nullptr;  // PMX 0x0100 / 0x0200 source
    float appendRatio;              // negative mirrors
    float translation[3];   // local pose from the motion
    float rotation[4];      // local rotation quaternion (x, y, z, w)
    float globalMatrix[16];  // model space; translation = the bone's current position
    float savedRotation[4];  // smoothed head-turn state
    float skinMatrix[16];    // globalMatrix x inverseRest

    // PMX posing (animation/DeformOrder.h). PMD bones keep the defaults and never use them.
    int32_t deformLayer = 0;
    float fixedAxis[3];                  // unit axis of a 0x0400 bone
    float localAxisX[3], localAxisZ[3];  // 0x0800: as read, unused by posing
    cIKChain* ikChain = nullptr;         // the chain whose goal this bone is
    cBone* nextInOrder = nullptr;        // deform order: see animation/DeformOrder.h
    float poseRotation[4];     // local rotation as posed: append x motion, then the IK steps
    float poseTranslation[3];  // local translation as posed: motion + append
    uint32_t refreshStamp = 0;  // marks the bones below a chain just solved
    // What PMX bone morphs add this frame to the motion's local pose (animation/MorphKinds.h):
    // translation + morphTranslation, rotation x morphRotation. Only read while morphed is set.
    uint8_t morphed = 0;
    float morphTranslation[3] = {0.0f, 0.0f, 0.0f};
    float morphRotation[4] = {0.0f, 0.0f, 0.0f, 1.0f};
};

// Lower and upper Euler angles (radians, x y z) one PMX IK link may reach.
struct IKLinkLimit {
    uint8_t limited;
    float lower[3];
    float upper[3];
};

struct cIKChain {
    cBone* ikBone = nullptr;      // its model-space position is the goal
    cBone* targetBone = nullptr;  // the end effector
    uint16_t iterations = 0;
    float angleLimit = 0.0f;  // radians per step
    int16_t sortKey = 0;      // low 16 bits of the first link's bone index
    uint8_t linkCount = 0;           // links.size()
    std::vector<cBone*> links;       // effector side first
    std::vector<IKLinkLimit> limits;  // one per link, empty when no link is limited
    uint8_t enabled = 1;             // a motion's IK switch; PMX chains that are off are not solved
};

struct MorphEntry {
    int32_t vertexIndex;
    float position[3];
};

struct cMorph {
    char name[256];
    int32_t vertexCount = 0;          // entries.size()
    std::vector<MorphEntry> entries;  // absolute target positions

    cMorph() { name[0] = 0; }
};

// One rigid body as the file declares it. bone: index into bones, -1 for none (PMD's
// 65535 and PMX's -1 alike; such a body follows the centre bone). PMD gives def.position
// relative to the bone, PMX in model space.
struct RigidBodyRecord {
    int32_t bone = -1;
    RigidBodyDef def;
};

// One joint as the file declares it: the two bodies (indices into rigidBodyDefs, -1 for
// none in PMX) and the joint type (PMX; 0 spring 6DOF, PMD joints are all 0).
struct JointRecord {
    int32_t bodyA = -1;
    int32_t bodyB = -1;
    uint8_t type = 0;
    JointDef def;
};

struct ModelData {
    ModelData();
    ~ModelData();  // where MorphKinds is complete
    ModelData(const ModelData&) = delete;
    ModelData& operator=(const ModelData&) = delete;

    char name[256] = {};
    uint8_t format = 0;  // 0 PMD, 1 PMX
    uint8_t pmxTextEncoding = 0;
    uint8_t pmxAdditionalUVCount = 0;
    uint8_t pmxVertexIndexSize = 0;
    uint8_t pmxTextureIndexSize = 0;
    uint8_t pmxMaterialIndexSize = 0;
    uint8_t pmxBoneIndexSize = 0;
    uint8_t pmxMorphIndexSize = 0;
    uint8_t pmxRigidBodyIndexSize = 0;

    // The vertex count every per-vertex array below is sized for (restPositions: PMX
    // only, empty for PMD). One count for six arrays of different strides.
    uint32_t vertexCount = 0;
    std::vector<float> positions;       // 3 per vertex: current (morphed) positions
    std::vector<float> restPositions;   // 3 per vertex: PMX only, positions as read
    std::vector<float> normals;         // 3 per vertex
    std::vector<float> texCoords;       // 2 per vertex
    std::vector<VertexSkin> skins;      // 1 per vertex
    std::vector<float> edgeScales;      // 1 per vertex: outline width factor (PMD: 0 or 1)

    std::vector<uint32_t> indices;

    // Every texture the materials name (CP932, exactly as the file gives them): PMX the
    // file's table; PMD each name its material fields give, toon ramps included.
    std::vector<std::string> textureNames;

    std::vector<Material> materials;

    std::vector<cBone> bones;
    cBone* headBone = nullptr;  // into bones, null when none is named so

    std::vector<cIKChain> ikChains;
    std::vector<cMorph> morphs;  // vertex morphs (PMX: only those, in file order)
    std::unique_ptr<MorphKinds> morphKinds;  // PMX: every morph of every kind, else null

    std::vector<SdefVertex> sdefVertices;  // ascending vertex index; PMX only

    // The counts in the types the file formats give them; the vectors are the one truth.
    uint32_t indexCount() const { return static_cast<uint32_t>(indices.size()); }
    uint32_t textureNameCount() const { return static_cast<uint32_t>(textureNames.size()); }
    uint32_t materialCount() const { return static_cast<uint32_t>(materials.size()); }
    uint32_t boneCount() const { return static_cast<uint32_t>(bones.size()); }
    uint16_t ikCount() const { return static_cast<uint16_t>(ikChains.size()); }
    uint16_t morphCount() const { return static_cast<uint16_t>(morphs.size()); }
    uint32_t sdefCount() const { return static_cast<uint32_t>(sdefVertices.size()); }

    // Rigid bodies and joints as declared (physics creates the bodies from them). PMX 2.1
    // files may also declare soft bodies, which are counted and not simulated.
    std::vector<RigidBodyRecord> rigidBodyDefs;
    std::vector<JointRecord> jointDefs;
    int32_t softBodyCount = 0;
};

// Transfer records filled by a loader and handed to an initialisation routine.
struct BoneDef {
    float restPosition[3];
    uint16_t flags;
    int32_t parent;        // -1 none
    int32_t child;         // -1 none
    int32_t appendParent;  // -1 none
    float appendRatio;
    int32_t deformLayer;
    float fixedAxis[3];
    float localAxisX[3], localAxisZ[3];
};

struct IKDef {
    int32_t ikBone;
    int32_t targetBone;
    uint32_t linkCount;
    uint32_t iterations;  // low 16 bits used
    float limit;
    int32_t links[256];
    const IKLinkLimit* limits;  // linkCount entries, or null when none is limited
};

// The byte layout of a PMD morph record after its name: vertexCount, panel, then
// vertexCount entries of {int32 vertexIndex, float[3] position}, unaligned.
struct MorphDefHeader {
    int32_t vertexCount;
    uint8_t panel;
};
constexpr std::size_t kMorphDefHeaderBytes = 5;
constexpr std::size_t kMorphDefEntryBytes = 16;

// First bone / morph whose name equals name in the first 20 bytes; null if none.
const cBone* findBone(const ModelData& model, const char* name);
cBone* findBone(ModelData& model, const char* name);
const cMorph* findMorph(const ModelData& model, const char* name);
cMorph* findMorph(ModelData& model, const char* name);

// True when a and b agree as C strings over at most 20 bytes.
bool namesEqual20(const char* a, const char* b);

// Fills the bone's record from its definition: name, rest position, flags, links (the
// indices turned into pointers into bones), inverse rest matrix and axes. The pose
// fields are left for animation to set (resetBonePose). The caller has checked every
// index in def against the bone count.
void initBoneRecord(cBone& bone, const char* name, const BoneDef& def, cBone* bones);

// Fills a chain from its definition. The caller has checked every bone index in def
// against boneCount (the loaders refuse a file otherwise).
void initIKChain(cIKChain& chain, const IKDef& def, cBone* bones);

// Sorts chains ascending by sortKey (signed 16-bit).
void sortIKChains(cIKChain* chains, int count);

// Fills a morph from the bytes of a MorphDef (kMorphDefHeaderBytes then the entries).
// base: PMD base morph (entries name places in it and hold offsets from it); it is
// skipped when it is this morph. restPositions: PMX (offsets from the rest position).
// The caller has checked every index (into base's entries, or into the vertices).
void initMorph(cMorph& morph, const uint8_t* def, const char* name, const cMorph* base,
               const float* restPositions);

// parentOffset = restPosition - parent's restPosition for every bone with a parent.
void computeParentOffsets(ModelData& model);
