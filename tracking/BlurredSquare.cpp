#include "tracking/BlurredSquare.h"

#include <algorithm>
#include <cmath>

#include "tracking/BlurredMatch.h"
#include "tracking/EdgeRefine.h"
#include "tracking/Pattern.h"
#include "tracking/PatternSampling.h"

namespace {

// The blurs tried from the rough corners: straight motions every 15 degrees over a half
// turn (a motion and its reverse blur alike), of these lengths.
constexpr int kSearchDirections = 12;
constexpr double kSearchLengths[] = {4.0, 7.0, 10.0, 13.0, 16.0};
// Below this the picture resembles no pattern under any blur: nothing to fit (the descent
// is what costs). From rough corners a thin marker's picture reaches 0.45 to 0.9.
constexpr double kMinBestSearchConfidence = 0.45;
// Other blurs tried as a start for the descent from this correlation on: the rough
// corners can favour a wrong direction.
constexpr double kMinSearchConfidence = 0.3;
// Pixels compared in one evaluation of the fit: every pixel of a small square, evenly
// thinned out on a larger one.
constexpr int kMaxFitPixels = 1200;
constexpr int kMaxPixels = 2 * kMaxFitPixels;
// Steps (pixels) of the fit's descent, coarse to fine, and sweeps over the parameters at
// each step at most.
constexpr double kFitSteps[] = {2.0, 1.0, 0.5, 0.25};
constexpr int kMaxSweeps = 4;
constexpr int kParameters = 10;  // four corners and the motion
// Fits tried from the search's best blurs of directions this many steps apart.
constexpr int kFitStarts = 3;
constexpr int kMinStartApart = 2;

// A side is blurred where its rise is this long (pixels); looked for at kRiseProbes places
// on profiles from kRiseInner pixels inside it outward, kRiseStep apart.
constexpr double kMinBlurredRise = 2.5;
constexpr int kRiseProbes = 5;
constexpr double kRiseInner = -3.0;
constexpr double kRiseStep = 0.5;
constexpr int kRiseSamples = 27;  // to 10 px outside

// Levels of the model (three channels summed): the paper and the ink.
constexpr double kPaper = 765.0;
constexpr double kInk = 0.0;

double distance(const double a[2], const double b[2]) { return std::hypot(a[0] - b[0], a[1] - b[1]); }

BlurShape straightMotion(const double v[2]) {
    BlurShape shape;
    const double length = std::hypot(v[0], v[1]);
    shape.count = std::clamp(static_cast<int>(std::ceil(length)) + 1, 2, kMaxBlurPoints);
    for (int k = 0; k < shape.count; ++k) {
        const double t = (k + 0.5) / shape.count - 0.5;
        shape.offset[k][0] = t * v[0];
        shape.offset[k][1] = t * v[1];
    }
    return shape;
}

// The pixels the fit compares, and what they show (three channels summed).
struct FitPixels {
    int count = 0;
    float x[kMaxPixels], y[kMaxPixels], grey[kMaxPixels];
};

// Pixels within margin of the quadrilateral (inside it or near a side), thinned evenly to
// about kMaxFitPixels.
void choosePixels(const uint8_t* frame, int width, int height, const double q[4][2], double margin, FitPixels& px) {
    px.count = 0;
    double lo[2] = {q[0][0], q[0][1]}, hi[2] = {q[0][0], q[0][1]};
    // Outward unit normal and offset of each side, for either turning sense.
    double turning = 0.0;
    for (int k = 0; k < 4; ++k) turning += q[k][0] * q[(k + 1) % 4][1] - q[(k + 1) % 4][0] * q[k][1];
    const double sense = turning >= 0.0 ? 1.0 : -1.0;
    double normal[4][3];
    for (int k = 0; k < 4; ++k) {
        const double* a = q[k];
        const double* b = q[(k + 1) % 4];
        const double length = distance(a, b);
        if (!(length > 0.0)) return;
        normal[k][0] = sense * (b[1] - a[1]) / length;
        normal[k][1] = -sense * (b[0] - a[0]) / length;
        normal[k][2] = -(normal[k][0] * a[0] + normal[k][1] * a[1]);
        for (int c = 0; c < 2; ++c) {
            lo[c] = std::min(lo[c], q[k][c]);
            hi[c] = std::max(hi[c], q[k][c]);
        }
    }
    const int x0 = std::max(0, static_cast<int>(std::floor(lo[0] - margin)));
    const int y0 = std::max(0, static_cast<int>(std::floor(lo[1] - margin)));
    const int x1 = std::min(width - 1, static_cast<int>(std::ceil(hi[0] + margin)));
    const int y1 = std::min(height - 1, static_cast<int>(std::ceil(hi[1] + margin)));
    auto near = [&](int x, int y) {
        for (const auto& n : normal)
            if (n[0] * x + n[1] * y + n[2] > margin) return false;
        return true;
    };
    int all = 0;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) all += near(x, y);
    const int step = std::max(1, static_cast<int>(std::ceil(std::sqrt(static_cast<double>(all) / kMaxFitPixels))));
    for (int y = y0; y <= y1; y += step)
        for (int x = x0; x <= x1 && px.count < kMaxPixels; x += step) {
            if (!near(x, y)) continue;
            const uint8_t* p = frame + (static_cast<size_t>(y) * width + x) * 4;
            px.x[px.count] = static_cast<float>(x);
            px.y[px.count] = static_cast<float>(y);
            px.grey[px.count] = static_cast<float>(p[0] + p[1] + p[2]);
            ++px.count;
        }
}

