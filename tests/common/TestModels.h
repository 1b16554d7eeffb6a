// Small cModels built in code for tests: bones, IK chains, skinned vertices, morphs, rigid
// bodies and joints, plus a function that frees such a model completely.
//
// The arrays are the model's own vectors, filled as the loaders fill them, so
// freeTestModel and the program's own release code both work on it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "character/Model.h"
#include "character/ModelFrame.h"

class PhysicsWorld;

namespace testmodels {

struct BoneDesc {
    const char* name;
    float x, y, z;  // rest position, model space
    int parent = -1;
    int child = -1;
    uint16_t flags = 0x001A;  // rotatable, visible, operable
};

// Replaces the model's bones: initBone for each in order, then the parent offsets.
// Sets headBone to the last bone named "頭".
void setBones(cModel& model, const std::vector<BoneDesc>& bones);

// Appends one IK chain (links effector side first) and sorts the chains as a loader does.
// angleLimit is the per-step limit in radians.
void addIKChain(cModel& model, int ikBone, int targetBone, const std::vector<int>& links, uint16_t iterations,
                float angleLimit);

struct VertexDesc {
    float position[3];
    float normal[3] = {0.0f, 1.0f, 0.0f};
    uint8_t type = 1;
    float weights[4] = {1.0f, 0.0f, 0.0f, 0.0f};
    int32_t bones[4] = {0, 0, 0, 0};
};

// Replaces the vertex arrays (positions, normals, texCoords, skins, skinned outputs) and
// gives the model one triangle list and one material covering them when their count is a
// multiple of three. restPositions is set only when pmx is true.
void setVertices(cModel& model, const std::vector<VertexDesc>& vertices, bool pmx = false);

// Appends a vertex morph with absolute target positions.
void addMorph(cModel& model, const char* name, const std::vector<MorphEntry>& entries);

// A rigid-body record as a PMD file stores it from its group byte on (61 bytes).
struct RigidBodyDesc {
    uint8_t group = 0;
    uint16_t mask = 0xFFFF;
    uint8_t shape = 0;  // 0 sphere, 1 box, 2 capsule
    float size[3] = {1.0f, 1.0f, 1.0f};
    float position[3] = {0.0f, 0.0f, 0.0f};  // relative to the bone
    float rotation[3] = {0.0f, 0.0f, 0.0f};  // Euler, radians
    float mass = 1.0f;
    float linearDamping = 0.0f;
    float angularDamping = 0.0f;
    float restitution = 0.0f;
    float friction = 0.5f;
    uint8_t mode = 1;
};
std::array<uint8_t, 61> encodeRigidBody(const RigidBodyDesc& desc);

// A joint record as a PMD file stores it from its position on (96 bytes).
struct JointDesc {
    float position[3] = {0.0f, 0.0f, 0.0f};  // model space
    float rotation[3] = {0.0f, 0.0f, 0.0f};
    float linearLower[3] = {0.0f, 0.0f, 0.0f};
    float linearUpper[3] = {0.0f, 0.0f, 0.0f};
    float angularLower[3] = {0.0f, 0.0f, 0.0f};
    float angularUpper[3] = {0.0f, 0.0f, 0.0f};
    float linearStiffness[3] = {0.0f, 0.0f, 0.0f};
    float angularStiffness[3] = {0.0f, 0.0f, 0.0f};
};
std::array<uint8_t, 96> encodeJoint(const JointDesc& desc);

// Replaces the model's rigid bodies with one per description, on the bone at the same place in
// boneIndices (-1 or out of range: no bone), made in world. Returns how many were created.
int setRigidBodies(PhysicsWorld& world, cModel& model, const std::vector<RigidBodyDesc>& descs,
                   const std::vector<int>& boneIndices);

// Replaces the model's joints; each links rigid bodies bodyA[i] and bodyB[i]. Returns how
// many were created.
int setJoints(PhysicsWorld& world, cModel& model, const std::vector<JointDesc>& descs,
              const std::vector<std::pair<int, int>>& bodies);

// A leg standing on the ground, every bone named in CP932 where the program looks names up:
//   0 "センター" (0, 10, 0)        root
//   1 hip        (1, 10, 0)        parent 0
//   2 "左ひざ"   (1, 5, -0.1)      parent 1 (a knee link: ikAngleLimited is set)
//   3 ankle      (1, 0, 0)         parent 2
//   4 leg IK     (1, 0, 0)         parent 0
//   5 "頭"       (0, 15, 0)        parent 0
// and one IK chain: goal bone 4, effector 3, links {2, 1}, 40 iterations, 0.5 rad a step.
// The knee sits slightly forward (-z is the front), so the leg bends the way a knee does.
void makeLegModel(cModel& model);

// Frees everything these builders (or a loader) allocated: joints before rigid bodies,
// then chains, morphs, bones and the flat arrays; the motion player's tables too. Texture
// caches are left alone (they need a GL context). Every pointer ends null, every count 0.
void freeTestModel(cModel& model);

// Frees the model when the test ends, however it ends.
class ScopedModel {
public:
    ScopedModel() = default;
    ~ScopedModel() { freeTestModel(model); }
    ScopedModel(const ScopedModel&) = delete;
    ScopedModel& operator=(const ScopedModel&) = delete;
    cModel model;
};

}  // namespace testmodels
