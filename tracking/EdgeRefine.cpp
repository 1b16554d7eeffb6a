#include "tracking/EdgeRefine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "tracking/CameraParam.h"

namespace {

constexpr int kMaxSamples = 96;          // edge positions per side
constexpr int kProfileSamples = 33;      // at most this many grey levels across the edge at each position
constexpr double kFinestStep = 0.25;     // pixels between them, at the finest
constexpr double kMaxReach = 12.0;       // pixels: how far the profile reaches to either side
constexpr double kReachOfHalfSide = 0.4; // ... and at most this part of the centre-to-side distance
constexpr double kMinContrast = 45.0;    // dark to light, summed over three channels (15 grey levels)
constexpr double kPlateau = 0.15;        // part of the contrast within which a level counts as reached
constexpr double kOutlier = 0.75;        // pixels off the first line fit
// Pixels (more under blur) a corner may move: farther means the refinement locked onto
// something else.
constexpr double kMaxCornerShift = 3.0;
constexpr int kPasses = 2;               // the second pass samples along the better line

// One edge crossing: where along the outward normal the edge lies, and how wide its
// blurred rise is (10 % to 90 % of the way from dark to light).
struct EdgeCrossing {
    double offset;
    double rise;
};

// Where, along the outward normal n from (x, y), the grey level steps from the dark border
// to the light paper. The dark and light levels are measured on this profile itself, on
// either side of the step, and the edge is placed where the step would have to be for a
// sharp edge between those levels to hold the same amount of light: for any symmetric
// blur (motion, defocus, the pixel's own area) that is the true edge, and it is the
// point half-way between the two levels. A global threshold crossing is not: where blur
// has lifted the thin dark border, the dark pixels shrink toward the middle.
bool edgeOffset(const uint8_t* frame, int width, int height, double x, double y, const double n[2], double inner,
                double outer, EdgeCrossing* edge) {
    // A quarter-pixel step where the profile is short; longer ones spread the samples.
    const int count = std::clamp(static_cast<int>((inner + outer) / kFinestStep) + 1, 9, kProfileSamples);
    const double step = (inner + outer) / (count - 1);
    double profile[kProfileSamples];
    for (int k = 0; k < count; ++k) {
        const double o = -inner + k * step;
        if (!greyLevelAt(frame, width, height, x + o * n[0], y + o * n[1], &profile[k])) return false;
    }
    // Extremes of the lightly smoothed profile: the dark border, then the paper beyond it.
    double smooth[kProfileSamples];
    smooth[0] = profile[0];
    smooth[count - 1] = profile[count - 1];
    for (int k = 1; k < count - 1; ++k) smooth[k] = (profile[k - 1] + profile[k] + profile[k + 1]) / 3;
    int darkest = 0;
    for (int k = 1; k < count; ++k)
        if (smooth[k] < smooth[darkest]) darkest = k;
    int lightest = darkest;
    for (int k = darkest + 1; k < count; ++k)
        if (smooth[k] > smooth[lightest]) lightest = k;
    const double span = smooth[lightest] - smooth[darkest];
    if (lightest - darkest < 2 || span < kMinContrast) return false;

    // The levels: means of the samples near each extreme, so noise does not bias them.
    double dark = 0.0, light = 0.0;
    int darkCount = 0, lightCount = 0;
    for (int k = 0; k < lightest; ++k)
        if (profile[k] <= smooth[darkest] + kPlateau * span) {
            dark += profile[k];
            ++darkCount;
        }
    for (int k = darkest + 1; k < count; ++k)
        if (profile[k] >= smooth[lightest] - kPlateau * span) {
            light += profile[k];
            ++lightCount;
        }
    if (darkCount == 0 || lightCount == 0) return false;
    dark /= darkCount;
    light /= lightCount;
    const double contrast = light - dark;
    if (contrast < kMinContrast) return false;

    // Light missing between the two extremes, in pixels of a sharp step (trapezoids).
    double missing = 0.0;
    for (int k = darkest; k < lightest; ++k)
        missing += step * ((light - profile[k]) + (light - profile[k + 1])) / (2 * contrast);
    const double offset = -inner + darkest * step + missing;
    // An edge at the ends of the profile may lie beyond it.
    if (!(offset > -inner + step && offset < outer - step)) return false;

    // The rise, for how far apart the corners' blur reaches.
    double low = offset, high = offset;
    for (int k = darkest; k <= lightest; ++k) {
        const double o = -inner + k * step;
        if (profile[k] <= dark + 0.1 * contrast) low = o;
        if (profile[k] < light - 0.1 * contrast) high = o + step;
    }
    edge->offset = offset;
    edge->rise = std::max(0.0, high - low);
    return true;
}

// Fits the grey-level edge of the side from a to b (ideal coordinates) from at most
// maxPositions profiles across it, leaving out skipPixels (at least) next to each corner. riseBefore is the side's rise measured by an
// earlier pass (negative for none); *rise receives the median rise of this one.
bool refineSide(const uint8_t* frame, int width, int height, const double distortion[4], const double a[2],
                const double b[2], const double centre[2], const double previous[3], double skipPixels,
                double riseBefore, int maxPositions, double line[3], double* rise) {
    double ao[2], bo[2];
    idealToObserved(distortion, a[0], a[1], &ao[0], &ao[1]);
    idealToObserved(distortion, b[0], b[1], &bo[0], &bo[1]);
    const double length = std::hypot(bo[0] - ao[0], bo[1] - ao[1]);
    // A side thousands of pixels long is no marker in this frame (and would overflow the
    // sample count below).
    if (!(length >= 8.0 && length <= 1e5)) return false;
    double n[2] = {(bo[1] - ao[1]) / length, -(bo[0] - ao[0]) / length};
    double toSide = n[0] * ((ao[0] + bo[0]) / 2 - centre[0]) + n[1] * ((ao[1] + bo[1]) / 2 - centre[1]);
    if (toSide < 0) {
        n[0] = -n[0];
        n[1] = -n[1];
        toSide = -toSide;
    }
    // The black border is half the way from the centre to the side: the profile stays
    // within it inside, and reaches as far onto the white paper outside.
    // Once the rise is known the profile need reach only a little beyond it: the shorter
    // profile samples the step more finely and gathers less noise from the flat parts.
    double reach = std::min(kMaxReach, kReachOfHalfSide * toSide);
    if (riseBefore >= 0.0) reach = std::min(reach, 2.0 + riseBefore);
    if (!(reach >= 1.0)) return false;
    // Corners are rounded by blur and by the pixel grid: leave them out.
    const double skip = std::min(0.3, std::max({0.1, 2.0 / length, skipPixels / length}));
    const int count = static_cast<int>(std::clamp(length * (1 - 2 * skip), 4.0, double(maxPositions)));
    double points[kMaxSamples][2];
    bool use[kMaxSamples];
    double rises[kMaxSamples];
    int found = 0;
    for (int k = 0; k < count; ++k) {
        const double s = skip + (1 - 2 * skip) * (k + 0.5) / count;
        double x, y;
        EdgeCrossing edge;
        idealToObserved(distortion, a[0] + s * (b[0] - a[0]), a[1] + s * (b[1] - a[1]), &x, &y);
        if (!edgeOffset(frame, width, height, x, y, n, reach, reach, &edge)) continue;
        observedToIdeal(distortion, x + edge.offset * n[0], y + edge.offset * n[1], &points[found][0],
                        &points[found][1]);
        use[found] = true;
        rises[found] = edge.rise;
        ++found;
    }
    if (found < std::max(4, count / 2)) return false;
    if (!fitLineThrough(points, use, found, line)) return false;
    int kept = 0;
    for (int k = 0; k < found; ++k) {
        use[k] = std::fabs(line[0] * points[k][0] + line[1] * points[k][1] + line[2]) <= kOutlier;
        kept += use[k];
    }
    if (kept < std::max(4, count / 2) || !fitLineThrough(points, use, found, line)) return false;
    // Keep the side's sign convention, which the caller's line may carry.
    if (line[0] * previous[0] + line[1] * previous[1] < 0) {
        line[0] = -line[0];
        line[1] = -line[1];
        line[2] = -line[2];
    }
    // The median rise: one blurred corner or a speck of dirt does not make a side blurred.
    std::nth_element(rises, rises + found / 2, rises + found);
    *rise = rises[found / 2];
    return true;
}

}  // namespace