// Correlation of the marker's picture (paper, border, the template's cells), placed at
// the corners and blurred by motion v, with the chosen pixels. -2 when the placement is
// degenerate.
double fitScore(const double corners[4][2], const double v[2], const int* templ, int templMean,
                const FitPixels& px) {
    double h[3][3], back[3][3];
    if (computeHomography(kSamplingSquare, corners, h) < 0 || !invert3(h, back)) return -2.0;
    // Points of the plane on the square's side of the horizon map with the square's sign.
    const double centre = kSamplingSquare[0][0] + 5.0;
    const double side = h[2][0] * centre + h[2][1] * centre + h[2][2];
    const BlurShape shape = straightMotion(v);
    double sm = 0.0, sg = 0.0, smm = 0.0, sgg = 0.0, smg = 0.0;
    for (int i = 0; i < px.count; ++i) {
        double sum = 0.0;
        for (int k = 0; k < shape.count; ++k) {
            const double qx = px.x[i] + shape.offset[k][0], qy = px.y[i] + shape.offset[k][1];
            const double qw = back[2][0] * qx + back[2][1] * qy + back[2][2];
            if (qw * side <= 0.0) {
                sum += kPaper;
                continue;
            }
            const double X = (back[0][0] * qx + back[0][1] * qy + back[0][2]) / qw;
            const double Y = (back[1][0] * qx + back[1][1] * qy + back[1][2]) / qw;
            if (!(X >= kSamplingSquare[0][0] && X < kSamplingSquare[1][0] && Y >= kSamplingSquare[0][1] &&
                  Y < kSamplingSquare[2][1])) {
                sum += kPaper;
                continue;
            }
            const double u = (X - kSamplingPatternStart) / kSamplingPatternSide * kPatternSize;
            const double w = (Y - kSamplingPatternStart) / kSamplingPatternSide * kPatternSize;
            if (u >= 0 && w >= 0 && u < kPatternSize && w < kPatternSize) {
                const int* cell = templ + (static_cast<int>(w) * kPatternSize + static_cast<int>(u)) * 3;
                // The template holds zero-mean darkness per channel.
                sum += kPaper - (cell[0] + cell[1] + cell[2] + 3 * templMean);
            } else {
                sum += kInk;
            }
        }
        const double m = sum / shape.count, g = px.grey[i];
        sm += m;
        sg += g;
        smm += m * m;
        sgg += g * g;
        smg += m * g;
    }
    const double n = px.count;
    const double varM = smm - sm * sm / n, varG = sgg - sg * sg / n;
    if (!(varM > 0.0 && varG > 0.0)) return -2.0;
    return (smg - sm * sg / n) / std::sqrt(varM * varG);
}

