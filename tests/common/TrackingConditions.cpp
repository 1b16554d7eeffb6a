#include "common/TrackingConditions.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;

// Sensor noise of every frame, grey levels per channel: a webcam in an ordinary room.
constexpr double kNoiseSigma = 3.0;

// The lamp: light falls linearly from 1.0 to this across the frame...
constexpr double kDimFarLight = 0.25;
// ...onto a picture whose contrast a dim exposure has flattened: ink and paper come out at
// about 50 and 170 where the light is full (instead of about 15 and 235).
constexpr double kDimFloor = 40.0;
constexpr double kDimSpan = 0.55;

// Skin under white light, B, G, R; the finger's sides curve away and darken to this share.
constexpr double kSkin[3] = {122.0, 152.0, 212.0};
constexpr double kSkinEdgeShade = 0.72;
// Growth of the finger's width per marker width back from the tip.
constexpr double kFingerWidening = 0.3;
// The finger's shadow on the paper: how much light it takes, and its offset and softness
// in finger radii (a lamp above and to one side).
constexpr double kShadowDepth = 0.35;
constexpr double kShadowOffset[2] = {0.25, 0.35};
constexpr double kShadowSoftness = 0.3;

// The white paper around the printed square, as a multiple of its side, that must be in
// view with the square: a user holds the marker in view, not its very edge...
constexpr double kPaperMargin = 1.3;
// ...except near the camera, where the paper's edge soon leaves the picture and only a
// thin white ring round the square is left for the detector.
constexpr double kNearPaperMargin = 1.1;

uint32_t conditionSalt(TrackingCondition condition) { return 0x9e3779b9u * (static_cast<uint32_t>(condition) + 1); }

// The marker centre on the ray through the ideal image point (u, v), at depth distance.
void placeMarker(const CameraParam& camera, const double rotation[3][3], double u, double v, double distance,
                 double transform[3][4]) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) transform[r][c] = rotation[r][c];
    transform[0][3] = (u - camera.projection[0][2]) / camera.projection[0][0] * distance;
    transform[1][3] = (v - camera.projection[1][2]) / camera.projection[1][1] * distance;
    transform[2][3] = distance;
}

// Corners of the square scaled by scale about its centre, in the pattern's order:
// (-w/2, +w/2) first, then clockwise as seen in the picture.
bool projectSquare(const CameraParam& camera, const double transform[3][4], double side, double corners[4][2]) {
    const double h = side / 2;
    const double model[4][2] = {{-h, h}, {h, h}, {h, -h}, {-h, -h}};
    for (int k = 0; k < 4; ++k)
        if (!projectMarkerPoint(camera, transform, model[k][0], model[k][1], &corners[k][0], &corners[k][1]))
            return false;
    return true;
}

double meanSide(const double corners[4][2]) {
    double sum = 0.0;
    for (int k = 0; k < 4; ++k)
        sum += std::hypot(corners[(k + 1) % 4][0] - corners[k][0], corners[(k + 1) % 4][1] - corners[k][1]);
    return sum / 4;
}

bool paperInView(const CameraParam& camera, const double transform[3][4], double markerWidth, double margin) {
    double paper[4][2];
    if (!projectSquare(camera, transform, markerWidth * margin, paper)) return false;
    for (const auto& p : paper)
        if (p[0] < 3 || p[1] < 3 || p[0] > camera.width - 4 || p[1] > camera.height - 4) return false;
    return true;
}

double uniform(std::mt19937& rng, double lo, double hi) {
    return lo + (hi - lo) * std::uniform_real_distribution<double>(0.0, 1.0)(rng);
}

// A pose with the marker minWidths..maxWidths marker widths away, tilted up to maxTilt.
void drawPoseByDistance(std::mt19937& rng, const CameraParam& camera, double markerWidth, double minWidths,
                        double maxWidths, double maxTilt, double transform[3][4]) {
    for (;;) {
        const double distance = markerWidth * uniform(rng, minWidths, maxWidths);
        double rotation[3][3];
        markerRotation(uniform(rng, 0, 2 * kPi), uniform(rng, 0, maxTilt), uniform(rng, 0, 2 * kPi), rotation);
        placeMarker(camera, rotation, uniform(rng, 0, camera.width), uniform(rng, 0, camera.height), distance,
                    transform);
        if (paperInView(camera, transform, markerWidth, kPaperMargin)) return;
    }
}

