#include "make_demo/PavoMorphs.h"

#include <stdexcept>
#include <string>

#include "make_demo/PavoModel.h"

namespace demo {

namespace {

constexpr uint8_t kGroupType = 0;
constexpr uint8_t kMaterialType = 8;

// An offset that leaves everything alone: multiply by one, or add zero.
modelwriter::MorphOffsetDesc neutral(int material, uint8_t operation) {
    modelwriter::MorphOffsetDesc o;
    o.index = material;
    o.operation = operation;
    const float v = operation == 0 ? 1.0f : 0.0f;
    for (float* c : {o.diffuse, o.edgeColour, o.textureTint, o.sphereTint, o.toonTint})
        for (int k = 0; k < 4; ++k) c[k] = v;
    for (int k = 0; k < 3; ++k) o.specular[k] = o.ambient[k] = v;
    o.power = o.edgeSize = v;
    return o;
}

int morphIndex(const modelwriter::ModelDesc& m, const std::string& name) {
    for (size_t i = 0; i < m.morphs.size(); ++i) {
        if (m.morphs[i].name == name) return static_cast<int>(i);
    }
    throw std::runtime_error("no morph " + name);
}

}  // namespace

void addExpressionMorphs(modelwriter::ModelDesc& m) {
    // The head's pale blue takes on warmth; the texture's markings stay.
    modelwriter::MorphOffsetDesc blush = neutral(kHead, 1);
    blush.diffuse[0] = 0.35f, blush.diffuse[1] = -0.02f, blush.diffuse[2] = -0.05f;
    blush.ambient[0] = 0.12f, blush.ambient[1] = -0.04f, blush.ambient[2] = -0.1f;
    // The face texture is blue too; the toon look also warms the texel itself.
    blush.textureTint[0] = 0.4f, blush.textureTint[1] = 0.02f, blush.textureTint[2] = -0.02f;
    modelwriter::MorphDesc blushMorph;
    blushMorph.name = kBlushMorph;
    blushMorph.panel = 4;  // "other"
    blushMorph.type = kMaterialType;
    blushMorph.offsets = {blush};

    // Peacock blues to gold: less blue, more red, in the colour and in the texture alike.
    modelwriter::MorphDesc glow;
    glow.name = kCrestGlowMorph;
    glow.panel = 4;
    glow.type = kMaterialType;
    for (int material : {kCrest, kTail}) {
        modelwriter::MorphOffsetDesc o = neutral(material, 0);
        o.diffuse[0] = 1.5f, o.diffuse[1] = 1.05f, o.diffuse[2] = 0.3f;
        o.ambient[0] = 1.5f, o.ambient[1] = 1.05f, o.ambient[2] = 0.3f;
        o.textureTint[0] = 1.2f, o.textureTint[1] = 1.0f, o.textureTint[2] = 0.5f;
        glow.offsets.push_back(o);
    }

    const int smile = morphIndex(m, "笑い");
    m.morphs.push_back(blushMorph);
    m.morphs.push_back(glow);
    const int blushIndex = static_cast<int>(m.morphs.size()) - 2;
    modelwriter::MorphDesc beam;
    beam.name = kBeamMorph;
    beam.panel = 3;  // mouth
    beam.type = kGroupType;
    for (const auto& member : {std::make_pair(smile, 1.0f), std::make_pair(blushIndex, 1.0f)}) {
        modelwriter::MorphOffsetDesc o;
        o.index = member.first;
        o.value[0] = member.second;
        beam.offsets.push_back(o);
    }
    m.morphs.push_back(beam);
}

void addExpressionKeys(DanceKeys& dance) {
    auto face = [&dance](const char* name, uint32_t frame, float weight) {
        VmdFaceKeyDef k;
        k.name = name;
        k.frame = frame;
        k.weight = weight;
        dance.faces.push_back(k);
    };
    face(kCrestGlowMorph, 0, 0.0f);
    face(kCrestGlowMorph, 290, 0.0f);
    face(kCrestGlowMorph, 320, 1.0f);
    face(kCrestGlowMorph, 450, 1.0f);
    face(kCrestGlowMorph, 480, 0.0f);
    face(kBeamMorph, 0, 0.0f);
    face(kBeamMorph, 500, 0.0f);
    face(kBeamMorph, 520, 1.0f);
    face(kBeamMorph, 580, 1.0f);
    face(kBeamMorph, 600, 0.4f);
}

}  // namespace demo
