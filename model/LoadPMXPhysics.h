// The rigid-body, joint and soft-body sections that end a PMX file.
#pragma once

#include "model/ModelLoader.h"

struct PmxPhysicsLayout {
    int boneIndexSize;       // 1, 2 or 4
    int rigidBodyIndexSize;  // 1, 2 or 4
    bool version21;          // soft bodies follow the joints
};

// Reads the sections at the cursor into model.rigidBodyDefs, jointDefs and
// softBodyCount (bones must be read). A record that does not fit, a bone or body index
// out of range, or a joint type no PMX version defines refuses the file (false, reason
// through refuse). What physics cannot make of them (bodies without a bone, joints of
// the 2.1 kinds, soft bodies) is told by whoever creates the bodies.
bool readPMXPhysics(ByteCursor& cursor, ModelData& model, const PmxPhysicsLayout& layout, modelload::Refusal& refuse);
