#include <cmath>
#include <cstdint>

#include <algorithm>

#include "tracking/BrokenOutline.h"
#include "tracking/CameraParam.h"
#include "tracking/Candidates.h"
#include "tracking/EdgeRefine.h"
#include "tracking/Follow.h"
#include "tracking/Identify.h"
#include "tracking/Labeling.h"
#include "tracking/Marker.h"

namespace {

constexpr int kHistorySize = kMaxMarkers;
constexpr int kHistoryLifetime = 4;         // entries this old are forgotten
constexpr double kMinConfidence = 0.5;      // weaker matches are reported without a pattern
constexpr double kAreaRatioMin = 0.7;
constexpr double kAreaRatioMax = 1.43;
constexpr double kMaxMatchScore = 0.5;      // squared centre shift relative to the area

// Broken outlines (something over the black frame). A side whose contour strays from the
// chord between its corners by more than kStraightTolerance pixels over more than
// kMinStraightShare of its length has been bitten into; its fitted line would be pulled
// off the edge, so the square is found again from its hull instead. Regions that gave
// no square at all are tried the same way, the largest first.
constexpr double kStraightTolerance = 2.0;
constexpr double kMinStraightShare = 0.85;
constexpr int kMinRecoverArea = 150;        // dark pixels of the visible frame (about a 16 px marker)
constexpr int kMaxRecoverTries = 8;         // regions per frame
constexpr int kMaxRecoverAspect = 5;        // bounding box sides
constexpr double kMinRecoverFill = 0.15;    // dark share of the bounding box (a thin strip on the diagonal: 0.18)
// A square put together from a partial view is believed only when its picture matches
// well: a wrong pose is worse than none.
constexpr double kRecoveredMinConfidence = 0.7;
// Where not every side showed its grey-level edge the corners rest on the contour or on
// part of a side (a washed-out or shaded edge can pull them by pixels), so the picture
// must match better still.
constexpr double kUnrefinedMinConfidence = 0.85;

bool believable(const DetectedMarker& marker) {
    return marker.confidence >= (marker.refined ? kRecoveredMinConfidence : kUnrefinedMinConfidence);
}
// A finger is often darker than the threshold between paper and table, and then joins
// the black frame to whatever it reaches. When a frame shows no marker, it is looked at
// once more with a threshold halfway to black, which parts the ink from the skin.
constexpr double kSecondThresholdFactor = 0.5;
constexpr int kMinSecondThreshold = 40;

struct HistoryEntry {
    DetectedMarker marker;
    int age;
};

}  // namespace

struct MarkerDetector::State {
    MarkerCandidate candidates[kMaxCandidates];
    DetectedMarker markers[kMaxMarkers];
    HistoryEntry history[kHistorySize];
    int historyCount = 0;
    DetectedMarker second[kMaxMarkers];  // markers of the darker second look
    MarkerCandidate outline;  // a region traced again for recovery
    OutlineScratch scratch;
    Labeller labeller;
    int fitsLeft = 0;  // blurred fits left in the current labelling pass
};

