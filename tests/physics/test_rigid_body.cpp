#include <cmath>
#include <cstring>
#include <string>

#include "PhysicsFixture.h"
#include "animation/MathUtil.h"
#include "animation/Skeleton.h"
#include "common/TestModels.h"
#include "physics/RigidBody.h"

using testmodels::RigidBodyDesc;
using testmodels::ScopedModel;

namespace {

void setBonePosition(cBone& bone, float x, float y, float z) {
    bone.globalMatrix[12] = x;
    bone.globalMatrix[13] = y;
    bone.globalMatrix[14] = z;
}

void expectVector(const btVector3& v, float x, float y, float z, float tol = 1e-5f) {
    EXPECT_NEAR(v.x(), x, tol);
    EXPECT_NEAR(v.y(), y, tol);
    EXPECT_NEAR(v.z(), z, tol);
}

}  // namespace

TEST_F(PhysicsTest, RecordFieldsReachTheBulletBody) {
    ScopedModel s;
    testmodels::setBones(s.model, {{"a", 0, 10, 0}, {"b", 0, 12, 0, 0}});
    RigidBodyDesc box;
    box.group = 3;
    box.mask = 0x00F0;
    box.shape = 1;
    box.size[0] = 1.0f;
    box.size[1] = 2.0f;
    box.size[2] = 3.0f;
    box.position[0] = 0.5f;
    box.rotation[2] = 0.3f;
    box.mass = 2.0f;
    box.linearDamping = 0.25f;
    box.angularDamping = 0.75f;
    box.restitution = 0.125f;
    box.friction = 0.625f;
    box.mode = 1;
    RigidBodyDesc capsule;
    capsule.shape = 2;
    capsule.size[0] = 0.5f;
    capsule.size[1] = 4.0f;
    ASSERT_EQ(testmodels::setRigidBodies(world(), s.model, {box, capsule}, {1, 0}), 2);

    const cPMDRigidBody& rb = s.model.physics.bodies[0];
    btRigidBody* body = rb.body;
    EXPECT_EQ(body->getBroadphaseHandle()->m_collisionFilterGroup, 8);  // 1 << 3
    EXPECT_EQ(body->getBroadphaseHandle()->m_collisionFilterMask, 0x00F0);
    ASSERT_EQ(rb.shape->getShapeType(), BOX_SHAPE_PROXYTYPE);
    expectVector(static_cast<btBoxShape*>(rb.shape)->getHalfExtentsWithMargin(), 1.0f, 2.0f, 3.0f);
    EXPECT_FLOAT_EQ(body->getInvMass(), 0.5f);
    EXPECT_FLOAT_EQ(body->getLinearDamping(), 0.25f);
    EXPECT_FLOAT_EQ(body->getAngularDamping(), 0.75f);
    EXPECT_FLOAT_EQ(body->getRestitution(), 0.125f);
    EXPECT_FLOAT_EQ(body->getFriction(), 0.625f);
    EXPECT_EQ(body->getLinearSleepingThreshold(), 0.0f);
    EXPECT_EQ(body->getAngularSleepingThreshold(), 0.0f);
    // Starts at the bone plus the offset, turned by the offset only.
    expectVector(originOf(body), 0.5f, 12.0f, 0.0f);
    btScalar yaw, pitch, roll;
    body->getWorldTransform().getBasis().getEulerZYX(yaw, pitch, roll);
    EXPECT_NEAR(yaw, 0.3f, 1e-5f);
    EXPECT_EQ(rb.bone, &s.model.bones[1]);
    EXPECT_FALSE(rb.attachedToCentre);

    const cPMDRigidBody& cap = s.model.physics.bodies[1];
    ASSERT_EQ(cap.shape->getShapeType(), CAPSULE_SHAPE_PROXYTYPE);
    EXPECT_FLOAT_EQ(static_cast<btCapsuleShape*>(cap.shape)->getRadius(), 0.5f);
    EXPECT_FLOAT_EQ(static_cast<btCapsuleShape*>(cap.shape)->getHalfHeight(), 2.0f);
    EXPECT_EQ(cap.body->getBroadphaseHandle()->m_collisionFilterGroup, 1);
}

