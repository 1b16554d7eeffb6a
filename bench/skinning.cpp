// Per-frame cost of the skeleton: skinning a large mesh, posing and solving a skeleton, and
// a memcpy of the same bytes (and one far past the caches) as bandwidth references.
//
// Skinning runs on the shared worker pool; the single-threaded path stands beside it.
//
// Bytes processed per skinned vertex: position, normal and skin record read (12 + 12 + 36),
// skinned position and normal written (24).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "animation/MathUtil.h"
#include "animation/Skeleton.h"
#include "model/ModelData.h"
#include "render/ModelDraw.h"
#include "character/LoadModelFile.h"
#include "character/ModelFrame.h"
#include "platform/WorkerPool.h"

namespace {

constexpr int kBones = 200;
constexpr int kVertices = 100000;
constexpr std::size_t kBytesPerVertex = 12 + 12 + sizeof(VertexSkin) + 24;

// A skeleton of kBones bones: a spine of 20 and the rest in short branches hanging off it,
// each bone turned a little so no skin matrix is trivial.
struct Skeleton {
    cModel model;
    explicit Skeleton(int extraChains = 0) {
        model.bones.assign(kBones, cBone());
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        for (int i = 0; i < kBones; ++i) {
            BoneDef def{};
            def.parent = i == 0 ? -1 : (i < 20 ? i - 1 : (i % 5 == 0 ? (i / 5) % 20 : i - 1));
            def.child = -1;
            def.appendParent = -1;
            def.restPosition[0] = u(rng) * 5;
            def.restPosition[1] = 10 + u(rng) * 5;
            def.restPosition[2] = u(rng) * 5;
            initBone(model.bones[i], "bone", def, model.bones.data());
        }
        computeParentOffsets(model);
        for (int i = 0; i < kBones; ++i) {
            float* q = model.bones[i].rotation;
            q[0] = u(rng) * 0.2f;
            q[1] = u(rng) * 0.2f;
            q[2] = u(rng) * 0.2f;
            q[3] = 1.0f;
            normalizeQuaternion(q);
        }
        for (int i = 0; i < kBones; ++i) updateBoneTransform(model.bones[i]);
        addLegs(extraChains);
    }
    // Legs: hip, knee, ankle as bones 20+4k.., a goal bone on the root, chains of two links.
    void addLegs(int count) {
        if (count == 0) return;
        model.ikChains.assign(static_cast<std::size_t>(count), cIKChain());
        for (int c = 0; c < count; ++c) {
            const int hip = 100 + 10 * c, knee = hip + 1, ankle = hip + 2, goal = hip + 3;
            cBone* b = model.bones.data();
            const float x = static_cast<float>(c);
            auto place = [&](int i, int parent, float y, float z) {
                BoneDef def{};
                def.parent = parent;
                def.child = def.appendParent = -1;
                def.restPosition[0] = x;
                def.restPosition[1] = y;
                def.restPosition[2] = z;
                initBone(b[i], i == knee ? cp932::kLeftKnee : "leg", def, b);
            };
            place(hip, 0, 10.0f, 0.0f);
            place(knee, hip, 5.0f, -0.1f);
            place(ankle, knee, 0.0f, 0.0f);
            place(goal, 0, 0.0f, 0.0f);
            IKDef def{};
            def.ikBone = goal;
            def.targetBone = ankle;
            def.linkCount = 2;
            def.iterations = 40;
            def.limit = 0.5f;
            def.links[0] = knee;
            def.links[1] = hip;
            initIKChain(model.ikChains[c], def, b);
        }
        computeParentOffsets(model);
    }
};

// Half the vertices on one bone, half blending two; shuffled mixes them vertex by vertex,
// otherwise they come in runs of 64 as meshes grouped by material do. With sdef, a third
// of the blending vertices are SDEF vertices about a joint between their two bones, as in
// the arms and legs of PMX characters.
void addMesh(cModel& model, bool shuffled, bool sdef = false) {
    model.vertexCount = kVertices;
    model.positions.assign(3 * kVertices, 0.0f);
    model.normals.assign(3 * kVertices, 0.0f);
    model.skins.assign(kVertices, VertexSkin());
    model.skin.prepare(kVertices);
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> u(-10.0f, 10.0f);
    std::uniform_int_distribution<int> bone(0, kBones - 1);
    std::vector<bool> blend(kVertices);
    for (int v = 0; v < kVertices; ++v) blend[v] = shuffled ? (v % 2 == 1) : ((v / 64) % 2 == 1);
    if (shuffled) std::shuffle(blend.begin(), blend.end(), rng);
    std::vector<SdefVertex> sdefs;
    for (int v = 0; v < kVertices; ++v) {
        for (int k = 0; k < 3; ++k) {
            model.positions[3 * v + k] = u(rng);
            model.normals[3 * v + k] = u(rng) * 0.1f;
        }
        VertexSkin& s = model.skins[v];
        s.type = 1;
        s.boneIndices[0] = bone(rng);
        s.boneIndices[1] = bone(rng);
        s.boneIndices[2] = s.boneIndices[3] = 0;
        s.weights[0] = blend[v] ? 0.3f + 0.4f * (u(rng) + 10.0f) / 20.0f : 1.0f;
        s.weights[1] = 1.0f - s.weights[0];
        s.weights[2] = s.weights[3] = 0.0f;
        if (sdef && blend[v] && v % 3 == 0) {
            s.type = 3;
            SdefVertex d;
            d.vertex = static_cast<uint32_t>(v);
            const float* joint = model.bones[s.boneIndices[1]].restPosition;
            for (int k = 0; k < 3; ++k) {
                d.c[k] = joint[k];
                d.r0[k] = joint[k] + 0.5f;
                d.r1[k] = joint[k] - 0.5f;
            }
            sdefs.push_back(d);
        }
    }
    model.sdefVertices = std::move(sdefs);
}

// A plain copy of `half` bytes split evenly over `threads` threads of the shared pool,
// as skinning splits its mesh.
struct SplitCopy {
    const char* from;
    char* to;
    std::size_t half;
    unsigned pieces;
};

void copyPiece(uint32_t task, void* user) {
    const SplitCopy& c = *static_cast<const SplitCopy*>(user);
    const std::size_t begin = c.half * task / c.pieces, end = c.half * (task + 1) / c.pieces;
    std::memcpy(c.to + begin, c.from + begin, end - begin);
}

void splitCopy(const SplitCopy& c) {
    sharedWorkerPool().run(c.pieces, copyPiece, const_cast<SplitCopy*>(&c), c.pieces);
}

// Bytes per second (read plus written) of the best of a few copies of `half` bytes on
// `threads` threads.
double copyRate(std::size_t half, unsigned threads, int rounds) {
    std::vector<char> from(half, 1), to(half, 0);
    const SplitCopy c{from.data(), to.data(), half, threads};
    splitCopy(c);
    double best = 0.0;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        splitCopy(c);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (seconds > 0.0) best = std::max(best, 2.0 * static_cast<double>(half) / seconds);
    }
    return best;
}

