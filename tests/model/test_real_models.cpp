// Every real model of the shared test data loads, with the counts its sources list, and
// every texture it names is found and decoded.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cmath>
#include <memory>

#include "platform/Text.h"

#include "test_pmd_fixtures.h"

using namespace modeltest;

namespace {

std::string realDir() { return std::string(PAVONIX_TESTDATA_DIR); }

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

#define SKIP_WITHOUT_REAL_MODELS()                                                              \
    do {                                                                                        \
        if (!exists(realDir() + "/pmd/gene_light/Gene_light.pmd"))                              \
            GTEST_SKIP() << "real models not found under " << realDir();                        \
    } while (0)

struct Expected {
    const char* path;
    uint32_t vertices, triangles, materials, bones, ikChains, morphs, rigidBodies, joints;
};

// From SOURCES.md. PMX morphs are the vertex morphs (the only kind kept).
const Expected kModels[] = {
    {"pmd/gene_light/Gene_light.pmd", 28646, 47106, 13, 224, 6, 178, 87, 92},
    {"pmd/glasses/glasses.pmd", 2864, 5136, 7, 17, 0, 18, 0, 0},
    {"pmx/gene_light/Gene_light.pmx", 28646, 47106, 13, 224, 6, 177, 87, 92},
    {"pmx/glasses/glasses.pmx", 2864, 5136, 7, 17, 0, 17, 0, 0},
    {"pmx/babylon-mmd/bone_flag_test.pmx", 0, 0, 0, 3, 0, 0, 0, 0},
    {"pmx/babylon-mmd/bone_hierarchy_test.pmx", 0, 0, 0, 5, 0, 0, 0, 0},
    {"pmx/babylon-mmd/bone_hierarchy_test2.pmx", 0, 0, 0, 3, 0, 0, 0, 0},
    {"pmx/babylon-mmd/constraint_test.pmx", 48, 24, 2, 2, 0, 0, 2, 1},
    {"pmx/babylon-mmd/constraint_test2.pmx", 48, 24, 2, 2, 0, 0, 2, 1},
    {"pmx/babylon-mmd/constraint_test3.pmx", 48, 24, 2, 2, 0, 0, 2, 1},
    {"pmx/babylon-mmd/constraint_test4.pmx", 48, 24, 2, 2, 0, 0, 2, 1},
    {"pmx/babylon-mmd/matcap_sample.pmx", 2452, 4900, 1, 2, 0, 0, 0, 0},
    {"pmx/babylon-mmd/uv_morph_test.pmx", 24, 12, 1, 2, 0, 0, 0, 0},
    {"pmx/unity-mmd-loader/mmt_test_model.pmx", 1822, 3516, 1, 114, 4, 0, 19, 0},
    {"pmx/unity-mmd-loader/test_vertex_morph.pmx", 3, 1, 1, 2, 0, 1, 0, 0},
    {"pmx/unity-mmd-loader/test_1bone_cube.pmx", 14, 12, 1, 1, 0, 0, 0, 0},
};

class RealModels : public ModelTest {
protected:
    // Loads from the model's folder, as the viewer does after its file dialog.
    bool loadReal(const std::string& relative, ModelFileInfo& info, std::string& printed) {
        const std::string path = realDir() + "/" + relative;
        const std::string folder = path.substr(0, path.find_last_of('/'));
        if (chdir(folder.c_str()) != 0) return false;
        std::string error;
        bool ok = false;
        printed = stderrOf([&] {
            const LoadResult result = loadModel(model, path.c_str(), &info, world.get());
            reportModelLoad(result);
            ok = result.ok();
            if (!ok) error = refusalText(result.problem());
        });
        if (!ok) ADD_FAILURE() << relative << ": " << error;
        return ok;
    }

    // Every named texture was found and decoded: it has a name, and nothing was reported.
    void expectTexturesLoaded(const std::string& relative, const ModelFileInfo& info, const std::string& printed) {
        EXPECT_EQ(printed.find("Texture Read Error"), std::string::npos) << relative << ": " << printed;
        ASSERT_EQ(info.materials.size(), model.materialCount()) << relative;
        for (uint32_t i = 0; i < model.materialCount(); ++i) {
            const MaterialTextures& m = model.textures.materials[i];
            if (!info.materials[i].texture.empty()) {
                EXPECT_NE(m.texture, -1) << relative << " material " << i << ": " << info.materials[i].texture;
            }
            if (!info.materials[i].sphere.empty()) {
                EXPECT_NE(m.sphere, -1) << relative << " material " << i << ": " << info.materials[i].sphere;
            }
        }
    }

