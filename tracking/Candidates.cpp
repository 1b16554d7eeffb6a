#include "tracking/Candidates.h"

#include <algorithm>
#include <cstdio>

namespace {

// Neighbour directions, 0 = up, then clockwise.
constexpr int kDirX[8] = {0, 1, 1, 1, 0, -1, -1, -1};
constexpr int kDirY[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
constexpr int kMaxSplitPoints = 6;

int squaredDistance(int x0, int y0, int x1, int y1) {
    const int dx = x1 - x0;
    const int dy = y1 - y0;
    return dx * dx + dy * dy;
}

}  // namespace

int traceContour(const uint16_t* labels, int width, const int* equivalence, int label, const int box[4],
                 MarkerCandidate* candidate) {
    const int top = box[2];
    int startX = -1;
    for (int x = box[0]; x <= box[1]; ++x) {
        if (belongsToLabel(labels[static_cast<size_t>(top) * width + x], equivalence, label)) {
            startX = x;
            break;
        }
    }
    if (startX < 0) {
        std::printf("??? 1\n");
        return -1;
    }
    int* cx = candidate->contourX;
    int* cy = candidate->contourY;
    cx[0] = startX;
    cy[0] = top;
    int count = 1;
    int direction = 5;
    // Labelled pixels never lie on the frame's outermost rows and columns, so every
    // neighbour looked at here is inside the frame.
    for (;;) {
        const int x = cx[count - 1];
        const int y = cy[count - 1];
        direction = (direction + 5) % 8;
        int found = -1;
        for (int tried = 0; tried < 8; ++tried) {
            const int d = (direction + tried) % 8;
            if (labels[static_cast<size_t>(y + kDirY[d]) * width + x + kDirX[d]] > 0) {
                found = d;
                break;
            }
        }
        if (found < 0) {
            std::printf("??? 2\n");
            return -1;
        }
        direction = found;
        cx[count] = x + kDirX[found];
        cy[count] = y + kDirY[found];
        ++count;
        if (cx[count - 1] == cx[0] && cy[count - 1] == cy[0]) break;
        if (count == kMaxContourPoints - 1) return -1;
    }

    // Start the contour at the point farthest from the first one: that is a corner of a
    // square, which the corner finder relies on.
    int farthest = 1;
    int best = 0;
    for (int i = 1; i < count - 1; ++i) {
        const int d = squaredDistance(cx[0], cy[0], cx[i], cy[i]);
        if (d > best) {
            best = d;
            farthest = i;
        }
    }
    // The cycle turned in place so that it starts at the farthest point.
    const int cycle = count - 1;  // distinct points; the last entry repeats the first
    std::rotate(cx, cx + farthest, cx + cycle);
    std::rotate(cy, cy + farthest, cy + cycle);
    cx[cycle] = cx[0];
    cy[cycle] = cy[0];
    candidate->contourLength = count;
    return 0;
}

int splitAtFarthestPoint(const int* contourX, const int* contourY, int start, int end, double threshold,
                         int* indices, int* count) {
    const double a = contourY[end] - contourY[start];
    const double b = contourX[start] - contourX[end];
    const double c = static_cast<double>(contourX[end]) * contourY[start] -
                     static_cast<double>(contourY[end]) * contourX[start];
    double best = 0.0;
    int farthest = -1;
    for (int i = start + 1; i < end; ++i) {
        const double d = a * contourX[i] + b * contourY[i] + c;
        if (d * d > best) {
            best = d * d;
            farthest = i;
        }
    }
    if (farthest < 0 || best / (a * a + b * b) <= threshold) return 0;
    if (splitAtFarthestPoint(contourX, contourY, start, farthest, threshold, indices, count) < 0) return -1;
    if (*count >= kMaxSplitPoints) return -1;
    indices[(*count)++] = farthest;
    return splitAtFarthestPoint(contourX, contourY, farthest, end, threshold, indices, count);
}

int findSquareVertices(int area, MarkerCandidate* candidate, double factor) {
    const int* cx = candidate->contourX;
    const int* cy = candidate->contourY;
    const int n = candidate->contourLength;
    if (n < 4) return -1;
    int far = 1;
    int best = 0;
    for (int i = 1; i < n - 1; ++i) {
        const int d = squaredDistance(cx[0], cy[0], cx[i], cy[i]);
        if (d > best) {
            best = d;
            far = i;
        }
    }
    // A side of the square is about sqrt(area / 0.75) for a border a quarter of the side
    // wide; a corner must stand out from the chord by more than a tenth of that.
    const double thresh = area / 0.75 * 0.01 * factor;
    int first[kMaxSplitPoints];
    int second[kMaxSplitPoints];
    int firstCount = 0;
    int secondCount = 0;
    if (splitAtFarthestPoint(cx, cy, 0, far, thresh, first, &firstCount) < 0) return -1;
    if (splitAtFarthestPoint(cx, cy, far, n - 1, thresh, second, &secondCount) < 0) return -1;

    int* corner = candidate->cornerIndex;
    if (firstCount == 1 && secondCount == 1) {
        corner[0] = 0;
        corner[1] = first[0];
        corner[2] = far;
        corner[3] = second[0];
    } else if (firstCount > 1 && secondCount == 0) {
        // Point 0 and F are neighbouring corners; the other two lie on the first half.
        const int middle = far / 2;
        firstCount = secondCount = 0;
        if (splitAtFarthestPoint(cx, cy, 0, middle, thresh, first, &firstCount) < 0) return -1;
        if (splitAtFarthestPoint(cx, cy, middle, far, thresh, second, &secondCount) < 0) return -1;
        if (firstCount != 1 || secondCount != 1) return -1;
        corner[0] = 0;
        corner[1] = first[0];
        corner[2] = second[0];
        corner[3] = far;
    } else if (firstCount == 0 && secondCount > 1) {
        const int middle = (far + n - 1) / 2;
        firstCount = secondCount = 0;
        if (splitAtFarthestPoint(cx, cy, far, middle, thresh, first, &firstCount) < 0) return -1;
        if (splitAtFarthestPoint(cx, cy, middle, n - 1, thresh, second, &secondCount) < 0) return -1;
        if (firstCount != 1 || secondCount != 1) return -1;
        corner[0] = 0;
        corner[1] = far;
        corner[2] = first[0];
        corner[3] = second[0];
    } else {
        return -1;
    }
    corner[4] = n - 1;
    return 0;
}

int extractCandidates(const uint16_t* labels, int width, int height, const LabelTables& tables, int areaMax,
                      int areaMin, double factor, MarkerCandidate* candidates) {
    int count = 0;
    for (int j = 0; j < tables.count && count < kMaxCandidates; ++j) {
        const int area = tables.area[j];
        if (area < areaMin || area > areaMax) continue;
        const int* box = tables.box + 4 * j;
        if (box[0] == 1 || box[1] == width - 2 || box[2] == 1 || box[3] == height - 2) continue;
        MarkerCandidate* candidate = &candidates[count];
        if (traceContour(labels, width, tables.equivalence, j + 1, box, candidate) < 0) continue;
        if (findSquareVertices(area, candidate, factor) < 0) continue;
        candidate->area = area;
        candidate->center[0] = tables.centroid[2 * j];
        candidate->center[1] = tables.centroid[2 * j + 1];
        ++count;
    }

    // A square inside another (the marker's inner picture, or the inner edge of a thick
    // border) shares its centre; only the larger one is a marker.
    for (int i = 0; i < count; ++i) {
        for (int j = i + 1; j < count; ++j) {
            const double dx = candidates[i].center[0] - candidates[j].center[0];
            const double dy = candidates[i].center[1] - candidates[j].center[1];
            const double d = dx * dx + dy * dy;
            if (candidates[i].area > candidates[j].area) {
                if (d < candidates[i].area / 4) candidates[j].area = 0;
            } else {
                if (d < candidates[j].area / 4) candidates[i].area = 0;
            }
        }
    }
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (candidates[i].area == 0) continue;
        if (kept != i) candidates[kept] = candidates[i];
        ++kept;
    }
    return kept;
}
