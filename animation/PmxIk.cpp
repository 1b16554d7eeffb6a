// The PMX form of the IK solver: it turns the links' posed rotations, so the motion's own
// values stay untouched for the next frame, and holds limited links inside their range.
#include <algorithm>

#include "animation/DeformOrder.h"
#include "animation/IkStep.h"
#include "animation/MathUtil.h"
#include "animation/MotionPlayer.h"

namespace {

void clampToLimits(float rotation[4], const IKLinkLimit& limit) {
    float euler[3];
    quaternionToEuler(rotation, euler);
    for (int k = 0; k < 3; ++k) {
        // A range given upside down is still a range.
        const float lo = std::min(limit.lower[k], limit.upper[k]);
        const float hi = std::max(limit.lower[k], limit.upper[k]);
        euler[k] = std::clamp(euler[k], lo, hi);
    }
    quaternionFromEuler(euler[0], euler[1], euler[2], rotation);
    normalizeQuaternion(rotation);
}

}  // namespace

void solvePmxIK(cIKChain& chain) {
    if (!chain.ikBone || !chain.targetBone || chain.links.empty() || chain.linkCount == 0) return;
    cBone& target = *chain.targetBone;
    const float goal[3] = {chain.ikBone->globalMatrix[12], chain.ikBone->globalMatrix[13],
                           chain.ikBone->globalMatrix[14]};

    for (int j = chain.linkCount - 1; j >= 0; --j) updatePosedTransform(*chain.links[j]);
    updatePosedTransform(target);

    for (unsigned it = 0; it < chain.iterations; ++it) {
        for (int j = 0; j < chain.linkCount; ++j) {
            cBone& link = *chain.links[j];
            const IKLinkLimit* limit = !chain.limits.empty() && chain.limits[j].limited ? &chain.limits[j] : nullptr;
            float step[4];
            const ikstep::Result r = ikstep::towardGoal(link, &target.globalMatrix[12], goal, chain.angleLimit, step);
            if (r == ikstep::Result::Reached) return;
            if (r == ikstep::Result::Skip) continue;
            if (!limit && link.ikAngleLimited) ikstep::kneeOnly(step);
            normalizeQuaternion(step);
            multiplyQuaternion(link.poseRotation, step, link.poseRotation);
            normalizeQuaternion(link.poseRotation);
            if (limit) clampToLimits(link.poseRotation, *limit);

            for (int k = j; k >= 0; --k) updatePosedTransform(*chain.links[k]);
            updatePosedTransform(target);
        }
    }
}
