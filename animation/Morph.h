// Vertex morphs (faces) and the list of default faces.
//
// A morph's entries hold absolute model-space target positions (the loaders convert the
// offsets of the file formats); morphs act on ModelData::positions, the unskinned positions
// that skinning reads afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "model/ModelData.h"

struct MotionData;

// Face weights at or below this leave a morph out: its vertices stay at their reset positions.
inline constexpr float kFaceWeightThreshold = 0.001f;

// positions[vertex] = target for every entry. Entries whose vertex index is outside
// [0, vertexCount) are skipped.
void applyMorphFull(const cMorph& morph, float* positions, uint32_t vertexCount);

// positions[vertex] = target * weight + positions[vertex] * (1 - weight) for every entry,
// with the same guard as applyMorphFull.
void blendMorph(const cMorph& morph, float weight, float* positions, uint32_t vertexCount);


// The name of the default face list, looked up in the current directory.
inline constexpr char kDefaultFaceFile[] = "default_face.txt";

// Reads the default face list (CP932 text, one name per line; a file that is UTF-8 with
// multi-byte sequences is converted to CP932 first) into motion.defaultFaceText and
// rebuilds the motion as an empty motion carrying one default-face track per distinct
// name. Call it before loading a motion: tracks the motion already holds are dropped.
// Returns true when the file was read; a missing file leaves no default faces quietly, one
// that cannot be read puts the line to report in *problem (may be null).
bool loadDefaultFaces(MotionData& motion, const char* path = kDefaultFaceFile, std::string* problem = nullptr);

// The same from bytes already in memory (size bytes; a zero byte ends the text early).
void setDefaultFaces(MotionData& motion, const char* text, std::size_t size);
