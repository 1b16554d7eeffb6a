#include "physics/RigidBody.h"

#include <cmath>
#include <cstdio>

#include "base/ByteCursor.h"
#include "physics/PhysicsWorld.h"

namespace {

btVector3 bonePosition(const cBone& bone) {
    return btVector3(bone.globalMatrix[12], bone.globalMatrix[13], bone.globalMatrix[14]);
}

// The bone's globalMatrix as a rigid transform; any scale in it is taken as it stands.
btTransform boneTransform(const cBone& bone) {
    btTransform t;
    t.setFromOpenGLMatrix(bone.globalMatrix);
    return t;
}

void tell(std::string* problem, const char* line) {
    if (problem) *problem = line;
}

}  // namespace

cPMDRigidBody::btKinematicMotionState::btKinematicMotionState(const btTransform& offset, const btTransform& start,
                                                               cBone* b, const PhysicsWorld& w)
    : boneOffset(offset), startTransform(start), frameStart(start), given(start), bone(b), world(&w) {
    lastTransform.setIdentity();
}

void cPMDRigidBody::btKinematicMotionState::getWorldTransform(btTransform& worldTrans) const {
    worldTrans = boneTransform(*bone) * boneOffset;
    if (frame != world->frame()) {
        frame = world->frame();
        frameStart = given;
    }
    const float t = world->kinematicBlend();
    if (t < 1.0f) {
        const btVector3 origin = frameStart.getOrigin().lerp(worldTrans.getOrigin(), t);
        const btQuaternion turn = frameStart.getRotation().slerp(worldTrans.getRotation(), t);
        worldTrans = btTransform(turn, origin);
    }
    given = worldTrans;
}

void cPMDRigidBody::btKinematicMotionState::setWorldTransform(const btTransform& worldTrans) {
    lastTransform = worldTrans;
}

cPMDRigidBody::cPMDRigidBody() {
    boneOffset.setIdentity();
    inverseBoneOffset.setIdentity();
}

cPMDRigidBody::~cPMDRigidBody() { releaseRigidBody(*this); }

bool createRigidBody(PhysicsWorld& world, cPMDRigidBody& rb, const uint8_t* bytes, cBone* bone,
                     std::string* problem) {
    releaseRigidBody(rb);
    if (!bytes) {
        tell(problem, "createRigidBody: no rigid-body definition; the body is not created");
        return false;
    }
    ByteCursor c(bytes, kRigidBodyDefinitionBytes);
    RigidBodyDef def;
    readRigidBodyDef(c, def);
    return createRigidBody(world, rb, def, bone, problem);
}

