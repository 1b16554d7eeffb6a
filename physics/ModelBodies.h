// The rigid bodies and spring joints made in a physics world from a model's definitions
// (ModelData::rigidBodyDefs and jointDefs), and their coupling to the model's bones.
//
// Mode 0 bodies follow their bone (kinematic); modes 1 and 2 are simulated and write
// their bone's matrix before skinning; mode 2 bodies are also pulled toward their bone's
// position every frame. A frame runs: animation poses the bones, pullBodiesToBones, the
// world steps, writeBodiesToBones, animation poses the after-physics bones and skins.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/ModelData.h"
#include "physics/RigidBody.h"

class PhysicsWorld;

// One entry per definition, in the definitions' order; an entry that could not be made
// holds no Bullet body (or constraint). Joints are declared last so they go first: they
// hold their two bodies.
struct ModelBodies {
    std::vector<cPMDRigidBody> bodies;
    std::vector<cModelJoint> joints;

    ModelBodies() = default;
    ModelBodies(ModelBodies&&) = default;
    ModelBodies& operator=(ModelBodies&&) = default;

    // Removes every joint and body from its world and frees them.
    void clear() {
        joints.clear();
        bodies.clear();
    }
};

// What building left out, for the program to report.
struct BodyBuildReport {
    // One line per body or joint not made, in the words the program prints on stderr.
    std::vector<std::string> problems;
    int bodiesLeftOut = 0;
    int jointsLeftOut = 0;
};

// Makes the bodies and joints of model's definitions in world, replacing what bodies held.
// The bones must be at the bind pose (as after loading). A body naming no bone follows
// the centre bone; without one it is left out (PMX) or reported (PMD). PMD positions
// are relative to the bone, PMX ones in model space. A joint naming a body that was not
// made is left out (reported for PMD). Indices are trusted as the readers checked them.
BodyBuildReport buildModelBodies(PhysicsWorld& world, ModelData& model, ModelBodies& bodies);

// Puts every simulated body back on its bone at rest velocity (mode 0 bodies jump to
// their bone's pose).
void resetRigidBodies(ModelBodies& bodies);

// Moves each mode 2 body toward where its bone carries it (the bone's transform x the
// offset's origin) by min(elapsed x 0.2, 1) of the way.
void pullBodiesToBones(ModelBodies& bodies, float elapsed);

// Sets the globalMatrix of each simulated body's bone from the body (bones named
// "センター" excepted). Children are not recomputed.
void writeBodiesToBones(ModelBodies& bodies);
