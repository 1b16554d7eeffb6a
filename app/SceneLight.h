// The character's light: the fixed light the viewer has always used, or the room's light
// read off the marker's paper, turned into light-source values so that a white material
// facing the light shows the colour the paper shows in the camera picture.
#pragma once

#include "tracking/PaperLight.h"

// Light 0's colours, the global ambient and the shadow quad's colour for one frame.
struct SceneLight {
    float diffuse[4];
    float ambient[4];
    float specular[4];
    float modelAmbient[4];  // GL_LIGHT_MODEL_AMBIENT
    float shadow[4];        // the colour the shadow quad blends over marked pixels
};

// With no estimate, the fixed light: light 0 at 0.9 grey for diffuse, ambient and
// specular, OpenGL's default global ambient 0.2, and the shadow quad grey 0.2 at half
// opacity.
//
// With an estimate, the same light scaled per channel by paper / 0.9. The surface shades
// (the classic pipeline and the toon shader alike) as
//     material.ambient * (modelAmbient + light.ambient) + material.diffuse * light.diffuse * facing
// so a white diffuse material without ambient, facing the light (facing = 1), comes out
// at light.diffuse = the paper's colour; a material with ambient keeps its share of
// brightness over that, as it has under the fixed light. The fixed light is thus the one
// for a paper the camera sees at 0.9 grey, and such a paper gives it back unchanged.
// The shadow's grey scales alike, so a shadow on the paper darkens it by the same share
// in any light, but never below the black frame: in a washed-out picture (little
// contrast between paper and ink) nothing on the paper is darker than the ink.
SceneLight sceneLightFor(const RoomLight* estimate);

// The paper's brightness under the fixed light: what a white material facing it shows.
constexpr float kFixedLightLevel = 0.9f;
