// PMX rigid bodies built from files the tests write: the three modes, model-space
// placement, swinging and settling, restarts.
#include <cmath>
#include <string>

#include "PhysicsFixture.h"
#include "animation/MotionPlayer.h"
#include "animation/Skeleton.h"
#include "render/ModelDraw.h"
#include "character/LoadModelFile.h"
#include "model/ModelWriter.h"
#include "character/ModelFrame.h"
#include "physics/ModelBodies.h"

using modelwriter::BoneDesc;
using modelwriter::JointDesc;
using modelwriter::ModelDesc;
using modelwriter::RigidBodyDesc;

namespace {

constexpr float kPi = 3.14159265f;

// A root bone "センター" at (0, 10, 0) carrying a kinematic anchor, and one arm per swing
// mode: a bone at (2, 10, 0 + z) with a body reaching out to (3, 10, z), hinged at the bone
// on a joint that lets it turn about z only. The arms start level and swing down.
ModelDesc pendulums() {
    ModelDesc d;
    BoneDesc root;
    root.name = "センター";
    root.position[1] = 10.0f;
    root.pmxFlags = 0x001E;
    d.bones.push_back(root);
    RigidBodyDesc anchor;
    anchor.name = "anchor";
    anchor.bone = 0;
    anchor.position[1] = 10.0f;
    anchor.size[0] = 0.5f;
    anchor.group = 0;
    anchor.mask = 0;
    anchor.mode = 0;
    d.rigidBodies.push_back(anchor);
    for (uint8_t mode : {uint8_t(1), uint8_t(2)}) {
        const float z = mode == 1 ? 0.0f : 4.0f;
        BoneDesc arm;
        arm.name = mode == 1 ? "arm1" : "arm2";
        arm.position[0] = 2.0f;
        arm.position[1] = 10.0f;
        arm.position[2] = z;
        arm.parent = 0;
        d.bones.push_back(arm);
        RigidBodyDesc b;
        b.name = arm.name;
        b.bone = static_cast<int32_t>(d.bones.size()) - 1;
        b.shape = 0;
        b.size[0] = 0.3f;
        b.position[0] = 3.0f;  // model space
        b.position[1] = 10.0f;
        b.position[2] = z;
        b.group = 1;
        b.mask = 0;
        b.mass = 1.0f;
        b.linearDamping = 0.5f;
        b.angularDamping = 0.5f;
        b.mode = mode;
        d.rigidBodies.push_back(b);
        JointDesc j;
        j.name = arm.name;
        j.bodyA = 0;
        j.bodyB = static_cast<int32_t>(d.rigidBodies.size()) - 1;
        j.position[0] = 2.0f;
        j.position[1] = 10.0f;
        j.position[2] = z;
        j.angularLower[2] = -kPi;
        j.angularUpper[2] = kPi;
        d.joints.push_back(j);
    }
    return d;
}

class PmxBodies : public PhysicsTest {
protected:
    void TearDown() override {
        destroyModel(model);
        PhysicsTest::TearDown();
    }
    void load(const ModelDesc& d) {
        const std::vector<uint8_t> bytes = modelwriter::writePMX(d);
        const LoadResult loaded = loadModelBytes(model, bytes.data(), bytes.size(), nullptr, nullptr, &world());
        ASSERT_TRUE(loaded.ok()) << refusalText(loaded.problem());
    }
    // One viewer frame: pose, physics, write back and skin.
    void frame(float elapsed) {
        updateModelPose(model, elapsed);
        step(elapsed);
        skinModel(model);
    }
    btVector3 bonePosition(int bone) const {
        const float* m = model.bones[bone].globalMatrix;
        return btVector3(m[12], m[13], m[14]);
    }
    cModel model;
};

}  // namespace

TEST_F(PmxBodies, ModelSpacePlacementAndTheBoneOffsetFromTheBindPose) {
    load(pendulums());
    ASSERT_EQ(model.physics.bodies.size(), 3u);
    ASSERT_EQ(model.physics.joints.size(), 2u);
    for (uint32_t i = 0; i < 3; ++i) ASSERT_NE(model.physics.bodies[i].body, nullptr) << i;
    for (uint32_t i = 0; i < 2; ++i) ASSERT_NE(model.physics.joints[i].constraint, nullptr) << i;
    // Where the file puts them, not that far again from their bones.
    EXPECT_LT((originOf(model.physics.bodies[0].body) - btVector3(0, 10, 0)).length(), 1e-5f);
    EXPECT_LT((originOf(model.physics.bodies[1].body) - btVector3(3, 10, 0)).length(), 1e-5f);
    EXPECT_LT((originOf(model.physics.bodies[2].body) - btVector3(3, 10, 4)).length(), 1e-5f);
    EXPECT_LT((model.physics.bodies[1].boneOffset.getOrigin() - btVector3(1, 0, 0)).length(), 1e-5f);
    EXPECT_EQ(model.physics.bodies[0].mode, 0);
    EXPECT_EQ(model.physics.bodies[1].mode, 1);
    EXPECT_EQ(model.physics.bodies[2].mode, 2);
    EXPECT_EQ(model.physics.bodies[2].bone, &model.bones[2]);
}

