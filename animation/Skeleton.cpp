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
