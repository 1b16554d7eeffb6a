// The GL textures a model's materials draw with, made from the names in its data.
//
// Each model keeps three caches (main textures, sphere maps, toon ramps): a file named
// by several materials is read and uploaded once per cache and deleted when the last
// material lets go of it. Textures are made on the thread that owns the GL context (or
// with a texture uploader installed, see render/Texture.h).
#pragma once

#include <cstdint>
#include <vector>

#include "base/LoadResult.h"
#include "model/ModelData.h"
#include "render/Texture.h"

// The GL names one material draws with, -1 where it has none.
struct MaterialTextures {
    int32_t texture = -1;
    int32_t sphere = -1;
    uint8_t sphereMode = 0;  // as the material gives it; PMX: 0 when the sphere map is missing
    int32_t toon = -1;
};

struct ModelTextures {
    TextureCache colourTextures;
    TextureCache sphereTextures;
    TextureCache toonTextures;
    std::vector<MaterialTextures> materials;  // one per material of the model drawn
};

// A texture that could not be made, for the caller to report: which material asked for
// it, whether as its toon ramp, and the message (a section means a message box with that
// caption, none a line on standard error).
struct TextureProblem {
    uint32_t material;
    bool toon;
    LoadProblem problem;
};

// Makes every material's textures through the caches, in the order the model's format
// fetches them (PMD: main textures and sphere maps material by material, then the toon
// ramps; PMX: all three material by material), after decoding the pictures side by side.
// textures.materials must be empty (a fresh model or one released). Returns what failed,
// in that order: a PMX texture that cannot be read is told once ("Texture Read Error");
// PMD textures fail silently; missing toon ramps are told on standard error.
std::vector<TextureProblem> makeModelTextures(ModelTextures& textures, const ModelData& model);

// Drops the materials' references (a texture shared by several goes with the last);
// the caches stay.
void releaseModelTextures(ModelTextures& textures);

// releaseModelTextures, then deletes every texture still cached.
void clearModelTextures(ModelTextures& textures);