// A pose whose square is minPixels..maxPixels wide (mean side) in the picture, with margin
// times its side in view.
void drawPoseBySize(std::mt19937& rng, const CameraParam& camera, double markerWidth, double minPixels,
                    double maxPixels, double maxTilt, double margin, double transform[3][4]) {
    for (;;) {
        const double target = uniform(rng, minPixels, maxPixels);
        double rotation[3][3];
        markerRotation(uniform(rng, 0, 2 * kPi), uniform(rng, 0, maxTilt), uniform(rng, 0, 2 * kPi), rotation);
        const double u = uniform(rng, 0, camera.width), v = uniform(rng, 0, camera.height);
        double distance = camera.projection[0][0] * markerWidth / target;
        bool placed = true;
        // The picture size goes nearly as 1 / distance; three rounds settle it well
        // inside a pixel.
        for (int round = 0; round < 3 && placed; ++round) {
            placeMarker(camera, rotation, u, v, distance, transform);
            double corners[4][2];
            placed = projectSquare(camera, transform, markerWidth, corners);
            if (placed) distance *= meanSide(corners) / target;
        }
        if (!placed) continue;
        placeMarker(camera, rotation, u, v, distance, transform);
        if (paperInView(camera, transform, markerWidth, margin)) return;
    }
}

void rotate2(const double v[2], double angle, double out[2]) {
    const double c = std::cos(angle), s = std::sin(angle);
    out[0] = c * v[0] - s * v[1];
    out[1] = s * v[0] + c * v[1];
}

// A finger coming from outside over one side of the black frame: its deepest point
// depth (marker widths) in from the square's outer edge, at offset along the side.
Finger fingerOverSide(int side, double along, double depth, double slant, double radius) {
    const double normals[4][2] = {{0, 1}, {1, 0}, {0, -1}, {-1, 0}};  // top, right, bottom, left
    const double* n = normals[side & 3];
    const double tangent[2] = {-n[1], n[0]};
    const double inward[2] = {-n[0], -n[1]};
    Finger f;
    f.present = true;
    f.radius = radius;
    rotate2(inward, slant, f.direction);
    // The deepest point of the tip's disc lies radius beyond its centre along -n.
    for (int i = 0; i < 2; ++i) f.tip[i] = n[i] * 0.5 + tangent[i] * along - n[i] * (depth - radius);
    return f;
}

// A finger coming from outside over one corner: its deepest point depth (marker widths)
// in from the corner along the diagonal.
Finger fingerOverCorner(int corner, double depth, double slant, double radius) {
    const double corners[4][2] = {{-0.5, 0.5}, {0.5, 0.5}, {0.5, -0.5}, {-0.5, -0.5}};
    const double* c = corners[corner & 3];
    const double n[2] = {c[0] * std::sqrt(2.0), c[1] * std::sqrt(2.0)};  // outward diagonal, unit
    const double inward[2] = {-n[0], -n[1]};
    Finger f;
    f.present = true;
    f.radius = radius;
    rotate2(inward, slant, f.direction);
    for (int i = 0; i < 2; ++i) f.tip[i] = c[i] - n[i] * (depth - radius);
    return f;
}

Glare glareOverMarker(std::mt19937& rng, const CameraParam& camera, const ConditionFrame& frame,
                      double markerWidth) {
    Glare g;
    g.present = true;
    double x, y;
    projectMarkerPoint(camera, frame.truth, markerWidth * uniform(rng, -0.5, 0.5),
                       markerWidth * uniform(rng, -0.5, 0.5), &x, &y);
    g.centre[0] = x;
    g.centre[1] = y;
    const double size = frame.widthPixels * uniform(rng, 0.12, 0.3);
    g.sigma[0] = size * uniform(rng, 1.0, 2.0);
    g.sigma[1] = size;
    g.angle = uniform(rng, 0, kPi);
    g.strength = uniform(rng, 0.75, 1.0);
    return g;
}

void finishFrame(const CameraParam& camera, double markerWidth, ConditionFrame* frame) {
    projectSquare(camera, frame->truth, markerWidth, frame->corners);
    frame->widthPixels = meanSide(frame->corners);
}

