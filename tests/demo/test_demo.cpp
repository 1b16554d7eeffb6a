// The committed demo assets: current with their generator, loadable, and alive when
// they dance (the physics parts swing, every real motion drives Pavo without NaN).
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#include "animation/Motion.h"
#include "animation/MotionPlayer.h"
#include "animation/Skeleton.h"
#include "common/ProgramRun.h"
#include "render/ModelDraw.h"
#include "character/LoadModelFile.h"
#include "model/MorphKinds.h"
#include "render/Texture.h"
#include "character/ModelFrame.h"
#include "physics/ModelBodies.h"
#include "physics/PhysicsWorld.h"
#include "physics/RigidBody.h"
#include "platform/Text.h"

namespace {

const std::string kDemo = std::string(PAVONIX_SOURCE_DIR) + "/Data/demo";

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int32_t fakeUpload(const DecodedImage&, void* user) {
    int* next = static_cast<int*>(user);
    return (*next)++;
}

// Loads a demo model without a GL context: textures are decoded, not uploaded.
class DemoModel : public ::testing::Test {
protected:
    void SetUp() override {
        // Texture names resolve against the current folder, as after the open dialog.
        ASSERT_NE(getcwd(previousDir_, sizeof(previousDir_)), nullptr);
        ASSERT_EQ(chdir(kDemo.c_str()), 0);
        setTextureUploader(fakeUpload, &nextName_);
        world = std::make_unique<PhysicsWorld>();
    }
    void TearDown() override {
        destroyModel(model_);
        world.reset();
        setTextureUploader(nullptr, nullptr);
        if (chdir(previousDir_) != 0) ADD_FAILURE() << "cannot return to " << previousDir_;
    }
    bool load(const std::string& path) {
        std::string error;
        return loadModelFile(model_, path.c_str(), world.get(), &error);
    }
    std::unique_ptr<PhysicsWorld> world;
    cModel model_;
    int nextName_ = 1;
    char previousDir_[4096] = {};
};

float bodyDistanceFromBone(const cPMDRigidBody& body) {
    // Where the bone says the body should be: globalMatrix x boneOffset.
    const float* g = body.bone->globalMatrix;
    const btVector3 o = body.boneOffset.getOrigin();
    const btVector3 expected(g[0] * o.x() + g[4] * o.y() + g[8] * o.z() + g[12],
                             g[1] * o.x() + g[5] * o.y() + g[9] * o.z() + g[13],
                             g[2] * o.x() + g[6] * o.y() + g[10] * o.z() + g[14]);
    return (body.body->getWorldTransform().getOrigin() - expected).length();
}

}  // namespace

TEST(DemoAssets, CommittedFilesAreWhatTheGeneratorWrites) {
    const std::string out = makeTempDir("pavonix-demo");
    ASSERT_FALSE(out.empty());
    const std::string tool = std::string(PAVONIX_BINARY_DIR) + "/tools/pavonix-make-demo";
    std::string log;
    ASSERT_EQ(runToEnd(tool, {out}, "", {}, 120.0, &log), 0) << log;
    int compared = 0;
    DIR* dir = opendir(out.c_str());
    ASSERT_NE(dir, nullptr);
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        EXPECT_EQ(readAll(out + "/" + name), readAll(kDemo + "/" + name))
            << name << " is out of date: run pavonix-make-demo Data/demo";
        ++compared;
    }
    closedir(dir);
    EXPECT_EQ(compared, 13);
    std::system(("rm -rf " + out).c_str());
}

