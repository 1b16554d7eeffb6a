#include "animation/MorphBlend.h"

#include <cstring>

#include "animation/DeformOrder.h"
#include "animation/MathUtil.h"
#include "animation/Morph.h"

namespace {

constexpr uint8_t kMultiply = 0;

// value x (1 + (m - 1) w) or value + a w, channel by channel.
void blendChannels(float* value, const float* by, int n, uint8_t operation, float w) {
    for (int k = 0; k < n; ++k) value[k] = operation == kMultiply ? value[k] * (1.0f + (by[k] - 1.0f) * w)
                                                                   : value[k] + by[k] * w;
}

// A tint is texel x mul + add: multiplying the result scales both, adding shifts add.
void blendTint(float mul[4], float add[4], const float by[4], uint8_t operation, float w) {
    for (int k = 0; k < 4; ++k) {
        if (operation == kMultiply) {
            const float f = 1.0f + (by[k] - 1.0f) * w;
            mul[k] *= f;
            add[k] *= f;
        } else {
            add[k] += by[k] * w;
        }
    }
}

void applyMaterialOffset(const MaterialMorphOffset& o, float w, Material& m, MaterialTint& tint) {
    blendChannels(m.diffuse, o.look.diffuse, 4, o.operation, w);
    blendChannels(m.specular, o.look.specular, 3, o.operation, w);
    blendChannels(&m.shininess, &o.look.power, 1, o.operation, w);
    blendChannels(m.ambient, o.look.ambient, 3, o.operation, w);
    blendChannels(m.edgeColour, o.look.edgeColour, 4, o.operation, w);
    blendChannels(&m.edgeSize, &o.look.edgeSize, 1, o.operation, w);
    blendTint(tint.textureMul, tint.textureAdd, o.textureTint, o.operation, w);
    blendTint(tint.sphereMul, tint.sphereAdd, o.sphereTint, o.operation, w);
    blendTint(tint.toonMul, tint.toonAdd, o.toonTint, o.operation, w);
    // Below zero neither means anything, and OpenGL refuses a negative shininess.
    if (!(m.shininess >= 0.0f)) m.shininess = 0.0f;
    if (!(m.edgeSize >= 0.0f)) m.edgeSize = 0.0f;
}

void applyMaterialMorph(ModelData& model, MorphKinds& kinds, const MorphRecord& r, float w) {
    if (kinds.tints.size() != model.materialCount()) return;
    for (uint32_t k = 0; k < r.count; ++k) {
        const MaterialMorphOffset& o = kinds.materialOffsets[r.first + k];
        if (o.material < 0) {
            for (uint32_t i = 0; i < model.materialCount(); ++i) applyMaterialOffset(o, w, model.materials[i], kinds.tints[i]);
        } else if (static_cast<uint32_t>(o.material) < model.materialCount()) {
            applyMaterialOffset(o, w, model.materials[o.material], kinds.tints[static_cast<std::size_t>(o.material)]);
        }
    }
}

void applyBoneMorph(ModelData& model, const MorphKinds& kinds, const MorphRecord& r, float w) {
    for (uint32_t k = 0; k < r.count; ++k) {
        const BoneMorphOffset& o = kinds.boneOffsets[r.first + k];
        if (o.bone < 0 || static_cast<uint32_t>(o.bone) >= model.boneCount()) continue;
        cBone& bone = model.bones[o.bone];
        for (int c = 0; c < 3; ++c) bone.morphTranslation[c] += o.translation[c] * w;
        float turn[4];
        scaleRotation(o.rotation, w, turn);
        multiplyQuaternion(bone.morphRotation, turn, bone.morphRotation);
        normalizeQuaternion(bone.morphRotation);
        bone.morphed = 1;
    }
}

void applyUVMorph(ModelData& model, const MorphKinds& kinds, const MorphRecord& r, float w) {
    if (model.texCoords.empty()) return;
    for (uint32_t k = 0; k < r.count; ++k) {
        const UVMorphOffset& o = kinds.uvOffsets[r.first + k];
        if (o.vertex < 0 || static_cast<uint32_t>(o.vertex) >= model.vertexCount) continue;
        float* uv = model.texCoords.data() + 2 * static_cast<std::size_t>(o.vertex);
        uv[0] += o.offset[0] * w;
        uv[1] += o.offset[1] * w;
    }
}

}  // namespace

