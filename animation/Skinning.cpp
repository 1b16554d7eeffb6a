// Matrix-blend skinning of a whole mesh, split over the shared worker pool.
//
// Every vertex is computed by the same code from the same inputs whichever thread takes
// its chunk, so the result does not depend on the number of threads, to the bit.
#include <cstring>

#include "animation/DeformOrder.h"
#include "animation/MathUtil.h"
#include "animation/Sdef.h"
#include "animation/Skeleton.h"
#include "physics/RigidBody.h"
#include "platform/WorkerPool.h"

namespace {

constexpr float kSingleBoneWeight = 0.9999f;

// Vertices per piece of work: the chunk's inputs and outputs (about 84 bytes a vertex)
// stay within a core's second-level cache, and a 100,000-vertex mesh still gives enough
// pieces to even out two threads that the machine interrupts unevenly.
constexpr uint32_t kVerticesPerChunk = 4096;
constexpr uint32_t kSdefPerChunk = 1024;

const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// Four floats the compiler keeps in one vector register. A column of a matrix is one
// such vector, so a blend or a transform is a handful of vector operations. Each lane
// does the very operations, in the very order, that the scalar form did.
typedef float Vec4 __attribute__((vector_size(16)));

inline Vec4 load4(const float* p) {
    Vec4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline const float* skinMatrixOf(const cModel& model, int32_t index) {
    // The loaders reject bad indices; an identity here keeps a vertex that slipped through
    // in place instead of reading outside the bone array.
    return static_cast<uint32_t>(index) < model.boneCount ? model.bones[index].skinMatrix : kIdentity;
}

void skinRange(const cModel& model, uint32_t begin, uint32_t end) {
    const VertexSkin* skins = model.skins;
    const float* pos = model.positions;
    const float* nrm = model.normals;
    float* outPos = model.skinnedPositions;
    float* outNrm = model.skinnedNormals;
    for (uint32_t v = begin; v < end; ++v) {
        const VertexSkin& s = skins[v];
        const float w0 = s.weights[0];
        const int onlyFirst = w0 >= kSingleBoneWeight;
        const int onlySecond = (onlyFirst ^ 1) & (s.weights[1] >= kSingleBoneWeight);
        Vec4 c0, c1, c2, c3;
        if (((s.type == 2) | (s.type == 4)) & (onlyFirst ^ 1) & (onlySecond ^ 1)) {
            const float* a = skinMatrixOf(model, s.boneIndices[0]);
            const float* b = skinMatrixOf(model, s.boneIndices[1]);
            const float* c = skinMatrixOf(model, s.boneIndices[2]);
            const float* d = skinMatrixOf(model, s.boneIndices[3]);
            const float w1 = s.weights[1], w2 = s.weights[2], w3 = s.weights[3];
            c0 = load4(a) * w0 + load4(b) * w1 + load4(c) * w2 + load4(d) * w3;
            c1 = load4(a + 4) * w0 + load4(b + 4) * w1 + load4(c + 4) * w2 + load4(d + 4) * w3;
            c2 = load4(a + 8) * w0 + load4(b + 8) * w1 + load4(c + 8) * w2 + load4(d + 8) * w3;
            c3 = load4(a + 12) * w0 + load4(b + 12) * w1 + load4(c + 12) * w2 + load4(d + 12) * w3;
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
            c0 = load4(a) * wa + load4(b) * wb;
            c1 = load4(a + 4) * wa + load4(b + 4) * wb;
            c2 = load4(a + 8) * wa + load4(b + 8) * wb;
            c3 = load4(a + 12) * wa + load4(b + 12) * wb;
        }
        const float* p = pos + 3 * v;
        const float* n = nrm + 3 * v;
        const Vec4 op = c0 * p[0] + c1 * p[1] + c2 * p[2] + c3;
        const Vec4 on = c0 * n[0] + c1 * n[1] + c2 * n[2];
        // A whole vector store spills one float into the next vertex, which is written
        // after it; the chunk's last vertex stores exactly its own three.
        const std::size_t bytes = v + 1 < end ? sizeof(Vec4) : 3 * sizeof(float);
        std::memcpy(outPos + 3 * v, &op, bytes);
        std::memcpy(outNrm + 3 * v, &on, bytes);
    }
}

void skinChunk(uint32_t task, void* user) {
    const cModel& model = *static_cast<const cModel*>(user);
    const uint32_t begin = task * kVerticesPerChunk;
    const uint32_t end = model.vertexCount - begin < kVerticesPerChunk ? model.vertexCount : begin + kVerticesPerChunk;
    skinRange(model, begin, end);
}

void sdefChunk(uint32_t task, void* user) {
    const cModel& model = *static_cast<const cModel*>(user);
    const uint32_t begin = task * kSdefPerChunk;
    skinSdefRange(model, begin, begin + kSdefPerChunk);
}

}  // namespace

void skinModel(cModel& model) {
    writeBodiesToBones(model);
    // PMX bones flagged to deform after physics follow the bodies just written.
    if (model.firstAfterPhysicsBone) poseBonesInOrder(model, true);
    skinVertices(model);
}

void skinVertices(cModel& model) {
    for (uint32_t i = 0; i < model.boneCount; ++i) {
        cBone& b = model.bones[i];
        multiplyMatrix4(b.globalMatrix, b.inverseRest, b.skinMatrix);
    }
    if (!model.skins || !model.positions || !model.normals || !model.skinnedPositions || !model.skinnedNormals) {
        return;
    }
    WorkerPool& pool = sharedWorkerPool();
    const unsigned threads = skinningThreads();
    const uint32_t chunks = (model.vertexCount + kVerticesPerChunk - 1) / kVerticesPerChunk;
    pool.run(chunks, skinChunk, &model, threads);
    // SDEF vertices were blended linearly above like any two-bone vertex; the spherical
    // blend replaces those results once every chunk is done.
    if (model.sdefCount > 0 && model.sdefVertices && prepareSdefRotations(model)) {
        pool.run((model.sdefCount + kSdefPerChunk - 1) / kSdefPerChunk, sdefChunk, &model, threads);
    }
}
