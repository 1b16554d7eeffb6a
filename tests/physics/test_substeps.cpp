// Fixed substeps: the same simulated time gives the same world however it is cut into
// frames, and a real PMX character played at 10 and at 60 frames a second ends alike.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "PhysicsFixture.h"
#include "animation/Motion.h"
#include "animation/MotionPlayer.h"
#include "animation/Skeleton.h"
#include "common/TestModels.h"
#include "render/ModelDraw.h"
#include "character/LoadModelFile.h"
#include "render/Texture.h"
#include "character/ModelFrame.h"
#include "physics/ModelBodies.h"

namespace fs = std::filesystem;
using testmodels::RigidBodyDesc;
using testmodels::ScopedModel;

namespace {

// A swinging pair: a kinematic anchor at the root and a body hung from it off centre.
void swingModel(PhysicsWorld& world, cModel& model) {
    testmodels::setBones(model, {{"a", 0, 10, 0}, {"b", 2, 10, 0, 0}});
    RigidBodyDesc anchor, swing;
    anchor.mode = 0;
    anchor.mask = 0;
    swing.position[0] = 1.0f;
    swing.mask = 0;
    swing.linearDamping = 0.2f;
    ASSERT_EQ(testmodels::setRigidBodies(world, model, {anchor, swing}, {0, 1}), 2);
    testmodels::JointDesc hinge;
    hinge.position[0] = 2.0f;
    hinge.position[1] = 10.0f;
    hinge.angularLower[2] = -3.0f;
    hinge.angularUpper[2] = 3.0f;
    ASSERT_EQ(testmodels::setJoints(world, model, {hinge}, {{0, 1}}), 1);
}

// Runs a fresh world for frameCount frames of frameSize motion frames each; returns the
// swinging body's transform and the substeps taken.
btTransform runSwing(float frameSize, int frameCount, int* substeps) {
    PhysicsWorld world;
    ScopedModel s;
    swingModel(world, s.model);
    *substeps = 0;
    for (int i = 0; i < frameCount; ++i) *substeps += world.step(frameSize);
    return s.model.physics.bodies[1].body->getWorldTransform();
}

}  // namespace

TEST_F(PhysicsTest, TheSameTimeInFramesOfAnySizeGivesTheSameWorld) {
    int fine = 0, coarse = 0, uneven = 0;
    const btTransform a = runSwing(0.5f, 120, &fine);   // 60 frames a second, 2 s
    const btTransform b = runSwing(3.0f, 20, &coarse);  // 10 frames a second, 2 s
    const btTransform c = runSwing(0.3f, 200, &uneven); // 100 a second: remainders carried
    EXPECT_EQ(fine, 120);
    EXPECT_EQ(coarse, 120);
    EXPECT_EQ(uneven, 120);
    // It did swing, and every run ends on the same spot.
    EXPECT_LT(a.getOrigin().y(), 9.5f);
    EXPECT_LT((a.getOrigin() - b.getOrigin()).length(), 1e-5f);
    EXPECT_LT((a.getOrigin() - c.getOrigin()).length(), 1e-5f);
}