bool greyLevelAt(const uint8_t* frame, int width, int height, double x, double y, double* value) {
    if (!(x >= 0.0 && y >= 0.0 && x < width - 1 && y < height - 1)) return false;
    const int x0 = static_cast<int>(x);
    const int y0 = static_cast<int>(y);
    const double fx = x - x0, fy = y - y0;
    const uint8_t* p = frame + (static_cast<size_t>(y0) * width + x0) * 4;
    const uint8_t* q = p + static_cast<size_t>(width) * 4;
    auto sum = [](const uint8_t* px) { return static_cast<double>(px[0] + px[1] + px[2]); };
    const double top = sum(p) * (1 - fx) + sum(p + 4) * fx;
    const double bottom = sum(q) * (1 - fx) + sum(q + 4) * fx;
    *value = top * (1 - fy) + bottom * fy;
    return true;
}

bool fitLineThrough(const double (*points)[2], const bool* use, int n, double line[3]) {
    double mx = 0, my = 0;
    int m = 0;
    for (int i = 0; i < n; ++i) {
        if (!use[i]) continue;
        mx += points[i][0];
        my += points[i][1];
        ++m;
    }
    if (m < 2) return false;
    mx /= m;
    my /= m;
    double sxx = 0, sxy = 0, syy = 0;
    for (int i = 0; i < n; ++i) {
        if (!use[i]) continue;
        const double dx = points[i][0] - mx, dy = points[i][1] - my;
        sxx += dx * dx;
        sxy += dx * dy;
        syy += dy * dy;
    }
    // Direction of the larger spread; the normal is perpendicular to it.
    const double angle = 0.5 * std::atan2(2 * sxy, sxx - syy);
    line[0] = -std::sin(angle);
    line[1] = std::cos(angle);
    line[2] = -(line[0] * mx + line[1] * my);
    return true;
}

