// Playback of a bound motion: each frame the tracks are evaluated at the player's current
// frame, bone local poses and face morphs are set, and the clock advances and then holds
// the motion's last frame. Also the head turn toward the camera.
//
// Frames are VMD frames (30 per second); elapsed arguments are in frames. Nothing here
// allocates except bindMotion.
#pragma once

#include <cstdint>
#include <vector>

#include "animation/DeformOrder.h"
#include "model/ModelData.h"

struct BoneTrack;
struct FaceTrack;
struct IKSwitchTrack;
struct MotionData;

// Playback state of the motion bound to a model.
struct MotionPlayer {
    ModelData* model = nullptr;
    MotionData* motionData = nullptr;
    float currentFrame = 0.0f;
    // One entry per track in list order; the loops stop at the shorter of the list and the
    // table, so a motion refilled without a rebind is never read past.
    std::vector<cBone*> boneTargets;     // null where the model lacks the bone
    std::vector<cMorph*> faceTargets;    // null where the model lacks the morph
    std::vector<cIKChain*> ikTargets;    // null where no chain has that goal
    // PMX: one per face track, the index of the morph of any kind in
    // ModelData::morphKinds, -1 where the model has none of that name. Empty otherwise.
    std::vector<int32_t> faceMorphs;
};

// Points player at model and motion, builds the bone and face target tables (one entry
// per track in list order, null where the model lacks the bone or morph) and rewinds the
// clock to frame 0. The previous tables are dropped. The player keeps both pointers:
// rebind after the motion is reloaded or the model is refilled.
void bindMotion(MotionPlayer& player, ModelData& model, MotionData& motion);

// Drops the target tables and unbinds the motion (the clock is rewound); the chains the
// motion switched off are switched on again.
void clearMotionPlayer(MotionPlayer& player);

// One frame of posing: undo morphs, evaluate and advance the motion (IK switches too),
// pose the bones. PMD: every bone in array order, then every IK chain. PMX: the deform
// order up to the after-physics bones (animation/DeformOrder.h); those are posed once the
// rigid bodies have moved (skinPosedModel).
void updateModelPose(ModelData& model, MotionPlayer& player, DeformOrder& order, float elapsed);

// Evaluates every bound track at player.currentFrame into the model, then advances the
// clock by elapsed, holding at the motion's last frame.
void advanceMotion(MotionPlayer& player, float elapsed);

// Interpolated local translation and rotation (x, y, z, w; unit, w >= 0) of a bone track.
// A track without keys yields the rest pose.
void evaluateBoneTrack(const BoneTrack& track, float frame, float position[3], float rotation[4]);

// Whether the chain of an IK switch track is on at frame: the last key at or before it
// (the first key before that). On for a track without keys.
bool evaluateIKSwitch(const IKSwitchTrack& track, float frame);

// Interpolated weight of a face track; 0 for a track without keys.
float evaluateFaceTrack(const FaceTrack& track, float frame);

// Index of the first key with frame >= f after f is clamped to the last key's frame
// (0 when f lies before the first key). keyCount must be at least 1.
int findBoneKey(const BoneTrack& track, float frame);
int findFaceKey(const FaceTrack& track, float frame);

// Head turn limits, radians.
inline constexpr float kHeadPitchMin = -0.34906584f;  // -20 degrees (up)
inline constexpr float kHeadPitchMax = 0.7853982f;    // 45 degrees
inline constexpr float kHeadYawLimit = 1.3962634f;    // 80 degrees either side

// Turns the head bone toward viewpoint (model space), smoothed over frames, and updates
// the head and every later bone. Does nothing unless the model has a head bone.
void lookAtViewpoint(const float viewpoint[3], ModelData& model, DeformOrder& order);

// Quaternion (x, y, z, w) of the Euler angles x, y, z (radians).
void quaternionFromEuler(float x, float y, float z, float out[4]);
