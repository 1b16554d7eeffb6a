// Rigid bodies of PMX models. PMX gives a body's position and rotation in model space at
// the bind pose, where PMD gives them relative to the bone; the body is kept relative to
// its bone either way, so both formats share one creation path and every later step
// (follow, simulate, write back, reset) treats them alike.
#pragma once

#include "model/ModelData.h"
#include "model/BodyDefinition.h"

#include <string>

class cPMDRigidBody;
class PhysicsWorld;

// Creates the body from a model-space definition; bone's globalMatrix must still be the
// bind pose (as after loading), whose rotation is the identity for PMX bones. Problems
// and false as createRigidBody.
bool createPmxRigidBody(PhysicsWorld& world, cPMDRigidBody& body, const RigidBodyDef& modelSpaceDef, cBone* bone,
                        std::string* problem = nullptr);
