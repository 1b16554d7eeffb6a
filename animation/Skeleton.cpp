#include "animation/Skeleton.h"

#include <cmath>
#include <cstring>

#include "animation/DeformOrder.h"
#include "animation/IkStep.h"
#include "animation/MathUtil.h"

void initBone(cBone& bone, const char* name, const BoneDef& def, cBone* bones) {
    std::strncpy(bone.name, name ? name : "", sizeof(bone.name) - 1);
    bone.name[sizeof(bone.name) - 1] = 0;
    std::memcpy(bone.restPosition, def.restPosition, sizeof(bone.restPosition));
    bone.flags = def.flags;
    bone.parent = def.parent >= 0 ? &bones[def.parent] : nullptr;
    // With a parent the loader replaces this once all rest positions are known.
    std::memcpy(bone.parentOffset, def.restPosition, sizeof(bone.parentOffset));
    bone.child = def.child >= 0 ? &bones[def.child] : nullptr;
    if ((def.flags & (0x0100 | 0x0200)) && def.appendParent >= 0) {
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
    bone.deformLayer = def.deformLayer;
    std::memcpy(bone.fixedAxis, def.fixedAxis, sizeof(bone.fixedAxis));
    std::memcpy(bone.localAxisX, def.localAxisX, sizeof(bone.localAxisX));
    std::memcpy(bone.localAxisZ, def.localAxisZ, sizeof(bone.localAxisZ));
    bone.ikChain = nullptr;
    bone.nextInOrder = nullptr;
    bone.refreshStamp = 0;
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
