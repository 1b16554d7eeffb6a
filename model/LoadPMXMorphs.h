// The morph section of a PMX file: every kind is read and checked; vertex morphs become
// cMorph records, everything else goes into ModelData::morphKinds (model/MorphKinds.h).
// Used by the PMX loader only.
#pragma once

#include "model/ModelLoader.h"

struct PMXMorphIndexWidths {
    int vertex, bone, material, morph, rigidBody;
};

// Reads the section at the cursor into model; vertices, materials and bones must be
// loaded already, since the offsets are checked against them. Returns false with the
// reason in refuse after a damaged section.
bool readPMXMorphs(ByteCursor& c, ModelData& model, const PMXMorphIndexWidths& widths, modelload::Refusal& refuse);
