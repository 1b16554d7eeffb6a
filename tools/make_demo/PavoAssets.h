// Pavo's textures (computed pictures) and its dance.
#pragma once

#include <string>
#include <vector>

#include "animation/VmdWriter.h"
#include "make_demo/ImageWriters.h"

namespace demo {

Picture bodyTexture();   // PNG
Picture faceTexture();   // BMP
Picture bellyTexture();  // JPEG
Picture crestTexture();  // TGA with alpha
Picture tailTexture();   // DDS (DXT1)
Picture shineSphere();   // .sph, multiplied
Picture glowSphere();    // .spa, added

struct DanceKeys {
    std::vector<VmdBoneKeyDef> bones;  // names in UTF-8 here; converted when written
    std::vector<VmdFaceKeyDef> faces;
};

// About 20 seconds of dancing for the standard bone and face names.
DanceKeys pavoDance();

}  // namespace demo
