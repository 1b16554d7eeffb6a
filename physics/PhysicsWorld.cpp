#include "physics/PhysicsWorld.h"

#include <btBulletDynamicsCommon.h>

#include "physics/RigidBody.h"

PhysicsWorld::PhysicsWorld() {
    btDefaultCollisionConstructionInfo info;
    info.m_persistentManifoldPool = nullptr;
    info.m_collisionAlgorithmPool = nullptr;
    info.m_defaultMaxPersistentManifoldPoolSize = 4096;
    info.m_defaultMaxCollisionAlgorithmPoolSize = 4096;
    info.m_customCollisionAlgorithmMaxElementSize = 0;
    info.m_useEpaPenetrationAlgorithm = 1;
    configuration_ = std::make_unique<btDefaultCollisionConfiguration>(info);
    dispatcher_ = std::make_unique<btCollisionDispatcher>(configuration_.get());
    // Model units: a character is about 20 high, so +-3000 leaves ample room.
    broadphase_ = std::make_unique<btAxisSweep3>(btVector3(-3000, -3000, -3000), btVector3(3000, 3000, 3000), 1024,
                                                 nullptr, false);
    solver_ = std::make_unique<btSequentialImpulseConstraintSolver>();
    world_ = std::make_unique<btDiscreteDynamicsWorld>(dispatcher_.get(), broadphase_.get(), solver_.get(),
                                                       configuration_.get());
    world_->setGravity(btVector3(0.0f, -kGravity, 0.0f));

    groundShape_ = std::make_unique<btStaticPlaneShape>(btVector3(0, 1, 0), 0);
    btTransform identity;
    identity.setIdentity();
    // The ground body and its motion state are freed with every other object in the
    // world when it goes.
    auto* groundState = new btDefaultMotionState(identity, btTransform::getIdentity());
    btRigidBody::btRigidBodyConstructionInfo groundInfo(0.0f, groundState, groundShape_.get(), btVector3(0, 0, 0));
    world_->addRigidBody(new btRigidBody(groundInfo));
}

int PhysicsWorld::step(float elapsedFrames) {
    if (!(elapsedFrames > 0.0f)) return 0;
    constexpr double kSubstep = 1.0 / kPhysicsSubstepsPerSecond;
    pendingSeconds_ += static_cast<double>(elapsedFrames) / 30.0;
    // The allowance keeps a frame's float rounding from making 2 substeps 1.9999.
    int steps = static_cast<int>(pendingSeconds_ / kSubstep + 1e-4);
    if (steps > kMaxPhysicsSubsteps) {
        steps = kMaxPhysicsSubsteps;
        pendingSeconds_ = 0.0;
    } else {
        pendingSeconds_ -= steps * kSubstep;
        if (pendingSeconds_ < 0.0) pendingSeconds_ = 0.0;
    }
    // With no substep limit Bullet takes exactly one step of the time given, so the count
    // and the remainder stay ours rather than its float clock's.
    if (steps > 0) ++frame_;
    for (int i = 0; i < steps; ++i) {
        kinematicBlend_ = static_cast<float>(i + 1) / static_cast<float>(steps);
        world_->stepSimulation(kPhysicsSubstepSeconds, 0);
    }
    kinematicBlend_ = 1.0f;
    return steps;
}

PhysicsWorld::~PhysicsWorld() {
    // Joints stay owned by their models; taking them out first clears the references the
    // bodies hold to them before the bodies go. Every constraint in the world is a joint's
    // (createJoint), which must no longer reach for this world.
    for (int i = world_->getNumConstraints() - 1; i >= 0; --i) {
        btTypedConstraint* constraint = world_->getConstraint(i);
        world_->removeConstraint(constraint);
        forgetWorld(constraint);
    }
    btCollisionObjectArray& objects = world_->getCollisionObjectArray();
    for (int i = world_->getNumCollisionObjects() - 1; i >= 0; --i) {
        btCollisionObject* object = objects[i];
        btRigidBody* body = btRigidBody::upcast(object);
        if (body) {
            // A model still holding this body must not free it a second time.
            forgetBody(body);
            delete body->getMotionState();
        }
        world_->removeCollisionObject(object);
        delete object;
    }
}