// A hand holding the paper still as well as it can while a finger of the other hand slides
// in from outside, over one side of the black frame and along it onto the corner, and
// stays there. The first 15 % of the frames show no finger; it reaches the black frame
// about a quarter of the way in.
void drawSequence(std::mt19937& rng, const CameraParam& camera, double markerWidth, int count,
                  std::vector<ConditionFrame>* frames) {
    const double tiltAxis = uniform(rng, 0, 2 * kPi), spin = uniform(rng, 0, 2 * kPi);
    const int side = static_cast<int>(rng() % 4);
    const double radius = 0.12, slant = 10 * kDegree;
    for (int i = 0; i < count; ++i) {
        const double t = i / 30.0;  // seconds at 30 frames a second
        const double p = static_cast<double>(i) / count;
        ConditionFrame f{};
        double rotation[3][3];
        markerRotation(tiltAxis + 3 * kDegree * std::sin(2 * kPi * 0.2 * t),
                       (25 + 4 * std::sin(2 * kPi * 0.3 * t)) * kDegree, spin + 3 * kDegree * std::sin(2 * kPi * 0.17 * t),
                       rotation);
        placeMarker(camera, rotation, camera.width * (0.5 + 0.02 * std::sin(2 * kPi * 0.23 * t)),
                    camera.height * (0.5 + 0.02 * std::cos(2 * kPi * 0.19 * t)),
                    markerWidth * (5.0 + 0.2 * std::sin(2 * kPi * 0.11 * t)), f.truth);
        f.seed = static_cast<uint32_t>(rng());
        auto smooth = [](double a, double b, double x) {
            const double s = std::clamp((x - a) / (b - a), 0.0, 1.0);
            return s * s * (3 - 2 * s);
        };
        if (p >= 0.15) {
            const double depth = -0.15 + 0.35 * smooth(0.15, 0.4, p);   // in over the side...
            const double along = -0.1 + 0.52 * smooth(0.4, 0.7, p);     // ...then along it onto the corner
            const double wobble = 0.01 * std::sin(2 * kPi * 1.3 * t);  // a finger never quite still
            f.finger = fingerOverSide(side, along + wobble, depth + wobble, slant, radius);
        }
        finishFrame(camera, markerWidth, &f);
        frames->push_back(f);
    }
}

// ---- Rendering the disturbances -----------------------------------------------------

// The table behind the paper: seen from about six marker widths at a slant, no paper.
void drawTable(std::mt19937& rng, const CameraParam& camera, double markerWidth, std::vector<uint8_t>* bgra) {
    double rotation[3][3], transform[3][4];
    markerRotation(uniform(rng, 0, 2 * kPi), uniform(rng, 10, 30) * kDegree, uniform(rng, 0, 2 * kPi), rotation);
    placeMarker(camera, rotation, camera.width / 2.0, camera.height / 2.0, 6 * markerWidth, transform);
    bgra->assign(static_cast<size_t>(camera.width) * camera.height * 4, 0);
    SceneOptions options;
    options.noiseSigma = 0.0;
    options.supersample = 1;  // a table has no edges
    renderMarkerScene(camera, transform, markerWidth, MarkerImage{}, options, bgra->data());
}

// The frame's rectangle that the picture of the marker (its whole paper) can cover.
void paperRegion(const CameraParam& camera, const double transform[3][4], double markerWidth,
                 const MarkerImage& picture, SceneOptions* options) {
    if (!(picture.squareSide > 0)) return;  // nothing to draw; the renderer finds out
    const double unitsPerTexel = markerWidth / picture.squareSide;
    const double left = -(picture.squareX0 + picture.squareSide / 2) * unitsPerTexel;
    const double top = (picture.squareY0 + picture.squareSide / 2) * unitsPerTexel;
    const double right = left + picture.width * unitsPerTexel, bottom = top - picture.height * unitsPerTexel;
    double x0 = 1e9, y0 = 1e9, x1 = -1e9, y1 = -1e9;
    // Points along the outline, since the lens bends straight edges.
    const int steps = 8;
    for (int k = 0; k <= steps; ++k) {
        const double a = static_cast<double>(k) / steps;
        const double points[4][2] = {{left + a * (right - left), top},
                                     {left + a * (right - left), bottom},
                                     {left, top + a * (bottom - top)},
                                     {right, top + a * (bottom - top)}};
        for (const auto& p : points) {
            double x, y;
            if (!projectMarkerPoint(camera, transform, p[0], p[1], &x, &y)) return;  // whole frame
            x0 = std::min(x0, x);
            y0 = std::min(y0, y);
            x1 = std::max(x1, x);
            y1 = std::max(y1, y);
        }
    }
    const double margin = 3.0;
    options->regionX0 = static_cast<int>(std::max(0.0, std::floor(x0 - margin)));
    options->regionY0 = static_cast<int>(std::max(0.0, std::floor(y0 - margin)));
    options->regionX1 = static_cast<int>(std::min<double>(camera.width, std::ceil(x1 + margin)));
    options->regionY1 = static_cast<int>(std::min<double>(camera.height, std::ceil(y1 + margin)));
    if (options->regionX1 <= options->regionX0 || options->regionY1 <= options->regionY0)
        options->regionX0 = options->regionX1 = options->regionY0 = options->regionY1 = 0;
}

