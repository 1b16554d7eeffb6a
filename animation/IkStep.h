// One step of cyclic coordinate descent, shared by the PMD and the PMX solvers so that
// both turn a link by exactly the same arithmetic.
#pragma once

#include <cmath>

#include "animation/MathUtil.h"
#include "animation/Skeleton.h"
#include "model/ModelData.h"

namespace ikstep {

// When a chain counts as solved and which steps are too small to take. Motions are keyed
// for a solver that stops at these, so tighter values would bend legs differently.
constexpr float kReachedDistance2 = 1e-7f;  // effector counts as on the goal
constexpr float kMinAngle = 1e-8f;
constexpr float kMinAxis2 = 1e-7f;
constexpr float kIdentityAngle = 0.0001f;
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

enum class Result { Reached, Skip, Step };

// The turn, in the link's own frame, that brings effector toward goal, at most limit
// radians. Reached when the effector already sits on the goal.
inline Result towardGoal(const cBone& link, const float effector[3], const float goal[3], float limit, float step[4]) {
    float inv[16];
    invertMatrix4(link.globalMatrix, inv);
    float e[3], g[3];
    transformPoint(inv, effector, e);
    transformPoint(inv, goal, g);
    const float d[3] = {e[0] - g[0], e[1] - g[1], e[2] - g[2]};
    if (dot3(d, d) < kReachedDistance2) return Result::Reached;

    // An effector or goal sitting on the link's own origin gives no direction to turn toward.
    if (!normalize3(e) || !normalize3(g)) return Result::Skip;
    // Rounding can push the dot of two unit vectors just past 1, where acos is NaN.
    float c = dot3(e, g);
    if (c > 1.0f) c = 1.0f;
    if (c < -1.0f) c = -1.0f;
    float angle = std::acos(c);
    if (std::fabs(angle) <= kMinAngle) return Result::Skip;
    if (angle > limit) angle = limit;
    if (angle < -limit) angle = -limit;

    float axis[3] = {e[1] * g[2] - e[2] * g[1], e[2] * g[0] - e[0] * g[2], e[0] * g[1] - e[1] * g[0]};
    const float axisLen2 = dot3(axis, axis);
    if (axisLen2 < kMinAxis2) return Result::Skip;

    step[0] = step[1] = step[2] = 0.0f;
    step[3] = 1.0f;
    if (std::fabs(angle) >= kIdentityAngle) {
        const float s = std::sin(angle * 0.5f) / std::sqrt(axisLen2);
        step[0] = axis[0] * s;
        step[1] = axis[1] * s;
        step[2] = axis[2] * s;
        step[3] = std::cos(angle * 0.5f);
    }
    return Result::Step;
}

// Knees turn about their X axis only, and only backwards.
inline void kneeOnly(float step[4]) {
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

}  // namespace ikstep
