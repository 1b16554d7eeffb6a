// Load time of the real models: the whole load (file read, parse, texture decoding with
// a recording uploader, so no GL upload), the same without textures (the model's
// textures are not found), and the texture decoding alone. Textures are decoded on every
// core, so the time given is real (wall-clock) time; the CPU column of the loads with
// textures is the whole process's, every decoding thread included.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "image/ImageDecoders.h"
#include "render/ModelDraw.h"
#include "character/LoadModelFile.h"
#include "render/Texture.h"
#include "physics/PhysicsWorld.h"

namespace {

const char* const kModels[] = {
    "pmd/gene_light/Gene_light.pmd",       "pmx/gene_light/Gene_light.pmx", "pmd/glasses/glasses.pmd",
    "pmx/glasses/glasses.pmx",             "pmx/babylon-mmd/matcap_sample.pmx",
    "pmx/unity-mmd-loader/mmt_test_model.pmx",
};

int32_t recordUpload(const DecodedImage&, void* user) { return (*static_cast<int32_t*>(user))++; }
void ignoreDelete(uint32_t, void*) {}

// The world loads build their bodies in, made in main: loading costs the bodies too.
PhysicsWorld* g_world = nullptr;

std::string folderOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

// Texture messages of models whose textures are hidden would flood the output.
class QuietStderr {
public:
    QuietStderr() : saved_(dup(2)) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(null);
    }
    ~QuietStderr() {
        dup2(saved_, 2);
        close(saved_);
    }

private:
    int saved_;
};

void loadOnce(benchmark::State& state, const std::string& path, cModel& model) {
    std::string error;
    if (!loadModelFile(model, path.c_str(), g_world, &error)) state.SkipWithError(error.c_str());
}

void BM_LoadWithTextures(benchmark::State& state, std::string path) {
    if (chdir(folderOf(path).c_str()) != 0) return state.SkipWithError("model folder missing");
    static cModel model;
    for (auto _ : state) {
        // A first open: no pictures kept from the open before.
        state.PauseTiming();
        dropPrefetchedTextures();
        state.ResumeTiming();
        loadOnce(state, path, model);
    }
    destroyModel(model);
}

// The same model opened again, as the second slot does with the model of the first: the
// pictures decoded for the first open are uploaded without decoding.
void BM_LoadAgainWithTextures(benchmark::State& state, std::string path) {
    if (chdir(folderOf(path).c_str()) != 0) return state.SkipWithError("model folder missing");
    static cModel model;
    loadOnce(state, path, model);
    for (auto _ : state) loadOnce(state, path, model);
    destroyModel(model);
    dropPrefetchedTextures();
}

void BM_LoadWithoutTextures(benchmark::State& state, std::string path) {
    // An empty folder as the current directory: every texture name misses at once.
    const std::string empty = "/tmp/pavonix_bench_empty";
    mkdir(empty.c_str(), 0700);
    if (chdir(empty.c_str()) != 0) return state.SkipWithError("cannot enter an empty folder");
    static cModel model;
    QuietStderr quiet;
    for (auto _ : state) loadOnce(state, path, model);
    destroyModel(model);
}

void BM_DecodeTextures(benchmark::State& state, std::string path) {
    if (chdir(folderOf(path).c_str()) != 0) return state.SkipWithError("model folder missing");
    cModel model;
    ModelFileInfo info;
    std::string error;
    if (!loadModelFile(model, path.c_str(), g_world, &error, &info)) return state.SkipWithError(error.c_str());
    destroyModel(model);
    // Each file once, as the caches would.
    std::vector<std::string> names;
    for (const auto& m : info.materials) {
        for (const std::string* n : {&m.texture, &m.sphere}) {
            bool seen = n->empty();
            for (const std::string& other : names) seen = seen || other == *n;
            if (!seen) names.push_back(*n);
        }
    }
    int64_t pixels = 0;
    for (auto _ : state) {
        for (const std::string& name : names) {
            DecodedImage image;
            const LoadResult decoded = decodeTextureFile(name.c_str(), image);
            if (!decoded) return state.SkipWithError(decoded.problem().text().c_str());
            pixels += int64_t(image.width) * image.height;
        }
    }
    state.counters["textures"] = static_cast<double>(names.size());
    state.counters["Mpixel/s"] = benchmark::Counter(static_cast<double>(pixels) * 1e-6, benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
    setenv("PAVONIX_NO_DIALOGS", "1", 1);
    const std::string root = PAVONIX_TESTDATA_DIR;
    struct stat st;
    if (stat(root.c_str(), &st) != 0) {
        std::fprintf(stderr, "bench_model_load: no real models under %s\n", root.c_str());
        return 0;
    }
    static int32_t nextName = 1;
    setTextureUploader(recordUpload, &nextName);
    setTextureDeleter(ignoreDelete, nullptr);
    PhysicsWorld world;
    g_world = &world;
    for (const char* relative : kModels) {
        const std::string path = root + "/" + relative;
        benchmark::RegisterBenchmark((std::string("LoadWithTextures/") + relative).c_str(), BM_LoadWithTextures, path)
            ->Unit(benchmark::kMillisecond)
            ->MeasureProcessCPUTime()
            ->UseRealTime();
        benchmark::RegisterBenchmark((std::string("LoadAgainWithTextures/") + relative).c_str(),
                                     BM_LoadAgainWithTextures, path)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark((std::string("LoadWithoutTextures/") + relative).c_str(), BM_LoadWithoutTextures,
                                     path)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("DecodeTextures/") + relative).c_str(), BM_DecodeTextures, path)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_world = nullptr;
    return 0;
}