// The yardsticks: a copy of the very bytes one skinning pass moves (they fit in the
// last-level cache, as the mesh does from frame to frame), and a copy far larger than
// the caches, for main-memory bandwidth; both on as many threads as the skinning.
constexpr std::size_t kSkinHalf = kBytesPerVertex * kVertices / 2;
constexpr std::size_t kMainMemoryHalf = std::size_t(128) << 20;

// Arguments: shuffled (0/1), threads (1 = the single-threaded path, 2 = both cores),
// sdef (0/1). Real time is what a frame waits for; process CPU time counts both threads.
// of_memcpy and of_main_memory are the skinning's bytes per second as a fraction of the
// two copies' (1 = as fast as copying the same bytes).
void BM_SkinModel(benchmark::State& state) {
    Skeleton sk;
    addMesh(sk.model, state.range(0) != 0, state.range(2) != 0);
    const unsigned threads = static_cast<unsigned>(state.range(1));
    setSkinningThreads(threads);
    skinModel(sk.model);  // the first frame makes the SDEF scratch and the matrix table
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        skinModel(sk.model);
        benchmark::DoNotOptimize(sk.model.skin.positions.data());
        benchmark::ClobberMemory();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    setSkinningThreads(0);
    const double bytes = static_cast<double>(state.iterations()) * kBytesPerVertex * kVertices;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kVertices);
    const double rate = seconds > 0.0 ? bytes / seconds : 0.0;
    const double copy = copyRate(kSkinHalf, threads, 30);
    const double mainMemory = copyRate(kMainMemoryHalf, threads, 3);
    state.counters["memcpy_GB/s"] = copy * 1e-9;
    state.counters["of_memcpy"] = copy > 0.0 ? rate / copy : 0.0;
    state.counters["main_memory_GB/s"] = mainMemory * 1e-9;
    state.counters["of_main_memory"] = mainMemory > 0.0 ? rate / mainMemory : 0.0;
}
BENCHMARK(BM_SkinModel)
    ->ArgsProduct({{0, 1}, {1, 2}, {0}})
    ->Args({0, 2, 1})
    ->Args({1, 2, 1})
    ->ArgNames({"shuffled", "threads", "sdef"})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// What the memory system gives a plain copy: read half, write half, counted both ways like
