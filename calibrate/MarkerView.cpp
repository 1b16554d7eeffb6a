// Locating a view's points: each edge of the black frame is followed across its image
// (predicted from the outer corners' homography, then placed where the grey level rises
// fastest), fitted with a gentle curve, and the corners are where neighbouring curves
// meet. A curve rather than a line because a lens bends straight edges, and the bend is
// what calibration has to see.

#include "calibrate/MarkerView.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kOuter[4][2] = {{-0.5, 0.5}, {0.5, 0.5}, {0.5, -0.5}, {-0.5, -0.5}};
constexpr double kInnerScale = 0.5;  // the picture fills the central half of the square

struct Homography {
    double h[3][3];
    void map(double x, double y, double* u, double* v) const {
        const double w = h[2][0] * x + h[2][1] * y + h[2][2];
        *u = (h[0][0] * x + h[0][1] * y + h[0][2]) / w;
        *v = (h[1][0] * x + h[1][1] * y + h[1][2]) / w;
    }
};

bool homographyFromCorners(const double corners[4][2], Homography* out) {
    cv::Point2f from[4], to[4];
    for (int k = 0; k < 4; ++k) {
        from[k] = cv::Point2f(static_cast<float>(kOuter[k][0]), static_cast<float>(kOuter[k][1]));
        to[k] = cv::Point2f(static_cast<float>(corners[k][0]), static_cast<float>(corners[k][1]));
    }
    const cv::Mat h = cv::getPerspectiveTransform(from, to);
    if (h.empty()) return false;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out->h[r][c] = h.at<double>(r, c);
    return std::isfinite(out->h[2][2]);
}

// An edge's image in a frame of its own: u along the chord from the first corner's image
// to the second's, w across it; the edge is w = c0 + c1 u + c2 u^2.
struct EdgeCurve {
    double origin[2], along[2], across[2];
    double c[3] = {0, 0, 0};
    bool valid = false;

    double offset(double x, double y) const {  // w - curve(u): zero on the edge
        const double u = (x - origin[0]) * along[0] + (y - origin[1]) * along[1];
        const double w = (x - origin[0]) * across[0] + (y - origin[1]) * across[1];
        return w - (c[0] + c[1] * u + c[2] * u * u);
    }
    void gradient(double x, double y, double g[2]) const {
        const double u = (x - origin[0]) * along[0] + (y - origin[1]) * along[1];
        const double slope = c[1] + 2.0 * c[2] * u;
        g[0] = across[0] - slope * along[0];
        g[1] = across[1] - slope * along[1];
    }
};

// Least squares w = c0 + c1 u + c2 u^2 over the points; false when singular.
bool fitQuadratic(const std::vector<double>& us, const std::vector<double>& ws, double c[3]) {
    double a[3][4] = {};
    for (size_t i = 0; i < us.size(); ++i) {
        const double p[3] = {1.0, us[i], us[i] * us[i]};
        for (int r = 0; r < 3; ++r) {
            for (int k = 0; k < 3; ++k) a[r][k] += p[r] * p[k];
            a[r][3] += p[r] * ws[i];
        }
    }
    for (int col = 0; col < 3; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 3; ++r)
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
        if (std::fabs(a[pivot][col]) < 1e-12) return false;
        for (int k = 0; k < 4; ++k) std::swap(a[col][k], a[pivot][k]);
        for (int r = 0; r < 3; ++r) {
            if (r == col) continue;
            const double f = a[r][col] / a[col][col];
            for (int k = col; k < 4; ++k) a[r][k] -= f * a[col][k];
        }
    }
    for (int r = 0; r < 3; ++r) c[r] = a[r][3] / a[r][r];
    return true;
}

