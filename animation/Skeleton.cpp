#include "animation/Skeleton.h"

#include <cmath>
#include <cstring>

#include "animation/DeformOrder.h"
#include "animation/IkStep.h"
#include "animation/MathUtil.h"

void initBone(cBone& bone, const char* name, const BoneDef& def, cBone* bones) {
    initBoneRecord(bone, name, def, bones);
    resetBonePose(bone);
    setIdentityMatrix4(bone.skinMatrix);
}

void resetBonePose(cBone& bone) {
    bone.translation[0] = bone.translation[1] = bone.translation[2] = 0.0f;
    setIdentityQuaternion(bone.rotation);
    setIdentityQuaternion(bone.savedRotation);
    setIdentityQuaternion(bone.poseRotation);
    bone.poseTranslation[0] = bone.poseTranslation[1] = bone.poseTranslation[2] = 0.0f;
    setIdentityMatrix4(bone.globalMatrix);
    bone.globalMatrix[12] = bone.restPosition[0];
    bone.globalMatrix[13] = bone.restPosition[1];
    bone.globalMatrix[14] = bone.restPosition[2];
}

void updateBoneTransform(cBone& bone) { composeBoneTransform(bone, bone.rotation, bone.translation); }

void composeBoneTransform(cBone& bone, const float rotation[4], const float translation[3]) {
    float local[16];
    quaternionToMatrix(rotation, local);
    local[12] = translation[0] + bone.parentOffset[0];
    local[13] = translation[1] + bone.parentOffset[1];
    local[14] = translation[2] + bone.parentOffset[2];
    if (bone.parent) {
        multiplyMatrix4(bone.parent->globalMatrix, local, bone.globalMatrix);
    } else {
        std::memcpy(bone.globalMatrix, local, sizeof(local));
    }
}

void solveIK(cIKChain& chain) {
    if (!chain.ikBone || !chain.targetBone || chain.links.empty() || chain.linkCount == 0) return;
    cBone& target = *chain.targetBone;
    float goal[3] = {chain.ikBone->globalMatrix[12], chain.ikBone->globalMatrix[13], chain.ikBone->globalMatrix[14]};

    for (int j = chain.linkCount - 1; j >= 0; --j) updateBoneTransform(*chain.links[j]);
    updateBoneTransform(target);

    const float limit = chain.angleLimit;
    for (unsigned it = 0; it < chain.iterations; ++it) {
        for (int j = 0; j < chain.linkCount; ++j) {
            cBone& link = *chain.links[j];
            float step[4];
            const ikstep::Result r = ikstep::towardGoal(link, &target.globalMatrix[12], goal, limit, step);
            if (r == ikstep::Result::Reached) return;
            if (r == ikstep::Result::Skip) continue;
            if (link.ikAngleLimited) ikstep::kneeOnly(step);
            normalizeQuaternion(step);
            multiplyQuaternion(link.rotation, step, link.rotation);
            normalizeQuaternion(link.rotation);

            for (int k = j; k >= 0; --k) updateBoneTransform(*chain.links[k]);
            updateBoneTransform(target);
        }
    }
}