TEST_F(PmxBodies, ArmsSwingDownAndSettleWhileTheAnchorFollowsItsBone) {
    load(pendulums());
    updateModelPose(model, 0.0f);
    resetRigidBodies(model.physics);
    // The first frames swing: the simulated arm's bone turns away from level.
    for (int i = 0; i < 6; ++i) frame(1.0f);
    const float* arm = model.bones[1].globalMatrix;
    EXPECT_LT(arm[1], -0.1f);  // its x axis now points downward
    float worstSpeed = 0.0f;
    btVector3 lo(1e9f, 1e9f, 1e9f), hi(-1e9f, -1e9f, -1e9f);
    for (int i = 0; i < 600; ++i) {
        frame(1.0f);
        if (i < 570) continue;
        worstSpeed = std::max(worstSpeed, model.physics.bodies[1].body->getLinearVelocity().length());
        lo.setMin(originOf(model.physics.bodies[2].body));
        hi.setMax(originOf(model.physics.bodies[2].body));
    }
    // Mode 1 hangs straight below its hinge and has stopped; its bone stays on the hinge
    // and points down.
    EXPECT_LT((originOf(model.physics.bodies[1].body) - btVector3(2, 9, 0)).length(), 0.1f);
    EXPECT_LT(worstSpeed, 0.05f);
    EXPECT_LT((bonePosition(1) - btVector3(2, 10, 0)).length(), 0.05f);
    EXPECT_NEAR(arm[1], -1.0f, 0.02f);
    // Mode 2 is pulled toward where its bone puts it every frame, so it hangs less far
    // than mode 1 and holds its place (the pull moves it, so its velocity never dies).
    const btVector3 mode2 = originOf(model.physics.bodies[2].body);
    ASSERT_TRUE(std::isfinite(mode2.length()));
    EXPECT_GT(mode2.y(), originOf(model.physics.bodies[1].body).y() + 0.05f);
    EXPECT_LT((hi - lo).length(), 0.05f);

    // Moving the root carries the kinematic anchor exactly, and the arms come along.
    model.bones[0].translation[0] = 5.0f;
    for (int i = 0; i < 300; ++i) frame(1.0f);
    EXPECT_LT((originOf(model.physics.bodies[0].body) - btVector3(5, 10, 0)).length(), 1e-4f);
    EXPECT_LT((originOf(model.physics.bodies[1].body) - btVector3(7, 9, 0)).length(), 0.1f);
}

TEST_F(PmxBodies, RestartPutsTheBodiesBackOnThePosedBonesAtRest) {
    load(pendulums());
    updateModelPose(model, 0.0f);
    resetRigidBodies(model.physics);
    for (int i = 0; i < 20; ++i) frame(1.0f);
    // A restart poses the first frame (the root moved and turned a quarter about y) and
    // resets the bodies: each lands on its bone, its offset turned with it.
    model.bones[0].translation[2] = -3.0f;
    model.bones[0].rotation[1] = std::sin(kPi / 4);
    model.bones[0].rotation[3] = std::cos(kPi / 4);
    updateModelPose(model, 0.0f);
    resetRigidBodies(model.physics);
    btVector3 expected[3];
    for (uint32_t i = 1; i < 3; ++i) {
        const float* g = model.bones[i].globalMatrix;
        // The offset is one unit along the bone's x axis.
        expected[i] = btVector3(g[12] + g[0], g[13] + g[1], g[14] + g[2]);
        const btRigidBody* b = model.physics.bodies[i].body;
        EXPECT_LT((originOf(b) - expected[i]).length(), 1e-4f) << i;
        EXPECT_EQ(b->getLinearVelocity().length(), 0.0f) << i;
        EXPECT_EQ(b->getAngularVelocity().length(), 0.0f) << i;
    }
    EXPECT_LT((expected[1] - btVector3(0, 10, -6)).length(), 1e-4f);
    // The first frame after it moves them no more than gravity would: no jolt from the
    // jump the root made.
    frame(1.0f);
    const float fallOneFrame = 0.5f * kGravity / 900.0f;
    for (uint32_t i = 1; i < 3; ++i) {
        EXPECT_LT((originOf(model.physics.bodies[i].body) - expected[i]).length(), 2.0f * fallOneFrame + 0.02f) << i;
    }
}

TEST_F(PmxBodies, ABodyWithoutABoneFollowsTheCentreAndItsJointsStay) {
    ModelDesc d = pendulums();
    d.rigidBodies[0].bone = -1;
    load(d);
    ASSERT_NE(model.physics.bodies[0].body, nullptr);
    EXPECT_EQ(model.physics.bodies[0].bone, &model.bones[0]);
    EXPECT_TRUE(model.physics.bodies[0].attachedToCentre);
    EXPECT_NE(model.physics.joints[0].constraint, nullptr);

    // Without a centre bone there is nothing to follow: the body and its joint are left
    // out, the rest of the model still loads.
    destroyModel(model);
    d.bones[0].name = "root";
    load(d);
    EXPECT_EQ(model.physics.bodies[0].body, nullptr);
    EXPECT_EQ(model.physics.joints[0].constraint, nullptr);
    EXPECT_NE(model.physics.bodies[1].body, nullptr);
}
