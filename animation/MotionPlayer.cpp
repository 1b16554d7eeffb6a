#include "animation/MotionPlayer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "animation/DeformOrder.h"
#include "animation/MathUtil.h"
#include "animation/Morph.h"
#include "animation/MorphBlend.h"
#include "animation/Motion.h"
#include "animation/Skeleton.h"

namespace {

// Share of the new head direction taken each frame; the rest is last frame's turn.
constexpr float kHeadTurnFollow = 0.3f;

template <typename Key>
int findKey(const Key* keys, int keyCount, float frame) {
    const float c = std::min(frame, keys[keyCount - 1].frame);
    // The first key at or after c; among keys sharing a frame, the first of them.
    const Key* k = std::lower_bound(keys, keys + keyCount, c, [](const Key& key, float f) { return key.frame < f; });
    return static_cast<int>(k - keys);
}

// Interpolation parameter between keys i - 1 and i at frame (clamped like findKey).
template <typename Key>
float keyFraction(const Key* keys, int keyCount, int i, float frame) {
    const float c = std::min(frame, keys[keyCount - 1].frame);
    return (c - keys[i - 1].frame) / (keys[i].frame - keys[i - 1].frame);
}

float curveValue(const CurveTable& curve, float u) {
    if (curve.linear) return u;
    const float p = u * 16.0f;
    int j = static_cast<int>(p);
    j = std::clamp(j, 0, kCurveSamples - 2);
    const float f = p - static_cast<float>(j);
    return (1.0f - f) * curve.samples[j] + f * curve.samples[j + 1];
}

// Sum of weighted quaternions taking the short way (b negated when it points away from a),
// then normalised with w >= 0.
void blendQuaternions(const float a[4], float wa, const float b[4], float wb, float out[4]) {
    const float dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
    const float sb = dot < 0.0f ? -wb : wb;
    for (int k = 0; k < 4; ++k) out[k] = wa * a[k] + sb * b[k];
    normalizeQuaternion(out);
}

void setTranslation(float m[16], float x, float y, float z) {
    m[12] = x;
    m[13] = y;
    m[14] = z;
}

// Argument of asin / acos: num / den kept inside [-1, 1] against rounding. den vanishes when
// the viewpoint lies exactly on an axis of the head (straight above it, or level with it
// on its left-right axis); the angle then has no direction and fallback (looking straight
// ahead) is used instead of a NaN that the smoothed head state would keep for good.
float safeRatio(float num, float den, float fallback) {
    if (!(den > 0.0f) || !std::isfinite(num / den)) return fallback;
    return std::clamp(num / den, -1.0f, 1.0f);
}

}  // namespace

void clearMotionPlayer(MotionPlayer& player) {
    // The tables keep their storage: a rebind to a motion of no more tracks allocates nothing.
    player.boneTargets.clear();
    player.faceTargets.clear();
    player.ikTargets.clear();
    player.faceMorphs.clear();
    // A chain the last motion switched off must not stay off without it.
    if (player.model) {
        for (uint16_t i = 0; i < player.model->ikCount(); ++i) player.model->ikChains[i].enabled = 1;
    }
    player.motionData = nullptr;
    player.currentFrame = 0.0f;
}

void bindMotion(MotionPlayer& player, ModelData& model, MotionData& motion) {
    clearMotionPlayer(player);
    player.model = &model;
    player.motionData = &motion;

    for (const BoneTrack* t = motion.boneTracks; t; t = t->next) player.boneTargets.push_back(findBone(model, t->name));
    for (const FaceTrack* t = motion.faceTracks; t; t = t->next) {
        player.faceTargets.push_back(findMorph(model, t->name));
        // PMX tracks name morphs of every kind; vertex morphs among them are applied
        // through the same table, so each one still moves once per frame.
        if (model.morphKinds) player.faceMorphs.push_back(findMorphRecord(*model.morphKinds, t->name));
    }
    for (const IKSwitchTrack* t = motion.ikTracks; t; t = t->next) {
        const cBone* goal = findBone(model, t->name);
        cIKChain* chain = nullptr;
        for (uint16_t k = 0; goal && k < model.ikCount() && !chain; ++k) {
            if (model.ikChains[k].ikBone == goal) chain = &model.ikChains[k];
        }
        player.ikTargets.push_back(chain);
    }
}