// Sensor noise, B, G, R (alpha 0), normal with sigma kNoiseSigma: a window of a field
// drawn once per frame size, at an offset chosen by seed, which for independent stills
// is as good as fresh noise and far cheaper at HD sizes.
cv::Mat sensorNoise(int width, int height, uint32_t seed) {
    constexpr int kSlack = 64;
    thread_local cv::Mat field;
    if (field.cols != width + kSlack || field.rows != height + kSlack) {
        field.create(height + kSlack, width + kSlack, CV_32FC4);
        cv::RNG rng(0x5eed);
        rng.fill(field, cv::RNG::NORMAL, 0.0, kNoiseSigma);
        cv::Mat alpha(field.size(), CV_32F, cv::Scalar(0));
        cv::insertChannel(alpha, field, 3);
    }
    const uint32_t mixed = seed * 2654435761u;
    return field(cv::Rect(static_cast<int>(mixed % kSlack), static_cast<int>((mixed >> 16) % kSlack), width, height));
}

// A line smear of length pixels at angle, its ends anti-aliased, summing to 1.

// A lens out of focus: a uniform disc of radius pixels, its rim anti-aliased.
cv::Mat defocusKernel(double radius) {
    const int half = static_cast<int>(std::ceil(radius)) + 1;
    const int sub = 8;
    cv::Mat kernel = cv::Mat::zeros(2 * half + 1, 2 * half + 1, CV_32F);
    for (int y = -half; y <= half; ++y)
        for (int x = -half; x <= half; ++x) {
            int inside = 0;
            for (int sy = 0; sy < sub; ++sy)
                for (int sx = 0; sx < sub; ++sx) {
                    const double px = x - 0.5 + (sx + 0.5) / sub, py = y - 0.5 + (sy + 0.5) / sub;
                    inside += px * px + py * py <= radius * radius;
                }
            kernel.at<float>(y + half, x + half) = static_cast<float>(inside);
        }
    return kernel / cv::sum(kernel)[0];
}

