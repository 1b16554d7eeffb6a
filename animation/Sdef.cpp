#include "animation/Sdef.h"

#include <cmath>
#include <cstdlib>

#include "animation/MathUtil.h"

namespace {

// The single-bone threshold of the linear pass; beyond it the linear result stands.
constexpr float kWholeWeight = 0.9999f;

// The blended rotation of the two bones: the normalised weighted sum of their
// quaternions, taken on the same side of the sphere. Exact at weights 0, 1/2 and 1 and
// within a fraction of a degree of the spherical interpolation between them for the
// turns a joint makes, at a tenth of its cost (no acos or sin per vertex).
void blendRotations(const float a[4], const float b[4], float wa, float wb, float out[4]) {
    const float c = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
    // q and -q are the same rotation; blending across the sign would take the long way.
    if (c < 0.0f) wb = -wb;
    for (int k = 0; k < 4; ++k) out[k] = a[k] * wa + b[k] * wb;
    normalizeQuaternion(out);
}

}  // namespace

void matrixRotationToQuaternion(const float m[16], float q[4]) {
    // Column-major: element (row r, column c) is m[4c + r]. The largest of the four
    // candidates for 4x^2, 4y^2, 4z^2, 4w^2 is taken, so the square root never meets a
    // small or negative number.
    const float m00 = m[0], m11 = m[5], m22 = m[10];
    const float trace = m00 + m11 + m22;
    if (trace > 0.0f) {
        const float s = 2.0f * std::sqrt(trace + 1.0f);
        q[3] = 0.25f * s;
        q[0] = (m[6] - m[9]) / s;
        q[1] = (m[8] - m[2]) / s;
        q[2] = (m[1] - m[4]) / s;
    } else if (m00 > m11 && m00 > m22) {
        const float s = 2.0f * std::sqrt(1.0f + m00 - m11 - m22);
        q[3] = (m[6] - m[9]) / s;
        q[0] = 0.25f * s;
        q[1] = (m[4] + m[1]) / s;
        q[2] = (m[8] + m[2]) / s;
    } else if (m11 > m22) {
        const float s = 2.0f * std::sqrt(1.0f + m11 - m00 - m22);
        q[3] = (m[8] - m[2]) / s;
        q[0] = (m[4] + m[1]) / s;
        q[1] = 0.25f * s;
        q[2] = (m[9] + m[6]) / s;
    } else {
        const float s = 2.0f * std::sqrt(1.0f + m22 - m00 - m11);
        q[3] = (m[1] - m[4]) / s;
        q[0] = (m[8] + m[2]) / s;
        q[1] = (m[9] + m[6]) / s;
        q[2] = 0.25f * s;
    }
    normalizeQuaternion(q);
}

void prepareSdefRotations(const ModelData& model, SkinBuffers& skin) {
    // Sized once per model, on its first skinned frame.
    if (skin.sdefRotations.size() != 4 * std::size_t(model.boneCount())) skin.sdefRotations.assign(4 * std::size_t(model.boneCount()), 0.0f);
    for (uint32_t i = 0; i < model.boneCount(); ++i)
        matrixRotationToQuaternion(model.bones[i].skinMatrix, skin.sdefRotations.data() + 4 * i);
}

void skinSdefRange(const ModelData& model, SkinBuffers& buffers, uint32_t first, uint32_t end) {
    const float* rotations = buffers.sdefRotations.data();
    if (buffers.sdefRotations.size() < 4 * std::size_t(model.boneCount()) || model.skins.empty()) return;
    if (buffers.positions.size() < 3 * std::size_t(model.vertexCount) ||
        buffers.normals.size() < 3 * std::size_t(model.vertexCount))
        return;
    for (uint32_t i = first; i < end && i < model.sdefCount(); ++i) {
        const SdefVertex& s = model.sdefVertices[i];
        if (s.vertex >= model.vertexCount) continue;
        const VertexSkin& skin = model.skins[s.vertex];
        const uint32_t b0 = static_cast<uint32_t>(skin.boneIndices[0]);
        const uint32_t b1 = static_cast<uint32_t>(skin.boneIndices[1]);
        if (skin.type != 3 || b0 >= model.boneCount() || b1 >= model.boneCount()) continue;
        const float w0 = skin.weights[0], w1 = skin.weights[1];
        if (w0 >= kWholeWeight || w1 >= kWholeWeight) continue;

        // Points near C that each bone carries: their weighted mean is C itself, so with
        // both bones moving alike the vertex moves rigidly with them.
        float cr0[3], cr1[3];
        for (int k = 0; k < 3; ++k) {
            const float rw = s.r0[k] * w0 + s.r1[k] * w1;
            cr0[k] = (s.c[k] + (s.c[k] + s.r0[k] - rw)) * 0.5f;
            cr1[k] = (s.c[k] + (s.c[k] + s.r1[k] - rw)) * 0.5f;
        }
        const float* m0 = model.bones[b0].skinMatrix;
        const float* m1 = model.bones[b1].skinMatrix;
        float q[4], r[16];
        blendRotations(rotations + 4 * b0, rotations + 4 * b1, w0, w1, q);
        quaternionToMatrix(q, r);
        float t0[3], t1[3];
        transformPoint(m0, cr0, t0);
        transformPoint(m1, cr1, t1);

        const float* p = model.positions.data() + 3 * std::size_t(s.vertex);
        const float d[3] = {p[0] - s.c[0], p[1] - s.c[1], p[2] - s.c[2]};
        float turned[3];
        transformDirection(r, d, turned);
        float* out = buffers.positions.data() + 3 * std::size_t(s.vertex);
        for (int k = 0; k < 3; ++k) out[k] = turned[k] + t0[k] * w0 + t1[k] * w1;
        transformDirection(r, model.normals.data() + 3 * std::size_t(s.vertex), buffers.normals.data() + 3 * std::size_t(s.vertex));
    }
}