// the skinning figure, on one thread or split over two as skinning is. mainMemory 0 moves
// the same bytes as skinning; 1 moves 256 MB, far past the caches.
void BM_MemcpyReference(benchmark::State& state) {
    const std::size_t half = state.range(0) == 0 ? kSkinHalf : kMainMemoryHalf;
    std::vector<char> from(half, 1), to(half, 0);
    const SplitCopy c{from.data(), to.data(), half, static_cast<unsigned>(state.range(1))};
    for (auto _ : state) {
        splitCopy(c);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * static_cast<int64_t>(half));
}
BENCHMARK(BM_MemcpyReference)
    ->ArgsProduct({{0, 1}, {1, 2}})
    ->ArgNames({"mainMemory", "threads"})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// The two slots' models skinned in a frame: one after the other, each split over the
// threads (sideBySide 0), or both at once, one per thread (1). The real Gene models, PMD
// and PMX, with every bone turned a little.
void BM_TwoRealModels(benchmark::State& state) {
    struct Loaded {
        cModel model;
        ~Loaded() { destroyModel(model); }
    } pmd, pmx;
    const std::string root = PAVONIX_TESTDATA_DIR;
    std::string error;
    struct stat st;
    const std::string empty = "/tmp/pavonix_bench_empty";  // the textures are not wanted
    mkdir(empty.c_str(), 0700);
    const bool found = stat((root + "/pmd/gene_light/Gene_light.pmd").c_str(), &st) == 0;
    if (!found || chdir(empty.c_str()) != 0) return state.SkipWithError("no real Gene models");
    const int saved = dup(2), null = open("/dev/null", O_WRONLY);
    dup2(null, 2);  // the missing textures are reported
    const bool loaded = loadModelFile(pmd.model, (root + "/pmd/gene_light/Gene_light.pmd").c_str(), nullptr, &error) &&
                        loadModelFile(pmx.model, (root + "/pmx/gene_light/Gene_light.pmx").c_str(), nullptr, &error);
    dup2(saved, 2);
    close(saved);
    close(null);
    if (!loaded) return state.SkipWithError(error.c_str());
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-0.2f, 0.2f);
    for (cModel* m : {&pmd.model, &pmx.model}) {
        for (uint32_t i = 0; i < m->boneCount(); ++i) {
            float* q = m->bones[i].rotation;
            q[0] = u(rng), q[1] = u(rng), q[2] = u(rng), q[3] = 1.0f;
            normalizeQuaternion(q);
        }
        for (uint32_t i = 0; i < m->boneCount(); ++i) updateBoneTransform(m->bones[i]);
        skinModel(*m);
    }
    cModel* const both[2] = {&pmd.model, &pmx.model};
    const bool sideBySide = state.range(0) != 0;
    for (auto _ : state) {
        if (sideBySide) {
            skinModelsSideBySide(both, 2);
        } else {
            skinModel(pmd.model);
            skinModel(pmx.model);
        }
        benchmark::DoNotOptimize(pmx.model.skin.positions.data());
        benchmark::ClobberMemory();
    }
    state.counters["vertices"] = double(pmd.model.vertexCount + pmx.model.vertexCount);
}
BENCHMARK(BM_TwoRealModels)->Arg(0)->Arg(1)->ArgName("sideBySide")->Unit(benchmark::kMicrosecond)->UseRealTime();

// One frame of posing: every bone updated in array order, then four leg chains solved
// toward goals that need bending. Rotations are put back each frame so every frame
// solves from the same start.
void BM_PoseAndIK(benchmark::State& state) {
    Skeleton sk(4);
    cModel& m = sk.model;
    for (int c = 0; c < 4; ++c) {
        cBone& goal = m.bones[100 + 10 * c + 3];
        goal.translation[1] = 3.0f;
        goal.translation[2] = -1.0f - 0.3f * c;
    }
    std::vector<float> rest(4 * kBones);
    for (int i = 0; i < kBones; ++i) std::memcpy(&rest[4 * i], m.bones[i].rotation, sizeof(float) * 4);
    for (auto _ : state) {
        for (int i = 0; i < kBones; ++i) std::memcpy(m.bones[i].rotation, &rest[4 * i], sizeof(float) * 4);
        for (uint32_t i = 0; i < m.boneCount(); ++i) updateBoneTransform(m.bones[i]);
        for (int c = 0; c < m.ikCount(); ++c) solveIK(m.ikChains[c]);
        benchmark::DoNotOptimize(m.bones[102].globalMatrix);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PoseAndIK)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
