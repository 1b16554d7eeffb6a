// Motion costs on the real files: reading each VMD motion, and one frame of posing
// (updateModelPose) alone and with skinning (skinModel) for each real model playing a
// real motion.
//
//   bench_motion [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
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

std::vector<fs::path> filesUnder(const fs::path& dir, const char* extension) {
    std::vector<fs::path> out;
    if (!fs::is_directory(dir)) return out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && e.path().extension() == extension) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

void parseMotion(benchmark::State& state, const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    MotionData motion;
    int keys = 0;
    for (auto _ : state) {
        if (!parseVMD(motion, bytes.data(), bytes.size(), file.c_str())) {
            state.SkipWithError("motion refused");
            break;
        }
        benchmark::DoNotOptimize(motion.boneTracks);
    }
    for (const BoneTrack* t = motion.boneTracks; t; t = t->next) keys += t->keyCount;
    for (const FaceTrack* t = motion.faceTracks; t; t = t->next) keys += t->keyCount;
    state.counters["keys"] = keys;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}

int32_t fakeUpload(const DecodedImage&, void* user) { return (*static_cast<int32_t*>(user))++; }
void fakeDelete(uint32_t, void*) {}

// One model held for every pose benchmark of it.
struct LoadedModel {
    cModel model;
    bool ok = false;
    LoadedModel(const fs::path& path, PhysicsWorld& world) {
        static int32_t nextName = 1;
        setTextureUploader(fakeUpload, &nextName);
        setTextureDeleter(fakeDelete, nullptr);
        const fs::path previous = fs::current_path();
        fs::current_path(path.parent_path());
        ok = loadModelFile(model, path.c_str(), &world);
        fs::current_path(previous);
    }
    ~LoadedModel() { destroyModel(model); }
};

void poseAndSkin(benchmark::State& state, LoadedModel* loaded, const fs::path& motionFile, bool skin) {
    cModel& model = loaded->model;
    if (!loaded->ok) {
        state.SkipWithError("model refused");
        return;
    }
    MotionData motion;
    if (!loadVMDFile(motionFile.c_str(), motion)) {
        state.SkipWithError("motion refused");
        return;
    }
    bindMotion(model.motion, model, motion);
    resetRigidBodies(model.physics);
    for (auto _ : state) {
        updateModelPose(model, 1.0f);
        if (skin) skinModel(model);
        benchmark::DoNotOptimize(model.skin.positions[0]);
        benchmark::DoNotOptimize(model.bones[0].globalMatrix[12]);
        // Play the motion round and round: rewinding the clock costs nothing.
        if (model.motion.currentFrame >= motion.lastFrame) model.motion.currentFrame = 0.0f;
    }
    clearMotionPlayer(model.motion);
    state.counters["vertices"] = model.vertexCount;
    state.counters["bones"] = model.boneCount();
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
    setenv("PAVONIX_NO_DIALOGS", "1", 1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    const std::vector<fs::path> motions = filesUnder(kReal / "vmd", ".vmd");
    for (const fs::path& file : motions) {
        benchmark::RegisterBenchmark(("parseVMD/" + file.filename().string()).c_str(),
                                     [file](benchmark::State& s) { parseMotion(s, file); })
            ->Unit(benchmark::kMicrosecond);
    }

    // Declared before the models, so it outlives their bodies.
    PhysicsWorld world;
    struct Pairing {
        fs::path model, motion;
    };
    const std::vector<Pairing> pairings = {
        {kReal / "pmd/gene_light/Gene_light.pmd", kReal / "vmd/gene/33_angry.vmd"},
        {kReal / "pmx/gene_light/Gene_light.pmx", kReal / "vmd/gene/33_angry.vmd"},
        {kReal / "pmd/glasses/glasses.pmd", kReal / "vmd/gene/02_laugh.vmd"},
        {kReal / "pmx/glasses/glasses.pmx", kReal / "vmd/gene/02_laugh.vmd"},
        {kReal / "pmx/unity-mmd-loader/mmt_test_model.pmx", kReal / "vmd/unity-mmd-loader/mmt_test_model_test_motion.vmd"},
    };
    std::vector<std::unique_ptr<LoadedModel>> models;
    for (const Pairing& p : pairings) {
        if (!fs::exists(p.model) || !fs::exists(p.motion)) continue;
        models.push_back(std::make_unique<LoadedModel>(p.model, world));
        LoadedModel* loaded = models.back().get();
        const fs::path motion = p.motion;
        const std::string pair = p.model.parent_path().parent_path().filename().string() + "/" +
                                 p.model.filename().string() + "/" + p.motion.filename().string();
        benchmark::RegisterBenchmark(("pose/" + pair).c_str(),
                                     [loaded, motion](benchmark::State& s) { poseAndSkin(s, loaded, motion, false); })
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("poseAndSkin/" + pair).c_str(),
                                     [loaded, motion](benchmark::State& s) { poseAndSkin(s, loaded, motion, true); })
            ->Unit(benchmark::kMicrosecond);
    }

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    models.clear();
    return 0;
}
