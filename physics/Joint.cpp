#include <btBulletDynamicsCommon.h>

#include <cmath>
#include <cstdio>
#include <string>

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
    if (joint.constraint) {
        // After a body of the joint was released first the constraint is no longer in the
        // world; removing it anyway would touch a body that may be gone.
        btDiscreteDynamicsWorld* world = joint.world ? &joint.world->bullet() : nullptr;
        if (world && inWorld(world, joint.constraint)) world->removeConstraint(joint.constraint);
        delete joint.constraint;
        joint.constraint = nullptr;
    }
    joint.world = nullptr;
}

void tell(std::string* problem, const char* line) {
    if (problem) *problem = line;
}

}  // namespace

cModelJoint::~cModelJoint() { releaseJoint(*this); }

void forgetWorld(btTypedConstraint* constraint) {
    // The world holds only joints' constraints, each pointing back at its record.
    static_cast<cModelJoint*>(constraint->getUserConstraintPtr())->world = nullptr;
}

bool createJoint(PhysicsWorld& world, cModelJoint& joint, cPMDRigidBody* a, cPMDRigidBody* b, const uint8_t* bytes,
                 std::string* problem) {
    releaseJoint(joint);
    if (!bytes) {
        tell(problem, "createJoint: no joint definition; the joint is not created");
        return false;
    }
    ByteCursor c(bytes, kJointDefinitionBytes);
    JointDef def;
    readJointDef(c, def);
    return createJoint(world, joint, a, b, def, problem);
}

bool createJoint(PhysicsWorld& world, cModelJoint& joint, cPMDRigidBody* a, cPMDRigidBody* b, const JointDef& def,
                 std::string* problem) {
    releaseJoint(joint);
    if (!a || !b || !a->body || !b->body) {
        tell(problem, "createJoint: a rigid body of the joint does not exist; the joint is not created");
        return false;
    }
    if (a == b) {
        tell(problem, "createJoint: the joint links a rigid body to itself; the joint is not created");
        return false;
    }
    const char* bad = nullptr;
    if (!jointDefFinite(def, &bad)) {
        char line[128];
        std::snprintf(line, sizeof line, "createJoint: the joint has a non-finite %s; not created", bad);
        tell(problem, line);
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
    c->setUserConstraintPtr(&joint);
    world.bullet().addConstraint(c, false);
    joint.constraint = c;
    joint.world = &world;
    return true;
}
