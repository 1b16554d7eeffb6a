// A character as the viewer holds it: the model data as read (model/ModelData.h) and
// what is made from it: GL textures for drawing, rigid bodies and joints in the physics
// world, the bound motion and the skinning buffers.
#pragma once

#include <cstdint>

#include "animation/DeformOrder.h"
#include "animation/MotionPlayer.h"
#include "animation/SkinBuffers.h"
#include "model/ModelData.h"
#include "render/ModelDraw.h"
#include "render/ModelTextures.h"
#include "physics/ModelBodies.h"

struct cModel : ModelData {
    // Drawing: the materials' GL textures and the caches they come from.
    ModelTextures textures;

    // Physics: one body per rigidBodyDefs entry and one joint per jointDefs entry, in the
    // world the model was loaded into.
    ModelBodies physics;

    // Animation: the motion, the head turn, the deform order and skinning.
    MotionPlayer motion;
    uint8_t lookAtCamera = 0;
    DeformOrder deformOrder;
    SkinBuffers skin;
};

// Empties every array of the model, drops its materials' texture references (a texture
// shared by several materials goes only with the last), destroys bones, IK chains,
// morphs, joints and then rigid bodies; every count becomes 0. The texture caches and
// the motion player's tables stay. Safe on an empty or partly loaded model.
void releaseModel(cModel& model);

// releaseModel, then frees the motion player's tables and empties the texture caches.
// For program exit (texture deletion needs the GL context still current).
void destroyModel(cModel& model);

// Draws the model as skinning last left it, with its textures (render/ModelDraw.h).
inline void drawModel(const cModel& model, bool outlines = true) {
    drawModel(model, model.textures, model.skin.positions.data(), model.skin.normals.data(), outlines);
}
inline void drawModelGeometry(const cModel& model) { drawModelGeometry(model, model.skin.positions.data()); }
