#include "model/MorphKinds.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

bool isGroup(uint8_t kind) { return kind == morphkind::kGroup || kind == morphkind::kFlip; }

}  // namespace

int32_t findMorphRecord(const MorphKinds& kinds, const char* name) {
    for (std::size_t i = 0; i < kinds.morphs.size(); ++i) {
        if (namesEqual20(kinds.morphs[i].name, name)) return static_cast<int32_t>(i);
    }
    return -1;
}

void setRestTint(MaterialTint& tint) {
    for (int k = 0; k < 4; ++k) {
        tint.textureMul[k] = tint.sphereMul[k] = tint.toonMul[k] = 1.0f;
        tint.textureAdd[k] = tint.sphereAdd[k] = tint.toonAdd[k] = 0.0f;
    }
}

void orderGroups(MorphKinds& kinds, void (*note)(void* context, int32_t group, int32_t member), void* context) {
    const std::size_t n = kinds.morphs.size();
    enum : uint8_t { kUnseen, kOpen, kDone };
    std::vector<uint8_t> state(n, kUnseen);
    std::vector<uint8_t> cut(kinds.members.size(), 0);
    std::vector<int32_t> postOrder;
    // Depth-first over the group graph with an explicit stack, so a long chain of nested
    // groups in a damaged file cannot exhaust the call stack. A member that leads back to
    // a group still open closes a loop and is cut.
    struct Frame {
        int32_t group;
        uint32_t next;
    };
    std::vector<Frame> stack;
    for (std::size_t start = 0; start < n; ++start) {
        if (!isGroup(kinds.morphs[start].kind) || state[start] != kUnseen) continue;
        state[start] = kOpen;
        stack.push_back({static_cast<int32_t>(start), 0});
        while (!stack.empty()) {
            Frame& top = stack.back();
            const MorphRecord& g = kinds.morphs[static_cast<std::size_t>(top.group)];
            if (top.next == g.count) {
                state[static_cast<std::size_t>(top.group)] = kDone;
                postOrder.push_back(top.group);
                stack.pop_back();
                continue;
            }
            const uint32_t at = g.first + top.next++;
            const int32_t member = kinds.members[at].morph;
            if (member < 0 || static_cast<std::size_t>(member) >= n) continue;
            if (!isGroup(kinds.morphs[static_cast<std::size_t>(member)].kind)) continue;
            if (state[static_cast<std::size_t>(member)] == kOpen) {
                cut[at] = 1;
                if (note) note(context, top.group, member);
            } else if (state[static_cast<std::size_t>(member)] == kUnseen) {
                state[static_cast<std::size_t>(member)] = kOpen;
                stack.push_back({member, 0});
            }
        }
    }
    // Drop the cut members and close the gaps in every run.
    std::vector<GroupMember> kept;
    kept.reserve(kinds.members.size());
    for (MorphRecord& r : kinds.morphs) {
        if (!isGroup(r.kind)) continue;
        const uint32_t first = static_cast<uint32_t>(kept.size());
        for (uint32_t k = 0; k < r.count; ++k) {
            if (!cut[r.first + k]) kept.push_back(kinds.members[r.first + k]);
        }
        r.first = first;
        r.count = static_cast<uint32_t>(kept.size()) - first;
    }
    kinds.members.swap(kept);
    // Post-order finishes a group after all it contains; reversed, every group comes
    // before its members, which is the order weights are handed down in.
    kinds.groupOrder.assign(postOrder.rbegin(), postOrder.rend());
}

bool prepareMorphKinds(MorphKinds& kinds, const ModelData& model) {
    try {
        bool uv = false, material = false;
        for (const MorphRecord& r : kinds.morphs) {
            uv = uv || (r.kind == morphkind::kUV && r.count > 0);
            material = material || (r.kind == morphkind::kMaterial && r.count > 0);
        }
        kinds.restTexCoords.clear();
        if (uv && !model.texCoords.empty())
            kinds.restTexCoords.assign(model.texCoords.begin(), model.texCoords.begin() + 2 * std::size_t(model.vertexCount));
        kinds.restLooks.clear();
        kinds.tints.clear();
        if (material && !model.materials.empty()) {
            kinds.restLooks.resize(model.materialCount());
            kinds.tints.resize(model.materialCount());
            for (uint32_t i = 0; i < model.materialCount(); ++i) {
                const Material& m = model.materials[i];
                MaterialLook& look = kinds.restLooks[i];
                std::memcpy(look.diffuse, m.diffuse, sizeof look.diffuse);
                std::memcpy(look.specular, m.specular, sizeof look.specular);
                look.power = m.shininess;
                std::memcpy(look.ambient, m.ambient, sizeof look.ambient);
                std::memcpy(look.edgeColour, m.edgeColour, sizeof look.edgeColour);
                look.edgeSize = m.edgeSize;
                setRestTint(kinds.tints[i]);
            }
        }
        kinds.morphedBones.clear();
        for (const BoneMorphOffset& o : kinds.boneOffsets) kinds.morphedBones.push_back(o.bone);
        std::sort(kinds.morphedBones.begin(), kinds.morphedBones.end());
        kinds.morphedBones.erase(std::unique(kinds.morphedBones.begin(), kinds.morphedBones.end()),
                                 kinds.morphedBones.end());
        kinds.weights.assign(kinds.morphs.size(), 0.0f);
        kinds.weighted.assign(kinds.morphs.size(), 0);
        kinds.weightedOrder.assign(kinds.morphs.size(), -1);
        kinds.weightedCount = 0;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}
