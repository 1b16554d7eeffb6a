#include "tracking/PatternSampling.h"

#include <cmath>
#include <cstring>

#include "tracking/Matrix.h"

int computeHomography(const double model[4][2], const double image[4][2], double h[3][3]) {
    double a[8][8];
    double rhs[8];
    for (int i = 0; i < 4; ++i) {
        const double X = model[i][0];
        const double Y = model[i][1];
        const double x = image[i][0];
        const double y = image[i][1];
        const double rowX[8] = {X, Y, 1.0, 0.0, 0.0, 0.0, -X * x, -Y * x};
        const double rowY[8] = {0.0, 0.0, 0.0, X, Y, 1.0, -X * y, -Y * y};
        std::memcpy(a[2 * i], rowX, sizeof rowX);
        std::memcpy(a[2 * i + 1], rowY, sizeof rowY);
        rhs[2 * i] = x;
        rhs[2 * i + 1] = y;
    }
    // A singular system means collinear corners: no mapping, rather than a garbage one.
    if (!invertRawInPlace(&a[0][0], 8, 8)) return -1;
    double solution[8];
    for (int r = 0; r < 8; ++r) {
        double sum = 0.0;
        for (int c = 0; c < 8; ++c) sum += a[r][c] * rhs[c];
        solution[r] = sum;
    }
    h[0][0] = solution[0];
    h[0][1] = solution[1];
    h[0][2] = solution[2];
    h[1][0] = solution[3];
    h[1][1] = solution[4];
    h[1][2] = solution[5];
    h[2][0] = solution[6];
    h[2][1] = solution[7];
    h[2][2] = 1.0;
    return 0;
}

bool invert3(const double m[3][3], double out[3][3]) {
    const double c00 = m[1][1] * m[2][2] - m[1][2] * m[2][1];
    const double c01 = m[1][2] * m[2][0] - m[1][0] * m[2][2];
    const double c02 = m[1][0] * m[2][1] - m[1][1] * m[2][0];
    const double det = m[0][0] * c00 + m[0][1] * c01 + m[0][2] * c02;
    if (!(std::fabs(det) > 1e-12) || !std::isfinite(det)) return false;
    const double inv = 1.0 / det;
    out[0][0] = c00 * inv;
    out[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) * inv;
    out[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) * inv;
    out[1][0] = c01 * inv;
    out[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) * inv;
    out[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) * inv;
    out[2][0] = c02 * inv;
    out[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) * inv;
    out[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) * inv;
    return true;
}