TEST_F(PhysicsTest, InvalidRecordsCreateNothingAndSaySoInOneLine) {
    ScopedModel s;
    testmodels::setBones(s.model, {{"a", 0, 10, 0}});
    RigidBodyDesc badShape, badMode, good, nanMass;
    badShape.shape = 3;
    badMode.mode = 3;
    nanMass.mass = std::nanf("");
    cPMDRigidBody rb;
    struct Case {
        RigidBodyDesc desc;
        cBone* bone;
        const char* says;
    } cases[] = {{good, nullptr, "bone"}, {badShape, s.model.bones.data(), "shape 3"}, {badMode, s.model.bones.data(), "mode 3"},
                 {nanMass, s.model.bones.data(), "non-finite"}};
    for (const Case& c : cases) {
        const auto def = testmodels::encodeRigidBody(c.desc);
        std::string problem;
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(createRigidBody(world(), rb, def.data(), c.bone, &problem)) << c.says;
        // The words come back to the caller; physics itself prints nothing.
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        EXPECT_NE(problem.find(c.says), std::string::npos) << problem;
        EXPECT_EQ(problem.find("createRigidBody: "), 0u) << problem;
        EXPECT_EQ(problem.find('\n'), std::string::npos) << problem;  // one line
        EXPECT_EQ(rb.body, nullptr);
        EXPECT_EQ(rb.shape, nullptr);
    }
    EXPECT_EQ(bullet().getNumCollisionObjects(), 1);

    cModelJoint joint;
    const auto jdef = testmodels::encodeJoint({});
    std::string missing, itself;
    EXPECT_FALSE(createJoint(world(), joint, &rb, nullptr, jdef.data(), &missing));
    EXPECT_NE(missing.find("createJoint: a rigid body of the joint does not exist"), std::string::npos) << missing;
    const auto goodDef = testmodels::encodeRigidBody(good);
    ASSERT_TRUE(createRigidBody(world(), rb, goodDef.data(), s.model.bones.data()));
    EXPECT_FALSE(createJoint(world(), joint, &rb, &rb, jdef.data(), &itself));
    EXPECT_NE(itself.find("createJoint: the joint links a rigid body to itself"), std::string::npos) << itself;
    EXPECT_EQ(joint.constraint, nullptr);
    EXPECT_EQ(bullet().getNumConstraints(), 0);
}

TEST_F(PhysicsTest, FollowingBodyIsKinematicWhateverItsMassAndTracksItsBone) {
    ScopedModel s;
    testmodels::setBones(s.model, {{"arm", 0, 10, 0}});
    RigidBodyDesc desc;
    desc.mode = 0;
    desc.mass = 5.0f;
    desc.position[1] = 1.0f;
    ASSERT_EQ(testmodels::setRigidBodies(world(), s.model, {desc}, {0}), 1);
    btRigidBody* body = s.model.physics.bodies[0].body;
    EXPECT_EQ(body->getInvMass(), 0.0f);
    EXPECT_TRUE(body->isKinematicObject());
    EXPECT_EQ(body->getActivationState(), DISABLE_DEACTIVATION);

    // Turn the bone a quarter about z and move it: the offset (0, 1, 0) turns with it.
    cBone& bone = s.model.bones[0];
    float q[4] = {0.0f, 0.0f, std::sin(0.25f * static_cast<float>(M_PI)), std::cos(0.25f * static_cast<float>(M_PI))};
    std::memcpy(bone.rotation, q, sizeof(q));
    bone.translation[0] = 3.0f;
    updateBoneTransform(bone);
    for (int i = 0; i < 3; ++i) step(1.0f);
    expectVector(originOf(body), 2.0f, 10.0f, 0.0f);
    // Following bodies never write their bone.
    const float before = bone.globalMatrix[12];
    writeBodiesToBones(s.model.physics);
    EXPECT_EQ(bone.globalMatrix[12], before);
}

