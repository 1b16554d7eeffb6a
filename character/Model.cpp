#include "character/Model.h"

#include <cstdlib>

#include "model/MorphKinds.h"
#include "physics/RigidBody.h"

namespace {

template <typename T>
void freeAndNull(T*& p) {
    std::free(p);
    p = nullptr;
}

}  // namespace

void releaseModel(cModel& model) {
    freeAndNull(model.positions);
    freeAndNull(model.restPositions);
    freeAndNull(model.normals);
    freeAndNull(model.texCoords);
    freeAndNull(model.skins);
    freeAndNull(model.skinnedPositions);
    freeAndNull(model.skinnedNormals);
    freeAndNull(model.edgeScales);
    freeAndNull(model.indices);
    model.textureNames.clear();
    freeAndNull(model.sdefVertices);
    freeAndNull(model.sdefBoneRotations);
    freeAndNull(model.skinTable);
    model.skinTableBones = 0;
    model.sdefCount = 0;

    releaseModelTextures(model.textures);
    freeAndNull(model.materials);

    delete[] model.bones;
    model.bones = nullptr;
    model.headBone = nullptr;
    model.firstDeformBone = nullptr;
    model.firstAfterPhysicsBone = nullptr;
    delete[] model.ikChains;
    model.ikChains = nullptr;
    delete[] model.morphs;
    model.morphs = nullptr;
    model.morphKinds.reset();

    // Joints hold their two bodies, so they go first.
    delete[] model.joints;
    model.joints = nullptr;
    model.jointCount = 0;
    delete[] model.rigidBodies;
    model.rigidBodies = nullptr;
    model.rigidBodyCount = 0;
    model.rigidBodyDefs.clear();
    model.jointDefs.clear();
    model.softBodyCount = 0;

    model.vertexCount = 0;
    model.indexCount = 0;
    model.textureNameCount = 0;
    model.materialCount = 0;
    model.boneCount = 0;
    model.ikCount = 0;
    model.morphCount = 0;
}

void destroyModel(cModel& model) {
    releaseModel(model);
    std::free(model.motion.boneTargets);
    std::free(model.motion.faceTargets);
    std::free(model.motion.ikTargets);
    std::free(model.motion.faceMorphs);
    model.motion.faceMorphs = nullptr;
    model.motion.boneTargets = nullptr;
    model.motion.faceTargets = nullptr;
    model.motion.ikTargets = nullptr;
    model.motion.boneTargetCount = 0;
    model.motion.faceTargetCount = 0;
    model.motion.ikTargetCount = 0;
    model.motion.motionData = nullptr;
    clearModelTextures(model.textures);
}
