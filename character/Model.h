// A character as the viewer holds it: the model data as read (model/ModelData.h) and
// what is made from it: GL textures for drawing, rigid bodies and joints in the physics
// world, the bound motion and the skinning buffers.
#pragma once

#include <cstdint>

#include "animation/DeformOrder.h"
#include "animation/MotionPlayer.h"
#include "animation/SkinBuffers.h"
#include "model/ModelData.h"
#include "physics/ModelBodies.h"
#include "render/Texture.h"

struct cModel : ModelData {
    // Drawing: the texture caches the materials' GL names come from.
    TextureCache colourTextures = nullptr;
    TextureCache sphereTextures = nullptr;
    TextureCache toonTextures = nullptr;

    // Physics: one body per rigidBodyDefs entry and one joint per jointDefs entry, in the
    // world the model was loaded into.
    ModelBodies physics;

    // Animation: the motion, the head turn, the deform order and skinning.
    MotionPlayer motion;
    uint8_t lookAtCamera = 0;
    DeformOrder deformOrder;
    SkinBuffers skin;
};

// Frees every array of the model, drops its materials' texture references (a texture
// shared by several materials goes only with the last), destroys bones, IK chains,
// morphs, joints and then rigid bodies; every count becomes 0. The texture caches and
// the motion player's tables stay. Safe on an empty or partly loaded model.
void releaseModel(cModel& model);

// releaseModel, then frees the motion player's tables and empties the texture caches.
// For program exit (texture deletion needs the GL context still current).
void destroyModel(cModel& model);
