// Physics costs on real models playing real motions, each model alone in a fresh world:
// one viewer frame (pose, physics step, write-back and skinning) at 60, 30 and 10 frames
// a second (1, 2 and 6 substeps), and the physics step alone.
//
//   bench_physics [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "animation/Motion.h"
#include "animation/MotionPlayer.h"
#include "animation/Skeleton.h"
#include "render/ModelDraw.h"
#include "character/LoadModelFile.h"
#include "character/ModelFrame.h"
#include "render/Texture.h"
#include "physics/PhysicsWorld.h"
#include "physics/ModelBodies.h"

namespace fs = std::filesystem;

namespace {

const fs::path kReal = PAVONIX_TESTDATA_DIR;
const fs::path kDemo = fs::path(PAVONIX_SOURCE_DIR) / "Data/demo";

int32_t countUpload(const DecodedImage&, void* user) { return (*static_cast<int32_t*>(user))++; }
void ignoreDelete(uint32_t, void*) {}

// frameSize: motion frames per viewer frame; stepOnly: time the physics step alone, the
// pose held at the motion's first frame.
void physicsFrame(benchmark::State& state, const fs::path& modelFile, const fs::path& motionFile, float frameSize,
                  bool stepOnly) {
    PhysicsWorld world;
    static int32_t nextName = 1;
    setTextureUploader(countUpload, &nextName);
    setTextureDeleter(ignoreDelete, nullptr);
    cModel model;
    MotionData motion;
    const fs::path previous = fs::current_path();
    fs::current_path(modelFile.parent_path());
    const bool loaded = loadModelFile(model, modelFile.c_str(), &world);
    fs::current_path(previous);
    if (!loaded || !loadVMDFile(motionFile.c_str(), motion)) {
        state.SkipWithError("model or motion refused");
        destroyModel(model);
        return;
    }
    bindMotion(model.motion, model, motion);
    updateModelPose(model, 0.0f);
    resetRigidBodies(model.physics);
    skinModel(model);
    int substeps = 0;
    for (auto _ : state) {
        if (stepOnly) {
            substeps += world.step(frameSize);
        } else {
            updateModelPose(model, frameSize);
            substeps += world.step(frameSize);
            skinModel(model);
            if (model.motion.currentFrame >= motion.lastFrame) model.motion.currentFrame = 0.0f;
        }
        benchmark::DoNotOptimize(model.skin.positions[0]);
    }
    state.counters["bodies"] = double(model.physics.bodies.size());
    state.counters["joints"] = double(model.physics.joints.size());
    state.counters["vertices"] = model.vertexCount;
    state.counters["substeps/frame"] = state.iterations() ? double(substeps) / double(state.iterations()) : 0.0;
    state.SetItemsProcessed(state.iterations());
    clearMotionPlayer(model.motion);
    destroyModel(model);
    clearMotion(motion);
}

}  // namespace

int main(int argc, char** argv) {
    setenv("PAVONIX_NO_DIALOGS", "1", 1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    struct Pairing {
        const char* label;
        fs::path model, motion;
    };
    const std::vector<Pairing> pairings = {
        {"gene.pmx", kReal / "pmx/gene_light/Gene_light.pmx", kReal / "vmd/gene/33_angry.vmd"},
        {"gene.pmd", kReal / "pmd/gene_light/Gene_light.pmd", kReal / "vmd/gene/33_angry.vmd"},
        {"pavo.pmx", kDemo / "pavo.pmx", kDemo / "dance.vmd"},
    };
    struct Rate {
        const char* label;
        float frameSize;
    };
    const Rate rates[] = {{"60fps", 0.5f}, {"30fps", 1.0f}, {"10fps", 3.0f}};
    for (const Pairing& p : pairings) {
        if (!fs::exists(p.model) || !fs::exists(p.motion)) continue;
        const fs::path model = p.model, motion = p.motion;
        for (const Rate& r : rates) {
            const float size = r.frameSize;
            benchmark::RegisterBenchmark((std::string("frame/") + p.label + "/" + r.label).c_str(),
                                         [model, motion, size](benchmark::State& s) {
                                             physicsFrame(s, model, motion, size, false);
                                         })
                ->Unit(benchmark::kMicrosecond);
        }
        benchmark::RegisterBenchmark((std::string("stepOnly/") + p.label + "/30fps").c_str(),
                                     [model, motion](benchmark::State& s) { physicsFrame(s, model, motion, 1.0f, true); })
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
