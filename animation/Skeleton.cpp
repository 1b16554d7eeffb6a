#include "animation/Skeleton.h"

#include <cmath>
#include <cstring>

#include "animation/MathUtil.h"

namespace {

// When a chain counts as solved and which steps are too small to take. Motions are keyed
// for a solver that stops at these, so tighter values would bend legs differently.
constexpr float kIKReachedDistance2 = 1e-7f;  // effector counts as on the goal
constexpr float kIKMinAngle = 1e-8f;
constexpr float kIKMinAxis2 = 1e-7f;
constexpr float kIKIdentityAngle = 0.0001f;
constexpr float kKneeMinX = -3.14159f;
constexpr float kKneeMaxX = -0.002f;  // every knee step bends a little, and only one way

inline float dot3(const float a[3], const float b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// Scales v to unit length; false (v untouched) when it has none.
inline bool normalize3(float v[3]) {
    float len2 = dot3(v, v);
    if (!(len2 > 0.0f) || !std::isfinite(len2)) return false;
    float s = 1.0f / std::sqrt(len2);
    v[0] *= s;
    v[1] *= s;
    v[2] *= s;
    return true;
}

}  // namespace

void initBone(cBone& bone, const char* name, const BoneDef& def, cBone* bones) {
    std::strncpy(bone.name, name ? name : "", sizeof(bone.name) - 1);
    bone.name[sizeof(bone.name) - 1] = 0;
    std::memcpy(bone.restPosition, def.restPosition, sizeof(bone.restPosition));
    bone.flags = def.flags;
    bone.parent = def.parent >= 0 ? &bones[def.parent] : nullptr;
    // With a parent the loader replaces this once all rest positions are known.
    std::memcpy(bone.parentOffset, def.restPosition, sizeof(bone.parentOffset));
    bone.child = def.child >= 0 ? &bones[def.child] : nullptr;
    if ((def.flags & 0x0100) && def.appendParent >= 0) {
        bone.appendParent = &bones[def.appendParent];
        bone.appendRatio = def.appendRatio;
    } else {
        bone.appendParent = nullptr;
        bone.appendRatio = 0.0f;
    }
    setIdentityMatrix4(bone.inverseRest);
    bone.inverseRest[12] = -def.restPosition[0];
    bone.inverseRest[13] = -def.restPosition[1];
    bone.inverseRest[14] = -def.restPosition[2];
    bone.ikAngleLimited = 0;
    resetBonePose(bone);
    setIdentityMatrix4(bone.skinMatrix);
}

void resetBonePose(cBone& bone) {
    bone.translation[0] = bone.translation[1] = bone.translation[2] = 0.0f;
    setIdentityQuaternion(bone.rotation);
    setIdentityQuaternion(bone.savedRotation);
    setIdentityMatrix4(bone.globalMatrix);
    bone.globalMatrix[12] = bone.restPosition[0];
    bone.globalMatrix[13] = bone.restPosition[1];
    bone.globalMatrix[14] = bone.restPosition[2];
}

void updateBoneTransform(cBone& bone) {
    float local[16];
    quaternionToMatrix(bone.rotation, local);
    local[12] = bone.translation[0] + bone.parentOffset[0];
    local[13] = bone.translation[1] + bone.parentOffset[1];
    local[14] = bone.translation[2] + bone.parentOffset[2];
    if (bone.parent) {
        multiplyMatrix4(bone.parent->globalMatrix, local, bone.globalMatrix);
    } else {
        std::memcpy(bone.globalMatrix, local, sizeof(local));
    }
}

bool invertMatrix4(const float in[16], float out[16]) {
    // Gauss-Jordan on [A | I] in double. Rows are exchanged only when the diagonal pivot is
    // too small to divide by: a bone turned 90 degrees has a zero on its diagonal yet is
    // perfectly invertible.
    double a[4][8];
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            a[r][c] = in[4 * c + r];  // column-major storage
            a[r][4 + c] = (r == c) ? 1.0 : 0.0;
        }
    }
    for (int col = 0; col < 4; ++col) {
        if (std::fabs(a[col][col]) < 1e-6) {
            int best = col;
            for (int r = col + 1; r < 4; ++r) {
                if (std::fabs(a[r][col]) > std::fabs(a[best][col])) best = r;
            }
            if (best != col) {
                for (int c = 0; c < 8; ++c) {
                    double t = a[col][c];
                    a[col][c] = a[best][c];
                    a[best][c] = t;
                }
            }
        }
        const double pivot = a[col][col];
        if (pivot == 0.0 || !std::isfinite(pivot)) {
            setIdentityMatrix4(out);
            return false;
        }
        const double inv = 1.0 / pivot;
        for (int c = 0; c < 8; ++c) a[col][c] *= inv;
        for (int r = 0; r < 4; ++r) {
            if (r == col) continue;
            const double f = a[r][col];
            if (f == 0.0) continue;
            for (int c = 0; c < 8; ++c) a[r][c] -= f * a[col][c];
        }
    }
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) out[4 * c + r] = static_cast<float>(a[r][4 + c]);
    }
    return true;
}