TEST_F(DemoModel, PmdHasTheIntendedContents) {
    ASSERT_TRUE(load(kDemo + "/pavo.pmd"));
    EXPECT_GT(model_.vertexCount, 2000u);
    EXPECT_LT(model_.vertexCount, 10000u);
    EXPECT_EQ(model_.materialCount(), 10u);
    EXPECT_EQ(model_.ikCount(), 2);
    EXPECT_EQ(model_.morphCount(), 6);  // the base morph and five expressions
    EXPECT_GE(model_.physics.bodies.size(), 10u);
    EXPECT_GE(model_.physics.joints.size(), 8u);
    for (const char* name : {"センター", "上半身", "下半身", "首", "頭", "両目", "左肩", "左腕", "左ひじ", "左手首",
                             "右肩", "右腕", "右ひじ", "右手首", "左足", "左ひざ", "左足首", "右足", "右ひざ",
                             "右足首", "左足ＩＫ", "右足ＩＫ"}) {
        EXPECT_NE(findBone(model_, utf8ToCp932(name).c_str()), nullptr) << name;
    }
    for (const char* name : {"まばたき", "あ", "い", "う", "笑い"}) {
        EXPECT_NE(findMorph(model_, utf8ToCp932(name).c_str()), nullptr) << name;
    }
    // Every material that names a texture got it, and both sphere modes are used.
    bool multiply = false, add = false;
    for (uint32_t i = 0; i < model_.materialCount(); ++i) {
        const MaterialTextures& m = model_.textures.materials[i];
        if (m.sphere != -1) {
            multiply |= m.sphereMode == 1;
            add |= m.sphereMode == 2;
        }
    }
    EXPECT_TRUE(multiply);
    EXPECT_TRUE(add);
    int textured = 0;
    for (uint32_t i = 0; i < model_.materialCount(); ++i) textured += model_.textures.materials[i].texture != -1;
    EXPECT_EQ(textured, 5);  // PNG, BMP, JPEG, TGA, DDS
    // Pavo's own ramp on all but the eyes, outlines on the closed shapes.
    int ramped = 0, outlined = 0;
    for (uint32_t i = 0; i < model_.materialCount(); ++i) {
        ramped += model_.textures.materials[i].toon != -1;
        outlined += (model_.materials[i].drawFlags & 0x10) != 0;
    }
    EXPECT_EQ(ramped, 8);
    EXPECT_EQ(outlined, 5);
    int modes[3] = {0, 0, 0};
    for (uint32_t i = 0; i < model_.physics.bodies.size(); ++i) ++modes[model_.physics.bodies[i].mode];
    EXPECT_GT(modes[0], 0);
    EXPECT_GT(modes[1], 0);
    EXPECT_GT(modes[2], 0);
    // The feet rest on the ground.
    float lowest = 1e9f;
    for (uint32_t v = 0; v < model_.vertexCount; ++v) lowest = std::min(lowest, model_.positions[3 * v + 1]);
    EXPECT_NEAR(lowest, 0.0f, 0.05f);
}

TEST_F(DemoModel, PmxFilesMatchThePmd) {
    ASSERT_TRUE(load(kDemo + "/pavo.pmd"));
    const uint32_t vertices = model_.vertexCount, bones = model_.boneCount();
    for (const char* file : {"/pavo.pmx", "/pavo21.pmx"}) {
        ASSERT_TRUE(load(kDemo + file)) << file;
        EXPECT_EQ(model_.format, 1);
        EXPECT_EQ(model_.vertexCount, vertices);
        EXPECT_EQ(model_.boneCount(), bones + 6);  // the D leg bones
        EXPECT_EQ(model_.morphCount(), 5);
        EXPECT_EQ(model_.ikCount(), 2);
    }
    EXPECT_EQ(model_.pmxTextEncoding, 1);  // the 2.1 file is UTF-8
}

