#include <btBulletDynamicsCommon.h>

#include <cmath>
#include <cstdio>

#include "base/ByteCursor.h"
#include "model/ModelData.h"
#include "physics/PhysicsWorld.h"
#include "physics/RigidBody.h"

namespace {

constexpr float kTwoPi = 6.2831855f;
constexpr float kPi = 3.1415927f;

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

btVector3 wrappedAngles(const float v[3]) { return btVector3(wrapAngle(v[0]), wrapAngle(v[1]), wrapAngle(v[2])); }

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

bool createJoint(cModelJoint& joint, cPMDRigidBody* a, cPMDRigidBody* b, const uint8_t* bytes) {
    releaseJoint(joint);
    if (!bytes) {
        std::fprintf(stderr, "createJoint: no joint definition; the joint is not created\n");
        return false;
    }
    ByteCursor c(bytes, kJointDefinitionBytes);
    JointDef def;
    readJointDef(c, def);
    return createJoint(joint, a, b, def);
}

bool createJoint(cModelJoint& joint, cPMDRigidBody* a, cPMDRigidBody* b, const JointDef& def) {
    releaseJoint(joint);
    if (!a || !b || !a->body || !b->body) {
        std::fprintf(stderr, "createJoint: a rigid body of the joint does not exist; the joint is not created\n");
        return false;
    }
    if (a == b) {
        std::fprintf(stderr, "createJoint: the joint links a rigid body to itself; the joint is not created\n");
        return false;
    }
    const char* bad = nullptr;
    if (!jointDefFinite(def, &bad)) {
        std::fprintf(stderr, "createJoint: the joint has a non-finite %s; not created\n", bad);
        return false;
    }
    btDiscreteDynamicsWorld* world = physicsWorld();
    if (!world) {
        std::fprintf(stderr, "createJoint: no physics world; the joint is not created\n");
        return false;
    }

    btMatrix3x3 rotation;
    rotation.setEulerZYX(def.rotation[0], def.rotation[1], def.rotation[2]);
    const btTransform frame(rotation, toBtVector(def.position));
    const btTransform frameInA = a->body->getWorldTransform().inverse() * frame;
    const btTransform frameInB = b->body->getWorldTransform().inverse() * frame;

    auto* c = new btGeneric6DofSpringConstraint(*a->body, *b->body, frameInA, frameInB, true);
    c->setLinearLowerLimit(toBtVector(def.linearLower));
    c->setLinearUpperLimit(toBtVector(def.linearUpper));
    c->setAngularLowerLimit(wrappedAngles(def.angularLower));
    c->setAngularUpperLimit(wrappedAngles(def.angularUpper));

    for (int i = 0; i < 3; ++i) {
        if (def.linearSpring[i] != 0.0f) {
            c->enableSpring(i, true);
            c->setStiffness(i, def.linearSpring[i]);
        }
        c->enableSpring(3 + i, true);
        c->setStiffness(3 + i, def.angularSpring[i]);
    }
    world->addConstraint(c, false);
    joint.constraint = c;
    return true;
}
