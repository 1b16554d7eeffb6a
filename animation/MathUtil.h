// Quaternion and 4x4 matrix helpers shared by the skeleton, playback and physics coupling.
//
// Quaternions are float[4] stored (x, y, z, w); products are Hamilton products and a
// normalised quaternion always has w >= 0. Matrices are float[16] column-major as OpenGL
// expects: elements 0..3 are the first column, the translation is in 12..14, and points
// are column vectors, so in a product A x B the matrix B acts first.
#pragma once

#include <cmath>
#include <cstring>

inline void setIdentityMatrix4(float m[16]) {
    std::memset(m, 0, 16 * sizeof(float));
    m[0] = m[5] = m[10] = m[15] = 1.0f;
}

inline void setIdentityQuaternion(float q[4]) {
    q[0] = q[1] = q[2] = 0.0f;
    q[3] = 1.0f;
}

// Scales q to unit length and brings it to w >= 0. A zero quaternion becomes the identity
// rather than four NaNs.
inline void normalizeQuaternion(float q[4]) {
    float len2 = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
    if (!(len2 > 0.0f)) {
        setIdentityQuaternion(q);
        return;
    }
    float s = 1.0f / std::sqrt(len2);
    if (q[3] < 0.0f) s = -s;
    q[0] *= s;
    q[1] *= s;
    q[2] *= s;
    q[3] *= s;
}

// out = a x b (Hamilton product: b's rotation applies first). out may alias a or b.
inline void multiplyQuaternion(const float a[4], const float b[4], float out[4]) {
    const float x = a[3] * b[0] + a[0] * b[3] + a[1] * b[2] - a[2] * b[1];
    const float y = a[3] * b[1] - a[0] * b[2] + a[1] * b[3] + a[2] * b[0];
    const float z = a[3] * b[2] + a[0] * b[1] - a[1] * b[0] + a[2] * b[3];
    const float w = a[3] * b[3] - a[0] * b[0] - a[1] * b[1] - a[2] * b[2];
    out[0] = x;
    out[1] = y;
    out[2] = z;
    out[3] = w;
}

// Writes the rotation of a unit quaternion into the upper-left 3x3 of m and clears the
// translation (element 15 = 1).
inline void quaternionToMatrix(const float q[4], float m[16]) {
    const float x = q[0], y = q[1], z = q[2], w = q[3];
    m[0] = 1.0f - 2.0f * (y * y + z * z);
    m[1] = 2.0f * (x * y + w * z);
    m[2] = 2.0f * (x * z - w * y);
    m[3] = 0.0f;
    m[4] = 2.0f * (x * y - w * z);
    m[5] = 1.0f - 2.0f * (x * x + z * z);
    m[6] = 2.0f * (y * z + w * x);
    m[7] = 0.0f;
    m[8] = 2.0f * (x * z + w * y);
    m[9] = 2.0f * (y * z - w * x);
    m[10] = 1.0f - 2.0f * (x * x + y * y);
    m[11] = 0.0f;
    m[12] = m[13] = m[14] = 0.0f;
    m[15] = 1.0f;
}

// out = a x b. out may alias a or b.
inline void multiplyMatrix4(const float a[16], const float b[16], float out[16]) {
    float r[16];
    for (int c = 0; c < 4; ++c) {
        const float b0 = b[4 * c], b1 = b[4 * c + 1], b2 = b[4 * c + 2], b3 = b[4 * c + 3];
        for (int row = 0; row < 4; ++row) {
            r[4 * c + row] = a[row] * b0 + a[4 + row] * b1 + a[8 + row] * b2 + a[12 + row] * b3;
        }
    }
    std::memcpy(out, r, sizeof(r));
}

// out = m x (p, 1). out may alias p.
inline void transformPoint(const float m[16], const float p[3], float out[3]) {
    const float x = p[0], y = p[1], z = p[2];
    out[0] = m[0] * x + m[4] * y + m[8] * z + m[12];
    out[1] = m[1] * x + m[5] * y + m[9] * z + m[13];
    out[2] = m[2] * x + m[6] * y + m[10] * z + m[14];
}

// out = upper-left 3x3 of m x v (a direction: no translation). out may alias v.
inline void transformDirection(const float m[16], const float v[3], float out[3]) {
    const float x = v[0], y = v[1], z = v[2];
    out[0] = m[0] * x + m[4] * y + m[8] * z;
    out[1] = m[1] * x + m[5] * y + m[9] * z;
    out[2] = m[2] * x + m[6] * y + m[10] * z;
}

// Euler angles (x, y, z) in radians of a unit quaternion, Y taken from the clamped sine so
// that it never leaves asin's domain. Near Y = +-90 degrees X and Z cannot be told apart;
// Z is then 0 and the whole turn goes to X.
inline void quaternionToEuler(const float q[4], float euler[3]) {
    const float x = q[0], y = q[1], z = q[2], w = q[3];
    float s = -(2.0f * x * z - 2.0f * w * y);
    if (s > 1.0f) s = 1.0f;
    if (s < -1.0f) s = -1.0f;
    const float ey = std::asin(s);
    float ex, ez;
    if (ey > -1.5707963f && ey < 1.5707963f) {
        ex = std::atan2(2.0f * y * z + 2.0f * w * x, 1.0f - (2.0f * y * y + 2.0f * x * x));
        ez = std::atan2(2.0f * x * y + 2.0f * w * z, 1.0f - (2.0f * z * z + 2.0f * y * y));
    } else {
        ez = 0.0f;
        ex = std::atan2(2.0f * x * y - 2.0f * w * z, 1.0f - (2.0f * z * z + 2.0f * x * x));
        if (ey < 1.5707963f) ex = -ex;
    }
    euler[0] = ex;
    euler[1] = ey;
    euler[2] = ez;
}

// General 4x4 inversion, exchanging rows only for a tiny pivot. Returns false, with out
// set to the identity, when a pivot comes out zero (or not finite), so a degenerate matrix
// never spreads NaN.
bool invertMatrix4(const float in[16], float out[16]);