// The PMX forms carry a material morph and a group of a vertex and a material morph,
// and the dance drives them by name: the crest turns gold through the chorus, Pavo
// blushes and smiles at the end, and both are gone where the keys are at zero.
TEST_F(DemoModel, DanceDrivesThePmxMaterialAndGroupMorphs) {
    constexpr int kHeadMaterial = 1, kCrestMaterial = 7;
    MotionData dance;
    ASSERT_TRUE(loadVMDFile((kDemo + "/dance.vmd").c_str(), dance));
    for (const char* file : {"/pavo.pmx", "/pavo21.pmx"}) {
        ASSERT_TRUE(load(kDemo + file)) << file;
        ASSERT_NE(model_.morphKinds, nullptr) << file;
        int material = 0, group = 0;
        for (const MorphRecord& r : model_.morphKinds->morphs) {
            material += r.kind == morphkind::kMaterial;
            group += r.kind == morphkind::kGroup;
        }
        EXPECT_EQ(material, 2) << file;
        EXPECT_EQ(group, 1) << file;
        const float restCrestBlue = model_.materials[kCrestMaterial].diffuse[2];
        const float restHeadRed = model_.materials[kHeadMaterial].diffuse[0];
        std::vector<float> rest(model_.positions.data(), model_.positions.data() + 3 * model_.vertexCount);

        bindMotion(model_.motion, model_, dance);
        float crestLowest = restCrestBlue, headHighest = restHeadRed, moved = 0.0f;
        bool restAtStart = false;
        for (int frame = 0; frame <= 600; ++frame) {
            updateModelPose(model_, 1.0f);
            if (frame == 100)
                restAtStart = model_.materials[kCrestMaterial].diffuse[2] == restCrestBlue &&
                              model_.materials[kHeadMaterial].diffuse[0] == restHeadRed;
            crestLowest = std::min(crestLowest, model_.materials[kCrestMaterial].diffuse[2]);
            if (frame == 550) {
                headHighest = model_.materials[kHeadMaterial].diffuse[0];
                for (uint32_t v = 0; v < 3 * model_.vertexCount; ++v)
                    moved = std::max(moved, std::fabs(model_.positions[v] - rest[v]));
            }
        }
        EXPECT_TRUE(restAtStart) << file;
        EXPECT_LT(crestLowest, restCrestBlue * 0.5f) << file;
        EXPECT_GT(headHighest, restHeadRed + 0.2f) << file;
        EXPECT_GT(moved, 0.05f) << file << ": the smile of the group did not move the face";
    }
}

// The PMX legs hang on D bones that no motion keys: only their append links from the
// plain leg bones, posed in the later layer, bring them along after the IK chains.
TEST_F(DemoModel, DLegBonesOfThePmxStayOnThePlainLegsAndTheFeetOnTheFloor) {
    std::vector<std::string> motions = {kDemo + "/dance.vmd"};
    const std::string real = std::string(PAVONIX_TESTDATA_DIR) + "/vmd/gene/33_angry.vmd";
    struct stat st;
    if (stat(real.c_str(), &st) == 0) motions.push_back(real);
    ASSERT_TRUE(load(kDemo + "/pavo.pmx"));
    const char* names[] = {"左足", "左ひざ", "左足首", "右足", "右ひざ", "右足首"};
    std::vector<std::pair<const cBone*, const cBone*>> pairs;
    for (const char* name : names) {
        const cBone* plain = findBone(model_, utf8ToCp932(name).c_str());
        const cBone* d = findBone(model_, utf8ToCp932(std::string(name) + "D").c_str());
        ASSERT_NE(plain, nullptr) << name;
        ASSERT_NE(d, nullptr) << name;
        EXPECT_EQ(d->deformLayer, 1);
        EXPECT_EQ(d->appendParent, plain);
        pairs.emplace_back(plain, d);
    }
    int moved = 0;  // frames x legs away from the rest pose: the check is not vacuous
    for (const std::string& path : motions) {
        MotionData motion;
        ASSERT_TRUE(loadVMDFile(path.c_str(), motion)) << path;
        bindMotion(model_.motion, model_, motion);
        for (int frame = 0; frame <= static_cast<int>(motion.lastFrame); ++frame) {
            model_.motion.currentFrame = static_cast<float>(frame);
            updateModelPose(model_, 0.0f);
            skinModel(model_);
            for (const auto& pd : pairs) {
                float d2 = 0.0f;
                for (int k = 12; k < 15; ++k) {
                    const float d = pd.first->globalMatrix[k] - pd.second->globalMatrix[k];
                    d2 += d * d;
                }
                ASSERT_LT(std::sqrt(d2), 0.01f) << pd.second->name << " frame " << frame << " of " << path;
                float away2 = 0.0f;
                for (int k = 0; k < 3; ++k) {
                    const float d = pd.first->globalMatrix[12 + k] - pd.first->restPosition[k];
                    away2 += d * d;
                }
                if (away2 > 0.01f) ++moved;
            }
            float lowest = 1e9f;
            for (uint32_t v = 0; v < model_.vertexCount; ++v) lowest = std::min(lowest, model_.skin.positions[3 * v + 1]);
            // A turned ankle tips the foot onto its toe or heel by a few tenths; legs left
            // behind in the rest pose would sink with every crouch of the body.
            ASSERT_GT(lowest, -0.5f) << "a foot went through the floor at frame " << frame << " of " << path;
        }
        clearMotionPlayer(model_.motion);
    }
    EXPECT_GT(moved, 100) << "the legs hardly moved";
}

