// The GLSL programs of the toon look: surfaces lit through their toon ramp, and the
// outline hull. GLSL 1.20 with the fixed-function built-ins (material, light, matrices),
// so the caller's glMaterial and light settings reach both looks alike. Needs a current
// GL context.
#pragma once

#include <cstdint>
#include <string>

#include "model/ModelData.h"

struct MaterialTint;  // model/MorphKinds.h

// Texture units the surface program samples.
constexpr int kToonUnitTexture = 0;
constexpr int kToonUnitSphere = 1;
constexpr int kToonUnitRamp = 2;
// Generic attribute carrying the per-vertex outline factor.
constexpr int kOutlineEdgeAttribute = 1;

// Compiles and links both programs on first call; true when they can be used. False
// when the context lacks OpenGL 2.0 shaders or three texture units, when a program
// fails to build (the driver's log is kept for takeToonShaderReport), or when the
// environment variable PAVONIX_NO_SHADERS is set to anything but "" or "0".
bool toonShadersReady();

// The lines (each ending in a line feed) that say a program failed to build and why,
// for the program to print once; "" when there is nothing (more) to say.
std::string takeToonShaderReport();

// Forgets the programs (they are rebuilt on next use); for a context that went away.
void resetToonShaders();

// Surface program: bound with the samplers set; per material, which inputs are there.
void useToonSurface();
void setToonSurfaceInputs(bool texture, uint8_t sphereMode, bool ramp);
// The material's texture, sphere and toon tints (texel x mul + add), or the rest tints
// (null): set for every material, since uniforms outlast the draw call.
void setToonSurfaceTints(const MaterialTint* tint);

// Outline program: width in pixels per unit of edge size x vertex factor; the
// viewport decides how a pixel maps to clip space.
void useOutline(float pixelsPerEdgeUnit);
void setOutlineMaterial(const float colour[4], float edgeSize);

// Back to fixed function.
void stopShading();