// Where the grey level steps from dark to light along the line from p in direction n
// (dark side at negative s), within +-reach pixels; the step's area is weighed over
// halfWindow half-pixel samples either side of its steepest point. False when the line
// leaves the frame or shows no clear step.
bool findStep(const GreyFrame& frame, const double p[2], const double n[2], double reach, int halfWindow, double* s) {
    constexpr double kStep = 0.5;
    constexpr int kMaxSamples = 64;
    const int count = std::min(kMaxSamples, 2 * static_cast<int>(std::ceil(reach / kStep)) + 1);
    if (count < 5) return false;
    const double start = -kStep * (count - 1) / 2;
    const double t[2] = {-n[1], n[0]};
    double profile[kMaxSamples];
    for (int i = 0; i < count; ++i) {
        const double d = start + i * kStep;
        double sum = 0.0;
        // Three samples across a short stretch of the edge quieten sensor noise.
        for (int k = -1; k <= 1; ++k) {
            const double x = p[0] + d * n[0] + 0.75 * k * t[0];
            const double y = p[1] + d * n[1] + 0.75 * k * t[1];
            if (x < 1.0 || y < 1.0 || x > frame.width - 2.0 || y > frame.height - 2.0) return false;
            sum += frame.sample(x, y);
        }
        profile[i] = sum / 3.0;
    }
    int best = -1;
    double bestRise = 0.0;
    for (int i = 1; i + 1 < count; ++i) {
        const double rise = profile[i + 1] - profile[i - 1];
        if (rise > bestRise) {
            bestRise = rise;
            best = i;
        }
    }
    if (best < 2 || best > count - 3) return false;
    double dark = 255.0, light = 0.0;
    for (int i = 0; i <= best; ++i) dark = std::min(dark, profile[i]);
    for (int i = best; i < count; ++i) light = std::max(light, profile[i]);
    if (light - dark < 20.0) return false;
    // The step's position from the area under the profile around the peak: for any
    // symmetric blur the dark and light parts balance at the edge, and unlike the peak
    // of the slope this does not lean towards pixel centres where the picture is
    // sampled between them.
    const int lo = best - halfWindow, hi = best + halfWindow;
    if (lo < 1 || hi > count - 2) return false;
    const double darkLevel = (profile[lo - 1] + profile[lo] + profile[lo + 1]) / 3.0;
    const double lightLevel = (profile[hi - 1] + profile[hi] + profile[hi + 1]) / 3.0;
    if (lightLevel - darkLevel < 15.0) return false;
    double lightShare = 0.0;  // samples' worth of light between lo and hi
    for (int i = lo; i <= hi; ++i) {
        const double w = (i == lo || i == hi) ? 0.5 : 1.0;  // trapezoid
        lightShare += w * std::clamp((profile[i] - darkLevel) / (lightLevel - darkLevel), -0.5, 1.5);
    }
    // A perfect step at e (samples from lo) leaves (hi - lo) - e samples of light.
    const double edge = (hi - lo) - lightShare;
    *s = start + (lo + edge) * kStep;
    return true;
}

