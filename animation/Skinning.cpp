// Matrix-blend skinning of a whole mesh, split over the shared worker pool.
//
// Every vertex is computed by the same code from the same inputs whichever thread takes
// its chunk, so the result does not depend on the number of threads, to the bit.
#include <cstdlib>
#include <cstring>

#include "animation/DeformOrder.h"
#include "animation/MathUtil.h"
#include "animation/Sdef.h"
#include "animation/Skeleton.h"
#include "platform/WorkerPool.h"

namespace {

constexpr float kSingleBoneWeight = 0.9999f;

// Vertices per piece of work: the chunk's inputs and outputs (about 84 bytes a vertex)
// stay within a core's second-level cache, and a 100,000-vertex mesh still gives enough
// pieces to even out two threads that the machine interrupts unevenly.
constexpr uint32_t kVerticesPerChunk = 4096;
constexpr uint32_t kSdefPerChunk = 1024;

// Four floats the compiler keeps in one vector register. A column of a matrix is one
// such vector, so a blend or a transform is a handful of vector operations. Each lane
// does the very operations, in the very order, that the scalar form did. Eight floats
// hold the same column of two vertices side by side: one 256-bit register where the
// processor has them, two 128-bit ones where it does not, with the same bits either way.
typedef float Vec4 __attribute__((vector_size(16)));
// The helpers below that take or return eight floats are inlined into skinRange and
// never called across a boundary, so how such a value would be passed does not matter.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
// Forced, so that each build of skinRange below gets them in its own instruction set.
#define PAVONIX_INLINE inline __attribute__((always_inline))
typedef float Vec8 __attribute__((vector_size(32)));

PAVONIX_INLINE Vec4 load4(const float* p) {
    Vec4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

PAVONIX_INLINE Vec8 join(Vec4 low, Vec4 high) { return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7); }

PAVONIX_INLINE Vec8 pairOf(float low, float high) { return join(Vec4{low, low, low, low}, Vec4{high, high, high, high}); }

// The two matrices and weights of a vertex on the linear path. One-bone vertices go
// through the same blend, with weights 1 and 0 on the same matrix, which reproduces that
// matrix exactly. One- and two-bone vertices interleave in real meshes, so a branch
// between them would mispredict often; the choices are table look-ups instead. Indices
// outside the bones (the loaders reject them; this keeps a vertex that slipped through in
// place instead of reading past the table) take the identity at the table's end.
struct Blend {
    const float* a;
    const float* b;
    float wa, wb;
};

PAVONIX_INLINE const float* tableEntry(const float* table, uint32_t bones, int32_t index) {
    const uint32_t i = static_cast<uint32_t>(index);
    return table + 16 * std::size_t(i < bones ? i : bones);
}

PAVONIX_INLINE Blend linearBlend(const VertexSkin& s, const float* table, uint32_t bones) {
    const float w0 = s.weights[0];
    const uint32_t onlyFirst = w0 >= kSingleBoneWeight;
    const uint32_t onlySecond = (onlyFirst ^ 1) & (s.weights[1] >= kSingleBoneWeight);
    // All-ones masks select without a jump: the compiler turns conditionals on data
    // like these into branches, which one- and two-bone vertices mixed at random defeat.
    const uint32_t first = 0u - onlyFirst, second = 0u - onlySecond;
    const int32_t i0 = s.boneIndices[0], i1 = s.boneIndices[1];
    Blend r;
    r.a = tableEntry(table, bones, i0 ^ ((i0 ^ i1) & int32_t(second)));
    r.b = tableEntry(table, bones, i1 ^ ((i1 ^ i0) & int32_t(first)));
    uint32_t bits;
    std::memcpy(&bits, &w0, sizeof bits);
    bits = (bits & ~(first | second)) | (0x3f800000u & first);  // 1.0f, 0.0f or w0
    std::memcpy(&r.wa, &bits, sizeof bits);
    r.wb = 1.0f - r.wa;
    return r;
}

// Four-bone blends (BDEF4, and QDEF blended the same way) that do not rest on one bone.
PAVONIX_INLINE bool blendsFour(const VertexSkin& s) {
    return ((s.type == 2) | (s.type == 4)) & (s.weights[0] < kSingleBoneWeight) & (s.weights[1] < kSingleBoneWeight);
}

struct Streams {
    const VertexSkin* __restrict skins;
    const float* __restrict pos;
    const float* __restrict nrm;
    float* __restrict outPos;
    float* __restrict outNrm;
    const float* __restrict table;
    uint32_t bones;
};

// One vertex by itself: four-bone vertices, and a range's odd one out. last: the range's
// final vertex, which stores exactly its own three floats; the others store a whole
// vector whose fourth float spills into the next vertex, written after it.
PAVONIX_INLINE void skinOne(const Streams& st, uint32_t v, bool last) {
    const VertexSkin& s = st.skins[v];
    Vec4 c0, c1, c2, c3;
    if (blendsFour(s)) {
        const float* a = tableEntry(st.table, st.bones, s.boneIndices[0]);
        const float* b = tableEntry(st.table, st.bones, s.boneIndices[1]);
        const float* c = tableEntry(st.table, st.bones, s.boneIndices[2]);
        const float* d = tableEntry(st.table, st.bones, s.boneIndices[3]);
        const float w0 = s.weights[0], w1 = s.weights[1], w2 = s.weights[2], w3 = s.weights[3];
        c0 = load4(a) * w0 + load4(b) * w1 + load4(c) * w2 + load4(d) * w3;
        c1 = load4(a + 4) * w0 + load4(b + 4) * w1 + load4(c + 4) * w2 + load4(d + 4) * w3;
        c2 = load4(a + 8) * w0 + load4(b + 8) * w1 + load4(c + 8) * w2 + load4(d + 8) * w3;
        c3 = load4(a + 12) * w0 + load4(b + 12) * w1 + load4(c + 12) * w2 + load4(d + 12) * w3;
    } else {
        const Blend m = linearBlend(s, st.table, st.bones);
        c0 = load4(m.a) * m.wa + load4(m.b) * m.wb;
        c1 = load4(m.a + 4) * m.wa + load4(m.b + 4) * m.wb;
        c2 = load4(m.a + 8) * m.wa + load4(m.b + 8) * m.wb;
        c3 = load4(m.a + 12) * m.wa + load4(m.b + 12) * m.wb;
    }
    const float* p = st.pos + 3 * std::size_t(v);
    const float* n = st.nrm + 3 * std::size_t(v);
    const Vec4 op = c0 * p[0] + c1 * p[1] + c2 * p[2] + c3;
    const Vec4 on = c0 * n[0] + c1 * n[1] + c2 * n[2];
    const std::size_t bytes = last ? 3 * sizeof(float) : sizeof(Vec4);
    std::memcpy(st.outPos + 3 * std::size_t(v), &op, bytes);
    std::memcpy(st.outNrm + 3 * std::size_t(v), &on, bytes);
}

// Vertices v and v + 1 on the linear path, each in its own half of the registers, lane
// for lane the arithmetic of skinOne. Last: v + 1 ends the range (see skinOne).
template <bool Last>
PAVONIX_INLINE void skinPair(const Streams& st, uint32_t v) {
    const Blend m = linearBlend(st.skins[v], st.table, st.bones);
    const Blend k = linearBlend(st.skins[v + 1], st.table, st.bones);
    const Vec8 wa = pairOf(m.wa, k.wa), wb = pairOf(m.wb, k.wb);
    const Vec8 c0 = join(load4(m.a), load4(k.a)) * wa + join(load4(m.b), load4(k.b)) * wb;
    const Vec8 c1 = join(load4(m.a + 4), load4(k.a + 4)) * wa + join(load4(m.b + 4), load4(k.b + 4)) * wb;
    const Vec8 c2 = join(load4(m.a + 8), load4(k.a + 8)) * wa + join(load4(m.b + 8), load4(k.b + 8)) * wb;
    const Vec8 c3 = join(load4(m.a + 12), load4(k.a + 12)) * wa + join(load4(m.b + 12), load4(k.b + 12)) * wb;
    const float* p = st.pos + 3 * std::size_t(v);
    const float* n = st.nrm + 3 * std::size_t(v);
    const Vec8 op = c0 * pairOf(p[0], p[3]) + c1 * pairOf(p[1], p[4]) + c2 * pairOf(p[2], p[5]) + c3;
    const Vec8 on = c0 * pairOf(n[0], n[3]) + c1 * pairOf(n[1], n[4]) + c2 * pairOf(n[2], n[5]);
    // The first vertex's fourth float lands on the second's x, stored right after.
    float* outP = st.outPos + 3 * std::size_t(v);
    float* outN = st.outNrm + 3 * std::size_t(v);
    const Vec4 p0 = __builtin_shufflevector(op, op, 0, 1, 2, 3), p1 = __builtin_shufflevector(op, op, 4, 5, 6, 7);
    const Vec4 n0 = __builtin_shufflevector(on, on, 0, 1, 2, 3), n1 = __builtin_shufflevector(on, on, 4, 5, 6, 7);
    std::memcpy(outP, &p0, sizeof p0);
    std::memcpy(outN, &n0, sizeof n0);
    std::memcpy(outP + 3, &p1, Last ? 3 * sizeof(float) : sizeof p1);
    std::memcpy(outN + 3, &n1, Last ? 3 * sizeof(float) : sizeof n1);
}

// Built twice, for processors with 256-bit vectors and for the rest; both do the same
// arithmetic in the same order, so they agree to the bit.
__attribute__((target_clones("avx2", "default"))) void skinRange(const Streams& streams, uint32_t begin,
                                                                 uint32_t end) {
    // A copy the stores cannot be thought to change.
    const Streams st = streams;
    uint32_t v = begin;
    while (v + 2 < end) {
        // Four-bone vertices are rare outside a few PMX models: they go one at a time,
        // and a mesh without them never takes this branch.
        if (blendsFour(st.skins[v]) || blendsFour(st.skins[v + 1])) {
            skinOne(st, v, false);
            ++v;
            continue;
        }
        skinPair<false>(st, v);
        v += 2;
    }
    if (v + 2 == end && !blendsFour(st.skins[v]) && !blendsFour(st.skins[v + 1])) {
        skinPair<true>(st, v);
        return;
    }
    for (; v < end; ++v) skinOne(st, v, v + 1 == end);
}

// The skin matrices into the model's compact table, made on the first frame; false when
// it cannot be allocated.
bool fillSkinTable(const ModelData& model, SkinBuffers& skin) {
    if (!skin.table || skin.tableBones != model.boneCount()) {
        skin.table.reset();
        skin.tableBones = 0;
        const std::size_t bytes = sizeof(float) * 16 * (std::size_t(model.boneCount()) + 1);
        // aligned_alloc wants a multiple of the alignment: 64 bytes is one matrix.
        skin.table.reset(static_cast<float*>(std::aligned_alloc(64, bytes)));
        if (!skin.table) return false;
        skin.tableBones = model.boneCount();
        setIdentityMatrix4(skin.table.get() + 16 * std::size_t(model.boneCount()));
    }
    for (uint32_t i = 0; i < model.boneCount(); ++i)
        std::memcpy(skin.table.get() + 16 * std::size_t(i), model.bones[i].skinMatrix, sizeof(float) * 16);
    return true;
}

// What one run over the pool works on.
struct SkinJob {
    const ModelData& model;
    SkinBuffers& skin;
};

Streams streamsOf(const SkinJob& job) {
    return Streams{job.model.skins.data(),  job.model.positions.data(), job.model.normals.data(),
                   job.skin.positions.data(), job.skin.normals.data(), job.skin.table.get(),
                   job.skin.tableBones};
}

void skinChunk(uint32_t task, void* user) {
    const SkinJob& job = *static_cast<const SkinJob*>(user);
    const uint32_t vertexCount = job.model.vertexCount;
    const uint32_t begin = task * kVerticesPerChunk;
    const uint32_t end = vertexCount - begin < kVerticesPerChunk ? vertexCount : begin + kVerticesPerChunk;
    skinRange(streamsOf(job), begin, end);
}

void sdefChunk(uint32_t task, void* user) {
    const SkinJob& job = *static_cast<const SkinJob*>(user);
    const uint32_t begin = task * kSdefPerChunk;
    skinSdefRange(job.model, job.skin, begin, begin + kSdefPerChunk);
}

}  // namespace

