#include "model/ModelData.h"

#include "model/MorphKinds.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

ModelData::ModelData() = default;
ModelData::~ModelData() = default;

bool namesEqual20(const char* a, const char* b) { return std::strncmp(a, b, kNameCompareBytes) == 0; }

const cBone* findBone(const ModelData& model, const char* name) {
    for (const cBone& bone : model.bones) {
        if (namesEqual20(bone.name, name)) return &bone;
    }
    return nullptr;
}

cBone* findBone(ModelData& model, const char* name) {
    return const_cast<cBone*>(findBone(static_cast<const ModelData&>(model), name));
}

const cMorph* findMorph(const ModelData& model, const char* name) {
    for (const cMorph& morph : model.morphs) {
        if (namesEqual20(morph.name, name)) return &morph;
    }
    return nullptr;
}

cMorph* findMorph(ModelData& model, const char* name) {
    return const_cast<cMorph*>(findMorph(static_cast<const ModelData&>(model), name));
}

void initBoneRecord(cBone& bone, const char* name, const BoneDef& def, cBone* bones) {
    std::strncpy(bone.name, name ? name : "", sizeof(bone.name) - 1);
    bone.name[sizeof(bone.name) - 1] = 0;
    std::memcpy(bone.restPosition, def.restPosition, sizeof(bone.restPosition));
    bone.flags = def.flags;
    bone.parent = def.parent >= 0 ? &bones[def.parent] : nullptr;
    // With a parent the loader replaces this once all rest positions are known.
    std::memcpy(bone.parentOffset, def.restPosition, sizeof(bone.parentOffset));
    bone.child = def.child >= 0 ? &bones[def.child] : nullptr;
    if ((def.flags & (0x0100 | 0x0200)) && def.appendParent >= 0) {
        bone.appendParent = &bones[def.appendParent];
        bone.appendRatio = def.appendRatio;
    } else {
        bone.appendParent = nullptr;
        bone.appendRatio = 0.0f;
    }
    for (int k = 0; k < 16; ++k) bone.inverseRest[k] = k % 5 == 0 ? 1.0f : 0.0f;
    bone.inverseRest[12] = -def.restPosition[0];
    bone.inverseRest[13] = -def.restPosition[1];
    bone.inverseRest[14] = -def.restPosition[2];
    bone.ikAngleLimited = 0;
    bone.deformLayer = def.deformLayer;
    std::memcpy(bone.fixedAxis, def.fixedAxis, sizeof(bone.fixedAxis));
    std::memcpy(bone.localAxisX, def.localAxisX, sizeof(bone.localAxisX));
    std::memcpy(bone.localAxisZ, def.localAxisZ, sizeof(bone.localAxisZ));
    bone.ikChain = nullptr;
    bone.nextInOrder = nullptr;
    bone.refreshStamp = 0;
}

void initIKChain(cIKChain& chain, const IKDef& def, cBone* bones) {
    chain.links.clear();
    chain.limits.clear();
    chain.enabled = 1;
    chain.ikBone = &bones[def.ikBone];
    chain.targetBone = &bones[def.targetBone];
    chain.iterations = static_cast<uint16_t>(def.iterations & 0xFFFF);
    chain.angleLimit = def.limit * 4.0f;
    chain.sortKey = static_cast<int16_t>(static_cast<uint16_t>(def.links[0] & 0xFFFF));
    chain.linkCount = static_cast<uint8_t>(def.linkCount);
    if (chain.linkCount == 0) return;
    chain.links.resize(chain.linkCount);
    bool anyLimited = false;
    for (int i = 0; def.limits && i < chain.linkCount; ++i) anyLimited = anyLimited || def.limits[i].limited;
    if (anyLimited) chain.limits.assign(def.limits, def.limits + chain.linkCount);
    for (int i = 0; i < chain.linkCount; ++i) {
        cBone* link = &bones[def.links[i]];
        chain.links[i] = link;
        if (namesEqual20(link->name, cp932::kLeftKnee) || namesEqual20(link->name, cp932::kRightKnee)) {
            link->ikAngleLimited = 1;
        }
    }
}

void sortIKChains(cIKChain* chains, int count) {
    if (count < 2) return;
    std::stable_sort(chains, chains + count, [](const cIKChain& a, const cIKChain& b) { return a.sortKey < b.sortKey; });
}

void initMorph(cMorph& morph, const uint8_t* def, const char* name, const cMorph* base,
               const float* restPositions) {
    morph.entries.clear();
    morph.vertexCount = 0;
    std::strncpy(morph.name, name, sizeof(morph.name) - 1);
    morph.name[sizeof(morph.name) - 1] = 0;

    int32_t count;
    std::memcpy(&count, def, sizeof(count));
    if (count <= 0) return;
    morph.entries.resize(static_cast<std::size_t>(count));
    morph.vertexCount = count;
    // Entries follow the panel byte unaligned: copy them field by field.
    const uint8_t* p = def + kMorphDefHeaderBytes;
    for (int32_t i = 0; i < count; ++i, p += kMorphDefEntryBytes) {
        MorphEntry& e = morph.entries[i];
        std::memcpy(&e.vertexIndex, p, 4);
        std::memcpy(e.position, p + 4, 12);
    }
    if (base && base != &morph) {
        for (int32_t i = 0; i < count; ++i) {
            MorphEntry& e = morph.entries[i];
            const MorphEntry& b = base->entries[e.vertexIndex];
            for (int k = 0; k < 3; ++k) e.position[k] += b.position[k];
            e.vertexIndex = b.vertexIndex;
        }
    }
    if (restPositions) {
        for (int32_t i = 0; i < count; ++i) {
            MorphEntry& e = morph.entries[i];
            for (int k = 0; k < 3; ++k) e.position[k] += restPositions[3 * e.vertexIndex + k];
        }
    }
}

void computeParentOffsets(ModelData& model) {
    for (uint32_t i = 0; i < model.boneCount(); ++i) {
        cBone& b = model.bones[i];
        if (!b.parent) continue;
        for (int k = 0; k < 3; ++k) b.parentOffset[k] = b.restPosition[k] - b.parent->restPosition[k];
    }
}
