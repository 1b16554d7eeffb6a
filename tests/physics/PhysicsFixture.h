// A fresh physics world around each physics test, torn down after the test's models.
#pragma once

#include <gtest/gtest.h>

#include <btBulletDynamicsCommon.h>

#include "physics/PhysicsWorld.h"

class PhysicsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(createPhysicsWorld()); }
    void TearDown() override { destroyPhysicsWorld(); }
};

inline btVector3 originOf(const btRigidBody* body) { return body->getWorldTransform().getOrigin(); }
