#include "character/Model.h"

#include <cstdlib>

#include "model/MorphKinds.h"

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
    freeAndNull(model.edgeScales);
    freeAndNull(model.indices);
    model.textureNames.clear();
    freeAndNull(model.sdefVertices);
    model.skin.clear();
    model.sdefCount = 0;

    releaseModelTextures(model.textures);
    freeAndNull(model.materials);

    delete[] model.bones;
    model.bones = nullptr;
    model.headBone = nullptr;
    model.deformOrder = DeformOrder();
    delete[] model.ikChains;
    model.ikChains = nullptr;
    delete[] model.morphs;
    model.morphs = nullptr;
    model.morphKinds.reset();

    // Joints hold their two bodies, so they go first.
    model.physics.clear();
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
    model.motion = MotionPlayer();
    clearModelTextures(model.textures);
}