// The finger's outline in the picture: its tip and the first marker width of its length
// projected from the paper, then its sides carried straight on out of the frame.
std::vector<cv::Point> fingerOutline(const CameraParam& camera, const double transform[3][4], double markerWidth,
                                     const Finger& f) {
    constexpr int kShift = 3;  // fillPoly's fractional bits
    const double scale = 1 << kShift;
    const double perp[2] = {-f.direction[1], f.direction[0]};
    std::vector<cv::Point2d> left, arc, right;
    auto project = [&](double x, double y, std::vector<cv::Point2d>* out) {
        double ox, oy;
        if (!projectMarkerPoint(camera, transform, x * markerWidth, y * markerWidth, &ox, &oy)) return false;
        out->emplace_back(ox, oy);
        return true;
    };
    const int lengthSteps = 6;
    // A finger widens a little from its tip towards the hand.
    auto radiusAt = [&](double back) { return f.radius * (1.0 + kFingerWidening * back); };
    for (int s = lengthSteps; s >= 0; --s) {
        const double back = static_cast<double>(s) / lengthSteps;
        if (!project(f.tip[0] - back * f.direction[0] + radiusAt(back) * perp[0],
                     f.tip[1] - back * f.direction[1] + radiusAt(back) * perp[1], &left))
            return {};
    }
    for (int a = 1; a < 18; ++a) {
        const double theta = kPi / 2 - a * kPi / 18;  // from +perp round the tip to -perp
        const double dx = std::sin(theta) * perp[0] + std::cos(theta) * f.direction[0];
        const double dy = std::sin(theta) * perp[1] + std::cos(theta) * f.direction[1];
        if (!project(f.tip[0] + f.radius * dx, f.tip[1] + f.radius * dy, &arc)) return {};
    }
    for (int s = 0; s <= lengthSteps; ++s) {
        const double back = static_cast<double>(s) / lengthSteps;
        if (!project(f.tip[0] - back * f.direction[0] - radiusAt(back) * perp[0],
                     f.tip[1] - back * f.direction[1] - radiusAt(back) * perp[1], &right))
            return {};
    }
    auto beyond = [&](const std::vector<cv::Point2d>& side, bool atFront) {
        const cv::Point2d end = atFront ? side.front() : side.back();
        const cv::Point2d next = atFront ? side[1] : side[side.size() - 2];
        cv::Point2d away = end - next;
        const double length = std::hypot(away.x, away.y);
        if (length > 0) away *= 4.0 * (camera.width + camera.height) / length;
        return end + away;
    };
    std::vector<cv::Point2d> outline;
    outline.push_back(beyond(left, true));
    outline.insert(outline.end(), left.begin(), left.end());
    outline.insert(outline.end(), arc.begin(), arc.end());
    outline.insert(outline.end(), right.begin(), right.end());
    outline.push_back(beyond(right, false));
    std::vector<cv::Point> fixed;
    // Far outside the frame the exact place does not matter, only that it fits an int.
    const double limit = 1e6;
    for (const auto& p : outline)
        fixed.emplace_back(static_cast<int>(std::lround(std::clamp(p.x, -limit, limit) * scale)),
                           static_cast<int>(std::lround(std::clamp(p.y, -limit, limit) * scale)));
    return fixed;
}

// Lays the finger and its shadow over the scene (B, G, R floats).
void drawFinger(const ConditionSet& set, const ConditionFrame& frame, cv::Mat& scene) {
    const std::vector<cv::Point> outline = fingerOutline(set.camera, frame.truth, set.markerWidth, frame.finger);
    if (outline.empty()) return;
    cv::Mat mask = cv::Mat::zeros(scene.size(), CV_8U);
    const std::vector<std::vector<cv::Point>> polygons{outline};
    cv::fillPoly(mask, polygons, cv::Scalar(255), cv::LINE_AA, 3);
    const double radius = std::max(1.0, frame.finger.radius * frame.widthPixels);  // pixels, roughly

    cv::Mat shadow;
    const cv::Matx23d shift(1, 0, kShadowOffset[0] * radius, 0, 1, kShadowOffset[1] * radius);
    cv::warpAffine(mask, shadow, shift, mask.size());
    shadow.convertTo(shadow, CV_32F, 1.0 / 255);
    cv::GaussianBlur(shadow, shadow, cv::Size(), std::max(0.5, kShadowSoftness * radius));

    // The finger is round: its sides, seen at a slant, are darker than its middle.
    cv::Mat inside = mask > 127, distance;
    cv::distanceTransform(inside, distance, cv::DIST_L2, 3);
    for (int y = 0; y < scene.rows; ++y) {
        cv::Vec4f* row = scene.ptr<cv::Vec4f>(y);
        const uint8_t* m = mask.ptr<uint8_t>(y);
        const float* s = shadow.ptr<float>(y);
        const float* d = distance.ptr<float>(y);
        for (int x = 0; x < scene.cols; ++x) {
            const double alpha = m[x] / 255.0;
            const double lit = 1.0 - kShadowDepth * s[x] * (1.0 - alpha);
            const double shade =
                kSkinEdgeShade + (1 - kSkinEdgeShade) * std::sqrt(std::min(1.0, d[x] / radius));
            for (int c = 0; c < 3; ++c)
                row[x][c] = static_cast<float>(row[x][c] * lit * (1 - alpha) + kSkin[c] * shade * alpha);
        }
    }
}

