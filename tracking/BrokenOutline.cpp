#include "tracking/BrokenOutline.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "tracking/CameraParam.h"
#include "tracking/EdgeRefine.h"

namespace {

// Contour pixels of a straight digitised side lie within about a pixel of its hull
// edge; noise and a soft edge add a little.
constexpr double kSideTolerance = 2.0;
// Hull vertices closer than this to the chord of their neighbours are dropped: what is
// left are the sides, and the cuts across bites.
constexpr double kHullTolerance = 1.5;
// Neighbouring hull edges this close in direction are one side with a kink in its pixels.
constexpr double kSameDirectionCos = 0.9945;  // 6 degrees
// A recovered corner may lie outside the visible region by at most this share of the
// shorter side meeting there: a finger hides a corner, not half the marker.
constexpr double kMaxHiddenCorner = 0.6;
constexpr double kMinSideRatio = 0.25;  // shortest side to longest
constexpr double kMinCornerSin = 0.34;  // corners between 20 and 160 degrees
// A whole outline (no hull edge cuts across a bite) is a square seen whole, and no part of
// it is guessed: seen nearly edge-on it may be far narrower than long and its corners far
// from right angles. Limits for it, where the sides are all in sight:
constexpr double kMinWholeSideRatio = 0.08;
constexpr double kMinWholeCornerSin = 0.17;  // 10 degrees
// A motion blur as long as the square is thick smears its corners: the threshold's outline
// cuts across them with short straight facets. On a whole outline a facet between two
// of the four sides, no longer than this share of the shorter of them, is such a cut
// corner, not a side of its own.
constexpr double kMaxCutCorner = 0.6;
constexpr int kMaxSides = 16;           // simplified hull edges looked at
constexpr double kMinCarriedShare = 0.85;  // of the outline's straight runs, on the four sides

// The grey-level step of a recovered side is looked for this far either side of the
// contour's line, in steps of kEdgeStep, and believed where it lies within kEdgeOutlier of
// it and rises by kEdgeContrast (three channels summed) or more.
constexpr double kEdgeReach = 3.0;
constexpr double kEdgeStep = 0.25;
constexpr double kEdgeOutlier = 1.5;
constexpr double kEdgeContrast = 45.0;
constexpr double kEdgeResidual = 0.5;  // pixels off a side's first fit
constexpr double kEdgeMaxTurn = 0.05;   // radians between the contour's line and the step's
constexpr int kEdgeSamples = 96;        // per side

struct Side {
    double p[2], q[2];  // end points on the hull, observed coordinates
    int support;        // contour points along it
};

double cross(double ax, double ay, double bx, double by) { return ax * by - ay * bx; }

// Points of the contour within tolerance of the segment p q (in its span, both ends
// trimmed by `trim` of its length).
template <typename Visit>
int forPointsAlong(const int* cx, const int* cy, int n, const double p[2], const double q[2], double tolerance,
                   double trim, Visit visit) {
    const double dx = q[0] - p[0], dy = q[1] - p[1];
    const double length = std::hypot(dx, dy);
    if (length <= 0.0) return 0;
    const double ux = dx / length, uy = dy / length;
    const double lo = trim * length, hi = (1.0 - trim) * length;
    int count = 0;
    for (int i = 0; i < n; ++i) {
        const double rx = cx[i] - p[0], ry = cy[i] - p[1];
        const double t = rx * ux + ry * uy;
        if (t < lo || t > hi) continue;
        if (std::fabs(cross(ux, uy, rx, ry)) > tolerance) continue;
        ++count;
        visit(i);
    }
    return count;
}

double edgeLength(const Side& side) { return std::hypot(side.q[0] - side.p[0], side.q[1] - side.p[1]); }

// Whether side k (not one of the four chosen, which are in hull order) lies where two
// chosen sides meet, with the facets there together short beside either: a corner cut off.
bool isCutCorner(const Side* sides, int count, const int chosen[4], int k) {
    int before = -1, after = -1;
    for (int c = 0; c < 4; ++c) {
        if (chosen[c] == k) return false;
        if (chosen[c] < k) before = chosen[c];
        if (chosen[c] > k && after < 0) after = chosen[c];
    }
    // The hull closes: before the first chosen side comes the last one, and after it.
    if (before < 0) before = chosen[3];
    if (after < 0) after = chosen[0];
    double cut = 0.0;
    for (int j = (before + 1) % count; j != after; j = (j + 1) % count) cut += edgeLength(sides[j]);
    return cut <= kMaxCutCorner * std::min(edgeLength(sides[before]), edgeLength(sides[after]));
}

// Convex hull of the contour points (Andrew's monotone chain); returns its vertex count.
int convexHull(const int* cx, const int* cy, int n, OutlineScratch& s) {
    for (int i = 0; i < n; ++i) s.order[i] = i;
    std::sort(s.order, s.order + n, [&](int a, int b) { return cx[a] != cx[b] ? cx[a] < cx[b] : cy[a] < cy[b]; });
    auto turn = [&](int o, int a, int b) {
        return static_cast<long long>(cx[a] - cx[o]) * (cy[b] - cy[o]) -
               static_cast<long long>(cy[a] - cy[o]) * (cx[b] - cx[o]);
    };
    int k = 0;
    for (int i = 0; i < n; ++i) {
        while (k >= 2 && turn(s.hull[k - 2], s.hull[k - 1], s.order[i]) <= 0) --k;
        s.hull[k++] = s.order[i];
    }
    for (int i = n - 2, lower = k + 1; i >= 0; --i) {
        while (k >= lower && turn(s.hull[k - 2], s.hull[k - 1], s.order[i]) <= 0) --k;
        s.hull[k++] = s.order[i];
    }
    return k - 1;  // the last vertex repeats the first
}

// Douglas-Peucker on the closed hull, starting from two far-apart vertices; writes the
// kept hull positions in order into s.simplified and returns their count.
int simplifyHull(const int* cx, const int* cy, int h, OutlineScratch& s) {
    auto px = [&](int k) { return cx[s.hull[k % h]]; };
    auto py = [&](int k) { return cy[s.hull[k % h]]; };
    int far = 0;
    long long best = -1;
    for (int k = 1; k < h; ++k) {
        const long long d = static_cast<long long>(px(k) - px(0)) * (px(k) - px(0)) +
                            static_cast<long long>(py(k) - py(0)) * (py(k) - py(0));
        if (d > best) {
            best = d;
            far = k;
        }
    }
    // s.simplified doubles as the keep flags, indexed by hull position.
    int* keep = s.simplified;
    std::fill(keep, keep + h, 0);
    keep[0] = keep[far] = 1;
    int top = 0;
    s.stack[top++] = 0;
    s.stack[top++] = far;
    s.stack[top++] = far;
    s.stack[top++] = h;
    while (top > 0) {
        const int end = s.stack[--top];
        const int start = s.stack[--top];
        const double ax = px(start), ay = py(start);
        const double dx = px(end) - ax, dy = py(end) - ay;
        const double length = std::hypot(dx, dy);
        int farthest = -1;
        double worst = kHullTolerance;
        for (int k = start + 1; k < end; ++k) {
            const double d = length > 0.0 ? std::fabs(cross(dx, dy, px(k) - ax, py(k) - ay)) / length
                                           : std::hypot(px(k) - ax, py(k) - ay);
            if (d > worst) {
                worst = d;
                farthest = k;
            }
        }
        if (farthest < 0 || top + 4 > 2 * kMaxContourPoints) continue;
        keep[farthest % h] = 1;
        s.stack[top++] = start;
        s.stack[top++] = farthest;
        s.stack[top++] = farthest;
        s.stack[top++] = end;
    }
    int m = 0;
    for (int k = 0; k < h; ++k)
        if (keep[k]) s.simplified[m++] = s.hull[k];  // m <= k: never overwrites an unread flag
    return m;
}

// Total least squares line (a, b, c; a^2 + b^2 = 1) through the contour points along p q,
// in ideal coordinates. False for fewer than three points.
bool fitSide(const int* cx, const int* cy, int n, const double p[2], const double q[2], const double distortion[4],
             double line[3]) {
    double sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
    const int count = forPointsAlong(cx, cy, n, p, q, kSideTolerance, 0.05, [&](int i) {
        double x, y;
        observedToIdeal(distortion, cx[i], cy[i], &x, &y);
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
        syy += y * y;
    });
    if (count < 3) return false;
    const double mx = sx / count, my = sy / count;
    const double cxx = sxx / count - mx * mx, cxy = sxy / count - mx * my, cyy = syy / count - my * my;
    // Direction of largest spread: the eigenvector of the 2x2 covariance.
    const double angle = 0.5 * std::atan2(2.0 * cxy, cxx - cyy);
    const double ux = std::cos(angle), uy = std::sin(angle);
    line[0] = -uy;
    line[1] = ux;
    line[2] = -(line[0] * mx + line[1] * my);
    return true;
}

// Offset along the outward normal n of the dark-to-light step nearest (x, y), within
// +-kEdgeReach pixels: the slope-weighted centre of its steepest rise. False where the
// profile shows no such step (covered, or off the frame).
bool stepOffset(const uint8_t* frame, int width, int height, double x, double y, const double n[2],
                double* offset) {
    constexpr int kHalf = static_cast<int>(kEdgeReach / kEdgeStep);
    constexpr int kCount = 2 * kHalf + 1;
    double profile[kCount];
    for (int k = 0; k < kCount; ++k) {
        const double o = (k - kHalf) * kEdgeStep;
        if (!greyLevelAt(frame, width, height, x + o * n[0], y + o * n[1], &profile[k])) return false;
    }
    if (profile[kCount - 1] - profile[0] < kEdgeContrast) return false;
    int peak = -1;
    double steepest = 0.0;
    for (int k = 1; k < kCount - 1; ++k) {
        const double slope = profile[k + 1] - profile[k - 1];
        if (slope > steepest) {
            steepest = slope;
            peak = k;
        }
    }
    if (peak < 3 || peak > kCount - 4) return false;
    double weight = 0.0, moment = 0.0;
    const int window = static_cast<int>(1.5 / kEdgeStep);
    for (int k = std::max(1, peak - window); k <= std::min(kCount - 2, peak + window); ++k) {
        const double slope = std::max(0.0, profile[k + 1] - profile[k - 1]);
        weight += slope;
        moment += slope * (k - kHalf) * kEdgeStep;
    }
    if (weight <= 0.0) return false;
    *offset = moment / weight;
    return true;
}

// Moves one side (ideal line through ideal corners a, b) onto the grey-level step where
// enough of it shows one, leaving it as it was otherwise.
void refineVisibleSide(const uint8_t* frame, int width, int height, const double distortion[4], const double a[2],
                       const double b[2], const double centre[2], double line[3]) {
    double ao[2], bo[2];
    idealToObserved(distortion, a[0], a[1], &ao[0], &ao[1]);
    idealToObserved(distortion, b[0], b[1], &bo[0], &bo[1]);
    const double length = std::hypot(bo[0] - ao[0], bo[1] - ao[1]);
    if (!(length >= 8.0 && length <= 1e5)) return;
    double n[2] = {(bo[1] - ao[1]) / length, -(bo[0] - ao[0]) / length};
    if (n[0] * ((ao[0] + bo[0]) / 2 - centre[0]) + n[1] * ((ao[1] + bo[1]) / 2 - centre[1]) < 0) {
        n[0] = -n[0];
        n[1] = -n[1];
    }
    const int count = static_cast<int>(std::clamp(length * 0.8, 4.0, double(kEdgeSamples)));
    double points[kEdgeSamples][2];
    int found = 0;
    for (int k = 0; k < count; ++k) {
        const double t = 0.1 + 0.8 * (k + 0.5) / count;
        double x, y, offset;
        idealToObserved(distortion, a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1]), &x, &y);
        if (!stepOffset(frame, width, height, x, y, n, &offset) || std::fabs(offset) > kEdgeOutlier) continue;
        observedToIdeal(distortion, x + offset * n[0], y + offset * n[1], &points[found][0], &points[found][1]);
        ++found;
    }
    if (found < std::max(4, static_cast<int>(kMinSideSupport * count))) return;
    bool use[kEdgeSamples];
    std::fill(use, use + found, true);
    double fitted[3];
    if (!fitLineThrough(points, use, found, fitted)) return;
    // Where a finger crosses the side, the step from ink to skin lies off the paper's edge:
    // such samples are dropped, and the side must still show enough of a straight step.
    int kept = 0;
    for (int k = 0; k < found; ++k) {
        use[k] = std::fabs(fitted[0] * points[k][0] + fitted[1] * points[k][1] + fitted[2]) <= kEdgeResidual;
        kept += use[k];
    }
    if (kept < std::max(4, static_cast<int>(kMinSideSupport * count))) return;
    if (kept < found && !fitLineThrough(points, use, found, fitted)) return;
    // The step must agree with the contour's line: a different direction is something else.
    if (std::fabs(fitted[0] * line[0] + fitted[1] * line[1]) < std::cos(kEdgeMaxTurn)) return;
    for (int k = 0; k < 3; ++k) line[k] = fitted[k];
}

}  // namespace

