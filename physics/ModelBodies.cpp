#include "physics/ModelBodies.h"

#include "physics/PhysicsWorld.h"
#include "physics/PmxBodies.h"

namespace {

// The bone's globalMatrix as a rigid transform; any scale in it is taken as it stands.
btTransform boneTransform(const cBone& bone) {
    btTransform t;
    t.setFromOpenGLMatrix(bone.globalMatrix);
    return t;
}

}  // namespace

BodyBuildReport buildModelBodies(PhysicsWorld& world, ModelData& model, ModelBodies& bodies) {
    bodies.clear();
    BodyBuildReport report;
    const bool pmx = model.format == 1;
    bodies.bodies = std::vector<cPMDRigidBody>(model.rigidBodyDefs.size());
    bodies.joints = std::vector<cModelJoint>(model.jointDefs.size());

    cBone* centre = findBone(model, cp932::kCentre);
    std::string problem;
    for (std::size_t i = 0; i < model.rigidBodyDefs.size(); ++i) {
        const RigidBodyRecord& record = model.rigidBodyDefs[i];
        cBone* bone = record.bone >= 0 && static_cast<uint32_t>(record.bone) < model.boneCount()
                          ? &model.bones[record.bone]
                          : centre;
        problem.clear();
        bool made;
        if (pmx) {
            made = bone && createPmxRigidBody(world, bodies.bodies[i], record.def, bone, &problem);
        } else {
            made = createRigidBody(world, bodies.bodies[i], record.def, bone, &problem);
        }
        if (!made) {
            ++report.bodiesLeftOut;
            if (!problem.empty()) report.problems.push_back(problem);
        }
    }

    const auto bodyAt = [&bodies](int32_t k) -> cPMDRigidBody* {
        return k >= 0 && static_cast<std::size_t>(k) < bodies.bodies.size() ? &bodies.bodies[k] : nullptr;
    };
    for (std::size_t i = 0; i < model.jointDefs.size(); ++i) {
        const JointRecord& record = model.jointDefs[i];
        problem.clear();
        // A PMX joint may name no body (-1): it joins nothing and is left out quietly.
        const bool made = (pmx && (record.bodyA < 0 || record.bodyB < 0))
                              ? false
                              : createJoint(world, bodies.joints[i], bodyAt(record.bodyA), bodyAt(record.bodyB),
                                            record.def, &problem);
        if (!made) {
            ++report.jointsLeftOut;
            if (!problem.empty()) report.problems.push_back(problem);
        }
    }
    return report;
}

void resetRigidBodies(ModelBodies& bodies) {
    for (cPMDRigidBody& rb : bodies.bodies) resetRigidBody(rb);
}

void pullBodiesToBones(ModelBodies& bodies, float elapsed) {
    float gain = elapsed * 0.2f;
    if (gain > 1.0f) gain = 1.0f;
    if (!(gain > 0.0f)) return;
    for (cPMDRigidBody& rb : bodies.bodies) {
        if (rb.mode != 2 || !rb.body || !rb.bone) continue;
        btTransform& t = rb.body->getWorldTransform();
        // Where the bone carries the body, its offset turned with the bone.
        const btVector3 target = boneTransform(*rb.bone) * rb.boneOffset.getOrigin();
        t.setOrigin(t.getOrigin() + (target - t.getOrigin()) * gain);
    }
}

void writeBodiesToBones(ModelBodies& bodies) {
    for (cPMDRigidBody& rb : bodies.bodies) {
        if (rb.mode == 0 || rb.attachedToCentre || !rb.body || !rb.bone) continue;
        const btTransform t = rb.body->getWorldTransform() * rb.inverseBoneOffset;
        t.getOpenGLMatrix(rb.bone->globalMatrix);
    }
}
