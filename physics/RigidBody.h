// One rigid body or spring joint in a physics world, made from its definition and tied to
// a bone. Mode 0 bodies follow their bone (kinematic, through btKinematicMotionState);
// modes 1 and 2 are simulated (physics/ModelBodies.h couples a model's set to its bones).
//
// Each record knows the world it is in and the world tells it when it goes first, so a
// model and the world may be torn down in either order. Nothing here prints: what could
// not be made comes back as the line to report.
//
// The record fields come parsed (model/BodyDefinition.h); the byte forms below read the
// 61 and 96 bytes a PMD record holds after its name and indices (offsets 22 and 28).
#pragma once

#include <btBulletDynamicsCommon.h>

#include <cstdint>
#include <string>

#include "model/ModelData.h"
#include "model/BodyDefinition.h"

inline btVector3 toBtVector(const float v[3]) { return btVector3(v[0], v[1], v[2]); }

class PhysicsWorld;

// One spring joint between two rigid bodies. The destructor removes the constraint from
// its world (when that still holds it) and deletes it.
struct cModelJoint {
    btTypedConstraint* constraint = nullptr;  // owned
    PhysicsWorld* world = nullptr;            // the world it was added to; null once that is gone

    cModelJoint() = default;
    ~cModelJoint();
    cModelJoint(const cModelJoint&) = delete;
    cModelJoint& operator=(const cModelJoint&) = delete;
};

class cPMDRigidBody {
public:
    // Drives a mode 0 body from its bone: Bullet asks it for the body's transform every step.
    class btKinematicMotionState : public btMotionState {
    public:
        btKinematicMotionState(const btTransform& boneOffset, const btTransform& startTransform, cBone* bone,
                               const PhysicsWorld& world);
        ~btKinematicMotionState() override = default;
        // The bone's globalMatrix as a rigid transform x boneOffset; inside a frame of
        // several substeps, that far of the way from frameStart (see
        // PhysicsWorld::kinematicBlend).
        void getWorldTransform(btTransform& worldTrans) const override;
        // Kept only for inspection; the bone stays the source of truth.
        void setWorldTransform(const btTransform& worldTrans) override;

        btTransform lastTransform;
        btTransform boneOffset;
        btTransform startTransform;
        // Where the body stood when the frame's substeps began: the last place handed to
        // Bullet before the world's frame count moved on.
        mutable btTransform frameStart;
        mutable btTransform given;
        mutable uint64_t frame = 0;
        cBone* bone;
        const PhysicsWorld* world;  // the world stepping it, which frees this state with the body
    };

    cPMDRigidBody();
    // Frees the Bullet objects (releaseRigidBody); safe when never created or when the world
    // is already gone.
    ~cPMDRigidBody();
    cPMDRigidBody(const cPMDRigidBody&) = delete;
    cPMDRigidBody& operator=(const cPMDRigidBody&) = delete;

    btCollisionShape* shape = nullptr;  // owned
    btRigidBody* body = nullptr;        // owned, with its motion state
    PhysicsWorld* world = nullptr;      // the world body is in; null once that is gone
    btTransform boneOffset;             // body relative to its bone
    btTransform inverseBoneOffset;
    cBone* bone = nullptr;
    int32_t mode = 0;
    bool attachedToCentre = false;  // the bone is "センター": never written back
};

// Creates the body and adds it to world; def.position is relative to the bone's current
// position. A null bone, a shape or mode outside 0..2, or a value that is not finite
// creates nothing and returns false, with the line to report in *problem (may be null).
bool createRigidBody(PhysicsWorld& world, cPMDRigidBody& body, const RigidBodyDef& def, cBone* bone,
                     std::string* problem = nullptr);
// The same from the 61 definition bytes (null: nothing created, false).
bool createRigidBody(PhysicsWorld& world, cPMDRigidBody& body, const uint8_t* definition61, cBone* bone,
                     std::string* problem = nullptr);

// Creates the spring joint between a and b and adds it to world (def.position in model
// space, the bodies where they stand now). a or b null or without a Bullet body, a body
// joined to itself, or a value that is not finite: nothing created, false, the line to
// report in *problem (may be null).
bool createJoint(PhysicsWorld& world, cModelJoint& joint, cPMDRigidBody* a, cPMDRigidBody* b, const JointDef& def,
                 std::string* problem = nullptr);
// The same from the 96 definition bytes.
bool createJoint(PhysicsWorld& world, cModelJoint& joint, cPMDRigidBody* a, cPMDRigidBody* b,
                 const uint8_t* definition96, std::string* problem = nullptr);

// Puts a simulated body back on its bone at rest velocity (mode 0 bodies move to the
// bone's pose at once, so the next frame starts there).
void resetRigidBody(cPMDRigidBody& body);

// Removes the body from its world and frees it, its motion state and its shape.
void releaseRigidBody(cPMDRigidBody& body);

// For PhysicsWorld's teardown: the body or joint record owning a Bullet object the world
// is about to free (or keep out of it) lets go of it and of the world.
void forgetBody(btRigidBody* body);
void forgetWorld(btTypedConstraint* constraint);
