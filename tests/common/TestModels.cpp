#include "common/TestModels.h"

#include <cstdlib>
#include <cstring>

#include "animation/Skeleton.h"
#include "model/MorphKinds.h"
#include "physics/RigidBody.h"

namespace testmodels {

namespace {

void putFloats(uint8_t* p, const float* v, int n) { std::memcpy(p, v, sizeof(float) * n); }

void freeVertices(cModel& model) {
    model.positions.clear();
    model.restPositions.clear();
    model.normals.clear();
    model.texCoords.clear();
    model.skins.clear();
    model.indices.clear();
    model.materials.clear();
    model.skin.clear();
    model.vertexCount = 0;
}

void freeRigidBodies(cModel& model) { model.physics.clear(); }  // joints first: they refer to the bodies

}  // namespace

void setBones(cModel& model, const std::vector<BoneDesc>& bones) {
    model.bones.assign(bones.size(), cBone());
    model.headBone = nullptr;
    for (std::size_t i = 0; i < bones.size(); ++i) {
        BoneDef def{};
        def.restPosition[0] = bones[i].x;
        def.restPosition[1] = bones[i].y;
        def.restPosition[2] = bones[i].z;
        def.flags = bones[i].flags;
        def.parent = bones[i].parent;
        def.child = bones[i].child;
        def.appendParent = -1;
        initBone(model.bones[i], bones[i].name, def, model.bones.data());
        if (namesEqual20(model.bones[i].name, cp932::kHead)) model.headBone = &model.bones[i];
    }
    computeParentOffsets(model);
}

void addIKChain(cModel& model, int ikBone, int targetBone, const std::vector<int>& links, uint16_t iterations,
                float angleLimit) {
    // Bones point at their chains: this grows the chain array, so the deform order is
    // built (again) only once every chain is in.
    model.ikChains.emplace_back();
    IKDef def{};
    def.ikBone = ikBone;
    def.targetBone = targetBone;
    def.linkCount = static_cast<uint32_t>(links.size());
    def.iterations = iterations;
    def.limit = angleLimit / 4.0f;
    for (std::size_t i = 0; i < links.size() && i < 256; ++i) def.links[i] = links[i];
    initIKChain(model.ikChains.back(), def, model.bones.data());
    sortIKChains(model.ikChains.data(), model.ikCount());
}

void setVertices(cModel& model, const std::vector<VertexDesc>& vertices, bool pmx) {
    freeVertices(model);
    const std::size_t n = vertices.size();
    model.vertexCount = static_cast<uint32_t>(n);
    model.positions.assign(3 * n, 0.0f);
    model.normals.assign(3 * n, 0.0f);
    model.texCoords.assign(2 * n, 0.0f);
    model.skins.assign(n, VertexSkin());
    model.skin.prepare(static_cast<uint32_t>(n));
    if (pmx) model.restPositions.assign(3 * n, 0.0f);
    for (std::size_t v = 0; v < n; ++v) {
        const VertexDesc& s = vertices[v];
        std::memcpy(model.positions.data() + 3 * v, s.position, sizeof(s.position));
        if (pmx) std::memcpy(model.restPositions.data() + 3 * v, s.position, sizeof(s.position));
        std::memcpy(model.normals.data() + 3 * v, s.normal, sizeof(s.normal));
        VertexSkin& skin = model.skins[v];
        skin.type = s.type;
        std::memcpy(skin.weights, s.weights, sizeof(skin.weights));
        std::memcpy(skin.boneIndices, s.bones, sizeof(skin.boneIndices));
    }
    if (n > 0 && n % 3 == 0) {
        model.indices.resize(n);
        for (std::size_t i = 0; i < n; ++i) model.indices[i] = static_cast<uint32_t>(i);
        model.materials.assign(1, Material());
        Material& m = model.materials[0];
        for (int k = 0; k < 4; ++k) m.diffuse[k] = m.specular[k] = m.ambient[k] = 1.0f;
        m.shininess = 5.0f;
        m.indexCount = static_cast<int32_t>(n);
        m.textureIndex = m.sphereIndex = m.toonIndex = -1;
        m.sharedToon = -1;
    }
}

void addMorph(cModel& model, const char* name, const std::vector<MorphEntry>& entries) {
    model.morphs.emplace_back();
    std::vector<uint8_t> def(kMorphDefHeaderBytes + kMorphDefEntryBytes * entries.size());
    const int32_t count = static_cast<int32_t>(entries.size());
    std::memcpy(def.data(), &count, 4);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        uint8_t* p = def.data() + kMorphDefHeaderBytes + kMorphDefEntryBytes * i;
        std::memcpy(p, &entries[i].vertexIndex, 4);
        std::memcpy(p + 4, entries[i].position, 12);
    }
    initMorph(model.morphs.back(), def.data(), name, nullptr, nullptr);
}

