#include "tracking/Identify.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "tracking/BlurredMatch.h"
#include "tracking/BlurredSquare.h"
#include "tracking/CameraParam.h"
#include "tracking/EdgeRefine.h"
#include "tracking/Matrix.h"
#include "tracking/Pattern.h"

namespace {

constexpr auto& kModelSquare = kSamplingSquare;
constexpr double kPatternStart = kSamplingPatternStart;
constexpr double kPatternSide = kSamplingPatternSide;
constexpr int kMaxGrid = 64;
constexpr int kMaxFitPoints = 256;  // contour points per side in the line fit
// Below this confidence a blurred square is compared with blurred templates as well.
constexpr double kTryBlurredBelow = 0.7;
// ... and such a match counts only from this correlation on: blurred templates are
// smooth, and a smooth template finds some likeness in any dark smudge. A blurred marker
// correlates with them by 0.8 to 0.99; a letter of the picture under a glare by 0.55 to
// 0.7.
constexpr double kMinBlurredConfidence = 0.8;
// A thin square placed anew by the blurred fit counts from this correlation on: its
// corners come from the picture itself, as an unrefined square's do, and the blurs tried
// are many.
constexpr double kMinFittedConfidence = 0.85;
// ... and only where the whole blurred square fits the frame this well: a marker's does
// by 0.95 and more, a dark smudge that happens to look like the picture by far less.
constexpr double kMinFit = 0.9;

// Blurred fits left in this labelling pass (set by identifyCandidates, which starts each
// pass; the squares recovered from broken outlines in the pass share them). A fit costs
// milliseconds, and a frame full of dark blocks holds many thin, weakly named squares.
int g_fitsLeft = 0;
constexpr int kMaxFitsPerPass = 1;

// Replaces line (an edge line) by the line through ideal points a and b, keeping the side
// its normal points to.
void lineThrough(const double a[2], const double b[2], double line[3]) {
    const double dx = b[0] - a[0], dy = b[1] - a[1];
    const double length = std::hypot(dx, dy);
    const double sign = dy * line[0] - dx * line[1] < 0 ? -1.0 : 1.0;
    line[0] = sign * dy / length;
    line[1] = -sign * dx / length;
    line[2] = -(line[0] * a[0] + line[1] * a[1]);
}

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
        // The sides of a square held near an HD camera run to thousands of contour
        // points; a few hundred evenly spread fit the line as well, for a fraction of the
        // undistortions.
        const int stride = (m + kMaxFitPoints - 1) / kMaxFitPoints;
        double points[kMaxFitPoints][2];
        int used = 0;
        double mx = 0.0, my = 0.0;
        for (int k = first; k <= last && used < kMaxFitPoints; k += stride, ++used) {
            observedToIdeal(distortion, contourX[k], contourY[k], &points[used][0], &points[used][1]);
            mx += points[used][0];
            my += points[used][1];
        }
        mx /= used;
        my /= used;
        double sxx = 0.0, sxy = 0.0, syy = 0.0;
        for (int k = 0; k < used; ++k) {
            const double dx = points[k][0] - mx, dy = points[k][1] - my;
            sxx += dx * dx;
            sxy += dx * dy;
            syy += dy * dy;
        }
        if (sxx + syy <= 0.0) return -1;  // all points in one place: no direction
        // The principal axis (direction of the larger spread); the line's normal is
        // perpendicular to it.
        const double angle = 0.5 * std::atan2(2 * sxy, sxx - syy);
        const double ex = std::cos(angle), ey = std::sin(angle);
        lines[i][0] = ey;
        lines[i][1] = -ex;
        lines[i][2] = -(ey * mx - ex * my);
    }
    double meet[4][2];
    if (intersectEdgeLines(lines, meet) < 0) return -1;
    std::memcpy(edgeLines, lines, sizeof lines);
    std::memcpy(corners, meet, sizeof meet);
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
        const double Y = kPatternStart + kPatternSide * (j + 0.5) / gridY;
        for (int i = 0; i < gridX; ++i) {
            const double X = kPatternStart + kPatternSide * (i + 0.5) / gridX;
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

void nameSquare(const uint8_t* frame, int width, int height, const double observedCorners[4][2],
                const double* rise, DetectedMarker& marker) {
    uint8_t patch[kPatchBytes];
    if (samplePatternAt(frame, width, height, observedCorners, patch) < 0) {
        marker.pattern = -1;
        marker.orientation = -1;
        marker.confidence = 0.0;
        return;
    }
    matchPattern(patch, &marker.pattern, &marker.orientation, &marker.confidence);
    // A weak match on a blurred frame: compare with the templates blurred alike.
    BlurShape shapes[3];
    const int blurs = rise && marker.confidence < kTryBlurredBelow ? blurShapesFromRises(observedCorners, rise, shapes)
                                                                   : 0;
    for (int b = 0; b < blurs; ++b) {
        int pattern, orientation;
        double confidence;
        if (matchBlurredPattern(patch, observedCorners, shapes[b], &pattern, &orientation, &confidence) &&
            confidence >= kMinBlurredConfidence && confidence > marker.confidence) {
            marker.pattern = pattern;
            marker.orientation = orientation;
            marker.confidence = confidence;
        }
    }
    // Still weak on a thin square: a blur as long as its border is thick leaves the border
    // no plateau, so its edges gave no rise, or a wrong one, and the corners may lie pixels
    // off. It is placed anew where its picture, blurred alike, fits the frame.
    if (marker.confidence < kTryBlurredBelow && g_fitsLeft > 0 && isThinSquare(observedCorners) &&
        showsBlurredEdge(frame, width, height, observedCorners)) {
        BlurredSquare fit;
        --g_fitsLeft;
        const bool fitted = fitBlurredSquare(frame, width, height, observedCorners, &fit);
        if (!fitted || fit.confidence < kMinFittedConfidence || fit.fit < kMinFit ||
            !(fit.confidence > marker.confidence))
            return;
        const CameraParam& param = trackerCameraParam();
        double corners[4][2];
        for (int k = 0; k < 4; ++k)
            observedToIdeal(param.distortion, fit.corners[k][0], fit.corners[k][1], &corners[k][0], &corners[k][1]);
        for (int k = 0; k < 4; ++k) {
            lineThrough(corners[k], corners[(k + 1) % 4], marker.edgeLines[k]);
            marker.corners[k][0] = corners[k][0];
            marker.corners[k][1] = corners[k][1];
        }
        marker.pattern = fit.pattern;
        marker.orientation = fit.orientation;
        marker.confidence = fit.confidence;
    }
}

int identifyCandidates(const uint8_t* frame, int width, int height, const MarkerCandidate* candidates, int count,
                       DetectedMarker* markers) {
    const CameraParam& param = trackerCameraParam();
    g_fitsLeft = kMaxFitsPerPass;
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
        double rise[4];
        marker.refined = subpixelEdges() && refineEdges(frame, width, height, param.distortion, marker.edgeLines,
                                                        marker.corners, rise)
                             ? 1
                             : 0;
        // The corners of the fitted (and, where it worked, refined) edge lines place the
        // sampling grid on the square to a fraction of a pixel, which matters most for
        // small, steeply tilted markers where a pixel is a large part of a cell; the
        // contour's own corner pixels are rounded off by blur and by the pixel grid.
        double observedCorners[4][2];
        for (int k = 0; k < 4; ++k)
            idealToObserved(param.distortion, marker.corners[k][0], marker.corners[k][1], &observedCorners[k][0],
                            &observedCorners[k][1]);
        nameSquare(frame, width, height, observedCorners, marker.refined ? rise : nullptr, marker);
        ++filled;
    }
    return filled;
}
