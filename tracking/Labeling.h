// Thresholding and connected-component labelling of a camera frame: the first stage of
// marker detection. Dark pixels (byte0 + byte1 + byte2 <= 3 x threshold) are grouped into
// 8-connected components with their area, centroid and bounding box.
#pragma once

#include <cstdint>

constexpr int kMaxProvisionalLabels = 32768;

// The tables of one labelling, owned by the labeller and valid until the next call.
// Final labels are numbered 1..count; arrays indexed by final label L use index L - 1.
struct LabelTables {
    int count = 0;                    // number of final labels
    int provisionalCount = 0;         // number of provisional labels
    const int* equivalence = nullptr; // provisional label k (index k - 1) -> final label
    const int* area = nullptr;        // pixels per final label
    const double* centroid = nullptr; // x, y per final label
    const int* box = nullptr;         // x min, x max, y min, y max per final label
};

// Labels a width x height frame (4 bytes per pixel). Returns the label image (width x
// height provisional labels; the outermost rows and columns are 0; a pixel belongs to
// final label L when its value v > 0 and equivalence[v - 1] == L), or null when the frame
// holds more than kMaxProvisionalLabels provisional labels or memory runs out.
const uint16_t* labelImage(const uint8_t* frame, int width, int height, int threshold, LabelTables* tables);

// The same, also writing the thresholded frame into binarizedImage (dark = 255, 255, 255;
// byte 3 never written), which is allocated on first use and when the frame size changes.
const uint16_t* labelImageDebug(const uint8_t* frame, int width, int height, int threshold,
                                LabelTables* tables);

// True when pixel value v of a label image belongs to final label `label`.
inline bool belongsToLabel(uint16_t v, const int* equivalence, int label) {
    return v > 0 && equivalence[v - 1] == label;
}
