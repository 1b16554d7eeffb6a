// The rigid-body, joint and soft-body sections that end a PMX file.
#pragma once

#include "model/ModelLoader.h"

struct PmxPhysicsLayout {
    int boneIndexSize;       // 1, 2 or 4
    int rigidBodyIndexSize;  // 1, 2 or 4
    bool version21;          // soft bodies follow the joints
};

// Reads the sections at the cursor into model.rigidBodyDefs, jointDefs and
// softBodyCount. A record that does not fit, a bone or body index out of range, or a
// joint type no PMX version defines refuses the file (false, reason through refuse).
// What physics makes of the definitions (bodies without a bone following the centre
// bone, other joint kinds made spring 6DOF joints, soft bodies left out) is decided and
// told where the bodies are built (character/LoadModelFile.cpp).
bool readPMXPhysics(ByteCursor& cursor, cModel& model, const PmxPhysicsLayout& layout, modelload::Refusal& refuse);
