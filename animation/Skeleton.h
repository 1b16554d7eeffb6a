// Bone set-up and pose, inverse kinematics and matrix-blend skinning of a cModel.
//
// Playback writes each bone's local translation and rotation; updateBoneTransform turns
// them into model-space matrices, solveIK bends the chains toward their goals, and
// skinModel (after the rigid bodies have written their bones) deforms the mesh. None of
// these allocates, and none reports errors: bone and vertex indices are trusted as the
// loaders checked them.
#pragma once

#include "animation/MathUtil.h"
#include "character/Model.h"

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

// Writes the simulated rigid bodies into their bones, poses the after-physics bones of a
// PMX model (animation/DeformOrder.h), then skins (skinVertices).
void skinModel(cModel& model);

// skinMatrix of every bone, then skinnedPositions / skinnedNormals of every vertex.
void skinVertices(cModel& model);

// skinModel of each model, the models shared out over the skinning threads whole (each
// with all its bones and vertices on one thread) instead of one after the other, each
// split over them. The results are the same to the bit either way.
void skinModelsSideBySide(cModel* const* models, uint32_t count);
