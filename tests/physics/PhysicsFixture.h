// A fresh physics world around each physics test, torn down after the test's models.
#pragma once

#include <gtest/gtest.h>

#include <btBulletDynamicsCommon.h>

#include <memory>

#include "physics/PhysicsWorld.h"

class PhysicsTest : public ::testing::Test {
protected:
    void SetUp() override { world_ = std::make_unique<PhysicsWorld>(); }
    void TearDown() override { world_.reset(); }

    PhysicsWorld& world() { return *world_; }
    btDiscreteDynamicsWorld& bullet() { return world_->bullet(); }
    int step(float elapsedFrames) { return world_->step(elapsedFrames); }

    std::unique_ptr<PhysicsWorld> world_;
};

inline btVector3 originOf(const btRigidBody* body) { return body->getWorldTransform().getOrigin(); }
