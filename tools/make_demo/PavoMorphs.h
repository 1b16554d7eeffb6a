// Pavo's expressions beyond vertex morphs, for its PMX forms: material morphs and a
// group morph, and the dance's keys for them.
#pragma once

#include "make_demo/PavoAssets.h"
#include "model/ModelWriter.h"

namespace demo {

// Names of the morphs below (UTF-8).
inline constexpr char kBlushMorph[] = "照れ";      // the head warms to a blush (material, add)
inline constexpr char kCrestGlowMorph[] = "冠羽色";  // crest and tail turn gold (material, multiply)
inline constexpr char kBeamMorph[] = "にっこり";    // a beaming smile: 笑い with the blush (group)

// Appends the three morphs to a PMX form of Pavo, whose materials follow PavoModel's
// Material order and whose morphs include the vertex morph 笑い.
void addExpressionMorphs(modelwriter::ModelDesc& m);

// The dance's face keys for them: the crest glows through the chorus, Pavo beams at the end.
void addExpressionKeys(DanceKeys& dance);

}  // namespace demo