void resetMorphKinds(ModelData& model) {
    MorphKinds* kinds = model.morphKinds.get();
    if (!kinds) return;
    if (!kinds->restTexCoords.empty() && kinds->restTexCoords.size() == 2 * static_cast<std::size_t>(model.vertexCount) &&
        model.texCoords.size() >= kinds->restTexCoords.size())
        std::memcpy(model.texCoords.data(), kinds->restTexCoords.data(), kinds->restTexCoords.size() * sizeof(float));
    if (!kinds->restLooks.empty() && kinds->restLooks.size() == model.materialCount()) {
        for (uint32_t i = 0; i < model.materialCount(); ++i) {
            Material& m = model.materials[i];
            const MaterialLook& look = kinds->restLooks[i];
            std::memcpy(m.diffuse, look.diffuse, sizeof look.diffuse);
            std::memcpy(m.specular, look.specular, sizeof look.specular);
            m.shininess = look.power;
            std::memcpy(m.ambient, look.ambient, sizeof look.ambient);
            std::memcpy(m.edgeColour, look.edgeColour, sizeof look.edgeColour);
            m.edgeSize = look.edgeSize;
            setRestTint(kinds->tints[i]);
        }
    }
    for (int32_t b : kinds->morphedBones) {
        if (b < 0 || static_cast<uint32_t>(b) >= model.boneCount()) continue;
        cBone& bone = model.bones[b];
        bone.morphed = 0;
        bone.morphTranslation[0] = bone.morphTranslation[1] = bone.morphTranslation[2] = 0.0f;
        setIdentityQuaternion(bone.morphRotation);
    }
}

void addMorphWeight(MorphKinds& kinds, int32_t morph, float weight) {
    if (morph < 0 || static_cast<std::size_t>(morph) >= kinds.morphs.size() || kinds.weights.size() != kinds.morphs.size())
        return;
    const std::size_t i = static_cast<std::size_t>(morph);
    kinds.weights[i] += weight;
    if (!kinds.weighted[i]) {
        kinds.weighted[i] = 1;
        kinds.weightedOrder[kinds.weightedCount++] = morph;
    }
}

void applyMorphWeights(ModelData& model) {
    MorphKinds* kinds = model.morphKinds.get();
    if (!kinds || kinds->weights.size() != kinds->morphs.size()) return;
    if (kinds->weightedCount == 0) return;

    // Groups first, each before the groups it contains, so a nested member gets all of
    // its share before it hands it on.
    for (int32_t g : kinds->groupOrder) {
        const float w = kinds->weights[static_cast<std::size_t>(g)];
        if (w == 0.0f) continue;
        const MorphRecord& r = kinds->morphs[static_cast<std::size_t>(g)];
        for (uint32_t k = 0; k < r.count; ++k) {
            const GroupMember& m = kinds->members[r.first + k];
            addMorphWeight(*kinds, m.morph, w * m.weight);
        }
    }

    for (uint32_t n = 0; n < kinds->weightedCount; ++n) {
        const std::size_t i = static_cast<std::size_t>(kinds->weightedOrder[n]);
        const float w = kinds->weights[i];
        kinds->weights[i] = 0.0f;
        kinds->weighted[i] = 0;
        if (!(w > kFaceWeightThreshold)) continue;
        const MorphRecord& r = kinds->morphs[i];
        switch (r.kind) {
            case morphkind::kVertex:
                if (r.vertexMorph < 0 || r.vertexMorph >= model.morphCount()) break;
                if (w == 1.0f) {
                    applyMorphFull(model.morphs[r.vertexMorph], model.positions.data(), model.vertexCount);
                } else {
                    blendMorph(model.morphs[r.vertexMorph], w, model.positions.data(), model.vertexCount);
                }
                break;
            case morphkind::kBone: applyBoneMorph(model, *kinds, r, w); break;
            case morphkind::kUV: applyUVMorph(model, *kinds, r, w); break;
            case morphkind::kMaterial: applyMaterialMorph(model, *kinds, r, w); break;
            default: break;  // groups handed their weight on above; the rest is not kept
        }
    }
    kinds->weightedCount = 0;
}

void resetMorphs(ModelData& model) {
    if (model.positions.empty()) return;
    if (model.format == 1) {
        if (!model.restPositions.empty()) {
            std::memcpy(model.positions.data(), model.restPositions.data(),
                        sizeof(float) * 3 * static_cast<std::size_t>(model.vertexCount));
        }
        resetMorphKinds(model);
    } else if (!model.morphs.empty()) {
        applyMorphFull(model.morphs[0], model.positions.data(), model.vertexCount);
    }
}
