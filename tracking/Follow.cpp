#include "tracking/Follow.h"

#include <algorithm>
#include <cmath>

#include "tracking/BrokenOutline.h"
#include "tracking/CameraParam.h"
#include "tracking/EdgeRefine.h"
#include "tracking/Identify.h"

namespace {

// How far a side may have moved between two frames: this share of its length, within
// limits in pixels.
constexpr double kReachShare = 0.1;
constexpr double kMinReach = 3.0;
constexpr double kMaxReach = 16.0;
constexpr double kStep = 0.5;          // pixels between profile samples
constexpr int kMaxProfile = 2 * 32 + 1;
constexpr int kSamples = 48;           // per side
// A step must rise by this much (three channels summed) over two pixels to be an edge.
constexpr double kMinRise = 60.0;
constexpr double kInlier = 1.0;        // pixels off the side's line fit
constexpr double kMinShown = 0.3;      // share of a side's samples that must show its edge
constexpr double kMinSideRatio = 0.5;  // shortest side to longest, against the previous frame's

// The strongest dark-inside, light-outside step along the outward normal n from (x, y)
// within +-reach, as an offset along n; the slope-weighted centre of its rise.
bool strongestStep(const uint8_t* frame, int width, int height, double x, double y, const double n[2],
                   double reach, double* offset) {
    const int half = std::min(kMaxProfile / 2, static_cast<int>(reach / kStep));
    const int count = 2 * half + 1;
    double profile[kMaxProfile];
    for (int k = 0; k < count; ++k) {
        const double o = (k - half) * kStep;
        if (!greyLevelAt(frame, width, height, x + o * n[0], y + o * n[1], &profile[k])) return false;
    }
    int peak = -1;
    double steepest = kMinRise;
    for (int k = 2; k < count - 2; ++k) {
        const double rise = profile[k + 2] - profile[k - 2];
        if (rise > steepest) {
            steepest = rise;
            peak = k;
        }
    }
    if (peak < 0) return false;
    double weight = 0.0, moment = 0.0;
    for (int k = std::max(1, peak - 3); k <= std::min(count - 2, peak + 3); ++k) {
        const double slope = std::max(0.0, profile[k + 1] - profile[k - 1]);
        weight += slope;
        moment += slope * (k - half) * kStep;
    }
    if (weight <= 0.0) return false;
    *offset = moment / weight;
    return true;
}

// Finds side a-b (ideal corners of the previous frame) again; its line in ideal
// coordinates. The fit keeps the points near the line through most of them, so an edge
// of the finger found instead here and there does not pull it.
bool findSide(const uint8_t* frame, int width, int height, const double distortion[4], const double a[2],
              const double b[2], const double centre[2], double line[3]) {
    double ao[2], bo[2];
    idealToObserved(distortion, a[0], a[1], &ao[0], &ao[1]);
    idealToObserved(distortion, b[0], b[1], &bo[0], &bo[1]);
    const double length = std::hypot(bo[0] - ao[0], bo[1] - ao[1]);
    if (!(length >= 8.0 && length <= 1e5)) return false;
    double n[2] = {(bo[1] - ao[1]) / length, -(bo[0] - ao[0]) / length};
    if (n[0] * ((ao[0] + bo[0]) / 2 - centre[0]) + n[1] * ((ao[1] + bo[1]) / 2 - centre[1]) < 0) {
        n[0] = -n[0];
        n[1] = -n[1];
    }
    // Within the black border (a quarter of the side), or the step found could be the
    // inner one around the picture.
    const double reach = std::min(std::clamp(kReachShare * length, kMinReach, kMaxReach), length / 8.0);
    const int count = std::min(kSamples, std::max(4, static_cast<int>(length / 2)));
    double points[kSamples][2];
    bool use[kSamples];
    int found = 0;
    for (int k = 0; k < count; ++k) {
        const double t = 0.1 + 0.8 * (k + 0.5) / count;
        double x, y, offset;
        idealToObserved(distortion, a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1]), &x, &y);
        if (!strongestStep(frame, width, height, x, y, n, reach, &offset)) continue;
        observedToIdeal(distortion, x + offset * n[0], y + offset * n[1], &points[found][0], &points[found][1]);
        ++found;
    }
    const int needed = std::max(4, static_cast<int>(kMinShown * count + 0.5));
    if (found < needed) return false;
    // The line through the most points: tried through pairs of samples, then refitted.
    int bestKept = 0;
    double best[3] = {0, 0, 0};
    for (int i = 0; i < found; i += 2) {
        for (int j = i + found / 3; j < found; j += 3) {
            const double dx = points[j][0] - points[i][0], dy = points[j][1] - points[i][1];
            const double norm = std::hypot(dx, dy);
            if (norm < 1.0) continue;
            const double trial[3] = {-dy / norm, dx / norm, (dy * points[i][0] - dx * points[i][1]) / norm};
            int kept = 0;
            for (int k = 0; k < found; ++k)
                kept += std::fabs(trial[0] * points[k][0] + trial[1] * points[k][1] + trial[2]) <= kInlier;
            if (kept > bestKept) {
                bestKept = kept;
                std::copy(trial, trial + 3, best);
            }
        }
    }
    if (bestKept < needed) return false;
    for (int k = 0; k < found; ++k) use[k] = std::fabs(best[0] * points[k][0] + best[1] * points[k][1] + best[2]) <= kInlier;
    return fitLineThrough(points, use, found, line);
}

}  // namespace

