// Playback of PMX morphs of every kind (model/MorphKinds.h holds them).
//
// Each frame the face tracks hand their weights to the morphs they name; a morph named
// by several tracks, or reached through several groups, sums what it gets. Groups pass
// their weight (times each member's) down to their members, and then every morph that
// got a weight is applied once, with the same rule vertex morphs always followed: a
// weight of exactly 1 applies the morph fully, one above kFaceWeightThreshold blends it,
// smaller ones (negative sums among them) leave it out.
//
// What each kind does with weight w:
// - vertex: blends the vertices toward their targets (animation/Morph.h);
// - bone: translation x w is added to the bone's local translation and the turn raised
//   to the power w is multiplied onto the motion's rotation, before the bones are posed;
// - UV: offset x w is added to the texture coordinates drawing uses;
// - material: multiply (value x (1 + (m - 1) w)) or add (value + a w) on each colour,
//   power, edge colour and size, and the texture, sphere and toon tints; -1 names every
//   material;
// - group and flip: hand w down; additional UV and impulse: nothing (not kept).
// resetMorphKinds puts back the rest values at the start of the next frame. Nothing
// here allocates.
#pragma once

#include <cstdint>

#include "model/MorphKinds.h"

// Undoes last frame's morphs: PMX copies the rest positions back over every vertex and
// puts back what the other morph kinds changed (resetMorphKinds); PMD applies its base
// morph (morph 0), which restores exactly the vertices morphs can move.
void resetMorphs(ModelData& model);

// Puts back the texture coordinates, material values and tints that morphs changed, and
// takes the bone morphs off every bone. Does nothing for a model without morphKinds.
void resetMorphKinds(ModelData& model);

// Adds weight to a morph (index into kinds.morphs; others are ignored) for this frame.
void addMorphWeight(MorphKinds& kinds, int32_t morph, float weight);

// Hands group weights down, applies every weighted morph once, and clears the weights
// for the next frame.
void applyMorphWeights(ModelData& model);
