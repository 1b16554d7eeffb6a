#include "animation/DeformOrder.h"

#include <cstring>

#include "animation/MathUtil.h"
#include "animation/Skeleton.h"

namespace {

constexpr uint16_t kAfterPhysics = 0x1000;

bool deformsAfterPhysics(const cBone& b) { return (b.flags & kAfterPhysics) != 0; }

// Bones in order already posed this pass that hang below the chain's root link get their
// matrices again, so a hand or a toe follows the leg the chain just bent.
void refreshBelow(DeformOrder& order, const cIKChain& chain, const cBone* stop) {
    if (chain.links.empty() || chain.linkCount == 0) return;
    const cBone* root = chain.links[chain.linkCount - 1];
    const uint32_t stamp = ++order.refreshStamp;
    for (cBone* b = order.first; b && b != stop; b = b->nextInOrder) {
        const bool below = b == root || (b->parent && b->parent->refreshStamp == stamp);
        if (!below) continue;
        b->refreshStamp = stamp;
        updatePosedTransform(*b);
    }
}

}  // namespace

void buildDeformOrder(ModelData& model, DeformOrder& order) {
    order.first = order.firstAfterPhysics = nullptr;
    if (model.bones.empty()) return;
    for (uint32_t i = 0; i < model.boneCount(); ++i) model.bones[i].ikChain = nullptr;
    for (uint16_t k = 0; k < model.ikCount(); ++k) {
        cIKChain& chain = model.ikChains[k];
        // The first chain naming a goal wins; a PMX bone carries at most one.
        if (chain.ikBone && !chain.ikBone->ikChain) chain.ikBone->ikChain = &chain;
    }
    // A stable insertion into the list keeps index order within one (flag, layer) key;
    // real models have a few layers, so walking to the insertion point stays cheap.
    auto before = [](const cBone& a, const cBone& b) {
        if (deformsAfterPhysics(a) != deformsAfterPhysics(b)) return !deformsAfterPhysics(a);
        return a.deformLayer < b.deformLayer;
    };
    cBone* head = nullptr;
    cBone* tail = nullptr;
    for (uint32_t i = 0; i < model.boneCount(); ++i) {
        cBone* b = &model.bones[i];
        b->nextInOrder = nullptr;
        if (!tail || !before(*b, *tail)) {
            (tail ? tail->nextInOrder : head) = b;
            tail = b;
            continue;
        }
        cBone** at = &head;
        while (*at && !before(*b, **at)) at = &(*at)->nextInOrder;
        b->nextInOrder = *at;
        *at = b;
    }
    order.first = head;
    for (cBone* b = head; b; b = b->nextInOrder) {
        if (deformsAfterPhysics(*b)) {
            order.firstAfterPhysics = b;
            break;
        }
    }
}


void poseBonesInOrder(DeformOrder& order, bool afterPhysics) {
    cBone* first = afterPhysics ? order.firstAfterPhysics : order.first;
    cBone* stop = afterPhysics ? nullptr : order.firstAfterPhysics;
    for (cBone* b = first; b && b != stop; b = b->nextInOrder) {
        computeLocalPose(*b);
        updatePosedTransform(*b);
        cIKChain* chain = b->ikChain;
        if (!chain || !chain->enabled) continue;
        solvePmxIK(*chain);
        refreshBelow(order, *chain, b->nextInOrder);
    }
}
