// Drawing a model, and emptying it.
#pragma once

#include "character/Model.h"

// How characters are drawn. Toon: each material lit through its toon ramp with the
// texture and sphere map on top, and outlined where the material asks for it (GLSL
// shaders). Classic: fixed-function Gouraud lighting, no ramp and no outline; also
// what Toon falls back to when the context cannot run the shaders.
enum class ModelLook { Toon, Classic };
void setModelLook(ModelLook look);
ModelLook requestedModelLook();
// The look drawModel uses in the current context (compiles the shaders on first call).
ModelLook activeModelLook();

// Draws the skinned mesh (skin.positions/skin.normals as skinning last wrote them)
// material by material: lighting material, main texture on unit 0, sphere map on unit 1
// multiplied (sphereMode 1) or added (sphereMode 2), toon ramp on unit 2 in the toon
// look. Opaque materials come first, then those with alpha below 1 or a texture with
// translucent pixels, each group in file order, so a face is never hidden behind its
// own transparent fringe. Culling is off for double-sided materials (drawFlags 0x01)
// and on for the others; the PMX point and line flags draw the triangles' corners or
// edges. With outlines (toon look only), materials with the edge flag get their hull
// drawn in the edge colour, culling the face opposite to the caller's choice. The
// caller chooses which face is culled and owns projection, model-view, lighting and
// blending. Leaves unit 0 active, texture generation and client arrays off, the
// fixed-function pipeline in use. Does nothing when no model is loaded.
void drawModel(const cModel& model, bool outlines = true);

// Draws the triangles of the materials that cast a ground shadow (every PMD material;
// PMX ones with drawFlags 0x02) with positions only, for stencil shadows: no material,
// normal or texture state is touched. Does nothing when no model is loaded.
void drawModelGeometry(const cModel& model);
