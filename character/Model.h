// A character as the viewer holds it: the model data as read (model/ModelData.h) and
// what is made from it: GL textures for drawing, rigid bodies and joints in the physics
// world, the bound motion and the skinning buffers.
#pragma once

#include <cstdint>

#include "model/ModelData.h"
#include "render/ModelDraw.h"
#include "render/ModelTextures.h"

class cPMDRigidBody;  // physics/RigidBody.h
struct cModelJoint;   // physics/RigidBody.h
struct MotionData;    // animation/Motion.h
struct cModel;

// Playback state of the motion bound to a model (animation/MotionPlayer.h drives it).
struct MotionPlayer {
    cModel* model = nullptr;
    MotionData* motionData = nullptr;
    cBone** boneTargets = nullptr;   // one per bone track, null where the model lacks the bone
    cMorph** faceTargets = nullptr;  // one per face track, null where the model lacks the morph
    float currentFrame = 0.0f;
    // Entries of the two tables, so a player never reads past them when the motion was
    // refilled without a rebind.
    int32_t boneTargetCount = 0;
    int32_t faceTargetCount = 0;
    cIKChain** ikTargets = nullptr;  // one per IK switch track, null where no chain has that goal
    int32_t ikTargetCount = 0;
    // PMX: one per face track (faceTargetCount entries), the index of the morph of any
    // kind in cModel::morphKinds, -1 where the model has none of that name.
    int32_t* faceMorphs = nullptr;
};

struct cModel : ModelData {
    // Drawing: the materials' GL textures and the caches they come from.
    ModelTextures textures;

    // Physics: one body per rigidBodyDefs entry and one joint per jointDefs entry.
    uint32_t rigidBodyCount = 0;
    cPMDRigidBody* rigidBodies = nullptr;  // new[]
    uint32_t jointCount = 0;
    cModelJoint* joints = nullptr;  // new[]

    // Animation: the motion, the head turn and skinning.
    MotionPlayer motion;
    uint8_t lookAtCamera = 0;
    float* skinnedPositions = nullptr;  // 3 per vertex, output of skinning
    float* skinnedNormals = nullptr;    // 3 per vertex, output of skinning
    float* sdefBoneRotations = nullptr;    // malloc; skinning's scratch, 4 per bone
    // Skinning's scratch: every bone's skin matrix side by side (16 floats each, 64-byte
    // aligned), then one identity for indices outside the bones. Allocated on the first
    // skinned frame for skinTableBones bones; releaseModel frees it.
    float* skinTable = nullptr;
    uint32_t skinTableBones = 0;
    // PMX deform order (null for PMD models, which pose in index order): a list through
    // cBone::nextInOrder sorted by (after physics, layer, index). Bones from
    // firstAfterPhysicsBone on are posed after the physics step.
    cBone* firstDeformBone = nullptr;
    cBone* firstAfterPhysicsBone = nullptr;
    uint32_t refreshStamp = 0;
};

// Frees every array of the model, drops its materials' texture references (a texture
// shared by several materials goes only with the last), destroys bones, IK chains,
// morphs, joints and then rigid bodies; every count becomes 0. The texture caches and
// the motion player's tables stay. Safe on an empty or partly loaded model.
void releaseModel(cModel& model);

// releaseModel, then frees the motion player's tables and empties the texture caches.
// For program exit (texture deletion needs the GL context still current).
void destroyModel(cModel& model);

// Draws the model as skinning last left it, with its textures (render/ModelDraw.h).
inline void drawModel(const cModel& model, bool outlines = true) {
    drawModel(model, model.textures, model.skinnedPositions, model.skinnedNormals, outlines);
}
inline void drawModelGeometry(const cModel& model) { drawModelGeometry(model, model.skinnedPositions); }
