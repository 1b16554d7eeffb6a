#include <btBulletDynamicsCommon.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "model/ModelData.h"
#include "physics/PhysicsWorld.h"
#include "physics/RigidBody.h"

namespace {

constexpr int kPosition = 0;
constexpr int kRotation = 12;
constexpr int kLinearLower = 24;
constexpr int kLinearUpper = 36;
constexpr int kAngularLower = 48;
constexpr int kAngularUpper = 60;
constexpr int kLinearStiffness = 72;
constexpr int kAngularStiffness = 84;

constexpr float kTwoPi = 6.2831855f;
constexpr float kPi = 3.1415927f;

float readFloat(const uint8_t* p) {
    float v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

btVector3 readVector(const uint8_t* p) { return btVector3(readFloat(p), readFloat(p + 4), readFloat(p + 8)); }

// An angle brought into [-pi, pi] by whole turns.
float wrapAngle(float a) {
    a = std::fmod(a, kTwoPi);
    if (a < -kPi) {
        a += kTwoPi;
    } else if (a > kPi) {
        a -= kTwoPi;
    }
    return a;
}

btVector3 readAngles(const uint8_t* p) {
    const btVector3 v = readVector(p);
    return btVector3(wrapAngle(v.x()), wrapAngle(v.y()), wrapAngle(v.z()));
}

bool inWorld(btDiscreteDynamicsWorld* world, btTypedConstraint* constraint) {
    for (int i = world->getNumConstraints() - 1; i >= 0; --i) {
        if (world->getConstraint(i) == constraint) return true;
    }
    return false;
}

void releaseJoint(cModelJoint& joint) {
    if (!joint.constraint) return;
    // After the world was destroyed (or a body released first) the constraint is no longer
    // in it; removing it anyway would touch bodies that may be gone.
    btDiscreteDynamicsWorld* world = physicsWorld();
    if (world && inWorld(world, joint.constraint)) world->removeConstraint(joint.constraint);
    delete joint.constraint;
    joint.constraint = nullptr;
}

}  // namespace

cModelJoint::~cModelJoint() { releaseJoint(*this); }

bool createJoint(cModelJoint& joint, cPMDRigidBody* a, cPMDRigidBody* b, const uint8_t* def) {
    releaseJoint(joint);
    if (!def) {
        std::fprintf(stderr, "createJoint: no joint definition; the joint is not created\n");
        return false;
    }
    if (!a || !b || !a->body || !b->body) {
        std::fprintf(stderr, "createJoint: a rigid body of the joint does not exist; the joint is not created\n");
        return false;
    }
    if (a == b) {
        std::fprintf(stderr, "createJoint: the joint links a rigid body to itself; the joint is not created\n");
        return false;
    }
    for (int off = 0; off < kJointDefinitionBytes; off += 4) {
        if (!std::isfinite(readFloat(def + off))) {
            std::fprintf(stderr, "createJoint: the joint has a non-finite value at byte %d; not created\n", off);
            return false;
        }
    }
    btDiscreteDynamicsWorld* world = physicsWorld();
    if (!world) {
        std::fprintf(stderr, "createJoint: no physics world; the joint is not created\n");
        return false;
    }

    const btVector3 euler = readVector(def + kRotation);
    btMatrix3x3 rotation;
    rotation.setEulerZYX(euler.x(), euler.y(), euler.z());
    const btTransform frame(rotation, readVector(def + kPosition));
    const btTransform frameInA = a->body->getWorldTransform().inverse() * frame;
    const btTransform frameInB = b->body->getWorldTransform().inverse() * frame;

    auto* c = new btGeneric6DofSpringConstraint(*a->body, *b->body, frameInA, frameInB, true);
    c->setLinearLowerLimit(readVector(def + kLinearLower));
    c->setLinearUpperLimit(readVector(def + kLinearUpper));
    c->setAngularLowerLimit(readAngles(def + kAngularLower));
    c->setAngularUpperLimit(readAngles(def + kAngularUpper));

    const btVector3 linear = readVector(def + kLinearStiffness);
    const btVector3 angular = readVector(def + kAngularStiffness);
    for (int i = 0; i < 3; ++i) {
        if (linear[i] != 0.0f) {
            c->enableSpring(i, true);
            c->setStiffness(i, linear[i]);
        }
        c->enableSpring(3 + i, true);
        c->setStiffness(3 + i, angular[i]);
    }
    world->addConstraint(c, false);
    joint.constraint = c;
    return true;
}
