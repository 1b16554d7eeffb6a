#include "character/ModelFrame.h"

#include <atomic>

#include "animation/MotionPlayer.h"
#include "animation/Skeleton.h"
#include "physics/ModelBodies.h"
#include "platform/WorkerPool.h"

void updateModelPose(cModel& model, float elapsed) {
    updateModelPose(model, model.motion, model.deformOrder, elapsed);
    pullBodiesToBones(model.physics, elapsed);
}

bool skinModel(cModel& model) {
    writeBodiesToBones(model.physics);
    return skinPosedModel(model, model.deformOrder, model.skin);
}

bool skinVertices(cModel& model) { return skinVertices(model, model.skin); }

void lookAtViewpoint(const float viewpoint[3], cModel& model) {
    if (model.lookAtCamera) lookAtViewpoint(viewpoint, model, model.deformOrder);
}

namespace {

struct SideBySide {
    cModel* const* models;
    std::atomic<bool> allSkinned{true};
};

void skinOneOf(uint32_t task, void* user) {
    auto& job = *static_cast<SideBySide*>(user);
    if (!skinModel(*job.models[task])) job.allSkinned.store(false, std::memory_order_relaxed);
}

}  // namespace

bool skinModelsSideBySide(cModel* const* models, uint32_t count) {
    // Each model's own pieces then run on the thread that took the model: the pool is
    // busy with the models, so its nested runs stay on their caller.
    if (count > 1 && skinningThreads() > 1) {
        SideBySide job;
        job.models = models;
        sharedWorkerPool().run(count, skinOneOf, &job, skinningThreads());
        return job.allSkinned.load(std::memory_order_relaxed);
    }
    bool all = true;
    for (uint32_t i = 0; i < count; ++i) all = skinModel(*models[i]) && all;
    return all;
}