// The blurred-template match of the picture sampled at corners under motion v.
bool blurredMatch(const PatternTable& table, const uint8_t* frame, int width, int height,
                  const double corners[4][2], const double v[2], int* pattern, int* orientation,
                  double* confidence) {
    uint8_t patch[kPatchBytes];
    if (samplePatternAt(frame, width, height, corners, patch) < 0) return false;
    return matchBlurredPattern(table, patch, corners, straightMotion(v), pattern, orientation, confidence) &&
           *pattern >= 0;
}

// One fit from start under motion (pattern and orientation fixed): corners and motion
// moved by a descent on fitScore. Returns the fit's score (-2 when degenerate).
double descend(const PatternTable& table, const uint8_t* frame, int width, int height,
               const double start[4][2], const double motion[2], int pattern, int orientation,
               double corners[4][2], double fitted[2]) {
    const int* templ = &table.colour[pattern][orientation][0][0][0];
    const int templMean = table.darkMean[pattern][orientation];
    FitPixels pixels;
    // The blurred square reaches half the blur beyond its sides; a little paper beyond
    // that shows where the ramp ends. Farther out may lie the table beyond the paper.
    choosePixels(frame, width, height, start, 0.5 * std::hypot(motion[0], motion[1]) + 1.5, pixels);
    if (pixels.count < 16) return -2.0;

    double params[kParameters];
    for (int k = 0; k < 4; ++k) {
        params[2 * k] = start[k][0];
        params[2 * k + 1] = start[k][1];
    }
    params[8] = motion[0];
    params[9] = motion[1];
    auto score = [&](const double* p) {
        const double c[4][2] = {{p[0], p[1]}, {p[2], p[3]}, {p[4], p[5]}, {p[6], p[7]}};
        const double v[2] = {p[8], p[9]};
        if (std::hypot(v[0], v[1]) > kMaxFittedBlur + 2.0) return -2.0;
        return fitScore(c, v, templ, templMean, pixels);
    };
    double current = score(params);
    if (current <= -2.0) return -2.0;
    // A descent one parameter at a time, the step halved when no move gains.
    for (const double step : kFitSteps) {
        for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
            bool moved = false;
            for (int k = 0; k < kParameters; ++k) {
                for (const double sign : {1.0, -1.0}) {
                    const double kept = params[k];
                    params[k] = kept + sign * step;
                    const double tried = score(params);
                    if (tried > current) {
                        current = tried;
                        moved = true;
                        break;
                    }
                    params[k] = kept;
                }
            }
            if (!moved) break;
        }
    }
    for (int k = 0; k < 4; ++k) {
        corners[k][0] = params[2 * k];
        corners[k][1] = params[2 * k + 1];
        // The fit must stay near the outline it started from.
        if (distance(corners[k], start[k]) > 0.5 * kMaxFittedBlur) return -2.0;
    }
    fitted[0] = params[8];
    fitted[1] = params[9];
    return current;
}

}  // namespace

bool showsBlurredEdge(const uint8_t* frame, int width, int height, const double q[4][2]) {
    double turning = 0.0;
    for (int k = 0; k < 4; ++k) turning += q[k][0] * q[(k + 1) % 4][1] - q[(k + 1) % 4][0] * q[k][1];
    const double sense = turning >= 0.0 ? 1.0 : -1.0;
    for (int k = 0; k < 4; ++k) {
        const double* a = q[k];
        const double* b = q[(k + 1) % 4];
        const double length = distance(a, b);
        if (!(length > 0.0)) return false;
        const double n[2] = {sense * (b[1] - a[1]) / length, -sense * (b[0] - a[0]) / length};
        int blurred = 0;
        for (int i = 0; i < kRiseProbes; ++i) {
            const double t = 0.3 + 0.4 * i / (kRiseProbes - 1);
            const double x = a[0] + t * (b[0] - a[0]), y = a[1] + t * (b[1] - a[1]);
            double profile[kRiseSamples];
            bool inside = true;
            for (int j = 0; j < kRiseSamples && inside; ++j) {
                const double o = kRiseInner + j * kRiseStep;
                inside = greyLevelAt(frame, width, height, x + o * n[0], y + o * n[1], &profile[j]);
            }
            if (!inside) continue;
            const double lo = *std::min_element(profile, profile + kRiseSamples);
            const double hi = *std::max_element(profile, profile + kRiseSamples);
            int between = 0;
            for (const double level : profile) between += level > lo + 0.1 * (hi - lo) && level < hi - 0.1 * (hi - lo);
            blurred += between * kRiseStep >= kMinBlurredRise;
        }
        if (2 * blurred > kRiseProbes) return true;
    }
    return false;
}