TEST_F(PhysicsTest, SimulatedBodiesWriteTheirBonesExceptOnTheCentre) {
    ScopedModel s;
    testmodels::setBones(s.model, {{cp932::kCentre, 0, 10, 0}, {"tail", 3, 10, 0}});
    RigidBodyDesc desc;
    desc.position[1] = 1.0f;
    ASSERT_EQ(testmodels::setRigidBodies(world(), s.model, {desc, desc}, {0, 1}), 2);
    EXPECT_TRUE(s.model.physics.bodies[0].attachedToCentre);
    for (int i = 0; i < 10; ++i) step(1.0f);
    const btVector3 centreBody = originOf(s.model.physics.bodies[0].body);
    EXPECT_LT(centreBody.y(), 10.9f);  // simulated: it fell
    const btVector3 tailBody = originOf(s.model.physics.bodies[1].body);

    writeBodiesToBones(s.model.physics);
    EXPECT_EQ(s.model.bones[0].globalMatrix[13], 10.0f);
    // The tail bone sits where the body is, less the body's offset from it.
    EXPECT_NEAR(s.model.bones[1].globalMatrix[12], tailBody.x(), 1e-5f);
    EXPECT_NEAR(s.model.bones[1].globalMatrix[13], tailBody.y() - 1.0f, 1e-5f);
    EXPECT_EQ(s.model.bones[1].globalMatrix[15], 1.0f);
}

TEST_F(PhysicsTest, SkinningFollowsASimulatedBody) {
    ScopedModel s;
    testmodels::setBones(s.model, {{"hair", 0, 10, 0}});
    testmodels::VertexDesc v{};
    v.position[1] = 9.0f;
    testmodels::setVertices(s.model, {v});
    ASSERT_EQ(testmodels::setRigidBodies(world(), s.model, {RigidBodyDesc{}}, {0}), 1);
    for (int i = 0; i < 5; ++i) step(1.0f);
    const float drop = 10.0f - originOf(s.model.physics.bodies[0].body).y();
    ASSERT_GT(drop, 0.1f);
    skinModel(s.model);
    EXPECT_NEAR(s.model.skin.positions[1], 9.0f - drop, 1e-4f);
}

TEST_F(PhysicsTest, PullGainIsFifthOfElapsedCappedAtOne) {
    ScopedModel s;
    testmodels::setBones(s.model, {{"skirt", 0, 10, 0}});
    RigidBodyDesc desc;
    desc.mode = 2;
    desc.position[2] = 1.0f;
    ASSERT_EQ(testmodels::setRigidBodies(world(), s.model, {desc}, {0}), 1);
    btRigidBody* body = s.model.physics.bodies[0].body;
    const btVector3 velocity(1.0f, 2.0f, 3.0f);
    body->setLinearVelocity(velocity);

    setBonePosition(s.model.bones[0], 10.0f, 10.0f, 0.0f);
    pullBodiesToBones(s.model.physics, 1.0f);
    expectVector(originOf(body), 2.0f, 10.0f, 1.0f);  // 0.2 of the way to (10, 10, 1)
    pullBodiesToBones(s.model.physics, 10.0f);
    expectVector(originOf(body), 10.0f, 10.0f, 1.0f);  // all the way
    EXPECT_EQ(body->getLinearVelocity(), velocity);
    pullBodiesToBones(s.model.physics, 0.0f);
    expectVector(originOf(body), 10.0f, 10.0f, 1.0f);
}

TEST_F(PhysicsTest, ResetPutsBodiesBackWithoutDriftingTheirTurn) {
    ScopedModel s;
    testmodels::setBones(s.model, {{"ribbon", 0, 10, 0}});
    RigidBodyDesc desc;
    desc.position[0] = 1.0f;
    desc.rotation[0] = 0.4f;
    ASSERT_EQ(testmodels::setRigidBodies(world(), s.model, {desc}, {0}), 1);
    btRigidBody* body = s.model.physics.bodies[0].body;
    const btQuaternion start = body->getWorldTransform().getRotation();
    body->setAngularVelocity(btVector3(0, 3, 0));
    for (int i = 0; i < 20; ++i) step(1.0f);
    for (int restart = 0; restart < 3; ++restart) {
        resetRigidBodies(s.model.physics);
        expectVector(originOf(body), 1.0f, 10.0f, 0.0f);
        EXPECT_EQ(body->getLinearVelocity(), btVector3(0, 0, 0));
        EXPECT_EQ(body->getAngularVelocity(), btVector3(0, 0, 0));
        EXPECT_NEAR(std::fabs(body->getWorldTransform().getRotation().dot(start)), 1.0f, 1e-5f);
    }
}
