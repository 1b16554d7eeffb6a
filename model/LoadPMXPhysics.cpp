#include "model/LoadPMXPhysics.h"

#include <new>
#include <string>

#include "physics/PhysicsWorld.h"
#include "physics/PmxBodies.h"
#include "physics/RigidBody.h"
#include "platform/HostUI.h"

namespace {

constexpr std::size_t kNameBytes = 256;
constexpr uint8_t kSpring6Dof = 0;
constexpr uint8_t kLastJointType = 5;  // 2.1: 6DOF, point, cone twist, slider, hinge

// Reads the Japanese name (kept for messages) and steps over the English one.
bool readNames(ByteCursor& c, const ModelData& model, char* name) {
    return readPMXText(c, model, name, kNameBytes) && readPMXText(c, model, nullptr, 0);
}

}  // namespace

bool readPMXPhysics(ByteCursor& c, cModel& model, const PmxPhysicsLayout& layout, modelload::Refusal& refuse) {
    std::string notes;
    auto note = [&notes](const std::string& text) {
        if (!notes.empty()) notes += "\n";
        notes += text;
    };

    int32_t bodyCount = 0;
    if (!readPMXCount(c, 4 + 4 + layout.boneIndexSize + kRigidBodyDefinitionBytes, bodyCount))
        return refuse.truncated("rigid bodies", c);
    if (bodyCount > 0) {
        model.rigidBodies = new (std::nothrow) cPMDRigidBody[bodyCount];
        if (!model.rigidBodies) return refuse("rigid bodies", c.offset(), "out of memory");
        model.rigidBodyCount = static_cast<uint32_t>(bodyCount);
    }
    cBone* centre = findBone(model, cp932::kCentre);
    int withoutBone = 0, leftOut = 0;
    char name[kNameBytes];
    for (int32_t i = 0; i < bodyCount; ++i) {
        const std::size_t recordStart = c.offset();
        int32_t boneIndex = -1;
        RigidBodyDef def;
        readNames(c, model, name);
        c.readIndex(layout.boneIndexSize, false, boneIndex);
        if (!readRigidBodyDef(c, def)) return refuse.truncated("rigid bodies", c);
        model.rigidBodyDefs.push_back({boneIndex, def});
        cBone* bone = nullptr;
        if (boneIndex == -1) {
            ++withoutBone;
            bone = centre;
        } else if (boneIndex >= 0 && static_cast<uint32_t>(boneIndex) < model.boneCount) {
            bone = &model.bones[boneIndex];
        } else {
            return refuse("rigid bodies", recordStart,
                          modelload::format("body %d: bone %d out of range (%u bones)", i, boneIndex, model.boneCount));
        }
        if (!bone || !createPmxRigidBody(model.rigidBodies[i], def, bone)) ++leftOut;
    }
    if (withoutBone > 0)
        note(modelload::format("%d rigid bodies name no bone; %s", withoutBone,
                               centre ? "they follow the centre bone" : "the model has no centre bone to follow"));
    // Without a world (a tool that only reads the model) nothing is simulated anyway, and
    // creation has said so once.
    const bool simulating = physicsWorld() != nullptr;
    if (simulating && leftOut > 0) note(modelload::format("%d of %d rigid bodies are not simulated", leftOut, bodyCount));

    int32_t jointCount = 0;
    if (!readPMXCount(c, 4 + 4 + 1 + 2 * layout.rigidBodyIndexSize + kJointDefinitionBytes, jointCount))
        return refuse.truncated("joints", c);
    if (jointCount > 0) {
        model.joints = new (std::nothrow) cModelJoint[jointCount];
        if (!model.joints) return refuse("joints", c.offset(), "out of memory");
        model.jointCount = static_cast<uint32_t>(jointCount);
    }
    int otherKinds = 0, jointsLeftOut = 0;
    for (int32_t i = 0; i < jointCount; ++i) {
        const std::size_t recordStart = c.offset();
        uint8_t type = 0;
        int32_t a = -1, b = -1;
        JointDef def;
        readNames(c, model, name);
        c.readU8(type);
        c.readIndex(layout.rigidBodyIndexSize, false, a);
        c.readIndex(layout.rigidBodyIndexSize, false, b);
        if (!readJointDef(c, def)) return refuse.truncated("joints", c);
        model.jointDefs.push_back({a, b, type, def});
        if (type > kLastJointType)
            return refuse("joints", recordStart, modelload::format("joint %d: unknown joint type %u", i, type));
        auto bodyOk = [bodyCount](int32_t k) { return k == -1 || (k >= 0 && k < bodyCount); };
        if (!bodyOk(a) || !bodyOk(b))
            return refuse("joints", recordStart,
                          modelload::format("joint %d: bodies %d and %d, but %d rigid bodies", i, a, b, bodyCount));
        if (type != kSpring6Dof) ++otherKinds;
        if (a < 0 || b < 0 ||
            !createJoint(model.joints[i], &model.rigidBodies[a], &model.rigidBodies[b], def)) {
            ++jointsLeftOut;
        }
    }
    if (otherKinds > 0) note(modelload::format("%d joints of other kinds are made spring joints", otherKinds));
    if (simulating && jointsLeftOut > 0) note(modelload::format("%d of %d joints are left out", jointsLeftOut, jointCount));

    if (layout.version21 && c.remaining() > 0) {
        int32_t softCount = 0;
        if (!c.readI32(softCount)) return refuse.truncated("soft bodies", c);
        // Nothing after them is read, so their records are not walked.
        model.softBodyCount = softCount;
        if (softCount != 0) note(modelload::format("%d soft bodies are not simulated", softCount));
    }
    if (!notes.empty()) showMessage("PMX physics", notes.c_str());
    return true;
}