// One lamp off to a side: full light on one edge of the frame, kDimFarLight on the other.
void dimLight(double angle, cv::Mat& scene) {
    const double dx = std::cos(angle), dy = std::sin(angle);
    const double ends[4] = {0, dx * (scene.cols - 1), dy * (scene.rows - 1), dx * (scene.cols - 1) + dy * (scene.rows - 1)};
    const double lo = *std::min_element(ends, ends + 4), hi = *std::max_element(ends, ends + 4);
    for (int y = 0; y < scene.rows; ++y) {
        cv::Vec4f* row = scene.ptr<cv::Vec4f>(y);
        for (int x = 0; x < scene.cols; ++x) {
            const double along = (dx * x + dy * y - lo) / (hi - lo);
            const double light = 1.0 - (1.0 - kDimFarLight) * along;
            for (int c = 0; c < 3; ++c) row[x][c] = static_cast<float>(light * (kDimFloor + kDimSpan * row[x][c]));
        }
    }
}

void addGlare(const Glare& g, cv::Mat& scene) {
    const double c = std::cos(g.angle), s = std::sin(g.angle);
    const double reach = 4.0 * std::max(g.sigma[0], g.sigma[1]);
    const int x0 = std::max(0, static_cast<int>(g.centre[0] - reach));
    const int x1 = std::min(scene.cols - 1, static_cast<int>(g.centre[0] + reach));
    const int y0 = std::max(0, static_cast<int>(g.centre[1] - reach));
    const int y1 = std::min(scene.rows - 1, static_cast<int>(g.centre[1] + reach));
    for (int y = y0; y <= y1; ++y) {
        cv::Vec4f* row = scene.ptr<cv::Vec4f>(y);
        for (int x = x0; x <= x1; ++x) {
            const double u = ((x - g.centre[0]) * c + (y - g.centre[1]) * s) / g.sigma[0];
            const double v = (-(x - g.centre[0]) * s + (y - g.centre[1]) * c) / g.sigma[1];
            // Saturated in the core, fading over about two sigma.
            const double pull = g.strength * std::min(1.0, 1.6 * std::exp(-0.5 * (u * u + v * v)));
            for (int k = 0; k < 3; ++k) row[x][k] = static_cast<float>(row[x][k] + (255.0 - row[x][k]) * pull);
        }
    }
}

}  // namespace

cv::Mat motionKernel(double length, double angle) {
    const int half = static_cast<int>(std::ceil(length / 2)) + 1;
    cv::Mat kernel = cv::Mat::zeros(2 * half + 1, 2 * half + 1, CV_32F);
    const int steps = 16 * static_cast<int>(std::ceil(length)) + 1;
    for (int s = 0; s < steps; ++s) {
        const double d = length * (static_cast<double>(s) / (steps - 1) - 0.5);
        const double x = half + d * std::cos(angle), y = half + d * std::sin(angle);
        const int x0 = static_cast<int>(std::floor(x)), y0 = static_cast<int>(std::floor(y));
        const double fx = x - x0, fy = y - y0;
        kernel.at<float>(y0, x0) += static_cast<float>((1 - fx) * (1 - fy));
        kernel.at<float>(y0, x0 + 1) += static_cast<float>(fx * (1 - fy));
        kernel.at<float>(y0 + 1, x0) += static_cast<float>((1 - fx) * fy);
        kernel.at<float>(y0 + 1, x0 + 1) += static_cast<float>(fx * fy);
    }
    return kernel / cv::sum(kernel)[0];
}

static void multiply3(const double a[3][3], const double b[3][3], double out[3][3]) {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) out[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
}

void markerRotation(double tiltAxis, double tilt, double spin, double out[3][3]) {
    const double ax = std::cos(tiltAxis), ay = std::sin(tiltAxis);
    const double c = std::cos(tilt), s = std::sin(tilt);
    const double t[3][3] = {{c + ax * ax * (1 - c), ax * ay * (1 - c), ay * s},
                            {ax * ay * (1 - c), c + ay * ay * (1 - c), -ax * s},
                            {-ay * s, ax * s, c}};
    const double z[3][3] = {{std::cos(spin), -std::sin(spin), 0}, {std::sin(spin), std::cos(spin), 0}, {0, 0, 1}};
    const double facing[3][3] = {{1, 0, 0}, {0, -1, 0}, {0, 0, -1}};
    double tz[3][3];
    multiply3(t, z, tz);
    multiply3(facing, tz, out);
}