bool createRigidBody(PhysicsWorld& world, cPMDRigidBody& rb, const RigidBodyDef& def, cBone* bone,
                     std::string* problem) {
    releaseRigidBody(rb);
    if (!bone) {
        tell(problem, "createRigidBody: the rigid body's bone does not exist; the body is not created");
        return false;
    }
    char line[256];
    if (def.shape > 2) {
        std::snprintf(line, sizeof line, "createRigidBody: rigid body on bone \"%.20s\" has unknown shape %u; not created",
                      bone->name, def.shape);
        tell(problem, line);
        return false;
    }
    if (def.mode > 2) {
        std::snprintf(line, sizeof line, "createRigidBody: rigid body on bone \"%.20s\" has unknown mode %u; not created",
                      bone->name, def.mode);
        tell(problem, line);
        return false;
    }
    // One NaN in the world spreads to every body that touches it, the other model's too.
    const char* bad = nullptr;
    if (!rigidBodyDefFinite(def, &bad)) {
        std::snprintf(line, sizeof line,
                      "createRigidBody: rigid body on bone \"%.20s\" has a non-finite %s; not created", bone->name,
                      bad);
        tell(problem, line);
        return false;
    }

    const btVector3 size = toBtVector(def.size);
    btCollisionShape* shape = nullptr;
    switch (def.shape) {
    case 0: shape = new btSphereShape(size.x()); break;
    case 1: shape = new btBoxShape(size); break;
    default: shape = new btCapsuleShape(size.x(), size.y()); break;
    }

    // Bodies that follow their bone are kinematic: mass 0 whatever the file says.
    const btScalar mass = def.mode == 0 ? 0.0f : def.mass;
    btVector3 inertia(0, 0, 0);
    if (mass != 0.0f) shape->calculateLocalInertia(mass, inertia);

    const btVector3 position = toBtVector(def.position);
    btMatrix3x3 rotation;
    rotation.setEulerZYX(def.rotation[0], def.rotation[1], def.rotation[2]);
    const btTransform offset(rotation, position);
    // Models load at their rest pose, so the bone's rotation is left out here.
    const btTransform start(rotation, bonePosition(*bone) + position);

    btMotionState* state;
    if (def.mode == 0) {
        state = new cPMDRigidBody::btKinematicMotionState(offset, start, bone, world);
    } else {
        state = new btDefaultMotionState(start, btTransform::getIdentity());
    }

    btRigidBody::btRigidBodyConstructionInfo info(mass, state, shape, inertia);
    info.m_linearDamping = def.linearDamping;
    info.m_angularDamping = def.angularDamping;
    info.m_restitution = def.restitution;
    info.m_friction = def.friction;
    info.m_additionalDamping = true;
    auto* body = new btRigidBody(info);
    if (def.mode == 0) {
        body->setCollisionFlags(body->getCollisionFlags() | btCollisionObject::CF_KINEMATIC_OBJECT);
        body->setActivationState(DISABLE_DEACTIVATION);
    }
    // Never let a body fall asleep: a sleeping skirt would freeze mid-swing.
    body->setSleepingThresholds(0.0f, 0.0f);
    // The world tells this record when it frees the body before the model lets go of it.
    body->setUserPointer(&rb);
    world.bullet().addRigidBody(body, static_cast<int>(1u << (def.group & 31)), static_cast<int>(def.mask));

    rb.shape = shape;
    rb.body = body;
    rb.world = &world;
    rb.boneOffset = offset;
    rb.inverseBoneOffset = offset.inverse();
    rb.bone = bone;
    rb.mode = def.mode;
    rb.attachedToCentre = namesEqual20(bone->name, cp932::kCentre);
    return true;
}

void resetRigidBody(cPMDRigidBody& rb) {
    if (!rb.body || !rb.bone) return;
    if (rb.mode == 0) {
        // A restart jumps to the first frame's pose: the next frame starts there rather
        // than sweeping the body across from where the last one ended.
        const btTransform t = boneTransform(*rb.bone) * rb.boneOffset;
        rb.body->setWorldTransform(t);
        rb.body->setInterpolationWorldTransform(t);
        auto* state = static_cast<cPMDRigidBody::btKinematicMotionState*>(rb.body->getMotionState());
        state->frameStart = t;
        state->given = t;
        return;
    }
    // The bone's transform times the offset: the creation-time placement at rest, and
    // unlike composing with the body's current orientation it does not drift further
    // with every restart. The offset turns with the bone too: a motion whose first frame turns the model
    // must find each body on its bone, or the joints snap it there on the first step.
    const btTransform t = boneTransform(*rb.bone) * rb.boneOffset;
    btRigidBody* body = rb.body;
    body->setCenterOfMassTransform(t);
    body->setLinearVelocity(btVector3(0, 0, 0));
    body->setAngularVelocity(btVector3(0, 0, 0));
    body->setInterpolationLinearVelocity(btVector3(0, 0, 0));
    body->setInterpolationAngularVelocity(btVector3(0, 0, 0));
    body->setInterpolationWorldTransform(body->getWorldTransform());
    body->clearForces();
}

void releaseRigidBody(cPMDRigidBody& rb) {
    if (rb.body) {
        if (rb.world) {
            btDiscreteDynamicsWorld* world = &rb.world->bullet();
            // A joint still holding this body would make the next step read freed memory;
            // its owner deletes the constraint later, outside the world.
            for (int i = world->getNumConstraints() - 1; i >= 0; --i) {
                btTypedConstraint* c = world->getConstraint(i);
                if (&c->getRigidBodyA() == rb.body || &c->getRigidBodyB() == rb.body) {
                    world->removeConstraint(c);
                    forgetWorld(c);
                }
            }
            world->removeRigidBody(rb.body);
        }
        delete rb.body->getMotionState();
        delete rb.body;
        rb.body = nullptr;
    }
    rb.world = nullptr;
    delete rb.shape;
    rb.shape = nullptr;
}

void forgetBody(btRigidBody* body) {
    if (auto* rb = static_cast<cPMDRigidBody*>(body->getUserPointer())) {
        rb->body = nullptr;
        rb->world = nullptr;
    }
}