bool followMarker(const PatternTable& table, const uint8_t* frame, int width, int height,
                  const double distortion[4], const DetectedMarker& past, double minConfidence,
                  DetectedMarker& now) {
    if (!frame || width < 3 || height < 3 || past.pattern < 0) return false;
    double centre[2] = {0, 0};
    for (int c = 0; c < 4; ++c) {
        double ox, oy;
        idealToObserved(distortion, past.corners[c][0], past.corners[c][1], &ox, &oy);
        centre[0] += ox / 4;
        centre[1] += oy / 4;
    }
    double lines[4][3];
    for (int c = 0; c < 4; ++c)
        if (!findSide(frame, width, height, distortion, past.corners[c], past.corners[(c + 1) % 4], centre, lines[c]))
            return false;
    double corners[4][2];
    if (intersectEdgeLines(lines, corners) < 0) return false;

    // Much the same square as before: corners moved no farther than the sides were looked
    // for, sides of much the same lengths, still turning the same way.
    double pastSide[4], side[4];
    for (int c = 0; c < 4; ++c) {
        const int d = (c + 1) % 4;
        if (!std::isfinite(corners[c][0]) || !std::isfinite(corners[c][1])) return false;
        pastSide[c] = std::hypot(past.corners[d][0] - past.corners[c][0], past.corners[d][1] - past.corners[c][1]);
        side[c] = std::hypot(corners[d][0] - corners[c][0], corners[d][1] - corners[c][1]);
        if (!(side[c] >= kMinSideRatio * pastSide[c] && side[c] * kMinSideRatio <= pastSide[c])) return false;
        const double reach = std::clamp(kReachShare * pastSide[c], kMinReach, kMaxReach);
        if (std::hypot(corners[c][0] - past.corners[c][0], corners[c][1] - past.corners[c][1]) > 2.0 * reach)
            return false;
    }
    for (int c = 0; c < 4; ++c) {
        const double* p = corners[(c + 3) % 4];
        const double* q = corners[c];
        const double* r = corners[(c + 1) % 4];
        const double* pp = past.corners[(c + 3) % 4];
        const double* pq = past.corners[c];
        const double* pr = past.corners[(c + 1) % 4];
        const double turn = (q[0] - p[0]) * (r[1] - q[1]) - (q[1] - p[1]) * (r[0] - q[0]);
        const double pastTurn = (pq[0] - pp[0]) * (pr[1] - pq[1]) - (pq[1] - pp[1]) * (pr[0] - pq[0]);
        if (turn * pastTurn <= 0.0) return false;
    }

    DetectedMarker candidate = past;
    for (int c = 0; c < 4; ++c) {
        for (int k = 0; k < 3; ++k) candidate.edgeLines[c][k] = lines[c][k];
        candidate.corners[c][0] = corners[c][0];
        candidate.corners[c][1] = corners[c][1];
    }
    candidate.refined = refineEdges(frame, width, height, distortion, candidate.edgeLines, candidate.corners) ? 1 : 0;
    if (!candidate.refined) refineVisibleEdges(frame, width, height, distortion, candidate.edgeLines, candidate.corners);

    double observed[4][2];
    candidate.center[0] = candidate.center[1] = 0.0;
    for (int c = 0; c < 4; ++c) {
        idealToObserved(distortion, candidate.corners[c][0], candidate.corners[c][1], &observed[c][0], &observed[c][1]);
        candidate.center[0] += observed[c][0] / 4;
        candidate.center[1] += observed[c][1] / 4;
    }
    uint8_t patch[kPatchBytes];
    if (samplePatternAt(frame, width, height, observed, patch) < 0) return false;
    if (matchPattern(table, patch, &candidate.pattern, &candidate.orientation, &candidate.confidence) < 0)
        return false;
    if (candidate.pattern != past.pattern || candidate.confidence < minConfidence) return false;
    candidate.tracked = 1;
    now = candidate;
    return true;
}
