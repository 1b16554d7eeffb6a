#include "physics/PmxBodies.h"

#include "physics/RigidBody.h"

bool createPmxRigidBody(cPMDRigidBody& body, const RigidBodyDef& modelSpaceDef, cBone* bone) {
    if (!bone) return createRigidBody(body, modelSpaceDef, bone);
    // The bind pose only moves the bone (no rotation), so the offset from the bone is the
    // model-space position less the bone's, with the rotation as it stands.
    RigidBodyDef relative = modelSpaceDef;
    for (int k = 0; k < 3; ++k) relative.position[k] -= bone->globalMatrix[12 + k];
    return createRigidBody(body, relative, bone);
}
