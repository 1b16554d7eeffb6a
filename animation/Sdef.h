// Spherical blend skinning of SDEF vertices.
//
// A linear blend of two bone matrices shrinks a joint as it bends (the "candy wrapper"):
// halfway between two rotations the blended matrix is no rotation at all. SDEF vertices
// instead turn about the joint centre C by the blended rotation of the two bones, and
// the centre itself moves with a weighted pair of points near C (derived from R0 and R1)
// so the blend agrees with each bone where that bone's weight is whole.
#pragma once

#include <cstdint>

#include "animation/SkinBuffers.h"
#include "model/ModelData.h"

// Rotation of a bone's matrix as a unit quaternion (x, y, z, w), w >= 0. The matrix is
// taken to be a rotation with translation, as bone matrices are.
void matrixRotationToQuaternion(const float m[16], float q[4]);

// Fills skin.sdefRotations (sized on first use) with the rotation of every bone's
// skinMatrix. Call after the skin matrices are up to date.
void prepareSdefRotations(const ModelData& model, SkinBuffers& skin);

// Overwrites buffers.positions and buffers.normals of the SDEF records [first, end) with their
// spherical blend. Records with a whole weight on one bone are left as the linear pass
// made them: there the two blends agree.
void skinSdefRange(const ModelData& model, SkinBuffers& buffers, uint32_t first, uint32_t end);
