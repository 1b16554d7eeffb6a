#include "physics/PhysicsWorld.h"

#include <btBulletDynamicsCommon.h>


namespace {

// Everything the world needs lives exactly as long as the world.
btDefaultCollisionConfiguration* g_configuration = nullptr;
btCollisionDispatcher* g_dispatcher = nullptr;
btAxisSweep3* g_broadphase = nullptr;
btSequentialImpulseConstraintSolver* g_solver = nullptr;
btDiscreteDynamicsWorld* g_world = nullptr;
btCollisionShape* g_groundShape = nullptr;
// Simulated time owed to the world, below one substep; double so that thousands of
// frames of 1/60 s add up without drift.
double g_pendingSeconds = 0.0;
float g_kinematicBlend = 1.0f;
uint64_t g_physicsFrame = 1;

}  // namespace

bool createPhysicsWorld() {
    if (g_world) return true;

    btDefaultCollisionConstructionInfo info;
    info.m_persistentManifoldPool = nullptr;
    info.m_collisionAlgorithmPool = nullptr;
    info.m_defaultMaxPersistentManifoldPoolSize = 4096;
    info.m_defaultMaxCollisionAlgorithmPoolSize = 4096;
    info.m_customCollisionAlgorithmMaxElementSize = 0;
    info.m_useEpaPenetrationAlgorithm = 1;
    g_configuration = new btDefaultCollisionConfiguration(info);
    g_dispatcher = new btCollisionDispatcher(g_configuration);
    // Model units: a character is about 20 high, so +-3000 leaves ample room.
    g_broadphase = new btAxisSweep3(btVector3(-3000, -3000, -3000), btVector3(3000, 3000, 3000), 1024, nullptr, false);
    g_solver = new btSequentialImpulseConstraintSolver();
    g_world = new btDiscreteDynamicsWorld(g_dispatcher, g_broadphase, g_solver, g_configuration);
    g_world->setGravity(btVector3(0.0f, -kGravity, 0.0f));
    g_pendingSeconds = 0.0;

    g_groundShape = new btStaticPlaneShape(btVector3(0, 1, 0), 0);
    btTransform identity;
    identity.setIdentity();
    auto* groundState = new btDefaultMotionState(identity, btTransform::getIdentity());
    btRigidBody::btRigidBodyConstructionInfo groundInfo(0.0f, groundState, g_groundShape, btVector3(0, 0, 0));
    g_world->addRigidBody(new btRigidBody(groundInfo));
    return true;
}

int stepPhysics(float elapsedFrames) {
    if (!g_world || !(elapsedFrames > 0.0f)) return 0;
    constexpr double kSubstep = 1.0 / kPhysicsSubstepsPerSecond;
    g_pendingSeconds += static_cast<double>(elapsedFrames) / 30.0;
    // The allowance keeps a frame's float rounding from making 2 substeps 1.9999.
    int steps = static_cast<int>(g_pendingSeconds / kSubstep + 1e-4);
    if (steps > kMaxPhysicsSubsteps) {
        steps = kMaxPhysicsSubsteps;
        g_pendingSeconds = 0.0;
    } else {
        g_pendingSeconds -= steps * kSubstep;
        if (g_pendingSeconds < 0.0) g_pendingSeconds = 0.0;
    }
    // With no substep limit Bullet takes exactly one step of the time given, so the count
    // and the remainder stay ours rather than its float clock's.
    if (steps > 0) ++g_physicsFrame;
    for (int i = 0; i < steps; ++i) {
        g_kinematicBlend = static_cast<float>(i + 1) / static_cast<float>(steps);
        g_world->stepSimulation(kPhysicsSubstepSeconds, 0);
    }
    g_kinematicBlend = 1.0f;
    return steps;
}


void destroyPhysicsWorld() {
    if (g_world) {
        // Joints stay owned by their models; taking them out first clears the references
        // the bodies hold to them before the bodies go.
        for (int i = g_world->getNumConstraints() - 1; i >= 0; --i) {
            g_world->removeConstraint(g_world->getConstraint(i));
        }
        btCollisionObjectArray& objects = g_world->getCollisionObjectArray();
        for (int i = g_world->getNumCollisionObjects() - 1; i >= 0; --i) {
            btCollisionObject* object = objects[i];
            btRigidBody* body = btRigidBody::upcast(object);
            if (body) {
                // A model still holding this body must not free it a second time.
                if (auto** slot = static_cast<btRigidBody**>(body->getUserPointer())) *slot = nullptr;
                delete body->getMotionState();
            }
            g_world->removeCollisionObject(object);
            delete object;
        }
    }
    delete g_groundShape;
    g_groundShape = nullptr;
    delete g_world;
    g_world = nullptr;
    delete g_solver;
    g_solver = nullptr;
    delete g_broadphase;
    g_broadphase = nullptr;
    delete g_dispatcher;
    g_dispatcher = nullptr;
    delete g_configuration;
    g_configuration = nullptr;
    g_pendingSeconds = 0.0;
}

btDiscreteDynamicsWorld* physicsWorld() { return g_world; }

float kinematicBlend() { return g_kinematicBlend; }

uint64_t physicsFrame() { return g_physicsFrame; }
