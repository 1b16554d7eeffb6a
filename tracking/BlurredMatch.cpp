#include "tracking/BlurredMatch.h"

#include <algorithm>
#include <cmath>

#include "tracking/Pattern.h"
#include "tracking/PatternSampling.h"

namespace {

// Rise (10 % to 90 %) of a sharp edge as the edge refinement measures it: the pixel's
// own area and the bilinear reading between pixel centres.
constexpr double kSharpRise = 1.0;
// Extent of blur (pixels) below which the sharp templates fit well enough.
constexpr double kMinBlur = 2.0;
// 10-90 % rise of a box blur of length l is 0.8 l; of a disc of radius r about 1.37 r.
constexpr double kBoxRise = 0.8;
constexpr double kDiscRise = 1.37;
constexpr double kMaxBlurOfSide = 0.5;
constexpr int kCells = 16;

// Where one blur point of a cell lands on the marker.
constexpr int16_t kOnPaper = -1;
constexpr int16_t kOnBorder = -2;

// Blur extent across a side from its measured rise, the sharp part taken off.
double extentFromRise(double rise, double factor) {
    return std::sqrt(std::max(0.0, rise * rise - kSharpRise * kSharpRise)) / factor;
}

void unitNormal(const double a[2], const double b[2], double n[2]) {
    const double dx = b[0] - a[0], dy = b[1] - a[1];
    const double length = std::hypot(dx, dy);
    n[0] = length > 0 ? dy / length : 0.0;
    n[1] = length > 0 ? -dx / length : 0.0;
}

}  // namespace

int blurShapesFromRises(const double corners[4][2], const double rise[4], BlurShape shapes[3]) {
    // Opposite sides are nearly parallel: one normal and one extent for each pair.
    double na[2], nb[2];
    unitNormal(corners[0], corners[1], na);
    unitNormal(corners[1], corners[2], nb);
    const double la = extentFromRise(0.5 * (rise[0] + rise[2]), kBoxRise);
    const double lb = extentFromRise(0.5 * (rise[1] + rise[3]), kBoxRise);
    if (!(std::max(la, lb) >= kMinBlur) || !std::isfinite(la + lb)) return 0;
    // A blur reaching across more than half the square has run the border into the
    // picture: nothing of the pattern is left to read, and blurred templates would find
    // a likeness in any dark smudge (a letter of the picture under a glare, say).
    double shortest = 1e300;
    for (int i = 0; i < 4; ++i)
        shortest = std::min(shortest, std::hypot(corners[(i + 1) % 4][0] - corners[i][0],
                                                 corners[(i + 1) % 4][1] - corners[i][1]));
    if (!(std::max(la, lb) <= kMaxBlurOfSide * shortest)) return 0;

    int count = 0;
    // A straight motion v with |v . na| = la and |v . nb| = lb: two such v up to sign.
    const double det = na[0] * nb[1] - na[1] * nb[0];
    if (std::fabs(det) > 0.2) {
        for (const double sign : {1.0, -1.0}) {
            const double b = sign * lb;
            const double v[2] = {(la * nb[1] - b * na[1]) / det, (b * na[0] - la * nb[0]) / det};
            const double length = std::hypot(v[0], v[1]);
            BlurShape& shape = shapes[count++];
            shape.count = std::clamp(static_cast<int>(std::ceil(length)) + 1, 2, kMaxBlurPoints);
            for (int k = 0; k < shape.count; ++k) {
                const double t = (k + 0.5) / shape.count - 0.5;
                shape.offset[k][0] = t * v[0];
                shape.offset[k][1] = t * v[1];
            }
        }
    }
    // Defocus: a disc, read on a grid of half-radius steps (13 points).
    const double radius = extentFromRise(0.25 * (rise[0] + rise[1] + rise[2] + rise[3]), kDiscRise);
    BlurShape& disc = shapes[count++];
    disc.count = 0;
    for (int j = -2; j <= 2; ++j)
        for (int i = -2; i <= 2; ++i)
            if (i * i + j * j <= 4) {
                disc.offset[disc.count][0] = 0.5 * radius * i;
                disc.offset[disc.count][1] = 0.5 * radius * j;
                ++disc.count;
            }
    return count;
}

