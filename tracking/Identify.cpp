#include "tracking/Identify.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "tracking/CameraParam.h"
#include "tracking/EdgeRefine.h"
#include "tracking/Matrix.h"
#include "tracking/Pattern.h"

namespace {

// The marker's outer square in an abstract plane; the pattern fills the middle half.
constexpr double kModelSquare[4][2] = {{100.0, 100.0}, {110.0, 100.0}, {110.0, 110.0}, {100.0, 110.0}};
constexpr double kPatternStart = 102.5;
constexpr double kPatternSide = 5.0;
constexpr int kMaxGrid = 64;

}  // namespace

int fitEdgeLines(const int* contourX, const int* contourY, const int cornerIndex[5], const double distortion[4],
                 double edgeLines[4][3], double corners[4][2]) {
    double lines[4][3];
    for (int i = 0; i < 4; ++i) {
        const int s = cornerIndex[i];
        const int e = cornerIndex[i + 1];
        const double margin = (e - s + 1) * 0.05 + 0.5;
        const int first = static_cast<int>(s + margin);
        const int last = static_cast<int>(e - margin);
        const int m = last - first + 1;
        if (m < 2) return -1;
        Matrix* points = newMatrix(m, 2);
        Matrix* axes = newMatrix(2, 2);
        Vector* spread = newVector(2);
        Vector* mean = newVector(2);
        int result = -1;
        if (points && axes && spread && mean) {
            for (int k = 0; k < m; ++k)
                observedToIdeal(distortion, contourX[first + k], contourY[first + k], &points->m[2 * k],
                                &points->m[2 * k + 1]);
            result = principalComponents(points, axes, spread, mean);
        }
        if (result == 0) {
            const double ex = axes->m[0];
            const double ey = axes->m[1];
            lines[i][0] = ey;
            lines[i][1] = -ex;
            lines[i][2] = -(ey * mean->v[0] - ex * mean->v[1]);
        }
        deleteMatrix(points);
        deleteMatrix(axes);
        deleteVector(spread);
        deleteVector(mean);
        if (result < 0) return -1;
    }
    double meet[4][2];
    if (intersectEdgeLines(lines, meet) < 0) return -1;
    std::memcpy(edgeLines, lines, sizeof lines);
    std::memcpy(corners, meet, sizeof meet);
    return 0;
}

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
    if (computeHomography(kModelSquare, image, h) < 0) return -1;

    auto squared = [&](int a, int b) {
        const double dx = image[a][0] - image[b][0];
        const double dy = image[a][1] - image[b][1];
        return static_cast<int>(dx * dx + dy * dy);
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
        const double Y = kPatternStart + kPatternSide * (j + 0.5) / gridY;
        for (int i = 0; i < gridX; ++i) {
            const double X = kPatternStart + kPatternSide * (i + 0.5) / gridX;
            const double w = h[2][0] * X + h[2][1] * Y + 1.0;
            if (w == 0.0) return -1;
            const double fx = (h[0][0] * X + h[0][1] * Y + h[0][2]) / w;
            const double fy = (h[1][0] * X + h[1][1] * Y + h[1][2]) / w;
            // Range-check in double: a near-degenerate mapping can send points far beyond int.
            if (!(fx > -1.0 && fx < width && fy > -1.0 && fy < height)) continue;
            const int px = static_cast<int>(fx);
            const int py = static_cast<int>(fy);
            if (px < 0 || py < 0) continue;
            const uint8_t* pixel = frame + (static_cast<size_t>(py) * width + px) * 4;
            int* cell = sums + ((j / cellY) * 16 + i / cellX) * 3;
            cell[0] += pixel[0];
            cell[1] += pixel[1];
            cell[2] += pixel[2];
        }
    }
    const int perCell = cellX * cellY;
    for (int k = 0; k < kPatchBytes; ++k) patch[k] = static_cast<uint8_t>(sums[k] / perCell);
    return 0;
}

int matchPattern(const uint8_t patch[kPatchBytes], int* pattern, int* orientation, double* confidence) {
    int sum = 0;
    for (int k = 0; k < kPatchBytes; ++k) sum += 255 - patch[k];
    const int mean = sum / kPatchBytes;
    int input[kPatchBytes];
    long long squares = 0;
    for (int k = 0; k < kPatchBytes; ++k) {
        input[k] = 255 - patch[k] - mean;
        squares += static_cast<long long>(input[k]) * input[k];
    }
    const double power = std::sqrt(static_cast<double>(squares));
    if (power == 0.0) {
        *pattern = 0;
        *orientation = 0;
        *confidence = -1.0;
        return -1;
    }

    const PatternTable& table = patternTable();
    double best = 0.0;
    int bestPattern = -1;
    int bestOrientation = -1;
    int slot = -1;
    for (int loaded = 0; loaded < table.count; ++loaded) {
        do {
            ++slot;
        } while (slot < kPatternSlots && table.state[slot] == 0);
        if (slot >= kPatternSlots) break;
        if (table.state[slot] == 2) continue;
        for (int d = 0; d < 4; ++d) {
            const int* templ = &table.colour[slot][d][0][0][0];
            long long dot = 0;
            for (int k = 0; k < kPatchBytes; ++k) dot += static_cast<long long>(input[k]) * templ[k];
            const double value = static_cast<double>(dot) / table.colourPower[slot][d] / power;
            if (value > best) {
                best = value;
                bestPattern = slot;
                bestOrientation = d;
            }
        }
    }
    *pattern = bestPattern;
    *orientation = bestOrientation;
    *confidence = best;
    return 0;
}

int identifyCandidates(const uint8_t* frame, int width, int height, const MarkerCandidate* candidates, int count,
                       DetectedMarker* markers) {
    const CameraParam& param = trackerCameraParam();
    int filled = 0;
    for (int i = 0; i < count && filled < kMaxMarkers; ++i) {
        const MarkerCandidate& candidate = candidates[i];
        DetectedMarker& marker = markers[filled];
        marker.area = candidate.area;
        marker.center[0] = candidate.center[0];
        marker.center[1] = candidate.center[1];
        if (fitEdgeLines(candidate.contourX, candidate.contourY, candidate.cornerIndex, param.distortion,
                         marker.edgeLines, marker.corners) < 0)
            continue;
        marker.refined = subpixelEdges() && refineEdges(frame, width, height, param.distortion, marker.edgeLines,
                                                        marker.corners)
                             ? 1
                             : 0;
        uint8_t patch[kPatchBytes];
        // Refined corners place the sampling grid on the true square, which matters most
        // for small, steeply tilted markers where a pixel is a large part of a cell.
        double refinedCorners[4][2];
        for (int k = 0; k < 4; ++k)
            idealToObserved(param.distortion, marker.corners[k][0], marker.corners[k][1], &refinedCorners[k][0],
                            &refinedCorners[k][1]);
        const int sampled = marker.refined
                                ? samplePatternAt(frame, width, height, refinedCorners, patch)
                                : samplePattern(frame, width, height, candidate.contourX, candidate.contourY,
                                                candidate.cornerIndex, patch);
        if (sampled < 0) {
            marker.pattern = -1;
            marker.orientation = -1;
            marker.confidence = 0.0;
        } else {
            matchPattern(patch, &marker.pattern, &marker.orientation, &marker.confidence);
        }
        ++filled;
    }
    return filled;
}
