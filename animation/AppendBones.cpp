// The local pose of a PMX bone: its motion value, projected onto a fixed axis, and what it
// inherits from its append source.
#include <cmath>
#include <cstring>

#include "animation/DeformOrder.h"
#include "animation/MathUtil.h"
#include "animation/Skeleton.h"

namespace {

constexpr uint16_t kLocalAppend = 0x0080;
constexpr uint16_t kAppendRotation = 0x0100;
constexpr uint16_t kAppendTranslation = 0x0200;
constexpr uint16_t kFixedAxis = 0x0400;

// Rotation of a rigid 4x4 (column-major) as a unit quaternion with w >= 0.
void rotationOfMatrix(const float m[16], float q[4]) {
    const float trace = m[0] + m[5] + m[10];
    if (trace > 0.0f) {
        const float s = std::sqrt(trace + 1.0f) * 2.0f;
        q[3] = 0.25f * s;
        q[0] = (m[6] - m[9]) / s;
        q[1] = (m[8] - m[2]) / s;
        q[2] = (m[1] - m[4]) / s;
    } else if (m[0] > m[5] && m[0] > m[10]) {
        const float s = std::sqrt(1.0f + m[0] - m[5] - m[10]) * 2.0f;
        q[3] = (m[6] - m[9]) / s;
        q[0] = 0.25f * s;
        q[1] = (m[4] + m[1]) / s;
        q[2] = (m[8] + m[2]) / s;
    } else if (m[5] > m[10]) {
        const float s = std::sqrt(1.0f + m[5] - m[0] - m[10]) * 2.0f;
        q[3] = (m[8] - m[2]) / s;
        q[0] = (m[4] + m[1]) / s;
        q[1] = 0.25f * s;
        q[2] = (m[9] + m[6]) / s;
    } else {
        const float s = std::sqrt(1.0f + m[10] - m[0] - m[5]) * 2.0f;
        q[3] = (m[1] - m[4]) / s;
        q[0] = (m[8] + m[2]) / s;
        q[1] = (m[9] + m[6]) / s;
        q[2] = 0.25f * s;
    }
    normalizeQuaternion(q);
}

// What the source hands on. Plain append takes its posed local values (motion, its own
// append, and the IK steps it took); local append reads them back from its matrices
// relative to its parent, which also carries what was written into the matrix directly
// (rigid bodies of after-physics bones).
void sourceValues(const cBone& source, bool local, float rotation[4], float translation[3]) {
    if (!local) {
        std::memcpy(rotation, source.poseRotation, 4 * sizeof(float));
        std::memcpy(translation, source.poseTranslation, 3 * sizeof(float));
        return;
    }
    float rel[16];
    if (source.parent) {
        float inv[16];
        invertMatrix4(source.parent->globalMatrix, inv);
        multiplyMatrix4(inv, source.globalMatrix, rel);
    } else {
        std::memcpy(rel, source.globalMatrix, sizeof(rel));
    }
    rotationOfMatrix(rel, rotation);
    for (int k = 0; k < 3; ++k) translation[k] = rel[12 + k] - source.parentOffset[k];
}

void projectOntoAxis(float q[4], const float axis[3]) {
    const float d = q[0] * axis[0] + q[1] * axis[1] + q[2] * axis[2];
    const float p[4] = {axis[0] * d, axis[1] * d, axis[2] * d, q[3]};
    const float len2 = p[0] * p[0] + p[1] * p[1] + p[2] * p[2] + p[3] * p[3];
    // A half turn about an axis at right angles to the fixed one leaves nothing on it.
    if (!(len2 > 1e-12f)) {
        setIdentityQuaternion(q);
        return;
    }
    std::memcpy(q, p, sizeof(p));
    normalizeQuaternion(q);
}

}  // namespace

void scaleRotation(const float q[4], float t, float out[4]) {
    float w = q[3];
    float v[3] = {q[0], q[1], q[2]};
    if (w < 0.0f) {
        w = -w;
        v[0] = -v[0];
        v[1] = -v[1];
        v[2] = -v[2];
    }
    const float s = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (!(s > 1e-9f)) {
        setIdentityQuaternion(out);
        return;
    }
    const float half = std::atan2(s, w) * t;
    const float k = std::sin(half) / s;
    out[0] = v[0] * k;
    out[1] = v[1] * k;
    out[2] = v[2] * k;
    out[3] = std::cos(half);
    normalizeQuaternion(out);
}

void computeLocalPose(cBone& bone) {
    float rotation[4];
    std::memcpy(rotation, bone.rotation, sizeof(rotation));
    std::memcpy(bone.poseTranslation, bone.translation, sizeof(bone.poseTranslation));
    // A bone morph acts as part of the motion's own value, so what the bone hands on
    // through append links and what a fixed axis keeps include it.
    if (bone.morphed) {
        multiplyQuaternion(rotation, bone.morphRotation, rotation);
        normalizeQuaternion(rotation);
        for (int k = 0; k < 3; ++k) bone.poseTranslation[k] += bone.morphTranslation[k];
    }
    if (bone.flags & kFixedAxis) projectOntoAxis(rotation, bone.fixedAxis);

    const cBone* source = bone.appendParent;
    if (!source || source == &bone || !(bone.flags & (kAppendRotation | kAppendTranslation))) {
        std::memcpy(bone.poseRotation, rotation, sizeof(rotation));
        return;
    }
    float sourceRotation[4], sourceTranslation[3];
    sourceValues(*source, (bone.flags & kLocalAppend) != 0, sourceRotation, sourceTranslation);
    if (bone.flags & kAppendRotation) {
        float inherited[4];
        scaleRotation(sourceRotation, bone.appendRatio, inherited);
        multiplyQuaternion(inherited, rotation, rotation);
        normalizeQuaternion(rotation);
    }
    if (bone.flags & kAppendTranslation) {
        for (int k = 0; k < 3; ++k) bone.poseTranslation[k] += bone.appendRatio * sourceTranslation[k];
    }
    std::memcpy(bone.poseRotation, rotation, sizeof(rotation));
}

void updatePosedTransform(cBone& bone) { composeBoneTransform(bone, bone.poseRotation, bone.poseTranslation); }
