// One frame of a character, its pieces in the order they meet: the motion poses the
// bones (animation), the bodies that follow bones are moved after them, the physics
// world steps (the caller, once for every character), the simulated bodies write their
// bones back, the after-physics bones are posed and the mesh is skinned.
#pragma once

#include <cstdint>

#include "character/Model.h"

// Undoes morphs, plays the bound motion on by elapsed frames, poses the bones
// (animation/MotionPlayer.h), then pulls the mode 2 bodies toward their bones.
void updateModelPose(cModel& model, float elapsed);

// The simulated bodies write their bones, the after-physics bones are posed and the mesh
// is skinned. False the first time the model's skinning scratch cannot be allocated
// (the mesh keeps its last pose; the caller says so once).
bool skinModel(cModel& model);

// Only the skinning: skin matrices and vertices from the bones as they stand.
bool skinVertices(cModel& model);

// skinModel of each model, the models shared out over the skinning threads whole (each
// with all its bones and vertices on one thread) instead of one after the other, each
// split over them. The results are the same to the bit either way. False when some model
// returned false.
bool skinModelsSideBySide(cModel* const* models, uint32_t count);

// Turns the head toward viewpoint (model space) while the model's lookAtCamera toggle
// is set (animation/MotionPlayer.h).
void lookAtViewpoint(const float viewpoint[3], cModel& model);

// The line the program prints when skinning reports a shortage of memory.
inline constexpr char kSkinningMemoryMessage[] = "pavonix: out of memory for skinning; the model keeps its last pose";
