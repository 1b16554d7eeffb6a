#include <cmath>

#include "PhysicsFixture.h"
#include "common/TestModels.h"
#include "physics/RigidBody.h"

using testmodels::JointDesc;
using testmodels::RigidBodyDesc;
using testmodels::ScopedModel;

namespace {

btGeneric6DofSpringConstraint* springOf(const cModel& model, int i) {
    return static_cast<btGeneric6DofSpringConstraint*>(model.physics.joints[i].constraint);
}

void twoBodies(PhysicsWorld& world, cModel& model) {
    testmodels::setBones(model, {{"a", 0, 10, 0}, {"b", 0, 8, 0, 0}});
    RigidBodyDesc anchor, swing;
    anchor.mode = 0;
    ASSERT_EQ(testmodels::setRigidBodies(world, model, {anchor, swing}, {0, 1}), 2);
}

}  // namespace

TEST_F(PhysicsTest, RotationSpringsAlwaysOnTranslationSpringsOnlyWithStiffness) {
    ScopedModel s;
    twoBodies(world(), s.model);
    JointDesc loose, stiff;
    stiff.linearStiffness[0] = 10.0f;
    stiff.linearStiffness[2] = 20.0f;
    stiff.angularStiffness[1] = 5.0f;
    ASSERT_EQ(testmodels::setJoints(world(), s.model, {loose, stiff}, {{0, 1}, {0, 1}}), 2);
    EXPECT_EQ(bullet().getNumConstraints(), 2);

    btGeneric6DofSpringConstraint* c = springOf(s.model, 0);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(c->isSpringEnabled(i)) << i;
    for (int i = 3; i < 6; ++i) {
        EXPECT_TRUE(c->isSpringEnabled(i)) << i;
        EXPECT_EQ(c->getStiffness(i), 0.0f) << i;
    }
    c = springOf(s.model, 1);
    EXPECT_TRUE(c->isSpringEnabled(0));
    EXPECT_FALSE(c->isSpringEnabled(1));
    EXPECT_TRUE(c->isSpringEnabled(2));
    EXPECT_EQ(c->getStiffness(0), 10.0f);
    EXPECT_EQ(c->getStiffness(2), 20.0f);
    EXPECT_EQ(c->getStiffness(4), 5.0f);
}

TEST_F(PhysicsTest, JointLimitsAndFrames) {
    ScopedModel s;
    twoBodies(world(), s.model);
    JointDesc j;
    j.position[1] = 9.0f;
    const float lin[3] = {-1.0f, -2.0f, -3.0f};
    for (int i = 0; i < 3; ++i) {
        j.linearLower[i] = lin[i];
        j.linearUpper[i] = -lin[i];
    }
    j.angularLower[0] = -7.0f;
    j.angularUpper[0] = 7.0f;
    j.angularUpper[1] = 4.0f;
    j.angularLower[2] = -0.5f;
    ASSERT_EQ(testmodels::setJoints(world(), s.model, {j}, {{0, 1}}), 1);
    btGeneric6DofSpringConstraint* c = springOf(s.model, 0);
    btVector3 lo, hi;
    c->getLinearLowerLimit(lo);
    c->getLinearUpperLimit(hi);
    EXPECT_EQ(lo, btVector3(-1, -2, -3));
    EXPECT_EQ(hi, btVector3(1, 2, 3));
    c->getAngularLowerLimit(lo);
    c->getAngularUpperLimit(hi);
    EXPECT_NEAR(hi.x(), 7.0f - 6.2831855f, 1e-6f);
    EXPECT_NEAR(lo.x(), -7.0f + 6.2831855f, 1e-6f);
    EXPECT_NEAR(hi.y(), 4.0f - 6.2831855f, 1e-6f);
    EXPECT_FLOAT_EQ(lo.z(), -0.5f);
    // Both frames sit on the joint's model-space position.
    EXPECT_NEAR(c->getFrameOffsetA().getOrigin().y(), -1.0f, 1e-5f);  // body A at 10
    EXPECT_NEAR(c->getFrameOffsetB().getOrigin().y(), 1.0f, 1e-5f);   // body B at 8
}

TEST_F(PhysicsTest, HangingChainSettlesWithoutExploding) {
    ScopedModel s;
    constexpr int kLinks = 6;
    std::vector<testmodels::BoneDesc> bones;
    for (int i = 0; i < kLinks; ++i) bones.push_back({"link", 0.0f, 15.0f - 1.5f * i, 0.0f, i - 1});
    testmodels::setBones(s.model, bones);
    std::vector<RigidBodyDesc> descs(kLinks);
    std::vector<int> boneOf;
    for (int i = 0; i < kLinks; ++i) {
        descs[i].shape = 2;
        descs[i].size[0] = 0.3f;
        descs[i].size[1] = 0.8f;
        descs[i].mode = i == 0 ? 0 : 1;
        descs[i].group = 2;
        descs[i].mask = 0xFFFB;  // links do not collide with each other
        descs[i].linearDamping = 0.5f;
        descs[i].angularDamping = 0.5f;
        boneOf.push_back(i);
    }
    ASSERT_EQ(testmodels::setRigidBodies(world(), s.model, descs, boneOf), kLinks);
    std::vector<JointDesc> joints(kLinks - 1);
    std::vector<std::pair<int, int>> pairs;
    for (int i = 0; i + 1 < kLinks; ++i) {
        joints[i].position[1] = 15.0f - 1.5f * i - 0.75f;
        for (int k = 0; k < 3; ++k) {
            joints[i].angularLower[k] = -0.5f;
            joints[i].angularUpper[k] = 0.5f;
            joints[i].angularStiffness[k] = 50.0f;
        }
        pairs.emplace_back(i, i + 1);
    }
    ASSERT_EQ(testmodels::setJoints(world(), s.model, joints, pairs), kLinks - 1);
    // A sideways kick to the last link, then ten seconds of frames.
    s.model.physics.bodies[kLinks - 1].body->setLinearVelocity(btVector3(20, 0, 0));
    for (int frame = 0; frame < 600; ++frame) {
        step(frame % 7 == 0 ? 3.0f : 1.0f);
        for (int i = 1; i < kLinks; ++i) {
            const btVector3 p = originOf(s.model.physics.bodies[i].body);
            ASSERT_TRUE(std::isfinite(p.x()) && std::isfinite(p.y()) && std::isfinite(p.z())) << frame;
            ASSERT_LT((p - btVector3(0, 15, 0)).length(), 12.0f) << "link " << i << " step " << frame;
        }
    }
    for (int i = 1; i < kLinks; ++i) {
        EXPECT_LT(s.model.physics.bodies[i].body->getLinearVelocity().length(), 1.0f) << i;
        EXPECT_LT(originOf(s.model.physics.bodies[i].body).y(), 15.0f) << i;  // hangs below the anchor
    }
}
