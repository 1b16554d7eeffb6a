// Posing of PMX skeletons the way their authors rig them: bones are evaluated in deform
// order (after-physics flag, deform layer, index), each one's local pose gathers its
// motion value (projected onto a fixed axis), what it inherits from an append source,
// and IK chains are solved when their goal bone comes up, so that bones of a later layer
// see the solved chain. PMD models never come here: their poses stay those of
// updateBoneTransform and solveIK.
#pragma once

#include <cstdint>

#include "model/ModelData.h"

// Where a model's deform order starts: a list through cBone::nextInOrder sorted by
// (after physics, layer, index). Bones from firstAfterPhysics on are posed after the
// physics step. Both null for PMD models, which pose in index order.
struct DeformOrder {
    cBone* first = nullptr;
    cBone* firstAfterPhysics = nullptr;
    uint32_t refreshStamp = 0;  // last stamp handed to the bones below a solved chain
};

// Threads model.bones into the deform order (cBone::nextInOrder, order.first and
// firstAfterPhysics) and points every goal bone at its chain. Call once the bones and
// chains are in place; it allocates nothing.
void buildDeformOrder(ModelData& model, DeformOrder& order);

// Poses the bones in deform order, from the first bone up to the after-physics ones
// (afterPhysics false) or those alone (true): local pose, global matrix, and the chain
// whose goal the bone is, when that chain is switched on.
void poseBonesInOrder(DeformOrder& order, bool afterPhysics);

// The local pose of one bone: poseRotation = append x motion rotation (projected onto
// the fixed axis of a 0x0400 bone), poseTranslation = motion translation + append.
void computeLocalPose(cBone& bone);

// globalMatrix from the posed local values and the parent's globalMatrix.
void updatePosedTransform(cBone& bone);

// Cyclic coordinate descent on poseRotation: the loop count and per-step angle as the
// chain stores them, PMX link limits (Euler angles clamped after every step), the knee
// rule for unlimited knee links. Only the links and the effector are updated here.
void solvePmxIK(cIKChain& chain);

// q raised to the power t (t may be negative: -1 is the inverse turn), short way round.
void scaleRotation(const float q[4], float t, float out[4]);
