#include "tracking/PatternSampling.h"

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
