#include "model/LoadPMXPhysics.h"

#include <string>

namespace {

constexpr std::size_t kNameBytes = 256;
constexpr uint8_t kLastJointType = 5;  // 2.1: 6DOF, point, cone twist, slider, hinge

// Reads the Japanese name and steps over the English one.
bool readNames(ByteCursor& c, const ModelData& model, char* name) {
    return readPMXText(c, model, name, kNameBytes) && readPMXText(c, model, nullptr, 0);
}

}  // namespace

bool readPMXPhysics(ByteCursor& c, ModelData& model, const PmxPhysicsLayout& layout, modelload::Refusal& refuse) {
    int32_t bodyCount = 0;
    if (!readPMXCount(c, 4 + 4 + layout.boneIndexSize + kRigidBodyDefinitionBytes, bodyCount))
        return refuse.truncated("rigid bodies", c);
    model.rigidBodyDefs.reserve(static_cast<std::size_t>(bodyCount));
    char name[kNameBytes];
    for (int32_t i = 0; i < bodyCount; ++i) {
        const std::size_t recordStart = c.offset();
        int32_t boneIndex = -1;
        RigidBodyDef def;
        readNames(c, model, name);
        c.readIndex(layout.boneIndexSize, false, boneIndex);
        if (!readRigidBodyDef(c, def)) return refuse.truncated("rigid bodies", c);
        if (boneIndex != -1 && !(boneIndex >= 0 && static_cast<uint32_t>(boneIndex) < model.boneCount()))
            return refuse("rigid bodies", recordStart,
                          modelload::format("body %d: bone %d out of range (%u bones)", i, boneIndex, model.boneCount()));
        model.rigidBodyDefs.push_back({boneIndex, def});
    }

    int32_t jointCount = 0;
    if (!readPMXCount(c, 4 + 4 + 1 + 2 * layout.rigidBodyIndexSize + kJointDefinitionBytes, jointCount))
        return refuse.truncated("joints", c);
    model.jointDefs.reserve(static_cast<std::size_t>(jointCount));
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
        if (type > kLastJointType)
            return refuse("joints", recordStart, modelload::format("joint %d: unknown joint type %u", i, type));
        auto bodyOk = [bodyCount](int32_t k) { return k == -1 || (k >= 0 && k < bodyCount); };
        if (!bodyOk(a) || !bodyOk(b))
            return refuse("joints", recordStart,
                          modelload::format("joint %d: bodies %d and %d, but %d rigid bodies", i, a, b, bodyCount));
        model.jointDefs.push_back({a, b, type, def});
    }

    if (layout.version21 && c.remaining() > 0) {
        int32_t softCount = 0;
        if (!c.readI32(softCount)) return refuse.truncated("soft bodies", c);
        // Nothing after them is read, so their records are not walked.
        model.softBodyCount = softCount;
    }
    return true;
}
