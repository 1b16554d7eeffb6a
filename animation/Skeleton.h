// Bone set-up and pose, inverse kinematics and matrix-blend skinning of a model.
//
// Playback writes each bone's local translation and rotation; updateBoneTransform turns
// them into model-space matrices, solveIK bends the chains toward their goals, and
// skinPosedModel (after whatever else moves bones, the rigid bodies, has written them)
// deforms the mesh. None of these allocates after a model's first skinned frame: bone
// and vertex indices are trusted as the loaders checked them.
#pragma once

#include "animation/DeformOrder.h"
#include "animation/MathUtil.h"
#include "animation/SkinBuffers.h"
#include "model/ModelData.h"

// Sets a bone up from its loader record: name (at most 31 bytes), rest position, flags,
// parent / child / append links resolved against bones (-1 = none), inverseRest, and the
// rest pose. parentOffset is restPosition here; the loader fixes it for bones with a
// parent once every bone exists (computeParentOffsets).
void initBone(cBone& bone, const char* name, const BoneDef& def, cBone* bones);

// Local pose back to rest: no translation, identity rotation and head-turn state, and the
// global matrix at the rest position.
void resetBonePose(cBone& bone);

// globalMatrix = parent's globalMatrix x (rotation, translation + parentOffset). A parent
// listed after its child contributes the matrix it had before this frame's update.
void updateBoneTransform(cBone& bone);
// globalMatrix = parent x (rotation, translation + parentOffset): the one composition
// both the motion pose and the PMX posed values go through.
void composeBoneTransform(cBone& bone, const float rotation[4], const float translation[3]);

// Cyclic coordinate descent of one chain toward the ikBone's current position. Knee links
// bend about their X axis only, and only one way.
void solveIK(cIKChain& chain);

// Poses the after-physics bones of a PMX model (animation/DeformOrder.h), then skins
// (skinVertices). Call once the rigid bodies have written their bones.
bool skinPosedModel(ModelData& model, DeformOrder& order, SkinBuffers& skin);

// skinMatrix of every bone, then skin.positions / skin.normals of every vertex, split
// over the skinning threads. Without room for the matrix table (made on the first frame)
// the mesh keeps its last pose: false is returned the first time, so that the caller
// says so once; later frames keep the pose quietly.
bool skinVertices(ModelData& model, SkinBuffers& skin);