namespace {

int32_t fakeUpload(const DecodedImage&, void* user) { return ++*static_cast<int32_t*>(user); }
void fakeDelete(uint32_t, void*) {}

// Gene (PMX, 87 bodies and 92 joints) dancing to its own motion.
class RealPmxPhysics : public PhysicsTest {
protected:
    void SetUp() override {
        PhysicsTest::SetUp();
        const std::string base = PAVONIX_TESTDATA_DIR;
        modelPath_ = base + "/pmx/gene_light/Gene_light.pmx";
        motionPath_ = base + "/vmd/gene/02_laugh.vmd";
        if (!fs::exists(modelPath_) || !fs::exists(motionPath_))
            GTEST_SKIP() << "real test data not present: " << modelPath_;
        setTextureUploader(fakeUpload, &nextName_);
        setTextureDeleter(fakeDelete, nullptr);
        ASSERT_TRUE(loadVMDFile(motionPath_.c_str(), motion_));
    }
    void TearDown() override {
        destroyModel(model_);
        clearMotion(motion_);
        setTextureUploader(nullptr, nullptr);
        setTextureDeleter(nullptr, nullptr);
        PhysicsTest::TearDown();
    }
    void loadModel() {
        const fs::path previous = fs::current_path();
        fs::current_path(fs::path(modelPath_).parent_path());
        std::string error;
        const bool ok = loadModelFile(model_, modelPath_.c_str(), &world(), &error);
        fs::current_path(previous);
        ASSERT_TRUE(ok) << error;
        ASSERT_EQ(model_.physics.bodies.size(), 87u);
        ASSERT_EQ(model_.physics.joints.size(), 92u);
    }
    // Plays the motion to its end at framesPerSecond, then holds the last frame for two
    // seconds; the positions of every body at the end. fault gets the first bad vertex.
    std::vector<btVector3> play(float framesPerSecond, std::string& fault) {
        loadModel();
        bindMotion(model_.motion, model_, motion_);
        updateModelPose(model_, 0.0f);
        resetRigidBodies(model_.physics);
        skinModel(model_);
        const float frameSize = 30.0f / framesPerSecond;
        const int steps = static_cast<int>((motion_.lastFrame + 60.0f) / frameSize);
        for (int i = 0; i < steps && fault.empty(); ++i) {
            updateModelPose(model_, frameSize);
            step(frameSize);
            skinModel(model_);
            for (uint32_t v = 0; v < model_.vertexCount; ++v) {
                const float* p = model_.skin.positions.data() + 3 * std::size_t(v);
                // Gene is about 20 units tall and dances on the spot.
                if (!std::isfinite(p[0] + p[1] + p[2]) || std::fabs(p[0]) > 40.0f || std::fabs(p[2]) > 40.0f ||
                    p[1] < -20.0f || p[1] > 60.0f) {
                    fault = "vertex " + std::to_string(v) + " at (" + std::to_string(p[0]) + ", " +
                            std::to_string(p[1]) + ", " + std::to_string(p[2]) + ") on step " + std::to_string(i);
                    break;
                }
            }
        }
        // One body hangs from a bone the model puts 78 units below its feet, under the
        // ground, where it tumbles on its own; the character's bodies are compared.
        std::vector<btVector3> out;
        for (uint32_t i = 0; i < model_.physics.bodies.size(); ++i) {
            if (model_.physics.bodies[i].bone->restPosition[1] >= 0.0f) out.push_back(originOf(model_.physics.bodies[i].body));
        }
        destroyModel(model_);
        return out;
    }
    std::string modelPath_, motionPath_;
    MotionData motion_;
    cModel model_;
    int32_t nextName_ = 0;
};

}  // namespace

TEST_F(RealPmxPhysics, DancesWithoutRunawayVerticesAndEndsAlikeAtTenAndSixtyFps) {
    std::string fault;
    const std::vector<btVector3> sixty = play(60.0f, fault);
    ASSERT_TRUE(fault.empty()) << "60 fps: " << fault;
    const std::vector<btVector3> ten = play(10.0f, fault);
    ASSERT_TRUE(fault.empty()) << "10 fps: " << fault;
    ASSERT_EQ(sixty.size(), ten.size());
    float worst = 0.0f, sum = 0.0f;
    for (std::size_t i = 0; i < ten.size(); ++i) {
        const float d = (ten[i] - sixty[i]).length();
        worst = std::max(worst, d);
        sum += d;
    }
    std::printf("10 vs 60 fps after the hold: mean body distance %.4f, worst %.4f\n", sum / ten.size(), worst);
    ASSERT_EQ(ten.size(), 86u);
    EXPECT_LT(sum / ten.size(), 0.02f);
    EXPECT_LT(worst, 0.15f);
}