bool matchBlurredPattern(const PatternTable& table, const uint8_t patch[kPatchBytes],
                         const double corners[4][2], const BlurShape& shape, int* pattern, int* orientation,
                         double* confidence) {
    if (shape.count < 1 || shape.count > kMaxBlurPoints) return false;
    double h[3][3], back[3][3];
    if (computeHomography(kSamplingSquare, corners, h) < 0 || !invert3(h, back)) return false;

    // The patch as zero-mean darkness, as matchPattern compares it.
    int sum = 0;
    for (int k = 0; k < kPatchBytes; ++k) sum += 255 - patch[k];
    const int mean = sum / kPatchBytes;
    int input[kPatchBytes];
    double squares = 0.0;
    for (int k = 0; k < kPatchBytes; ++k) {
        input[k] = 255 - patch[k] - mean;
        squares += static_cast<double>(input[k]) * input[k];
    }
    if (squares == 0.0) return false;
    const double power = std::sqrt(squares);

    // Where each blur point around each cell's centre lands: the paper, the border, or a
    // cell of the pattern.
    int16_t where[kCells * kCells][kMaxBlurPoints];
    const double far = 1e6;  // beyond this the mapping has lost all meaning
    for (int row = 0; row < kCells; ++row) {
        const double Y = kSamplingPatternStart + kSamplingPatternSide * (row + 0.5) / kCells;
        for (int col = 0; col < kCells; ++col) {
            const double X = kSamplingPatternStart + kSamplingPatternSide * (col + 0.5) / kCells;
            const double w = h[2][0] * X + h[2][1] * Y + h[2][2];
            if (w == 0.0) return false;
            const double x = (h[0][0] * X + h[0][1] * Y + h[0][2]) / w;
            const double y = (h[1][0] * X + h[1][1] * Y + h[1][2]) / w;
            for (int k = 0; k < shape.count; ++k) {
                const double qx = x + shape.offset[k][0], qy = y + shape.offset[k][1];
                const double qw = back[2][0] * qx + back[2][1] * qy + back[2][2];
                const double mx = (back[0][0] * qx + back[0][1] * qy + back[0][2]) / qw;
                const double my = (back[1][0] * qx + back[1][1] * qy + back[1][2]) / qw;
                int16_t& at = where[row * kCells + col][k];
                // The homography is scaled to 1 at the plane's origin, far from the
                // sampling square, and on a steeply tilted marker the origin lies beyond
                // the horizon: then every point of the square has a negative weight. A
                // blur point is beyond the horizon only where its weight's sign differs
                // from the cell's own (back maps the cell's image point to weight 1 / w).
                if (!(std::fabs(mx) < far && std::fabs(my) < far) || qw * w <= 0.0) {
                    at = kOnPaper;
                    continue;
                }
                const double u = (mx - kSamplingPatternStart) / kSamplingPatternSide * kCells;
                const double v = (my - kSamplingPatternStart) / kSamplingPatternSide * kCells;
                const double outer = 2.5 / kSamplingPatternSide * kCells;  // the border's width in cells
                if (u >= 0 && v >= 0 && u < kCells && v < kCells)
                    at = static_cast<int16_t>(static_cast<int>(v) * kCells + static_cast<int>(u));
                else if (u >= -outer && v >= -outer && u < kCells + outer && v < kCells + outer)
                    at = kOnBorder;
                else
                    at = kOnPaper;
            }
        }
    }

    double best = 0.0;
    int bestPattern = -1, bestOrientation = -1;
    for (int slot = 0; slot < kPatternSlots && table.count > 0; ++slot) {
        if (table.state[slot] != 1) continue;
        for (int d = 0; d < 4; ++d) {
            const int* templ = &table.colour[slot][d][0][0][0];
            const int templMean = table.darkMean[slot][d];
            double blurred[kPatchBytes];
            double total = 0.0;
            for (int cell = 0; cell < kCells * kCells; ++cell) {
                double acc[3] = {0.0, 0.0, 0.0};
                for (int k = 0; k < shape.count; ++k) {
                    const int at = where[cell][k];
                    if (at == kOnPaper) continue;
                    for (int p = 0; p < 3; ++p) acc[p] += at == kOnBorder ? 255.0 : templ[at * 3 + p] + templMean;
                }
                for (int p = 0; p < 3; ++p) {
                    blurred[cell * 3 + p] = acc[p] / shape.count;
                    total += blurred[cell * 3 + p];
                }
            }
            const double blurredMean = total / kPatchBytes;
            double dot = 0.0, blurredSquares = 0.0;
            for (int k = 0; k < kPatchBytes; ++k) {
                const double t = blurred[k] - blurredMean;
                dot += t * input[k];
                blurredSquares += t * t;
            }
            if (blurredSquares <= 0.0) continue;
            const double value = dot / std::sqrt(blurredSquares) / power;
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
    return true;
}
