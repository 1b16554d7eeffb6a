// Rigid bodies and spring joints declared by a PMD model, and their coupling to its bones.
//
// Mode 0 bodies follow their bone (kinematic, through btKinematicMotionState); modes 1 and
// 2 are simulated and write their bone's matrix before skinning; mode 2 bodies are also
// pulled toward their bone's position every frame.
//
// The record fields come parsed (model/BodyDefinition.h); the byte forms below read the
// 61 and 96 bytes a PMD record holds after its name and indices (offsets 22 and 28).
#pragma once

#include <btBulletDynamicsCommon.h>

#include <cstdint>

#include "character/Model.h"
#include "model/BodyDefinition.h"

// One spring joint between two rigid bodies. The destructor (physics/Joint.cpp) removes
// the constraint from the physics world and deletes it.
struct cModelJoint {
    btTypedConstraint* constraint = nullptr;

    cModelJoint() = default;
    ~cModelJoint();
    cModelJoint(const cModelJoint&) = delete;
    cModelJoint& operator=(const cModelJoint&) = delete;
};

inline btVector3 toBtVector(const float v[3]) { return btVector3(v[0], v[1], v[2]); }

class cPMDRigidBody {
public:
    // Drives a mode 0 body from its bone: Bullet asks it for the body's transform every step.
    class btKinematicMotionState : public btMotionState {
    public:
        btKinematicMotionState(const btTransform& boneOffset, const btTransform& startTransform, cBone* bone);
        ~btKinematicMotionState() override = default;
        // The bone's globalMatrix as a rigid transform x boneOffset; inside a frame of
        // several substeps, that far of the way from frameStart (see kinematicBlend).
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
    };

    cPMDRigidBody();
    // Frees the Bullet objects (releaseRigidBody); safe when never created or when the world
    // is already gone.
    ~cPMDRigidBody();
    cPMDRigidBody(const cPMDRigidBody&) = delete;
    cPMDRigidBody& operator=(const cPMDRigidBody&) = delete;

    btCollisionShape* shape = nullptr;  // owned
    btRigidBody* body = nullptr;        // owned, with its motion state
    btTransform boneOffset;             // body relative to its bone
    btTransform inverseBoneOffset;
    cBone* bone = nullptr;
    int32_t mode = 0;
    bool attachedToCentre = false;  // the bone is "センター": never written back
};

// Creates the body and adds it to the world; def.position is relative to the bone's
// current position. A null bone, a shape or mode outside 0..2, a value that is not
// finite, or a missing world creates nothing: a message goes to standard error and
// false is returned.
bool createRigidBody(cPMDRigidBody& body, const RigidBodyDef& def, cBone* bone);
// The same from the 61 definition bytes (null: nothing created, message, false).
bool createRigidBody(cPMDRigidBody& body, const uint8_t* definition61, cBone* bone);

// Creates the spring joint between a and b and adds it to the world (def.position in
// model space, the bodies where they stand now). a or b null or without a Bullet body:
// nothing created, message, false.
bool createJoint(cModelJoint& joint, cPMDRigidBody* a, cPMDRigidBody* b, const JointDef& def);
// The same from the 96 definition bytes.
bool createJoint(cModelJoint& joint, cPMDRigidBody* a, cPMDRigidBody* b, const uint8_t* definition96);

// Puts every simulated body back on its bone at rest velocity (mode 0 bodies need nothing).
void resetRigidBodies(cModel& model);
void resetRigidBody(cPMDRigidBody& body);

// Moves each mode 2 body toward where its bone carries it (the bone's transform x the
// offset's origin) by min(elapsed x 0.2, 1) of the way.
void pullBodiesToBones(cModel& model, float elapsed);

// Sets the globalMatrix of each simulated body's bone from the body (bones named
// "センター" excepted). Children are not recomputed.
void writeBodiesToBones(cModel& model);

// Removes the body from the world and frees it, its motion state and its shape.
void releaseRigidBody(cPMDRigidBody& body);
