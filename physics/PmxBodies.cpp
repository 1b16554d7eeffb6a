#include "physics/PmxBodies.h"

#include "physics/RigidBody.h"

bool createPmxRigidBody(PhysicsWorld& world, cPMDRigidBody& body, const RigidBodyDef& modelSpaceDef, cBone* bone,
                        std::string* problem) {
    if (!bone) return createRigidBody(world, body, modelSpaceDef, bone, problem);
    // The bind pose only moves the bone (no rotation), so the offset from the bone is the
    // model-space position less the bone's, with the rotation as it stands.
    RigidBodyDef relative = modelSpaceDef;
    for (int k = 0; k < 3; ++k) relative.position[k] -= bone->globalMatrix[12 + k];
    return createRigidBody(world, body, relative, bone, problem);
}