const char* conditionName(TrackingCondition condition) {
    switch (condition) {
        case TrackingCondition::Clean: return "clean";
        case TrackingCondition::DimLight: return "dim-light";
        case TrackingCondition::FingerSide: return "finger-side";
        case TrackingCondition::FingerCorner: return "finger-corner";
        case TrackingCondition::MotionBlur: return "motion-blur";
        case TrackingCondition::Defocus: return "defocus";
        case TrackingCondition::Tiny: return "tiny";
        case TrackingCondition::Near720: return "near-1280x720";
        case TrackingCondition::Near1080: return "near-1920x1080";
        case TrackingCondition::Jpeg: return "jpeg";
        case TrackingCondition::Glare: return "glare";
        case TrackingCondition::FingerSequence: return "finger-sequence";
    }
    return "?";
}

const char* conditionDescription(TrackingCondition condition) {
    switch (condition) {
        case TrackingCondition::Clean: return "clean (sensor noise sigma 3)";
        case TrackingCondition::DimLight: return "dim room, one lamp: light 1.0 to 0.25 across the frame, low contrast";
        case TrackingCondition::FingerSide: return "a finger over part of one side of the black frame";
        case TrackingCondition::FingerCorner: return "a finger over one corner of the black frame";
        case TrackingCondition::MotionBlur: return "shaky hand: motion blur 4-14 px";
        case TrackingCondition::Defocus: return "out of focus: disc blur 1.5-3.5 px radius";
        case TrackingCondition::Tiny: return "tiny: marker 15-44 px wide";
        case TrackingCondition::Near720: return "HD webcam 1280x720, marker near the camera";
        case TrackingCondition::Near1080: return "HD webcam 1920x1080, marker near the camera";
        case TrackingCondition::Jpeg: return "webcam MJPEG, quality 75-85";
        case TrackingCondition::Glare: return "a bright reflection over part of the marker";
        case TrackingCondition::FingerSequence: return "sequence: a finger slides over the frame of a marker seen whole";
    }
    return "?";
}

void conditionFrameSize(TrackingCondition condition, int* width, int* height) {
    *width = 640;
    *height = 480;
    if (condition == TrackingCondition::Near720) {
        *width = 1280;
        *height = 720;
    } else if (condition == TrackingCondition::Near1080) {
        *width = 1920;
        *height = 1080;
    }
}

ConditionSet makeConditionSet(TrackingCondition condition, const CameraParam& calibration, int width, int height,
                              uint32_t seed, int frames, double markerWidth) {
    ConditionSet set;
    set.condition = condition;
    set.markerWidth = markerWidth;
    resizeCameraParam(&calibration, width, height, &set.camera);
    std::mt19937 rng(seed ^ conditionSalt(condition));
    const CameraParam& camera = set.camera;
    drawTable(rng, camera, markerWidth, &set.background);
    if (condition == TrackingCondition::FingerSequence) {
        drawSequence(rng, camera, markerWidth, frames, &set.frames);
        return set;
    }
    for (int i = 0; i < frames; ++i) {
        ConditionFrame f{};
        switch (condition) {
            case TrackingCondition::Tiny:
                drawPoseBySize(rng, camera, markerWidth, 15.0, 44.0, 45 * kDegree, kPaperMargin, f.truth);
                break;
            case TrackingCondition::Near720:
            case TrackingCondition::Near1080:
                drawPoseBySize(rng, camera, markerWidth, 0.2 * height, 0.7 * height, 45 * kDegree, kNearPaperMargin,
                               f.truth);
                break;
            default:
                drawPoseByDistance(rng, camera, markerWidth, 3.0, 10.0, 60 * kDegree, f.truth);
                break;
        }
        f.seed = static_cast<uint32_t>(rng());
        finishFrame(camera, markerWidth, &f);
        switch (condition) {
            case TrackingCondition::DimLight: f.lightAngle = uniform(rng, 0, 2 * kPi); break;
            case TrackingCondition::FingerSide:
                f.finger = fingerOverSide(static_cast<int>(rng() % 4), uniform(rng, -0.3, 0.3), uniform(rng, 0.08, 0.22),
                                          uniform(rng, -30, 30) * kDegree, uniform(rng, 0.1, 0.15));
                break;
            case TrackingCondition::FingerCorner:
                f.finger = fingerOverCorner(static_cast<int>(rng() % 4), uniform(rng, 0.1, 0.3),
                                            uniform(rng, -25, 25) * kDegree, uniform(rng, 0.1, 0.15));
                break;
            case TrackingCondition::MotionBlur:
                f.blurLength = uniform(rng, 4.0, 14.0);
                f.blurAngle = uniform(rng, 0, kPi);
                break;
            case TrackingCondition::Defocus: f.defocusRadius = uniform(rng, 1.5, 3.5); break;
            case TrackingCondition::Jpeg: f.jpegQuality = static_cast<int>(75 + rng() % 11); break;
            case TrackingCondition::Glare: f.glare = glareOverMarker(rng, camera, f, markerWidth); break;
            default: break;
        }
        set.frames.push_back(f);
    }
    return set;
}