TEST_F(DemoModel, CrestAndTailSwingWhileTheBodyDances) {
    MotionData dance;
    ASSERT_TRUE(loadVMDFile((kDemo + "/dance.vmd").c_str(), dance));
    EXPECT_GT(dance.lastFrame, 500.0f);
    // The PMX forms hold their bodies in model space, the PMD form relative to the bones:
    // all three must start in the same places and swing alike.
    std::vector<btVector3> pmdStart;
    for (const char* file : {"pavo.pmd", "pavo.pmx", "pavo21.pmx"}) {
        destroyModel(model_);
        ASSERT_TRUE(load(kDemo + "/" + file)) << file;
        ASSERT_EQ(model_.physics.bodies.size(), 14u) << file;
        ASSERT_EQ(model_.physics.joints.size(), 11u) << file;
        for (uint32_t i = 0; i < model_.physics.bodies.size(); ++i) {
            ASSERT_NE(model_.physics.bodies[i].body, nullptr) << file << " body " << i;
            const btVector3 at = model_.physics.bodies[i].body->getWorldTransform().getOrigin();
            if (pmdStart.size() < model_.physics.bodies.size()) {
                pmdStart.push_back(at);
            } else {
                EXPECT_LT((at - pmdStart[i]).length(), 1e-4f) << file << " body " << i;
            }
        }
        for (uint32_t i = 0; i < model_.physics.joints.size(); ++i) EXPECT_NE(model_.physics.joints[i].constraint, nullptr) << file;
        bindMotion(model_.motion, model_, dance);
        updateModelPose(model_, 0.0f);
        resetRigidBodies(model_.physics);
        float largest = 0.0f;
        for (int frame = 0; frame < 240; ++frame) {
            updateModelPose(model_, 1.0f);
            world->step(1.0f);
            // Before the write-back the bone still holds the animated pose; the body's lag
            // behind it is the swing.
            for (uint32_t i = 0; i < model_.physics.bodies.size(); ++i) {
                const cPMDRigidBody& b = model_.physics.bodies[i];
                if (b.mode != 1 || !b.body) continue;
                largest = std::max(largest, bodyDistanceFromBone(b));
            }
            skinModel(model_);
            for (uint32_t v = 0; v < model_.vertexCount * 3; ++v)
                ASSERT_TRUE(std::isfinite(model_.skin.positions[v])) << file;
        }
        EXPECT_GT(largest, 0.05f) << file << ": the simulated parts never moved away from their bones";
        // Swinging, not flying off: the farthest lag (the tail's tip, about 5 units when
        // the dance turns) stays within the tail's length of 7.5.
        EXPECT_LT(largest, 7.5f) << file;
        clearMotionPlayer(model_.motion);
    }
}

TEST_F(DemoModel, EveryRealMotionDrivesPavoWithoutNaN) {
    const std::string folder = std::string(PAVONIX_TESTDATA_DIR) + "/vmd";
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) GTEST_SKIP() << "no real test data";
    ASSERT_TRUE(load(kDemo + "/pavo.pmd"));
    std::vector<std::string> motions;
    std::string list;
    runToEnd("/usr/bin/find", {folder, "-name", "*.vmd"}, "", {}, 30.0, &list);
    std::stringstream ss(list);
    for (std::string line; std::getline(ss, line);) motions.push_back(line);
    ASSERT_FALSE(motions.empty());
    for (const auto& path : motions) {
        MotionData motion;
        ASSERT_TRUE(loadVMDFile(path.c_str(), motion)) << path;
        bindMotion(model_.motion, model_, motion);
        updateModelPose(model_, 0.0f);
        resetRigidBodies(model_.physics);
        const int frames = std::min(static_cast<int>(motion.lastFrame) + 1, 900);
        for (int f = 0; f < frames; ++f) {
            updateModelPose(model_, 1.0f);
            world->step(1.0f);
            skinModel(model_);
        }
        for (uint32_t v = 0; v < model_.vertexCount * 3; ++v) {
            ASSERT_TRUE(std::isfinite(model_.skin.positions[v])) << path;
            ASSERT_LT(std::fabs(model_.skin.positions[v]), 200.0f) << path;
        }
        clearMotionPlayer(model_.motion);
    }
}