namespace {

using DetectionState = MarkerDetector::State;

// Same square in two frames: similar area and a centre that moved little for its size.
bool sameSquare(const DetectedMarker& past, const DetectedMarker& now, double* score) {
    const double ratio = static_cast<double>(past.area) / now.area;
    if (ratio < kAreaRatioMin || ratio > kAreaRatioMax) return false;
    const double dx = now.center[0] - past.center[0];
    const double dy = now.center[1] - past.center[1];
    *score = (dx * dx + dy * dy) / now.area;
    return *score < kMaxMatchScore;
}

// Which quarter turn carries the remembered corners onto the current ones.
int inheritedOrientation(const DetectedMarker& past, const DetectedMarker& now) {
    double best = 1e8;
    int rotation = -1;
    for (int r = 0; r < 4; ++r) {
        double sum = 0.0;
        for (int k = 0; k < 4; ++k) {
            const double dx = past.corners[k][0] - now.corners[(r + k) % 4][0];
            const double dy = past.corners[k][1] - now.corners[(r + k) % 4][1];
            sum += dx * dx + dy * dy;
        }
        if (sum < best) {
            best = sum;
            rotation = r;
        }
    }
    if (rotation < 0) return -1;
    return (past.orientation - rotation + 4) % 4;
}

// Fills a marker's picture fields from its corners (ideal coordinates); rise as
// nameSquare takes it. False when the picture cannot be sampled or names no pattern.
bool readPicture(const TrackerTables& tables, int& fitsLeft, const uint8_t* frame, int width, int height,
                 const double* rise, DetectedMarker& marker) {
    const double* distortion = tables.workingParam.distortion;
    double observed[4][2];
    for (int k = 0; k < 4; ++k)
        idealToObserved(distortion, marker.corners[k][0], marker.corners[k][1], &observed[k][0], &observed[k][1]);
    nameSquare(tables, fitsLeft, frame, width, height, observed, rise, marker);
    return marker.pattern >= 0 && marker.confidence >= 0.0;
}

// The square of a broken outline, with the edges refined where every side shows one,
// named by its picture. False when no square is found or its picture does not match well.
bool recoverMarker(const TrackerTables& tables, int& fitsLeft, const uint8_t* frame, int width, int height,
                   const MarkerCandidate& contour, int area, OutlineScratch& scratch,
                   DetectedMarker& marker) {
    const CameraParam& param = tables.workingParam;
    if (!recoverSquareFromOutline(contour.contourX, contour.contourY, contour.contourLength, param.distortion,
                                  scratch, marker.edgeLines, marker.corners, nullptr))
        return false;
    // Where every side shows its edge the usual refinement applies; otherwise the sides
    // that show one are moved onto it.
    marker.refined = 0;
    double rise[4];
    if (tables.subpixelEdges) {
        if (refineEdges(frame, width, height, param.distortion, marker.edgeLines, marker.corners, rise))
            marker.refined = 1;
        else
            refineVisibleEdges(frame, width, height, param.distortion, marker.edgeLines, marker.corners);
    }
    // Where all four sides showed their edge they also measured the blur, and a blurred
    // marker is named against the templates blurred alike, as on the usual path.
    if (!readPicture(tables, fitsLeft, frame, width, height, marker.refined ? rise : nullptr, marker))
        return false;
    if (!believable(marker)) return false;
    marker.area = area;
    // Observed coordinates, as a label's centroid is.
    marker.center[0] = marker.center[1] = 0.0;
    for (int k = 0; k < 4; ++k) {
        double x, y;
        idealToObserved(param.distortion, marker.corners[k][0], marker.corners[k][1], &x, &y);
        marker.center[0] += 0.25 * x;
        marker.center[1] += 0.25 * y;
    }
    return true;
}

// Whether the point (ideal coordinates) lies inside the marker's square.
bool insideSquare(const DetectedMarker& marker, double x, double y) {
    int sign = 0;
    for (int k = 0; k < 4; ++k) {
        const double* a = marker.corners[k];
        const double* b = marker.corners[(k + 1) % 4];
        const double turn = (b[0] - a[0]) * (y - a[1]) - (b[1] - a[1]) * (x - a[0]);
        const int s = turn > 0 ? 1 : -1;
        if (sign != 0 && s != sign) return false;
        sign = s;
    }
    return true;
}

// Squares whose outline was bitten into are found again from their hull or dropped;
// regions that gave no square are tried for one. Returns the new marker count.
int recoverBrokenOutlines(const TrackerTables& settings, const uint8_t* frame, int width, int height,
                          const uint16_t* labels, const LabelTables& tables, int candidateCount,
                          DetectedMarker* markers, int n, DetectionState& S) {
    const CameraParam& param = settings.workingParam;
    int kept = 0;
    for (int c = 0; c < n; ++c) {
        DetectedMarker marker = markers[c];
        const MarkerCandidate* source = nullptr;
        for (int k = 0; k < candidateCount && !source; ++k)
            if (S.candidates[k].center[0] == marker.center[0] && S.candidates[k].center[1] == marker.center[1])
                source = &S.candidates[k];
        if (source && sideStraightness(source->contourX, source->contourY, source->cornerIndex,
                                       kStraightTolerance) < kMinStraightShare) {
            // Grey-level edges found all along every side vouch for the square as it was.
            DetectedMarker recovered = marker;
            if (recoverMarker(settings, S.fitsLeft, frame, width, height, *source, source->area, S.scratch,
                              recovered)) {
                marker = recovered;
                marker.center[0] = source->center[0];
                marker.center[1] = source->center[1];
            } else if (!marker.refined) {
                continue;
            }
        }
        markers[kept++] = marker;
    }
    n = kept;

    // The largest regions not yet explained by a square.
    int tries[kMaxRecoverTries];
    int tryCount = 0;
    for (int j = 0; j < tables.count; ++j) {
        const int area = tables.area[j];
        if (area < kMinRecoverArea) continue;
        const int* box = tables.box + 4 * j;
        if (box[0] <= 1 || box[1] >= width - 2 || box[2] <= 1 || box[3] >= height - 2) continue;
        // A square's frame, even bitten into and seen at a slant, fills a good part of its
        // bounding box, and the box is not a long strip: grain, shadows and text are passed
        // over before anything is traced.
        const int boxWidth = box[1] - box[0] + 1, boxHeight = box[3] - box[2] + 1;
        if (boxWidth < 8 || boxHeight < 8) continue;
        if (boxWidth > kMaxRecoverAspect * boxHeight || boxHeight > kMaxRecoverAspect * boxWidth) continue;
        if (area < kMinRecoverFill * boxWidth * boxHeight) continue;
        // Whose outline cannot fit the contour buffer is not traced at all.
        if (3 * 2 * (boxWidth + boxHeight) > kMaxContourPoints) continue;
        bool explained = false;
        for (int k = 0; k < candidateCount && !explained; ++k)
            explained = S.candidates[k].center[0] == tables.centroid[2 * j] &&
                        S.candidates[k].center[1] == tables.centroid[2 * j + 1];
        if (explained) continue;
        if (tryCount < kMaxRecoverTries) {
            tries[tryCount++] = j;
        } else if (area > tables.area[tries[tryCount - 1]]) {
            tries[tryCount - 1] = j;
        } else {
            continue;
        }
        for (int k = tryCount - 1; k > 0 && tables.area[tries[k]] > tables.area[tries[k - 1]]; --k)
            std::swap(tries[k], tries[k - 1]);
    }
    for (int t = 0; t < tryCount && n < kMaxMarkers; ++t) {
        const int j = tries[t];
        double cx, cy;
        observedToIdeal(param.distortion, tables.centroid[2 * j], tables.centroid[2 * j + 1], &cx, &cy);
        bool inside = false;
        for (int c = 0; c < n && !inside; ++c) inside = insideSquare(markers[c], cx, cy);
        if (inside) continue;
        if (traceContour(labels, width, tables.equivalence, j + 1, tables.box + 4 * j, &S.outline) < 0) continue;
        if (recoverMarker(settings, S.fitsLeft, frame, width, height, S.outline, tables.area[j], S.scratch,
                          markers[n]))
            ++n;
    }
    return n;
}

}  // namespace

