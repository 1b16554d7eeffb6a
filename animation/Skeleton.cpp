#include "animation/Skeleton.h"

#include <cmath>
#include <cstring>

#include "animation/DeformOrder.h"
#include "animation/IkStep.h"
#include "animation/MathUtil.h"
#include "physics/RigidBody.h"

namespace {

constexpr float kSingleBoneWeight = 0.9999f;

const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

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

void skinModel(cModel& model) {
    writeBodiesToBones(model);
    // PMX bones flagged to deform after physics follow the bodies just written.
    if (model.firstAfterPhysicsBone) poseBonesInOrder(model, true);
    skinVertices(model);
}

namespace {

inline const float* skinMatrixOf(const cModel& model, int32_t index) {
    // The loaders reject bad indices; an identity here keeps a vertex that slipped through
    // in place instead of reading outside the bone array.
    return static_cast<uint32_t>(index) < model.boneCount ? model.bones[index].skinMatrix : kIdentity;
}

}  // namespace

void skinVertices(cModel& model) {
    for (uint32_t i = 0; i < model.boneCount; ++i) {
        cBone& b = model.bones[i];
        multiplyMatrix4(b.globalMatrix, b.inverseRest, b.skinMatrix);
    }
    if (!model.skins || !model.positions || !model.normals || !model.skinnedPositions || !model.skinnedNormals) {
        return;
    }

    const VertexSkin* skins = model.skins;
    const float* pos = model.positions;
    const float* nrm = model.normals;
    float* outPos = model.skinnedPositions;
    float* outNrm = model.skinnedNormals;
    const uint32_t count = model.vertexCount;
    float blended[16];
    for (uint32_t v = 0; v < count; ++v) {
        const VertexSkin& s = skins[v];
        const float w0 = s.weights[0];
        const int onlyFirst = w0 >= kSingleBoneWeight;
        const int onlySecond = (onlyFirst ^ 1) & (s.weights[1] >= kSingleBoneWeight);
        const float* m = blended;
        if (((s.type == 2) | (s.type == 4)) & (onlyFirst ^ 1) & (onlySecond ^ 1)) {
            const float* a = skinMatrixOf(model, s.boneIndices[0]);
            const float* b = skinMatrixOf(model, s.boneIndices[1]);
            const float* c = skinMatrixOf(model, s.boneIndices[2]);
            const float* d = skinMatrixOf(model, s.boneIndices[3]);
            const float w1 = s.weights[1], w2 = s.weights[2], w3 = s.weights[3];
            for (int k = 0; k < 16; ++k) blended[k] = a[k] * w0 + b[k] * w1 + c[k] * w2 + d[k] * w3;
        } else {
            // One-bone vertices go through the same blend, with weights 1 and 0 on the same
            // matrix, which reproduces that matrix exactly. One- and two-bone vertices
            // interleave in real meshes, so a branch between them would mispredict often;
            // the choices are table look-ups instead.
            const int32_t index[2] = {s.boneIndices[0], s.boneIndices[1]};
            const float weight[3] = {w0, 1.0f, 0.0f};
            const float* a = skinMatrixOf(model, index[onlySecond]);
            const float* b = skinMatrixOf(model, index[onlyFirst ^ 1]);
            const float wa = weight[onlyFirst + 2 * onlySecond];
            const float wb = 1.0f - wa;
            for (int k = 0; k < 16; ++k) blended[k] = a[k] * wa + b[k] * wb;
        }
        const float* p = pos + 3 * v;
        const float* n = nrm + 3 * v;
        float* op = outPos + 3 * v;
        float* on = outNrm + 3 * v;
        const float px = p[0], py = p[1], pz = p[2];
        op[0] = m[0] * px + m[4] * py + m[8] * pz + m[12];
        op[1] = m[1] * px + m[5] * py + m[9] * pz + m[13];
        op[2] = m[2] * px + m[6] * py + m[10] * pz + m[14];
        const float nx = n[0], ny = n[1], nz = n[2];
        on[0] = m[0] * nx + m[4] * ny + m[8] * nz;
        on[1] = m[1] * nx + m[5] * ny + m[9] * nz;
        on[2] = m[2] * nx + m[6] * ny + m[10] * nz;
    }
}