bool skinPosedModel(ModelData& model, DeformOrder& order, SkinBuffers& skin) {
    // PMX bones flagged to deform after physics follow the bodies just written.
    if (order.firstAfterPhysics) poseBonesInOrder(order, true);
    return skinVertices(model, skin);
}

bool skinVertices(ModelData& model, SkinBuffers& skin) {
    for (uint32_t i = 0; i < model.boneCount(); ++i) {
        cBone& b = model.bones[i];
        multiplyMatrix4(b.globalMatrix, b.inverseRest, b.skinMatrix);
    }
    const std::size_t floats = 3 * std::size_t(model.vertexCount);
    // Arrays shorter than the vertex count (a model half built in code) are not skinned.
    if (model.skins.empty() || model.skins.size() < model.vertexCount || model.positions.size() < floats ||
        model.normals.size() < floats || skin.positions.size() < floats || skin.normals.size() < floats) {
        return true;
    }
    if (!fillSkinTable(model, skin)) {
        // A few kilobytes not to be had: the mesh keeps its last pose rather than being
        // drawn from a table that is not there.
        const bool first = !skin.tableShortTold;
        skin.tableShortTold = true;
        return !first;
    }
    WorkerPool& pool = sharedWorkerPool();
    const unsigned threads = skinningThreads();
    const uint32_t chunks = (model.vertexCount + kVerticesPerChunk - 1) / kVerticesPerChunk;
    SkinJob job{model, skin};
    pool.run(chunks, skinChunk, &job, threads);
    // SDEF vertices were blended linearly above like any two-bone vertex; the spherical
    // blend replaces those results once every chunk is done.
    if (!model.sdefVertices.empty()) {
        prepareSdefRotations(model, skin);
        pool.run((model.sdefCount() + kSdefPerChunk - 1) / kSdefPerChunk, sdefChunk, &job, threads);
    }
    return true;
}