// Follows one edge (marker corners a -> b), its dark side towards the marker point
// darkSide. Points found go to the view; false when too few are found.
bool followEdge(const GreyFrame& frame, const Homography& h, const double a[2], const double b[2],
                const double darkSide[2], double reach, int window, int samples, EdgeCurve* curve,
                MarkerView* view) {
    double ia[2], ib[2];
    h.map(a[0], a[1], &ia[0], &ia[1]);
    h.map(b[0], b[1], &ib[0], &ib[1]);
    const double length = std::hypot(ib[0] - ia[0], ib[1] - ia[1]);
    if (!(length > 1.0)) return false;
    curve->origin[0] = ia[0];
    curve->origin[1] = ia[1];
    curve->along[0] = (ib[0] - ia[0]) / length;
    curve->along[1] = (ib[1] - ia[1]) / length;
    curve->across[0] = -curve->along[1];
    curve->across[1] = curve->along[0];

    std::vector<double> us, ws, xs, ys;
    for (int i = 0; i < samples; ++i) {
        const double t = 0.08 + 0.84 * i / (samples - 1);
        const double m[2] = {a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1])};
        double p[2], q[2], dark[2];
        h.map(m[0], m[1], &p[0], &p[1]);
        // The tangent from the image of a short stretch of the edge; the normal points
        // away from the dark side.
        const double e = 0.01;
        h.map(m[0] + e * (b[0] - a[0]), m[1] + e * (b[1] - a[1]), &q[0], &q[1]);
        h.map(m[0] + e * (darkSide[0] - m[0]), m[1] + e * (darkSide[1] - m[1]), &dark[0], &dark[1]);
        const double tl = std::hypot(q[0] - p[0], q[1] - p[1]);
        if (!(tl > 0.0)) continue;
        double n[2] = {-(q[1] - p[1]) / tl, (q[0] - p[0]) / tl};
        if (n[0] * (dark[0] - p[0]) + n[1] * (dark[1] - p[1]) > 0.0) {
            n[0] = -n[0];
            n[1] = -n[1];
        }
        double s;
        if (!findStep(frame, p, n, reach, window, &s)) continue;
        const double x = p[0] + s * n[0], y = p[1] + s * n[1];
        xs.push_back(x);
        ys.push_back(y);
        us.push_back((x - ia[0]) * curve->along[0] + (y - ia[1]) * curve->along[1]);
        ws.push_back((x - ia[0]) * curve->across[0] + (y - ia[1]) * curve->across[1]);
    }
    const size_t minimum = static_cast<size_t>(std::max(6, samples / 2));
    if (us.size() < minimum || !fitQuadratic(us, ws, curve->c)) return false;

    // A speck or a finger can pull single points off the edge: drop what lies far off
    // the first fit and fit again.
    double sq = 0.0;
    for (size_t i = 0; i < us.size(); ++i) {
        const double r = ws[i] - (curve->c[0] + curve->c[1] * us[i] + curve->c[2] * us[i] * us[i]);
        sq += r * r;
    }
    const double limit = std::max(0.6, 2.5 * std::sqrt(sq / us.size()));
    std::vector<double> ku, kw, kx, ky;
    for (size_t i = 0; i < us.size(); ++i) {
        const double r = ws[i] - (curve->c[0] + curve->c[1] * us[i] + curve->c[2] * us[i] * us[i]);
        if (std::fabs(r) > limit) continue;
        ku.push_back(us[i]);
        kw.push_back(ws[i]);
        kx.push_back(xs[i]);
        ky.push_back(ys[i]);
    }
    if (ku.size() < minimum || !fitQuadratic(ku, kw, curve->c)) return false;
    for (size_t i = 0; i < ku.size(); ++i) {
        ViewEdgePoint point;
        point.from[0] = a[0];
        point.from[1] = a[1];
        point.to[0] = b[0];
        point.to[1] = b[1];
        point.image[0] = kx[i];
        point.image[1] = ky[i];
        view->edgePoints.push_back(point);
    }
    curve->valid = true;
    return true;
}

// Where two edge curves meet, by Newton's method from a predicted point.
bool meet(const EdgeCurve& first, const EdgeCurve& second, const double start[2], double out[2]) {
    double x = start[0], y = start[1];
    for (int i = 0; i < 20; ++i) {
        const double f1 = first.offset(x, y), f2 = second.offset(x, y);
        double g1[2], g2[2];
        first.gradient(x, y, g1);
        second.gradient(x, y, g2);
        const double det = g1[0] * g2[1] - g1[1] * g2[0];
        if (std::fabs(det) < 1e-9) return false;
        const double dx = (f1 * g2[1] - f2 * g1[1]) / det;
        const double dy = (g1[0] * f2 - g2[0] * f1) / det;
        x -= dx;
        y -= dy;
        if (std::fabs(dx) + std::fabs(dy) < 1e-9) break;
    }
    out[0] = x;
    out[1] = y;
    return std::isfinite(x) && std::isfinite(y);
}

}  // namespace

void GreyFrame::fromBGRA(const uint8_t* bgra, int w, int h) {
    width = w;
    height = h;
    pixels.resize(static_cast<size_t>(w) * h);
    const size_t n = pixels.size();
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* p = bgra + 4 * i;
        pixels[i] = static_cast<uint8_t>((p[0] * 29 + p[1] * 150 + p[2] * 77 + 128) >> 8);
    }
}