MarkerDetector::MarkerDetector(const TrackerTables& tables)
    : tables_(tables), state_(std::make_unique<State>()) {}
MarkerDetector::~MarkerDetector() = default;

void MarkerDetector::resetHistory() { state_->historyCount = 0; }

bool MarkerDetector::takeLabelOverflow(int* width, int* height) {
    return state_->labeller.takeOverflow(width, height);
}

int MarkerDetector::detect(const uint8_t* frame, int threshold, DetectedMarker** markers, int* count) {
    *count = 0;
    *markers = state_->markers;
    const CameraParam& param = tables_.workingParam;
    const int width = param.width;
    const int height = param.height;

    LabelTables tables;
    DetectionState& S = *state_;
    const uint16_t* labels = debugImageMode ? labelImageDebug(S.labeller, frame, width, height, threshold, &tables)
                                            : S.labeller.label(frame, width, height, threshold, &tables);
    if (!labels) return -1;

    const int candidateCount = extractCandidates(labels, width, height, tables, kCandidateAreaMax,
                                                 kCandidateAreaMin, 1.0, S.candidates);
    int n = identifyCandidates(tables_, S.fitsLeft, frame, width, height, S.candidates, candidateCount,
                               S.markers);
    n = recoverBrokenOutlines(tables_, frame, width, height, labels, tables, candidateCount, S.markers, n, S);

    bool named = false;
    for (int c = 0; c < n; ++c) named = named || (S.markers[c].pattern >= 0 && S.markers[c].confidence >= kMinConfidence);
    if (!named && threshold >= kMinSecondThreshold) {
        LabelTables dark;
        const int darkThreshold = static_cast<int>(threshold * kSecondThresholdFactor);
        const uint16_t* darkLabels = S.labeller.label(frame, width, height, darkThreshold, &dark);
        if (darkLabels) {
            const int darkCandidates = extractCandidates(darkLabels, width, height, dark, kCandidateAreaMax,
                                                         kCandidateAreaMin, 1.0, S.candidates);
            int m = identifyCandidates(tables_, S.fitsLeft, frame, width, height, S.candidates,
                                       darkCandidates, S.second);
            m = recoverBrokenOutlines(tables_, frame, width, height, darkLabels, dark, darkCandidates,
                                      S.second, m, S);
            for (int c = 0; c < m && n < kMaxMarkers; ++c) {
                const DetectedMarker& found = S.second[c];
                if (found.pattern < 0 || found.confidence < kMinConfidence) continue;
                double x, y;
                observedToIdeal(param.distortion, found.center[0], found.center[1], &x, &y);
                bool known = false;
                for (int k = 0; k < n && !known; ++k) known = insideSquare(S.markers[k], x, y);
                if (!known) S.markers[n++] = found;
            }
        }
    }

    for (int c = 0; c < n; ++c) S.markers[c].tracked = 0;

    // A marker of the previous frame that this one did not find afresh is looked for where
    // it was.
    const int fresh = n;
    for (int h = 0; h < S.historyCount && n < kMaxMarkers; ++h) {
        const HistoryEntry& entry = S.history[h];
        if (entry.age != 1 || entry.marker.confidence < kRecoveredMinConfidence) continue;
        bool seen = false;
        for (int c = 0; c < fresh && !seen; ++c) {
            double score;
            seen = S.markers[c].pattern == entry.marker.pattern || sameSquare(entry.marker, S.markers[c], &score);
        }
        if (!seen &&
            followMarker(tables_.patterns, frame, width, height, param.distortion, entry.marker,
                         kRecoveredMinConfidence, S.markers[n]) &&
            believable(S.markers[n]))
            ++n;
    }

    // A marker seen well a moment ago lends its identity to a weak detection in its place.
    for (int h = 0; h < S.historyCount; ++h) {
        const DetectedMarker& past = S.history[h].marker;
        int match = -1;
        double bestScore = 10.0;
        for (int c = 0; c < n; ++c) {
            double score;
            if (sameSquare(past, S.markers[c], &score) && score < bestScore) {
                bestScore = score;
                match = c;
            }
        }
        if (match < 0) continue;
        DetectedMarker& now = S.markers[match];
        if (past.confidence > now.confidence) {
            now.confidence = past.confidence;
            now.pattern = past.pattern;
            now.orientation = inheritedOrientation(past, now);
        }
    }
    for (int c = 0; c < n; ++c)
        if (S.markers[c].confidence < kMinConfidence) S.markers[c].pattern = -1;

    int kept = 0;
    for (int h = 0; h < S.historyCount; ++h) {
        if (++S.history[h].age >= kHistoryLifetime) continue;
        if (kept != h) S.history[kept] = S.history[h];
        ++kept;
    }
    S.historyCount = kept;

    for (int c = 0; c < n; ++c) {
        if (S.markers[c].pattern < 0) continue;
        int h = 0;
        while (h < S.historyCount && S.history[h].marker.pattern != S.markers[c].pattern) ++h;
        if (h == S.historyCount) {
            if (S.historyCount == kHistorySize) continue;
            ++S.historyCount;
        }
        S.history[h].marker = S.markers[c];
        S.history[h].age = 1;
    }

    // Remembered markers not seen in this frame are still reported for a few frames, so a
    // marker does not flicker when one frame misses it. The list holds at most
    // kMaxMarkers; remembered markers that do not fit are left out.
    const int current = n;
    for (int h = 0; h < S.historyCount && n < kMaxMarkers; ++h) {
        bool seen = false;
        for (int c = 0; c < current && !seen; ++c) {
            double score;
            seen = sameSquare(S.history[h].marker, S.markers[c], &score);
        }
        if (!seen) {
            S.markers[n] = S.history[h].marker;
            S.markers[n++].tracked = 0;  // remembered, not followed
        }
    }
    *count = n;
    return 0;
}

namespace {
// The detector behind the free functions. Made on first use and never destroyed, so a
// tool's detection during exit finds it still there. A cache of scratch and history for
// the tools and tests that have no detector of their own; the viewer's tracker owns one.
MarkerDetector& sharedDetector() {
    static MarkerDetector* detector = new MarkerDetector(g_trackerTables);
    return *detector;
}
}  // namespace

int detectMarkers(const uint8_t* frame, int threshold, DetectedMarker** markers, int* count) {
    return sharedDetector().detect(frame, threshold, markers, count);
}

void resetMarkerHistory() { sharedDetector().resetHistory(); }
