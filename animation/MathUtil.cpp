#include "animation/MathUtil.h"

#include <cmath>

bool invertMatrix4(const float in[16], float out[16]) {
    // Gauss-Jordan on [A | I] in double. Rows are exchanged only when the diagonal pivot is
    // too small to divide by: a bone turned 90 degrees has a zero on its diagonal yet is
    // perfectly invertible.
    double a[4][8];
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            a[r][c] = in[4 * c + r];  // column-major storage
            a[r][4 + c] = (r == c) ? 1.0 : 0.0;
        }
    }
    for (int col = 0; col < 4; ++col) {
        if (std::fabs(a[col][col]) < 1e-6) {
            int best = col;
            for (int r = col + 1; r < 4; ++r) {
                if (std::fabs(a[r][col]) > std::fabs(a[best][col])) best = r;
            }
            if (best != col) {
                for (int c = 0; c < 8; ++c) {
                    double t = a[col][c];
                    a[col][c] = a[best][c];
                    a[best][c] = t;
                }
            }
        }
        const double pivot = a[col][col];
        if (pivot == 0.0 || !std::isfinite(pivot)) {
            setIdentityMatrix4(out);
            return false;
        }
        const double inv = 1.0 / pivot;
        for (int c = 0; c < 8; ++c) a[col][c] *= inv;
        for (int r = 0; r < 4; ++r) {
            if (r == col) continue;
            const double f = a[r][col];
            if (f == 0.0) continue;
            for (int c = 0; c < 8; ++c) a[r][c] -= f * a[col][c];
        }
    }
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) out[4 * c + r] = static_cast<float>(a[r][4 + c]);
    }
    return true;
}
