#include <cmath>

#include "PhysicsFixture.h"
#include "common/TestModels.h"
#include "physics/RigidBody.h"

using testmodels::RigidBodyDesc;
using testmodels::ScopedModel;

namespace {

// One sphere of radius 1 on a root bone at height h.
void fallingSphere(PhysicsWorld& world, cModel& model, float h, uint8_t group = 0, uint16_t mask = 0xFFFF) {
    testmodels::setBones(model, {{"ball", 0.0f, h, 0.0f}});
    RigidBodyDesc desc;
    desc.group = group;
    desc.mask = mask;
    ASSERT_EQ(testmodels::setRigidBodies(world, model, {desc}, {0}), 1);
}

}  // namespace

TEST_F(PhysicsTest, WorldHasGravityAndAStaticGroundPlane) {
    btDiscreteDynamicsWorld* world = &bullet();
    // 9.8 m/s^2 at ten model units to the metre, what characters' springs are tuned for.
    EXPECT_FLOAT_EQ(world->getGravity().y(), -98.0f);
    EXPECT_FLOAT_EQ(world->getGravity().y(), -kGravity);
    ASSERT_EQ(world->getNumCollisionObjects(), 1);
    btCollisionObject* ground = world->getCollisionObjectArray()[0];
    EXPECT_TRUE(ground->isStaticObject());
    EXPECT_EQ(ground->getCollisionShape()->getShapeType(), STATIC_PLANE_PROXYTYPE);
    EXPECT_FLOAT_EQ(ground->getFriction(), 0.5f);
}

TEST(PhysicsWorldLifetime, WorldsShareNothing) {
    // Two worlds side by side (a tool beside a test, or one world after another): bodies,
    // clocks and substep remainders of one never reach the other.
    PhysicsWorld a, b;
    ScopedModel inA;
    fallingSphere(a, inA.model, 50.0f);
    EXPECT_EQ(a.bullet().getNumCollisionObjects(), 2);
    EXPECT_EQ(b.bullet().getNumCollisionObjects(), 1);
    const uint64_t frameOfB = b.frame();
    EXPECT_EQ(a.step(0.5f), 1);  // half a frame is one substep
    EXPECT_EQ(b.frame(), frameOfB);
    EXPECT_EQ(b.step(0.25f), 0);  // b owes itself half a substep, not a's remainder
    EXPECT_EQ(b.step(0.25f), 1);
    EXPECT_LT(originOf(inA.model.physics.bodies[0].body).y(), 50.0f);
    EXPECT_FLOAT_EQ(a.kinematicBlend(), 1.0f);
}

TEST_F(PhysicsTest, PausedStepMovesNothing) {
    ScopedModel s;
    fallingSphere(world(), s.model, 50.0f);
    btRigidBody* body = s.model.physics.bodies[0].body;
    step(1.0f);
    const btVector3 before = originOf(body);
    const btVector3 velocity = body->getLinearVelocity();
    step(0.0f);
    EXPECT_EQ(originOf(body), before);
    EXPECT_EQ(body->getLinearVelocity(), velocity);
}

TEST_F(PhysicsTest, LongStallIsCappedAtAThirdOfASecondOfSubsteps) {
    ScopedModel s, stalled;
    fallingSphere(world(), s.model, 100.0f);
    fallingSphere(world(), stalled.model, 100.0f);
    stalled.model.bones[0].restPosition[0] = 10.0f;
    btRigidBody* body = s.model.physics.bodies[0].body;
    // Ten frames are a third of a second: twenty substeps of 1/60 s.
    EXPECT_EQ(step(10.0f), 20);
    // Semi-implicit Euler over n steps of dt: v = n g dt, fallen g dt^2 n (n + 1) / 2.
    const float dt = 1.0f / 60.0f;
    EXPECT_NEAR(body->getLinearVelocity().y(), -kGravity * 20 * dt, 1e-3f);
    EXPECT_NEAR(originOf(body).y(), 100.0f - kGravity * dt * dt * 210.0f, 1e-3f);
    // A stall three times as long simulates no more than that.
    EXPECT_EQ(step(30.0f), 20);
    EXPECT_NEAR(body->getLinearVelocity().y(), -kGravity * 40 * dt, 1e-3f);
}

TEST_F(PhysicsTest, GroupsAndMasksDecideWhetherTheGroundStopsABody) {
    ScopedModel resting, maskedOut, staticGroup;
    fallingSphere(world(), resting.model, 5.0f);
    fallingSphere(world(), maskedOut.model, 5.0f, 0, 0xFFFD);  // mask lacks the ground's group
    fallingSphere(world(), staticGroup.model, 5.0f, 1);        // group 2 is the static filter itself
    resting.model.bones[0].restPosition[0] = 10.0f;
    for (int i = 0; i < 300; ++i) step(1.0f);
    EXPECT_NEAR(originOf(resting.model.physics.bodies[0].body).y(), 1.0f, 0.05f);  // radius 1 on y = 0
    EXPECT_LT(originOf(maskedOut.model.physics.bodies[0].body).y(), -10.0f);
    EXPECT_LT(originOf(staticGroup.model.physics.bodies[0].body).y(), -10.0f);
}

TEST_F(PhysicsTest, DestroyingTheWorldFirstLeavesModelsSafeToRelease) {
    ScopedModel s;
    testmodels::makeLegModel(s.model);
    RigidBodyDesc anchor, swing;
    anchor.mode = 0;
    ASSERT_EQ(testmodels::setRigidBodies(world(), s.model, {anchor, swing}, {1, 2}), 2);
    ASSERT_EQ(testmodels::setJoints(world(), s.model, {testmodels::JointDesc{}}, {{0, 1}}), 1);
    step(1.0f);
    world_.reset();
    EXPECT_EQ(s.model.physics.bodies[0].body, nullptr);
    EXPECT_EQ(s.model.physics.bodies[1].body, nullptr);
    EXPECT_EQ(s.model.physics.bodies[0].world, nullptr);
    EXPECT_EQ(s.model.physics.joints[0].world, nullptr);
    world_ = std::make_unique<PhysicsWorld>();  // a later world knows nothing of the old joint
    writeBodiesToBones(s.model.physics);
    resetRigidBodies(s.model.physics);
    pullBodiesToBones(s.model.physics, 1.0f);
    testmodels::freeTestModel(s.model);
    EXPECT_EQ(bullet().getNumCollisionObjects(), 1);
}

TEST_F(PhysicsTest, ReleasingBodiesBeforeTheirJointsKeepsTheWorldSteppable) {
    ScopedModel s;
    testmodels::setBones(s.model, {{"a", 0, 10, 0}, {"b", 0, 8, 0, 0}});
    RigidBodyDesc anchor, swing;
    anchor.mode = 0;
    ASSERT_EQ(testmodels::setRigidBodies(world(), s.model, {anchor, swing}, {0, 1}), 2);
    ASSERT_EQ(testmodels::setJoints(world(), s.model, {testmodels::JointDesc{}}, {{0, 1}}), 1);
    releaseRigidBody(s.model.physics.bodies[1]);
    EXPECT_EQ(bullet().getNumConstraints(), 0);
    step(1.0f);
    s.model.physics.joints.clear();  // the constraint is deleted outside the world
    step(1.0f);
}