std::array<uint8_t, 61> encodeRigidBody(const RigidBodyDesc& s) {
    std::array<uint8_t, 61> out{};
    uint8_t* p = out.data();
    p[0] = s.group;
    std::memcpy(p + 1, &s.mask, 2);
    p[3] = s.shape;
    putFloats(p + 4, s.size, 3);
    putFloats(p + 16, s.position, 3);
    putFloats(p + 28, s.rotation, 3);
    const float scalars[5] = {s.mass, s.linearDamping, s.angularDamping, s.restitution, s.friction};
    putFloats(p + 40, scalars, 5);
    p[60] = s.mode;
    return out;
}

std::array<uint8_t, 96> encodeJoint(const JointDesc& s) {
    std::array<uint8_t, 96> out{};
    uint8_t* p = out.data();
    putFloats(p + 0, s.position, 3);
    putFloats(p + 12, s.rotation, 3);
    putFloats(p + 24, s.linearLower, 3);
    putFloats(p + 36, s.linearUpper, 3);
    putFloats(p + 48, s.angularLower, 3);
    putFloats(p + 60, s.angularUpper, 3);
    putFloats(p + 72, s.linearStiffness, 3);
    putFloats(p + 84, s.angularStiffness, 3);
    return out;
}

int setRigidBodies(PhysicsWorld& world, cModel& model, const std::vector<RigidBodyDesc>& descs,
                   const std::vector<int>& boneIndices) {
    freeRigidBodies(model);
    if (descs.empty()) return 0;
    model.physics.bodies = std::vector<cPMDRigidBody>(descs.size());
    int created = 0;
    for (std::size_t i = 0; i < descs.size(); ++i) {
        const int b = i < boneIndices.size() ? boneIndices[i] : -1;
        cBone* bone = (b >= 0 && static_cast<uint32_t>(b) < model.boneCount()) ? &model.bones[b] : nullptr;
        const auto def = encodeRigidBody(descs[i]);
        if (createRigidBody(world, model.physics.bodies[i], def.data(), bone)) ++created;
    }
    return created;
}

int setJoints(PhysicsWorld& world, cModel& model, const std::vector<JointDesc>& descs,
              const std::vector<std::pair<int, int>>& bodies) {
    model.physics.joints.clear();
    if (descs.empty()) return 0;
    model.physics.joints = std::vector<cModelJoint>(descs.size());
    auto bodyAt = [&model](int i) -> cPMDRigidBody* {
        return (i >= 0 && static_cast<std::size_t>(i) < model.physics.bodies.size()) ? &model.physics.bodies[i]
                                                                                      : nullptr;
    };
    int created = 0;
    for (std::size_t i = 0; i < descs.size(); ++i) {
        const auto def = encodeJoint(descs[i]);
        const std::pair<int, int> ab = i < bodies.size() ? bodies[i] : std::make_pair(-1, -1);
        if (createJoint(world, model.physics.joints[i], bodyAt(ab.first), bodyAt(ab.second), def.data())) ++created;
    }
    return created;
}

void makeLegModel(cModel& model) {
    freeTestModel(model);
    setBones(model, {
                        {cp932::kCentre, 0.0f, 10.0f, 0.0f, -1},
                        {"hip", 1.0f, 10.0f, 0.0f, 0, 2},
                        {cp932::kLeftKnee, 1.0f, 5.0f, -0.1f, 1, 3},
                        {"ankle", 1.0f, 0.0f, 0.0f, 2},
                        {"legIK", 1.0f, 0.0f, 0.0f, 0, -1, 0x003E},
                        {cp932::kHead, 0.0f, 15.0f, 0.0f, 0},
                    });
    addIKChain(model, 4, 3, {2, 1}, 40, 0.5f);
}

void freeTestModel(cModel& model) {
    freeRigidBodies(model);
    model.ikChains.clear();
    model.morphs.clear();
    model.morphKinds.reset();
    model.bones.clear();
    model.headBone = nullptr;
    freeVertices(model);
    model.sdefVertices.clear();
    model.skin.clear();
    model.deformOrder = DeformOrder();
    model.textureNames.clear();
    model.motion = MotionPlayer();
}

}  // namespace testmodels