double GreyFrame::sample(double x, double y) const {
    const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
    const double fx = x - x0, fy = y - y0;
    const uint8_t* row0 = &pixels[static_cast<size_t>(y0) * width + x0];
    const uint8_t* row1 = row0 + width;
    return (row0[0] * (1.0 - fx) + row0[1] * fx) * (1.0 - fy) + (row1[0] * (1.0 - fx) + row1[1] * fx) * fy;
}

bool locateMarkerView(const GreyFrame& frame, const double outerCorners[4][2], MarkerView* view, std::string* why) {
    view->width = frame.width;
    view->height = frame.height;
    view->corners.clear();
    view->edgePoints.clear();
    double side = 0.0;
    for (int k = 0; k < 4; ++k)
        side += std::hypot(outerCorners[(k + 1) % 4][0] - outerCorners[k][0],
                           outerCorners[(k + 1) % 4][1] - outerCorners[k][1]);
    side /= 4.0;
    view->sidePixels = side;
    if (!(side >= 40.0)) {
        *why = "the marker is too small in the picture; bring it closer";
        return false;
    }
    Homography h;
    if (!homographyFromCorners(outerCorners, &h)) {
        *why = "the marker's corners do not make a square seen in perspective";
        return false;
    }
    const int samples = std::clamp(static_cast<int>(side / 3.0), 10, 64);
    const double outerReach = std::clamp(0.08 * side, 3.0, 10.0);
    const double innerReach = std::clamp(0.045 * side, 2.5, 8.0);
    const double centre[2] = {0.0, 0.0};

    EdgeCurve outer[4], inner[4];
    for (int k = 0; k < 4; ++k) {
        if (!followEdge(frame, h, kOuter[k], kOuter[(k + 1) % 4], centre, outerReach, 6, samples, &outer[k], view)) {
            *why = "an edge of the marker cannot be followed (too near the picture's border, covered or blurred)";
            return false;
        }
    }
    // The inner edges have the black band outside and the picture inside, which may come
    // close to them: a side that cannot be followed is left out.
    for (int k = 0; k < 4; ++k) {
        const double a[2] = {kOuter[k][0] * kInnerScale, kOuter[k][1] * kInnerScale};
        const double b[2] = {kOuter[(k + 1) % 4][0] * kInnerScale, kOuter[(k + 1) % 4][1] * kInnerScale};
        const double band[2] = {(a[0] + b[0]) * 1.5, (a[1] + b[1]) * 1.5};  // a point on the black band
        followEdge(frame, h, a, b, band, innerReach, 2, samples, &inner[k], view);
    }

    for (int k = 0; k < 4; ++k) {
        const EdgeCurve& before = outer[(k + 3) % 4];
        ViewCorner corner;
        corner.marker[0] = kOuter[k][0];
        corner.marker[1] = kOuter[k][1];
        if (!meet(before, outer[k], outerCorners[k], corner.image) ||
            std::hypot(corner.image[0] - outerCorners[k][0], corner.image[1] - outerCorners[k][1]) > outerReach) {
            *why = "the marker's edges do not meet at its corners";
            return false;
        }
        view->corners.push_back(corner);
    }
    for (int k = 0; k < 4; ++k) {
        const EdgeCurve& before = inner[(k + 3) % 4];
        if (!before.valid || !inner[k].valid) continue;
        ViewCorner corner;
        corner.marker[0] = kOuter[k][0] * kInnerScale;
        corner.marker[1] = kOuter[k][1] * kInnerScale;
        double predicted[2];
        h.map(corner.marker[0], corner.marker[1], &predicted[0], &predicted[1]);
        if (!meet(before, inner[k], predicted, corner.image) ||
            std::hypot(corner.image[0] - predicted[0], corner.image[1] - predicted[1]) > innerReach)
            continue;
        view->corners.push_back(corner);
    }
    return true;
}
