#include "character/Model.h"

#include <vector>

#include "model/MorphKinds.h"

namespace {

// Empties v and gives its memory back (clear() alone keeps the capacity).
template <typename T>
void releaseArray(std::vector<T>& v) {
    std::vector<T>().swap(v);
}

}  // namespace

void releaseModel(cModel& model) {
    releaseArray(model.positions);
    releaseArray(model.restPositions);
    releaseArray(model.normals);
    releaseArray(model.texCoords);
    releaseArray(model.skins);
    releaseArray(model.edgeScales);
    releaseArray(model.indices);
    releaseArray(model.textureNames);
    releaseArray(model.sdefVertices);
    model.skin.clear();

    releaseModelTextures(model.textures);
    releaseArray(model.materials);

    releaseArray(model.bones);
    model.headBone = nullptr;
    model.deformOrder = DeformOrder();
    releaseArray(model.ikChains);
    releaseArray(model.morphs);
    model.morphKinds.reset();

    // Joints hold their two bodies, so they go first.
    model.physics.clear();
    model.rigidBodyDefs.clear();
    model.jointDefs.clear();
    model.softBodyCount = 0;

    model.vertexCount = 0;
}

void destroyModel(cModel& model) {
    releaseModel(model);
    model.motion = MotionPlayer();
    clearModelTextures(model.textures);
}