    // What every loaded model must satisfy for drawing and skinning to be safe.
    void expectConsistent(const std::string& relative) {
        uint64_t used = 0;
        for (uint32_t i = 0; i < model.materialCount(); ++i) used += static_cast<uint64_t>(model.materials[i].indexCount);
        EXPECT_LE(used, model.indexCount()) << relative;
        for (uint32_t i = 0; i < model.indexCount(); ++i) {
            if (model.indices[i] >= model.vertexCount) {
                ADD_FAILURE() << relative << ": index " << i;
                break;
            }
        }
    }
};

TEST_F(RealModels, CountsAgreeWithTheirSources) {
    SKIP_WITHOUT_REAL_MODELS();
    for (const Expected& e : kModels) {
        ModelFileInfo info;
        std::string printed;
        if (!loadReal(e.path, info, printed)) continue;
        const bool pmd = std::string(e.path).compare(0, 4, "pmd/") == 0;
        EXPECT_EQ(model.format, pmd ? 0 : 1) << e.path;
        EXPECT_EQ(model.vertexCount, e.vertices) << e.path;
        EXPECT_EQ(model.indexCount(), 3 * e.triangles) << e.path;
        EXPECT_EQ(model.materialCount(), e.materials) << e.path;
        EXPECT_EQ(model.boneCount(), e.bones) << e.path;
        EXPECT_EQ(model.ikCount(), e.ikChains) << e.path;
        EXPECT_EQ(model.morphCount(), e.morphs) << e.path;
        EXPECT_EQ(model.physics.bodies.size(), e.rigidBodies) << e.path;
        EXPECT_EQ(model.physics.joints.size(), e.joints) << e.path;
        expectTexturesLoaded(e.path, info, printed);
        expectConsistent(e.path);
    }
}

TEST_F(RealModels, GeneratedFixturesLoadWithTheirTextures) {
    SKIP_WITHOUT_REAL_MODELS();
    const std::string dir = realDir() + "/pmx/unity-mmd-loader/GeneratedPmx";
    std::unique_ptr<FILE, int (*)(FILE*)> list(popen(("ls '" + dir + "'/*.pmx").c_str(), "r"), pclose);
    ASSERT_TRUE(list);
    char line[4096];
    int files = 0;
    while (fgets(line, sizeof line, list.get())) {
        std::string path = line;
        path.erase(path.find_last_not_of('\n') + 1);
        const std::string relative = path.substr(realDir().size() + 1);
        ModelFileInfo info;
        std::string printed;
        if (!loadReal(relative, info, printed)) continue;
        ++files;
        EXPECT_GE(model.vertexCount, 4u) << relative;
        EXPECT_GE(model.materialCount(), 1u) << relative;
        EXPECT_LE(model.materialCount(), 2u) << relative;
        EXPECT_GE(model.boneCount(), 1u) << relative;
        EXPECT_LE(model.boneCount(), 4u) << relative;
        expectTexturesLoaded(relative, info, printed);
        expectConsistent(relative);
    }
    EXPECT_GE(files, 17);  // the sources list 17; the folder holds a few more
}

TEST_F(RealModels, SphereMapsAndTextOfTheGlassesModel) {
    SKIP_WITHOUT_REAL_MODELS();
    ModelFileInfo info;
    std::string printed;
    ASSERT_TRUE(loadReal("pmd/glasses/glasses.pmd", info, printed));
    EXPECT_EQ(cp932ToUtf8(model.name), "モブメガネ2");
    ASSERT_GE(model.materialCount(), 1u);
    EXPECT_EQ(info.materials[0].texture, "mfgl1.png");
    EXPECT_EQ(info.materials[0].sphere, "metal.sph");
    EXPECT_EQ(model.materials[0].sphereMode, 1);
    // Both forms of the same character carry the same geometry.
    std::vector<float> pmdPositions(model.positions.data(), model.positions.data() + 3 * model.vertexCount);
    ASSERT_TRUE(loadReal("pmx/glasses/glasses.pmx", info, printed));
    ASSERT_EQ(3 * model.vertexCount, pmdPositions.size());
    int differing = 0;
    for (std::size_t i = 0; i < pmdPositions.size(); ++i) differing += std::fabs(pmdPositions[i] - model.positions[i]) > 1e-4f;
    EXPECT_EQ(differing, 0);
    bool add = false;
    for (uint32_t i = 0; i < model.materialCount(); ++i) add = add || model.materials[i].sphereMode == 2;
    EXPECT_TRUE(add) << "glasses.pmx has a sphere map in add mode";
}

}  // namespace

namespace {

// Runs a command and returns its standard output; status receives the exit status.
std::string run(const std::string& command, int& status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int raw = pclose(pipe);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

TEST(InspectTool, SummarisesARealModelAndRefusesJunk) {
    SKIP_WITHOUT_REAL_MODELS();
    const std::string tool = std::string(PAVONIX_BINARY_DIR) + "/tools/pavonix-inspect";
    if (!exists(tool)) GTEST_SKIP() << "pavonix-inspect not built";
    int status = -1;
    const std::string json = run("'" + tool + "' '" + realDir() + "/pmd/glasses/glasses.pmd' 2>&1", status);
    EXPECT_EQ(status, 0) << json;
    EXPECT_NE(json.find("\"format\": \"pmd\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"name\": \"モブメガネ2\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"counts\": {\"vertices\": 2864, \"indices\": 15408, \"materials\": 7, \"bones\": 17"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"texture\": \"mfgl1.png\", \"textureLoaded\": true, \"sphere\": \"metal.sph\", "
                        "\"sphereLoaded\": true, \"sphereMode\": 1}"),
              std::string::npos)
        << json;
    const std::string junk = run("'" + tool + "' '" + realDir() + "/SOURCES.md' 2>&1", status);
    EXPECT_NE(status, 0);
    EXPECT_NE(junk.find("SOURCES.md: neither a PMD nor a PMX"), std::string::npos) << junk;
}

}  // namespace
