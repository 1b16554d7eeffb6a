// Drawing a model with fixed-function OpenGL, and emptying it.
#pragma once

#include "model/ModelData.h"

// Draws the skinned mesh (skinnedPositions/skinnedNormals as skinning last wrote them)
// material by material: lighting material, main texture on unit 0, sphere map on unit 1
// multiplied (sphereMode 1) or added (sphereMode 2). Culling is switched off for
// materials with drawFlags bit 0x01 and on for the others; the caller chooses which face
// is culled and owns projection, model-view, lighting and blending. Leaves unit 0
// active, texture generation and client arrays off. Does nothing when no model is loaded.
void drawModel(const cModel& model);

// Draws every triangle with positions only (for stencil shadows): no material, normal or
// texture state is touched. Does nothing when no model is loaded.
void drawModelGeometry(const cModel& model);

// Frees every array of the model, drops its materials' texture references (a texture
// shared by several materials goes only with the last), destroys bones, IK chains,
// morphs, joints and then rigid bodies; every count becomes 0. The texture caches and
// the motion player's tables stay. Safe on an empty or partly loaded model.
void releaseModel(cModel& model);

// releaseModel, then frees the motion player's tables and empties both texture caches.
// For program exit (texture deletion needs the GL context still current).
void destroyModel(cModel& model);
