#include "tracking/PatternSampling.h"

#include <algorithm>
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

namespace {

constexpr int kMaxGrid = 64;

// Adds the three colour bytes at (x, y), bilinear between the pixel centres (integer
// coordinates), to sum; the nearest pixel beyond the frame's edge repeats the edge pixel.
// The weights are in 1/256ths so that cells of any sample count stay in integers.
void bilinearAdd(const uint8_t* frame, int width, int height, double x, double y, int sum[3]) {
    const double fx = std::floor(x), fy = std::floor(y);
    const int wx = static_cast<int>((x - fx) * 256.0 + 0.5);
    const int wy = static_cast<int>((y - fy) * 256.0 + 0.5);
    const int x0 = std::max(0, static_cast<int>(fx));
    const int y0 = std::max(0, static_cast<int>(fy));
    const int x1 = std::min(width - 1, static_cast<int>(fx) + 1);
    const int y1 = std::min(height - 1, static_cast<int>(fy) + 1);
    const uint8_t* p00 = frame + (static_cast<size_t>(y0) * width + x0) * 4;
    const uint8_t* p01 = frame + (static_cast<size_t>(y0) * width + x1) * 4;
    const uint8_t* p10 = frame + (static_cast<size_t>(y1) * width + x0) * 4;
    const uint8_t* p11 = frame + (static_cast<size_t>(y1) * width + x1) * 4;
    for (int c = 0; c < 3; ++c) {
        const int top = p00[c] * (256 - wx) + p01[c] * wx;
        const int bottom = p10[c] * (256 - wx) + p11[c] * wx;
        sum[c] += (top * (256 - wy) + bottom * wy + (1 << 15)) >> 16;
    }
}


}  // namespace

int samplingGridSize(int squaredSide) {
    int grid = 16;
    while (grid * grid < squaredSide / 4 && grid < kMaxGrid) grid *= 2;
    return grid;
}

int samplePattern(const uint8_t* frame, int width, int height, const int* contourX, const int* contourY,
                  const int cornerIndex[5], uint8_t patch[kPatchBytes]) {
    double image[4][2];
    for (int i = 0; i < 4; ++i) {
        image[i][0] = contourX[cornerIndex[i]];
        image[i][1] = contourY[cornerIndex[i]];
    }
    return samplePatternAt(frame, width, height, image, patch);
}

int samplePatternAt(const uint8_t* frame, int width, int height, const double image[4][2],
                    uint8_t patch[kPatchBytes]) {
    double h[3][3];
    if (computeHomography(kSamplingSquare, image, h) < 0) return -1;

    auto squared = [&](int a, int b) {
        const double dx = image[a][0] - image[b][0];
        const double dy = image[a][1] - image[b][1];
        // Corners from nearly parallel edge lines can lie far beyond the frame: clamp
        // before converting (the grid is at its finest long before this).
        const double d = dx * dx + dy * dy;
        return d < 1e9 ? static_cast<int>(d) : 1000000000;
    };
    const int sideX = std::max(squared(0, 1), squared(2, 3));
    const int sideY = std::max(squared(1, 2), squared(3, 0));
    const int gridX = samplingGridSize(sideX);
    const int gridY = samplingGridSize(sideY);
    const int cellX = gridX / 16;
    const int cellY = gridY / 16;

    int sums[kPatchBytes];
    std::memset(sums, 0, sizeof sums);
    for (int j = 0; j < gridY; ++j) {
        const double Y = kSamplingPatternStart + kSamplingPatternSide * (j + 0.5) / gridY;
        for (int i = 0; i < gridX; ++i) {
            const double X = kSamplingPatternStart + kSamplingPatternSide * (i + 0.5) / gridX;
            const double w = h[2][0] * X + h[2][1] * Y + 1.0;
            if (w == 0.0) return -1;
            const double fx = (h[0][0] * X + h[0][1] * Y + h[0][2]) / w;
            const double fy = (h[1][0] * X + h[1][1] * Y + h[1][2]) / w;
            // Pixel i covers [i - 0.5, i + 0.5) in these coordinates (its centre at i); a
            // sample outside every pixel is outside the frame. Range-check in double: a
            // near-degenerate mapping can send points far beyond int.
            if (!(fx >= -0.5 && fx < width - 0.5 && fy >= -0.5 && fy < height - 0.5)) continue;
            int* cell = sums + ((j / cellY) * 16 + i / cellX) * 3;
            bilinearAdd(frame, width, height, fx, fy, cell);
        }
    }
    // Rounded, not truncated: a cell of samples all 200 reads 200.
    const int perCell = cellX * cellY;
    for (int k = 0; k < kPatchBytes; ++k) patch[k] = static_cast<uint8_t>((sums[k] + perCell / 2) / perCell);
    return 0;
}
