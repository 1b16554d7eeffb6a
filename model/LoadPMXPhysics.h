// The rigid-body, joint and soft-body sections that end a PMX file.
#pragma once

#include "model/ModelLoader.h"

struct PmxPhysicsLayout {
    int boneIndexSize;       // 1, 2 or 4
    int rigidBodyIndexSize;  // 1, 2 or 4
    bool version21;          // soft bodies follow the joints
};

// Reads the sections at the cursor and creates the bodies and joints in the physics
// world (bones must be read and still at the bind pose). A record that does not fit, a
// bone or body index out of range, or a joint type no PMX version defines refuses the
// file (false, reason through refuse). A body without a bone follows the centre bone
// like a PMD one, or is left out when the model has none; joints of bodies left out go
// too; joints of the 2.1 kinds other than spring 6DOF are made spring 6DOF joints; soft
// bodies are not simulated. Each of these is told once per file through showMessage.
bool readPMXPhysics(ByteCursor& cursor, cModel& model, const PmxPhysicsLayout& layout, modelload::Refusal& refuse);
