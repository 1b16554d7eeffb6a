// Square marker detection: labeling, candidates, identification and the short history
// that keeps a marker's identity stable across frames; squares whose black frame is partly
// covered are found again from what shows of it, or followed from the previous frame.
#pragma once

#include <cstdint>
#include <memory>

#include "tracking/TrackerTables.h"

constexpr int kMaxMarkers = 30;

struct DetectedMarker {
    int area;             // pixel count of the square
    int pattern;          // pattern slot, -1 for none
    int orientation;      // 0..3; corner (4 - orientation) % 4 is the pattern's first corner; -1 unknown
    double confidence;    // correlation, at most 1
    double center[2];     // centroid x, y
    double edgeLines[4][3];  // a x + b y + c = 0 in ideal image coordinates; edge i: corner i to i + 1
    double corners[4][2];    // ideal image coordinates; corner i joins edge lines i - 1 and i
    int refined;             // 1: edges moved to the grey-level edges; 0: contour fit only
    int tracked;             // 1: followed from the previous frame rather than found afresh
};

// Non-zero: labeling also writes binarizedImage (toggled by the "Display Bin" command).
extern int& debugImageMode;
// width x height x 4 bytes, the thresholded frame; null until the first debug labeling.
extern uint8_t*& binarizedImage;

// A detector with its own labeller, scratch and history of recent markers: the object to
// own where one camera's frames are tracked (the viewer's tracker owns one). It reads the
// calibration, patterns and edge switch of the tables it is given, which must outlive it.
class MarkerDetector {
public:
    explicit MarkerDetector(const TrackerTables& tables);
    ~MarkerDetector();
    MarkerDetector(const MarkerDetector&) = delete;
    MarkerDetector& operator=(const MarkerDetector&) = delete;

    // Detects markers in one frame (4 bytes per pixel, rows top first, size of the
    // tables' calibration). On success returns 0 and points *markers at this
    // detector's array of *count entries, valid until its next call; returns -1 on
    // failure.
    int detect(const uint8_t* frame, int threshold, DetectedMarker** markers, int* count);
    // Forgets the markers remembered from earlier frames (for example between unrelated
    // still images, which must not lend each other identities).
    void resetHistory();
    // The first frame whose dark regions overflowed the labeller's table, handed out once
    // (Labeller::takeOverflow) for the owner to report.
    bool takeLabelOverflow(int* width, int* height);

    struct State;

private:
    const TrackerTables& tables_;
    std::unique_ptr<State> state_;  // large: on the heap, made once
};

// The same with the detector of the tools and tests that call these functions, which reads
// g_trackerTables.
int detectMarkers(const uint8_t* frame, int threshold, DetectedMarker** markers, int* count);
void resetMarkerHistory();