bool refineEdges(const uint8_t* frame, int width, int height, const double distortion[4], double edgeLines[4][3],
                 double corners[4][2]) {
    double rise[4];
    return refineEdges(frame, width, height, distortion, edgeLines, corners, rise);
}

bool refineEdges(const uint8_t* frame, int width, int height, const double distortion[4], double edgeLines[4][3],
                 double corners[4][2], double measuredRise[4]) {
    if (!frame || width < 3 || height < 3) return false;
    double lines[4][3];
    double now[4][2];
    std::memcpy(lines, edgeLines, sizeof lines);
    std::memcpy(now, corners, sizeof now);
    double rise[4] = {-1.0, -1.0, -1.0, -1.0};  // each side's blurred rise, once measured
    for (int pass = 0; pass < kPasses; ++pass) {
        double centre[2] = {0, 0};
        for (const auto& c : now) {
            double ox, oy;
            idealToObserved(distortion, c[0], c[1], &ox, &oy);
            centre[0] += ox / 4;
            centre[1] += oy / 4;
        }
        double refined[4][3];
        double passRise[4];
        for (int i = 0; i < 4; ++i) {
            // Blur rounds each end of a side over half the rise of the side meeting it there.
            const double skipPixels = 0.5 * std::max({0.0, rise[(i + 3) % 4], rise[(i + 1) % 4]}) + 1.0;
            // The first pass needs only a good start and the rise; the last one all points.
            const int positions = pass + 1 < kPasses ? kMaxSamples / 2 : kMaxSamples;
            if (!refineSide(frame, width, height, distortion, now[i], now[(i + 1) % 4], centre, lines[i], skipPixels,
                            rise[i], positions, refined[i], &passRise[i]))
                return false;
        }
        std::memcpy(rise, passRise, sizeof rise);
        double meet[4][2];
        if (intersectEdgeLines(refined, meet) < 0) return false;
        // The threshold's outline of a blurred square lies inside it by up to half the rise.
        const double maxShift = std::max(kMaxCornerShift, 0.5 * *std::max_element(rise, rise + 4) + 1.0);
        for (int i = 0; i < 4; ++i)
            if (!(std::hypot(meet[i][0] - corners[i][0], meet[i][1] - corners[i][1]) <= maxShift)) return false;
        std::memcpy(lines, refined, sizeof lines);
        std::memcpy(now, meet, sizeof now);
    }
    std::memcpy(edgeLines, lines, sizeof lines);
    std::memcpy(corners, now, sizeof now);
    std::memcpy(measuredRise, rise, sizeof rise);
    return true;
}

int intersectEdgeLines(const double lines[4][3], double corners[4][2]) {
    for (int i = 0; i < 4; ++i) {
        const int p = (i + 3) % 4;
        const double d = lines[p][0] * lines[i][1] - lines[i][0] * lines[p][1];
        if (d == 0.0) return -1;
        corners[i][0] = (lines[p][1] * lines[i][2] - lines[i][1] * lines[p][2]) / d;
        corners[i][1] = (lines[i][0] * lines[p][2] - lines[p][0] * lines[i][2]) / d;
    }
    return 0;
}