void updateModelPose(ModelData& model, MotionPlayer& player, DeformOrder& order, float elapsed) {
    resetMorphs(model);
    if (player.motionData) advanceMotion(player, elapsed);
    if (order.first) {
        poseBonesInOrder(order, false);
    } else {
        for (uint32_t i = 0; i < model.boneCount(); ++i) updateBoneTransform(model.bones[i]);
        for (uint16_t i = 0; i < model.ikCount(); ++i) solveIK(model.ikChains[i]);
    }
}

void advanceMotion(MotionPlayer& player, float elapsed) {
    const MotionData* motion = player.motionData;
    if (!motion) return;
    const float frame = player.currentFrame;

    const int boneTargetCount = static_cast<int>(player.boneTargets.size());
    const int ikTargetCount = static_cast<int>(player.ikTargets.size());
    const int faceTargetCount = static_cast<int>(player.faceTargets.size());
    int i = 0;
    for (const BoneTrack* t = motion->boneTracks; t && i < boneTargetCount; t = t->next, ++i) {
        cBone* bone = player.boneTargets[i];
        if (bone) evaluateBoneTrack(*t, frame, bone->translation, bone->rotation);
    }

    i = 0;
    for (const IKSwitchTrack* t = motion->ikTracks; t && i < ikTargetCount; t = t->next, ++i) {
        cIKChain* chain = player.ikTargets[i];
        if (chain) chain->enabled = evaluateIKSwitch(*t, frame) ? 1 : 0;
    }

    ModelData* model = player.model;
    i = 0;
    if (model && model->morphKinds && !player.faceMorphs.empty()) {
        const int faceMorphCount = static_cast<int>(player.faceMorphs.size());
        for (const FaceTrack* t = motion->faceTracks; t && i < faceMorphCount; t = t->next, ++i) {
            if (player.faceMorphs[i] >= 0) addMorphWeight(*model->morphKinds, player.faceMorphs[i], evaluateFaceTrack(*t, frame));
        }
        applyMorphWeights(*model);
        model = nullptr;  // the vertex morphs were applied with the rest
    }
    for (const FaceTrack* t = motion->faceTracks; model && t && i < faceTargetCount; t = t->next, ++i) {
        const cMorph* morph = player.faceTargets[i];
        if (!morph) continue;
        const float w = evaluateFaceTrack(*t, frame);
        if (w == 1.0f) {
            applyMorphFull(*morph, model->positions.data(), model->vertexCount);
        } else if (w > kFaceWeightThreshold) {
            blendMorph(*morph, w, model->positions.data(), model->vertexCount);
        }
    }

    // Plays once, then holds the last frame.
    player.currentFrame += elapsed;
    if (player.currentFrame >= motion->lastFrame) player.currentFrame = motion->lastFrame;
}

int findBoneKey(const BoneTrack& track, float frame) { return findKey(track.keys, track.keyCount, frame); }

int findFaceKey(const FaceTrack& track, float frame) { return findKey(track.keys, track.keyCount, frame); }

void evaluateBoneTrack(const BoneTrack& track, float frame, float position[3], float rotation[4]) {
    if (track.keyCount <= 0 || !track.keys) {
        position[0] = position[1] = position[2] = 0.0f;
        setIdentityQuaternion(rotation);
        return;
    }
    const int i = findBoneKey(track, frame);
    const BoneKey& b = track.keys[i];
    if (i == 0) {
        std::memcpy(position, b.position, sizeof(b.position));
        std::memcpy(rotation, b.rotation, sizeof(b.rotation));
        return;
    }
    const BoneKey& a = track.keys[i - 1];
    const float u = keyFraction(track.keys, track.keyCount, i, frame);
    // The curves of the later key shape the way from the earlier one.
    for (int k = 0; k < 3; ++k) {
        const float s = curveValue(b.curves[k], u);
        position[k] = (1.0f - s) * a.position[k] + s * b.position[k];
    }
    const float s = curveValue(b.curves[3], u);
    blendQuaternions(a.rotation, 1.0f - s, b.rotation, s, rotation);
}

