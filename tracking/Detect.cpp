#include <cmath>
#include <cstdint>

#include "tracking/CameraParam.h"
#include "tracking/Candidates.h"
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

struct HistoryEntry {
    DetectedMarker marker;
    int age;
};

struct DetectionState {
    MarkerCandidate candidates[kMaxCandidates];
    DetectedMarker markers[kMaxMarkers];
    HistoryEntry history[kHistorySize];
    int historyCount = 0;
};

DetectionState& state() {
    static DetectionState* instance = new DetectionState();
    return *instance;
}

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

}  // namespace

void resetMarkerHistory() { state().historyCount = 0; }

int detectMarkers(const uint8_t* frame, int threshold, DetectedMarker** markers, int* count) {
    *count = 0;
    *markers = state().markers;
    const CameraParam& param = trackerCameraParam();
    const int width = param.width;
    const int height = param.height;

    LabelTables tables;
    const uint16_t* labels = debugImageMode ? labelImageDebug(frame, width, height, threshold, &tables)
                                            : labelImage(frame, width, height, threshold, &tables);
    if (!labels) return -1;

    DetectionState& S = state();
    const int candidateCount = extractCandidates(labels, width, height, tables, kCandidateAreaMax,
                                                 kCandidateAreaMin, 1.0, S.candidates);
    int n = identifyCandidates(frame, width, height, S.candidates, candidateCount, S.markers);

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
        if (!seen) S.markers[n++] = S.history[h].marker;
    }
    *count = n;
    return 0;
}
