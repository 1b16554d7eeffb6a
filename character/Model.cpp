#include "character/Model.h"

#include <cstdlib>

#include "model/MorphKinds.h"
#include "render/Texture.h"

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
    freeAndNull(model.textureNames);
    freeAndNull(model.sdefVertices);
    model.skin.clear();
    model.sdefCount = 0;

    if (model.materials) {
        for (uint32_t i = 0; i < model.materialCount; ++i) {
            const Material& m = model.materials[i];
            if (m.texture != -1) releaseTexture(static_cast<uint32_t>(m.texture), model.colourTextures);
            if (m.sphereTexture != -1) releaseTexture(static_cast<uint32_t>(m.sphereTexture), model.sphereTextures);
            if (m.toonTexture != -1) releaseTexture(static_cast<uint32_t>(m.toonTexture), model.toonTextures);
        }
        freeAndNull(model.materials);
    }

    delete[] model.bones;
    model.bones = nullptr;
    model.headBone = nullptr;
    model.deformOrder = DeformOrder();
    delete[] model.ikChains;
    model.ikChains = nullptr;
    delete[] model.morphs;
    model.morphs = nullptr;
    delete model.morphKinds;
    model.morphKinds = nullptr;

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
    clearTextureCache(model.toonTextures);
    clearTextureCache(model.sphereTextures);
    clearTextureCache(model.colourTextures);
}