void renderConditionFrame(const ConditionSet& set, size_t index, const MarkerImage& picture,
                          std::vector<uint8_t>* bgra) {
    const ConditionFrame& frame = set.frames.at(index);
    const int width = set.camera.width, height = set.camera.height;
    *bgra = set.background;
    SceneOptions options;
    options.paperOnly = true;
    options.noiseSigma = 0.0;  // added below, after the optics
    paperRegion(set.camera, frame.truth, set.markerWidth, picture, &options);
    renderMarkerScene(set.camera, frame.truth, set.markerWidth, picture, options, bgra->data());

    cv::Mat out(height, width, CV_8UC4, bgra->data());
    const cv::Mat noise = sensorNoise(width, height, frame.seed);
    const bool optics = frame.finger.present || frame.lightAngle >= 0.0 || frame.glare.present ||
                        frame.blurLength > 0.0 || frame.defocusRadius > 0.0;
    if (optics) {
        // Kept between calls: fresh frame-sized buffers each time cost more in page
        // faults than the work done in them.
        thread_local cv::Mat scene;
        out.convertTo(scene, CV_32FC4);
        if (frame.finger.present) drawFinger(set, frame, scene);
        if (frame.lightAngle >= 0.0) dimLight(frame.lightAngle, scene);
        if (frame.glare.present) addGlare(frame.glare, scene);
        if (frame.blurLength > 0.0)
            cv::filter2D(scene, scene, -1, motionKernel(frame.blurLength, frame.blurAngle), cv::Point(-1, -1), 0,
                         cv::BORDER_REPLICATE);
        if (frame.defocusRadius > 0.0)
            cv::filter2D(scene, scene, -1, defocusKernel(frame.defocusRadius), cv::Point(-1, -1), 0,
                         cv::BORDER_REPLICATE);
        scene += noise;
        scene.convertTo(out, CV_8UC4);  // rounds and saturates; alpha stays 255
    } else {
        cv::add(out, noise, out, cv::noArray(), CV_8U);
    }
    if (frame.jpegQuality > 0) {
        thread_local cv::Mat bgr;
        thread_local std::vector<uint8_t> encoded;
        cv::cvtColor(out, bgr, cv::COLOR_BGRA2BGR);
        cv::imencode(".jpg", bgr, encoded, {cv::IMWRITE_JPEG_QUALITY, frame.jpegQuality});
        cv::cvtColor(cv::imdecode(encoded, cv::IMREAD_COLOR), out, cv::COLOR_BGR2BGRA);
    }
}

double poseRotationErrorDegrees(const double truth[3][4], const double estimate[3][4]) {
    double trace = 0.0;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) trace += truth[r][c] * estimate[r][c];
    return std::acos(std::clamp((trace - 1.0) / 2.0, -1.0, 1.0)) / kDegree;
}

double poseTranslationErrorPercent(const double truth[3][4], const double estimate[3][4]) {
    const double dx = truth[0][3] - estimate[0][3];
    const double dy = truth[1][3] - estimate[1][3];
    const double dz = truth[2][3] - estimate[2][3];
    const double length = std::sqrt(truth[0][3] * truth[0][3] + truth[1][3] * truth[1][3] + truth[2][3] * truth[2][3]);
    return 100.0 * std::sqrt(dx * dx + dy * dy + dz * dz) / length;
}

double worstCornerError(const double corners[4][2], const double expected[4][2]) {
    double worst = 0.0;
    for (int e = 0; e < 4; ++e) {
        double nearest = 1e300;
        for (int c = 0; c < 4; ++c)
            nearest = std::min(nearest, std::hypot(corners[c][0] - expected[e][0], corners[c][1] - expected[e][1]));
        worst = std::max(worst, nearest);
    }
    return worst;
}