bool isThinSquare(const double corners[4][2]) {
    const double across = std::min(distance(corners[0], corners[1]) + distance(corners[2], corners[3]),
                                   distance(corners[1], corners[2]) + distance(corners[3], corners[0]));
    // The border is a quarter of the side: under a blur longer than it is thick no level
    // of it survives beside the long sides.
    return 0.5 * across < 4.0 * kMaxFittedBlur;
}

bool fitBlurredSquare(const PatternTable& table, const uint8_t* frame, int width, int height,
                      const double start[4][2], BlurredSquare* out) {
    if (!frame || width < 3 || height < 3 || !showsBlurredEdge(frame, width, height, start)) return false;
    // The blurs, with pattern and orientation, whose blurred templates fit the rough
    // picture best: the best few of distinct directions, as the rough corners may favour
    // a wrong one.
    struct Start {
        double confidence = 0.0, motion[2] = {0.0, 0.0};
        int direction = -1, pattern = -1, orientation = -1;
    };
    Start starts[kFitStarts];
    uint8_t patch[kPatchBytes];
    if (samplePatternAt(frame, width, height, start, patch) < 0) return false;
    for (int d = 0; d < kSearchDirections; ++d) {
        Start here;
        const double angle = M_PI * d / kSearchDirections;
        for (const double length : kSearchLengths) {
            const double v[2] = {length * std::cos(angle), length * std::sin(angle)};
            int p, o;
            double c;
            if (matchBlurredPattern(table, patch, start, straightMotion(v), &p, &o, &c) && p >= 0 &&
                c > here.confidence) {
                here.confidence = c;
                here.motion[0] = v[0];
                here.motion[1] = v[1];
                here.direction = d;
                here.pattern = p;
                here.orientation = o;
            }
        }
        // Kept when better than a kept one at least kMinStartApart directions away, in
        // place of its near neighbours.
        int slot = -1;
        for (int s = 0; s < kFitStarts; ++s) {
            const int other = starts[s].direction;
            const int apart = other < 0 ? kSearchDirections
                                        : std::min((d - other + kSearchDirections) % kSearchDirections,
                                                   (other - d + kSearchDirections) % kSearchDirections);
            if (apart < kMinStartApart) {
                slot = here.confidence > starts[s].confidence ? s : -2;
                break;
            }
        }
        if (slot == -2) continue;
        if (slot < 0) {
            slot = 0;
            for (int s = 1; s < kFitStarts; ++s)
                if (starts[s].confidence < starts[slot].confidence) slot = s;
            if (here.confidence <= starts[slot].confidence) continue;
        }
        starts[slot] = here;
    }

    double bestSearch = 0.0;
    for (const Start& s : starts) bestSearch = std::max(bestSearch, s.confidence);
    if (bestSearch < kMinBestSearchConfidence) return false;
    double bestFit = -2.0;
    for (const Start& s : starts) {
        if (s.pattern < 0 || s.confidence < kMinSearchConfidence) continue;
        double corners[4][2], motion[2];
        const double fit =
            descend(table, frame, width, height, start, s.motion, s.pattern, s.orientation, corners, motion);
        if (fit <= bestFit) continue;
        bestFit = fit;
        std::copy(&corners[0][0], &corners[0][0] + 8, &out->corners[0][0]);
        out->motion[0] = motion[0];
        out->motion[1] = motion[1];
    }
    if (bestFit <= -2.0) return false;
    out->fit = bestFit;
    return blurredMatch(table, frame, width, height, out->corners, out->motion, &out->pattern,
                        &out->orientation, &out->confidence);
}