float evaluateFaceTrack(const FaceTrack& track, float frame) {
    if (track.keyCount <= 0 || !track.keys) return 0.0f;
    const int i = findFaceKey(track, frame);
    if (i == 0) return track.keys[0].weight;
    const float u = keyFraction(track.keys, track.keyCount, i, frame);
    return (1.0f - u) * track.keys[i - 1].weight + u * track.keys[i].weight;
}

void lookAtViewpoint(const float viewpoint[3], ModelData& model, DeformOrder& order) {
    cBone* head = model.headBone;
    if (!head) return;
    cBone* const bonesEnd = model.bones.data() + model.bones.size();
    if (head < model.bones.data() || head >= bonesEnd) return;  // not one of this model's bones

    // The head's local frame at its current translation, without rotation, in model space.
    float local[16];
    setIdentityMatrix4(local);
    setTranslation(local, head->translation[0] + head->parentOffset[0], head->translation[1] + head->parentOffset[1],
                   head->translation[2] + head->parentOffset[2]);
    if (head->parent) {
        const float* pg = head->parent->globalMatrix;
        // The parent's inverse rotation placed at the parent's position with z mirrored:
        // the frame this viewer has always measured the head turn in, kept on purpose so
        // that scenes turn their heads as they always did.
        float q[16];
        invertMatrix4(pg, q);
        setTranslation(q, pg[12], pg[13], -pg[14]);
        multiplyMatrix4(q, local, local);
    }
    float toHead[16];
    invertMatrix4(local, toHead);
    float t[3];
    transformPoint(toHead, viewpoint, t);

    float pitch = std::asin(safeRatio(t[1], std::sqrt(t[1] * t[1] + t[2] * t[2]), 0.0f));
    float yaw = std::acos(safeRatio(t[2], std::sqrt(t[0] * t[0] + t[2] * t[2]), 1.0f));
    if (t[0] >= 0.0f) yaw = -yaw;
    pitch = std::clamp(pitch, kHeadPitchMin, kHeadPitchMax);
    yaw = std::clamp(yaw, -kHeadYawLimit, kHeadYawLimit);

    float goal[4];
    quaternionFromEuler(pitch, yaw, 0.0f, goal);
    blendQuaternions(head->savedRotation, 1.0f - kHeadTurnFollow, goal, kHeadTurnFollow, head->savedRotation);
    std::memcpy(head->rotation, head->savedRotation, sizeof(head->rotation));

    if (order.first) {
        // Append bones and IK chains anywhere in the order may hang on the head.
        poseBonesInOrder(order, false);
        return;
    }
    for (cBone* b = head; b < bonesEnd; ++b) updateBoneTransform(*b);
}

bool evaluateIKSwitch(const IKSwitchTrack& track, float frame) {
    if (track.keyCount <= 0 || !track.keys) return true;
    // A switch holds from its key to the next: the last key at or before frame counts.
    const IKSwitchKey* begin = track.keys;
    const IKSwitchKey* end = begin + track.keyCount;
    const IKSwitchKey* k =
        std::upper_bound(begin, end, frame, [](float f, const IKSwitchKey& key) { return f < key.frame; });
    if (k == begin) return begin->enabled != 0;
    return (k - 1)->enabled != 0;
}

void quaternionFromEuler(float x, float y, float z, float out[4]) {
    const float cx = std::cos(x * 0.5f), sx = std::sin(x * 0.5f);
    const float cy = std::cos(y * 0.5f), sy = std::sin(y * 0.5f);
    const float cz = std::cos(z * 0.5f), sz = std::sin(z * 0.5f);
    out[0] = cz * cy * sx - sz * sy * cx;
    out[1] = sz * cy * sx + cz * sy * cx;
    out[2] = sz * cy * cx - cz * sy * sx;
    out[3] = sz * sy * sx + cz * cy * cx;
}
