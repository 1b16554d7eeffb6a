#include <cmath>

#include "PhysicsFixture.h"
#include "common/TestModels.h"
#include "physics/RigidBody.h"

using testmodels::RigidBodyDesc;
using testmodels::ScopedModel;

namespace {

// One sphere of radius 1 on a root bone at height h.
void fallingSphere(cModel& model, float h, uint8_t group = 0, uint16_t mask = 0xFFFF) {
    testmodels::setBones(model, {{"ball", 0.0f, h, 0.0f}});
    RigidBodyDesc desc;
    desc.group = group;
    desc.mask = mask;
    ASSERT_EQ(testmodels::setRigidBodies(model, {desc}, {0}), 1);
}

}  // namespace

TEST_F(PhysicsTest, WorldHasGravityAndAStaticGroundPlane) {
    btDiscreteDynamicsWorld* world = physicsWorld();
    ASSERT_NE(world, nullptr);
    EXPECT_TRUE(createPhysicsWorld());  // a second call keeps the same world
    EXPECT_EQ(physicsWorld(), world);
    // 9.8 m/s^2 at ten model units to the metre, what characters' springs are tuned for.
    EXPECT_FLOAT_EQ(world->getGravity().y(), -98.0f);
    EXPECT_FLOAT_EQ(world->getGravity().y(), -kGravity);
    ASSERT_EQ(world->getNumCollisionObjects(), 1);
    btCollisionObject* ground = world->getCollisionObjectArray()[0];
    EXPECT_TRUE(ground->isStaticObject());
    EXPECT_EQ(ground->getCollisionShape()->getShapeType(), STATIC_PLANE_PROXYTYPE);
    EXPECT_FLOAT_EQ(ground->getFriction(), 0.5f);
}

TEST(PhysicsWorldLifetime, DestroyIsSafeTwiceAndStepWithoutWorldDoesNothing) {
    destroyPhysicsWorld();
    stepPhysics(1.0f);
    ASSERT_TRUE(createPhysicsWorld());
    destroyPhysicsWorld();
    destroyPhysicsWorld();
    EXPECT_EQ(physicsWorld(), nullptr);
}

TEST_F(PhysicsTest, PausedStepMovesNothing) {
    ScopedModel s;
    fallingSphere(s.model, 50.0f);
    btRigidBody* body = s.model.rigidBodies[0].body;
    stepPhysics(1.0f);
    const btVector3 before = originOf(body);
    const btVector3 velocity = body->getLinearVelocity();
    stepPhysics(0.0f);
    EXPECT_EQ(originOf(body), before);
    EXPECT_EQ(body->getLinearVelocity(), velocity);
}

TEST_F(PhysicsTest, LongStallIsCappedAtAThirdOfASecondOfSubsteps) {
    ScopedModel s, stalled;
    fallingSphere(s.model, 100.0f);
    fallingSphere(stalled.model, 100.0f);
    stalled.model.bones[0].restPosition[0] = 10.0f;
    btRigidBody* body = s.model.rigidBodies[0].body;
    // Ten frames are a third of a second: twenty substeps of 1/60 s.
    EXPECT_EQ(stepPhysics(10.0f), 20);
    // Semi-implicit Euler over n steps of dt: v = n g dt, fallen g dt^2 n (n + 1) / 2.
    const float dt = 1.0f / 60.0f;
    EXPECT_NEAR(body->getLinearVelocity().y(), -kGravity * 20 * dt, 1e-3f);
    EXPECT_NEAR(originOf(body).y(), 100.0f - kGravity * dt * dt * 210.0f, 1e-3f);
    // A stall three times as long simulates no more than that.
    EXPECT_EQ(stepPhysics(30.0f), 20);
    EXPECT_NEAR(body->getLinearVelocity().y(), -kGravity * 40 * dt, 1e-3f);
}

TEST_F(PhysicsTest, GroupsAndMasksDecideWhetherTheGroundStopsABody) {
    ScopedModel resting, maskedOut, staticGroup;
    fallingSphere(resting.model, 5.0f);
    fallingSphere(maskedOut.model, 5.0f, 0, 0xFFFD);  // mask lacks the ground's group
    fallingSphere(staticGroup.model, 5.0f, 1);        // group 2 is the static filter itself
    resting.model.bones[0].restPosition[0] = 10.0f;
    for (int i = 0; i < 300; ++i) stepPhysics(1.0f);
    EXPECT_NEAR(originOf(resting.model.rigidBodies[0].body).y(), 1.0f, 0.05f);  // radius 1 on y = 0
    EXPECT_LT(originOf(maskedOut.model.rigidBodies[0].body).y(), -10.0f);
    EXPECT_LT(originOf(staticGroup.model.rigidBodies[0].body).y(), -10.0f);
}

TEST_F(PhysicsTest, DestroyingTheWorldFirstLeavesModelsSafeToRelease) {
    ScopedModel s;
    testmodels::makeLegModel(s.model);
    RigidBodyDesc anchor, swing;
    anchor.mode = 0;
    ASSERT_EQ(testmodels::setRigidBodies(s.model, {anchor, swing}, {1, 2}), 2);
    ASSERT_EQ(testmodels::setJoints(s.model, {testmodels::JointDesc{}}, {{0, 1}}), 1);
    stepPhysics(1.0f);
    destroyPhysicsWorld();
    EXPECT_EQ(s.model.rigidBodies[0].body, nullptr);
    EXPECT_EQ(s.model.rigidBodies[1].body, nullptr);
    ASSERT_TRUE(createPhysicsWorld());  // a later world knows nothing of the old joint
    writeBodiesToBones(s.model);
    resetRigidBodies(s.model);
    pullBodiesToBones(s.model, 1.0f);
    testmodels::freeTestModel(s.model);
    EXPECT_EQ(physicsWorld()->getNumCollisionObjects(), 1);
}

TEST_F(PhysicsTest, ReleasingBodiesBeforeTheirJointsKeepsTheWorldSteppable) {
    ScopedModel s;
    testmodels::setBones(s.model, {{"a", 0, 10, 0}, {"b", 0, 8, 0, 0}});
    RigidBodyDesc anchor, swing;
    anchor.mode = 0;
    ASSERT_EQ(testmodels::setRigidBodies(s.model, {anchor, swing}, {0, 1}), 2);
    ASSERT_EQ(testmodels::setJoints(s.model, {testmodels::JointDesc{}}, {{0, 1}}), 1);
    releaseRigidBody(s.model.rigidBodies[1]);
    EXPECT_EQ(physicsWorld()->getNumConstraints(), 0);
    stepPhysics(1.0f);
    delete[] s.model.joints;  // the constraint is deleted outside the world
    s.model.joints = nullptr;
    s.model.jointCount = 0;
}
