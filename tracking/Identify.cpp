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

int matchPattern(const PatternTable& table, const uint8_t patch[kPatchBytes], int* pattern, int* orientation,
                 double* confidence) {
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

void nameSquare(const TrackerTables& tables, int& fitsLeft, const uint8_t* frame, int width, int height,
                const double observedCorners[4][2], const double* rise, DetectedMarker& marker) {
    uint8_t patch[kPatchBytes];
    if (samplePatternAt(frame, width, height, observedCorners, patch) < 0) {
        marker.pattern = -1;
        marker.orientation = -1;
        marker.confidence = 0.0;
        return;
    }
    matchPattern(tables.patterns, patch, &marker.pattern, &marker.orientation, &marker.confidence);
    // A weak match on a blurred frame: compare with the templates blurred alike.
    BlurShape shapes[3];
    const int blurs = rise && marker.confidence < kTryBlurredBelow ? blurShapesFromRises(observedCorners, rise, shapes)
                                                                   : 0;
    for (int b = 0; b < blurs; ++b) {
        int pattern, orientation;
        double confidence;
        if (matchBlurredPattern(tables.patterns, patch, observedCorners, shapes[b], &pattern, &orientation,
                                &confidence) &&
            confidence >= kMinBlurredConfidence && confidence > marker.confidence) {
            marker.pattern = pattern;
            marker.orientation = orientation;
            marker.confidence = confidence;
        }
    }
    // Still weak on a thin square: a blur as long as its border is thick leaves the border
    // no plateau, so its edges gave no rise, or a wrong one, and the corners may lie pixels
    // off. It is placed anew where its picture, blurred alike, fits the frame.
    if (marker.confidence < kTryBlurredBelow && fitsLeft > 0 && isThinSquare(observedCorners) &&
        showsBlurredEdge(frame, width, height, observedCorners)) {
        BlurredSquare fit;
        --fitsLeft;
        const bool fitted = fitBlurredSquare(tables.patterns, frame, width, height, observedCorners, &fit);
        if (!fitted || fit.confidence < kMinFittedConfidence || fit.fit < kMinFit ||
            !(fit.confidence > marker.confidence))
            return;
        const CameraParam& param = tables.workingParam;
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

int identifyCandidates(const TrackerTables& tables, int& fitsLeft, const uint8_t* frame, int width,
                       int height, const MarkerCandidate* candidates, int count, DetectedMarker* markers) {
    const CameraParam& param = tables.workingParam;
    fitsLeft = kMaxFitsPerPass;
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
        marker.refined = tables.subpixelEdges && refineEdges(frame, width, height, param.distortion,
                                                             marker.edgeLines, marker.corners, rise)
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
        nameSquare(tables, fitsLeft, frame, width, height, observedCorners, marker.refined ? rise : nullptr,
                   marker);
        ++filled;
    }
    return filled;
}
