#include "tracking/EdgeRefine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "tracking/CameraParam.h"

namespace {

bool g_subpixelEdges = true;

constexpr int kMaxSamples = 96;         // edge positions per side
constexpr double kProfileStep = 0.25;   // pixels between profile samples across the edge
constexpr int kMaxProfile = 2 * 12 + 1; // +-3 px at that step
constexpr double kMaxReach = 3.0;       // how far across the side the edge is looked for
constexpr double kMinContrast = 45.0;   // dark to light, summed over three channels (15 grey levels)
constexpr double kOutlier = 0.75;       // pixels off the first line fit
constexpr double kMaxCornerShift = 3.0; // pixels: farther means the refinement locked onto something else
constexpr int kPasses = 2;              // the second pass samples along the better line

// Sum of the three colour bytes, bilinear between pixel centres (integer coordinates).
// False outside the frame.
bool greyAt(const uint8_t* frame, int width, int height, double x, double y, double* value) {
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

// Where, along the outward normal n from (x, y), the grey level rises from the dark side to
// the light side: the centroid of the rising slope around its steepest point.
bool edgeOffset(const uint8_t* frame, int width, int height, double x, double y, const double n[2], double reach,
                double* offset) {
    const int half = std::min(kMaxProfile / 2, static_cast<int>(reach / kProfileStep));
    const int count = 2 * half + 1;
    double profile[kMaxProfile];
    for (int k = 0; k < count; ++k) {
        const double o = (k - half) * kProfileStep;
        if (!greyAt(frame, width, height, x + o * n[0], y + o * n[1], &profile[k])) return false;
    }
    if (profile[count - 1] - profile[0] < kMinContrast) return false;
    int peak = -1;
    double steepest = 0.0;
    for (int k = 1; k < count - 1; ++k) {
        const double slope = profile[k + 1] - profile[k - 1];
        if (slope > steepest) {
            steepest = slope;
            peak = k;
        }
    }
    // A peak at the ends of the profile means the edge lies beyond it.
    if (peak < 3 || peak > count - 4) return false;
    const int window = static_cast<int>(1.5 / kProfileStep);
    double weight = 0.0, moment = 0.0;
    for (int k = std::max(1, peak - window); k <= std::min(count - 2, peak + window); ++k) {
        const double slope = std::max(0.0, profile[k + 1] - profile[k - 1]);
        weight += slope;
        moment += slope * (k - half) * kProfileStep;
    }
    if (weight <= 0.0) return false;
    *offset = moment / weight;
    return true;
}

// Total least squares line through points (a x + b y + c = 0, a^2 + b^2 = 1), using only
// those flagged in use. False for fewer than 2 points.
bool fitLine(const double (*points)[2], const bool* use, int n, double line[3]) {
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

bool refineSide(const uint8_t* frame, int width, int height, const double distortion[4], const double a[2],
                const double b[2], const double centre[2], const double previous[3], double line[3]) {
    double ao[2], bo[2];
    idealToObserved(distortion, a[0], a[1], &ao[0], &ao[1]);
    idealToObserved(distortion, b[0], b[1], &bo[0], &bo[1]);
    const double length = std::hypot(bo[0] - ao[0], bo[1] - ao[1]);
    // A side thousands of pixels long is no marker in this frame (and would overflow the
    // sample count below).
    if (!(length >= 8.0 && length <= 1e5)) return false;
    double n[2] = {(bo[1] - ao[1]) / length, -(bo[0] - ao[0]) / length};
    if (n[0] * ((ao[0] + bo[0]) / 2 - centre[0]) + n[1] * ((ao[1] + bo[1]) / 2 - centre[1]) < 0) {
        n[0] = -n[0];
        n[1] = -n[1];
    }
    // The black border is a quarter of the side wide; the profile must stay within it.
    const double reach = std::min(kMaxReach, length / 8.0);
    // Corners are rounded by blur and by the pixel grid: leave them out.
    const double skip = std::max(0.1, 2.0 / length);
    const int count = static_cast<int>(std::clamp(length * (1 - 2 * skip), 4.0, double(kMaxSamples)));
    double points[kMaxSamples][2];
    bool use[kMaxSamples];
    int found = 0;
    for (int k = 0; k < count; ++k) {
        const double s = skip + (1 - 2 * skip) * (k + 0.5) / count;
        double x, y, offset;
        idealToObserved(distortion, a[0] + s * (b[0] - a[0]), a[1] + s * (b[1] - a[1]), &x, &y);
        if (!edgeOffset(frame, width, height, x, y, n, reach, &offset)) continue;
        observedToIdeal(distortion, x + offset * n[0], y + offset * n[1], &points[found][0], &points[found][1]);
        use[found] = true;
        ++found;
    }
    if (found < std::max(4, count / 2)) return false;
    if (!fitLine(points, use, found, line)) return false;
    int kept = 0;
    for (int k = 0; k < found; ++k) {
        use[k] = std::fabs(line[0] * points[k][0] + line[1] * points[k][1] + line[2]) <= kOutlier;
        kept += use[k];
    }
    if (kept < std::max(4, count / 2) || !fitLine(points, use, found, line)) return false;
    // Keep the side's sign convention, which the caller's line may carry.
    if (line[0] * previous[0] + line[1] * previous[1] < 0) {
        line[0] = -line[0];
        line[1] = -line[1];
        line[2] = -line[2];
    }
    return true;
}

}  // namespace

void setSubpixelEdges(bool on) { g_subpixelEdges = on; }
bool subpixelEdges() { return g_subpixelEdges; }

bool refineEdges(const uint8_t* frame, int width, int height, const double distortion[4], double edgeLines[4][3],
                 double corners[4][2]) {
    if (!frame || width < 3 || height < 3) return false;
    double lines[4][3];
    double now[4][2];
    std::memcpy(lines, edgeLines, sizeof lines);
    std::memcpy(now, corners, sizeof now);
    for (int pass = 0; pass < kPasses; ++pass) {
        double centre[2] = {0, 0};
        for (const auto& c : now) {
            double ox, oy;
            idealToObserved(distortion, c[0], c[1], &ox, &oy);
            centre[0] += ox / 4;
            centre[1] += oy / 4;
        }
        double refined[4][3];
        for (int i = 0; i < 4; ++i)
            if (!refineSide(frame, width, height, distortion, now[i], now[(i + 1) % 4], centre, lines[i], refined[i]))
                return false;
        double meet[4][2];
        if (intersectEdgeLines(refined, meet) < 0) return false;
        for (int i = 0; i < 4; ++i)
            if (!(std::hypot(meet[i][0] - corners[i][0], meet[i][1] - corners[i][1]) <= kMaxCornerShift)) return false;
        std::memcpy(lines, refined, sizeof lines);
        std::memcpy(now, meet, sizeof now);
    }
    std::memcpy(edgeLines, lines, sizeof lines);
    std::memcpy(corners, now, sizeof now);
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
