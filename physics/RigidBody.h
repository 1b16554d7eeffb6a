// Rigid bodies and spring joints declared by a PMD model, and their coupling to its bones.
//
// Mode 0 bodies follow their bone (kinematic, through btKinematicMotionState); modes 1 and
// 2 are simulated and write their bone's matrix before skinning; mode 2 bodies are also
// pulled toward their bone's position every frame.
//
// Records are read from the file bytes with memcpy (little-endian, unaligned):
//   rigid body (61 bytes, from offset 22 of the file record): group u8, mask u16, shape u8,
//     size f32[3], position f32[3], rotation f32[3] (Euler, radians), mass, linear damping,
//     angular damping, restitution, friction (f32 each), mode u8.
//   joint (96 bytes, from offset 28 of the file record): position f32[3], rotation f32[3],
//     linear lower f32[3], linear upper f32[3], angular lower f32[3], angular upper f32[3],
//     linear stiffness f32[3], angular stiffness f32[3].
#pragma once

#include <btBulletDynamicsCommon.h>

#include <cstdint>

#include "model/ModelData.h"

constexpr int kRigidBodyDefinitionBytes = 61;
constexpr int kJointDefinitionBytes = 96;

class cPMDRigidBody {
public:
    // Drives a mode 0 body from its bone: Bullet asks it for the body's transform every step.
    class btKinematicMotionState : public btMotionState {
    public:
        btKinematicMotionState(const btTransform& boneOffset, const btTransform& startTransform, cBone* bone);
        ~btKinematicMotionState() override = default;
        // The bone's globalMatrix as a rigid transform x boneOffset.
        void getWorldTransform(btTransform& worldTrans) const override;
        // Kept only for inspection; the bone stays the source of truth.
        void setWorldTransform(const btTransform& worldTrans) override;

        btTransform lastTransform;
        btTransform boneOffset;
        btTransform startTransform;
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

// Creates the body from its 61 definition bytes and adds it to the world. A null bone, a
// shape or mode outside 0..2, or a missing world creates nothing: a message goes to
// standard error and false is returned.
bool createRigidBody(cPMDRigidBody& body, const uint8_t* definition61, cBone* bone);

// Creates the spring joint between a and b from its 96 definition bytes and adds it to the
// world. a or b null or without a Bullet body: nothing created, message, false.
bool createJoint(cModelJoint& joint, cPMDRigidBody* a, cPMDRigidBody* b, const uint8_t* definition96);

// Puts every simulated body back on its bone at rest velocity (mode 0 bodies need nothing).
void resetRigidBodies(cModel& model);
void resetRigidBody(cPMDRigidBody& body);

// Moves each mode 2 body toward its bone's position by min(elapsed x 0.2, 1) of the way.
void pullBodiesToBones(cModel& model, float elapsed);

// Sets the globalMatrix of each simulated body's bone from the body (bones named
// "センター" excepted). Children are not recomputed.
void writeBodiesToBones(cModel& model);

// Removes the body from the world and frees it, its motion state and its shape.
void releaseRigidBody(cPMDRigidBody& body);