void solveIK(cIKChain& chain) {
    if (!chain.ikBone || !chain.targetBone || !chain.links || chain.linkCount == 0) return;
    cBone& target = *chain.targetBone;
    float goal[3] = {chain.ikBone->globalMatrix[12], chain.ikBone->globalMatrix[13], chain.ikBone->globalMatrix[14]};

    for (int j = chain.linkCount - 1; j >= 0; --j) updateBoneTransform(*chain.links[j]);
    updateBoneTransform(target);

    const float limit = chain.angleLimit;
    float inv[16];
    for (unsigned it = 0; it < chain.iterations; ++it) {
        for (int j = 0; j < chain.linkCount; ++j) {
            cBone& link = *chain.links[j];
            invertMatrix4(link.globalMatrix, inv);
            float e[3], g[3];
            transformPoint(inv, &target.globalMatrix[12], e);
            transformPoint(inv, goal, g);
            const float d[3] = {e[0] - g[0], e[1] - g[1], e[2] - g[2]};
            if (dot3(d, d) < kIKReachedDistance2) return;

            // An effector or goal sitting on the link's own origin gives no direction to
            // turn toward.
            if (!normalize3(e) || !normalize3(g)) continue;
            // Rounding can push the dot of two unit vectors just past 1, where acos is NaN.
            float c = dot3(e, g);
            if (c > 1.0f) c = 1.0f;
            if (c < -1.0f) c = -1.0f;
            float angle = std::acos(c);
            if (std::fabs(angle) <= kIKMinAngle) continue;
            if (angle > limit) angle = limit;
            if (angle < -limit) angle = -limit;

            float axis[3] = {e[1] * g[2] - e[2] * g[1], e[2] * g[0] - e[0] * g[2], e[0] * g[1] - e[1] * g[0]};
            const float axisLen2 = dot3(axis, axis);
            if (axisLen2 < kIKMinAxis2) continue;

            float step[4] = {0.0f, 0.0f, 0.0f, 1.0f};
            if (std::fabs(angle) >= kIKIdentityAngle) {
                const float s = std::sin(angle * 0.5f) / std::sqrt(axisLen2);
                step[0] = axis[0] * s;
                step[1] = axis[1] * s;
                step[2] = axis[2] * s;
                step[3] = std::cos(angle * 0.5f);
            }
            if (link.ikAngleLimited) {
                // Knees turn about their X axis only, and only backwards.
                normalizeQuaternion(step);
                float euler[3];
                quaternionToEuler(step, euler);
                float x = euler[0];
                if (x < kKneeMinX) x = kKneeMinX;
                if (x > kKneeMaxX) x = kKneeMaxX;
                step[0] = std::sin(x * 0.5f);
                step[1] = 0.0f;
                step[2] = 0.0f;
                step[3] = std::cos(x * 0.5f);
            }
            normalizeQuaternion(step);
            multiplyQuaternion(link.rotation, step, link.rotation);
            normalizeQuaternion(link.rotation);

            for (int k = j; k >= 0; --k) updateBoneTransform(*chain.links[k]);
            updateBoneTransform(target);
        }
    }
}