bool recoverSquareFromOutline(const int* contourX, const int* contourY, int n, const double distortion[4],
                              OutlineScratch& scratch, double edgeLines[4][3], double corners[4][2],
                              double* supportOut) {
    const int points = n - 1;  // the last point repeats the first
    if (points < 8 || points > kMaxContourPoints) return false;
    const int h = convexHull(contourX, contourY, points, scratch);
    if (h < 4) return false;
    const int m = simplifyHull(contourX, contourY, h, scratch);
    if (m < 4) return false;

    // Hull edges the contour follows are sides; merge neighbours of one direction. An
    // edge the contour does not follow cuts across a bite.
    Side sides[kMaxSides];
    int count = 0;
    bool whole = m <= kMaxSides;
    for (int k = 0; k < m && k < kMaxSides; ++k) {
        const int a = scratch.simplified[k], b = scratch.simplified[(k + 1) % m];
        Side side{{double(contourX[a]), double(contourY[a])}, {double(contourX[b]), double(contourY[b])}, 0};
        const double length = std::hypot(side.q[0] - side.p[0], side.q[1] - side.p[1]);
        side.support = forPointsAlong(contourX, contourY, points, side.p, side.q, kSideTolerance, 0.0, [](int) {});
        if (side.support < kMinSideSupport * length) {
            whole = false;
            continue;
        }
        if (count > 0) {
            Side& last = sides[count - 1];
            const double lx = last.q[0] - last.p[0], ly = last.q[1] - last.p[1];
            const double dx = side.q[0] - side.p[0], dy = side.q[1] - side.p[1];
            const bool touching = last.q[0] == side.p[0] && last.q[1] == side.p[1];
            if (touching && (lx * dx + ly * dy) >= kSameDirectionCos * std::hypot(lx, ly) * std::hypot(dx, dy)) {
                last.q[0] = side.q[0];
                last.q[1] = side.q[1];
                last.support += side.support;
                continue;
            }
        }
        sides[count++] = side;
    }
    // The hull closes: the last side may continue the first.
    if (count >= 2) {
        Side& first = sides[0];
        Side& last = sides[count - 1];
        const double lx = last.q[0] - last.p[0], ly = last.q[1] - last.p[1];
        const double dx = first.q[0] - first.p[0], dy = first.q[1] - first.p[1];
        if (last.q[0] == first.p[0] && last.q[1] == first.p[1] &&
            (lx * dx + ly * dy) >= kSameDirectionCos * std::hypot(lx, ly) * std::hypot(dx, dy)) {
            first.p[0] = last.p[0];
            first.p[1] = last.p[1];
            first.support += last.support;
            --count;
        }
    }
    if (count < 4) return false;

    // The four best-followed sides, in hull order.
    int chosen[4];
    bool used[kMaxSides] = {};
    for (int c = 0; c < 4; ++c) {
        int best = -1;
        for (int k = 0; k < count; ++k)
            if (!used[k] && (best < 0 || sides[k].support > sides[best].support)) best = k;
        used[best] = true;
        chosen[c] = best;
    }
    std::sort(chosen, chosen + 4);
    // The four must carry nearly all of the straight outline: a round or ragged region has
    // many short sides of which any four are a matter of chance. Corners cut by blur are
    // no part of it.
    int total = 0, carried = 0;
    for (int k = 0; k < count; ++k)
        if (!(whole && isCutCorner(sides, count, chosen, k))) total += sides[k].support;
    for (int c = 0; c < 4; ++c) carried += sides[chosen[c]].support;
    if (carried < kMinCarriedShare * total) return false;
    const double minSideRatio = whole ? kMinWholeSideRatio : kMinSideRatio;
    const double minCornerSin = whole ? kMinWholeCornerSin : kMinCornerSin;

    double lines[4][3];
    for (int c = 0; c < 4; ++c)
        if (!fitSide(contourX, contourY, points, sides[chosen[c]].p, sides[chosen[c]].q, distortion, lines[c]))
            return false;
    double meet[4][2];
    if (intersectEdgeLines(lines, meet) < 0) return false;

    // A plausible square: convex, turning like the contour, no side far shorter than the
    // others, no corner far outside what is visible.
    double observed[4][2];
    for (int c = 0; c < 4; ++c) {
        if (!std::isfinite(meet[c][0]) || !std::isfinite(meet[c][1])) return false;
        idealToObserved(distortion, meet[c][0], meet[c][1], &observed[c][0], &observed[c][1]);
    }
    double sideLength[4];
    for (int c = 0; c < 4; ++c)
        sideLength[c] = std::hypot(observed[(c + 1) % 4][0] - observed[c][0], observed[(c + 1) % 4][1] - observed[c][1]);
    const double longest = *std::max_element(sideLength, sideLength + 4);
    const double shortest = *std::min_element(sideLength, sideLength + 4);
    if (shortest < minSideRatio * longest || shortest < 4.0) return false;
    for (int c = 0; c < 4; ++c) {
        const double* a = observed[(c + 3) % 4];
        const double* b = observed[c];
        const double* d = observed[(c + 1) % 4];
        const double turn = cross(b[0] - a[0], b[1] - a[1], d[0] - b[0], d[1] - b[1]);
        // Clockwise on screen (y down) is a positive turn, as the contour is traced.
        if (turn < minCornerSin * sideLength[(c + 3) % 4] * sideLength[c]) return false;
    }
    double least = 1.0;
    for (int c = 0; c < 4; ++c) {
        double nearest = 1e300;
        for (int k = 0; k < m; ++k) {
            const int v = scratch.simplified[k];
            nearest = std::min(nearest, std::hypot(contourX[v] - observed[c][0], contourY[v] - observed[c][1]));
        }
        if (nearest > kMaxHiddenCorner * std::min(sideLength[c], sideLength[(c + 3) % 4])) return false;
        const int along = forPointsAlong(contourX, contourY, points, observed[c], observed[(c + 1) % 4],
                                         kSideTolerance, 0.0, [](int) {});
        least = std::min(least, along / sideLength[c]);
    }
    if (least < kMinSideSupport) return false;

    for (int c = 0; c < 4; ++c) {
        for (int k = 0; k < 3; ++k) edgeLines[c][k] = lines[c][k];
        corners[c][0] = meet[c][0];
        corners[c][1] = meet[c][1];
    }
    if (supportOut) *supportOut = least;
    return true;
}

