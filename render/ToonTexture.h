// Finding the toon ramp a material names. Models name the ramps that come with their
// authoring program (toon01.bmp ... toon10.bmp) without shipping them; the program has
// its own ten under Data/toon, used whenever the model's folder lacks the named file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/LoadResult.h"
#include "render/Texture.h"

#include "model/ModelData.h"

// The folder holding toon01.bmp ... toon10.bmp. Until set, the first of
// $PAVONIX_TOON_DIR, ./Data/toon (as the current directory was when the program
// started) and Data/toon beside or two levels above the executable that exists.
void setDefaultToonFolder(const std::string& utf8Folder);
const std::string& defaultToonFolder();

// "toon01.bmp" ... "toon10.bmp" for shared index 0 ... 9 (empty otherwise).
std::string sharedToonName(int index);

// Acquires the ramp named cp932Name (relative to the model's folder, the current
// directory) into cache: the model's own file when it exists, else our default ramp of
// the same name when the name is one of the shared ones. Returns -1 when neither exists
// or the name is empty; what failed (naming the file) is added to problems as a line
// for standard error.
int32_t acquireToonTexture(TextureCache& cache, const char* cp932Name, std::vector<LoadProblem>* problems);