double sideStraightness(const int* contourX, const int* contourY, const int cornerIndex[5], double tolerance) {
    double least = 1.0;
    for (int i = 0; i < 4; ++i) {
        const int s = cornerIndex[i], e = cornerIndex[i + 1];
        const double p[2] = {double(contourX[s]), double(contourY[s])};
        const double q[2] = {double(contourX[e]), double(contourY[e])};
        const double dx = q[0] - p[0], dy = q[1] - p[1];
        const double length = std::hypot(dx, dy);
        const int margin = static_cast<int>((e - s) * 0.05) + 1;
        const int first = s + margin, last = e - margin;
        if (length <= 0.0 || last < first) return 0.0;
        int near = 0;
        for (int k = first; k <= last; ++k)
            if (std::fabs(cross(dx, dy, contourX[k] - p[0], contourY[k] - p[1])) <= tolerance * length) ++near;
        least = std::min(least, static_cast<double>(near) / (last - first + 1));
    }
    return least;
}

bool refineVisibleEdges(const uint8_t* frame, int width, int height, const double distortion[4],
                        double edgeLines[4][3], double corners[4][2]) {
    if (!frame || width < 3 || height < 3) return false;
    double centre[2] = {0, 0};
    for (int c = 0; c < 4; ++c) {
        double ox, oy;
        idealToObserved(distortion, corners[c][0], corners[c][1], &ox, &oy);
        centre[0] += ox / 4;
        centre[1] += oy / 4;
    }
    double lines[4][3];
    for (int c = 0; c < 4; ++c) {
        for (int k = 0; k < 3; ++k) lines[c][k] = edgeLines[c][k];
        refineVisibleSide(frame, width, height, distortion, corners[c], corners[(c + 1) % 4], centre, lines[c]);
    }
    double meet[4][2];
    if (intersectEdgeLines(lines, meet) < 0) return false;
    // The steps lie within a pixel or two of the contour: so must the corners they make.
    for (int c = 0; c < 4; ++c)
        if (!(std::hypot(meet[c][0] - corners[c][0], meet[c][1] - corners[c][1]) <= 2.0 * kEdgeOutlier)) return false;
    for (int c = 0; c < 4; ++c) {
        for (int k = 0; k < 3; ++k) edgeLines[c][k] = lines[c][k];
        corners[c][0] = meet[c][0];
        corners[c][1] = meet[c][1];
    }
    return true;
}

