// Thresholding and connected-component labelling of a camera frame: the first stage of
// marker detection. Dark pixels are grouped into 8-connected components with their area,
// centroid and bounding box.
//
// Two ways to call a pixel dark:
// - one level for the whole frame: byte0 + byte1 + byte2 <= 3 x threshold;
// - local (threshold kLocalThreshold): the frame is cut into 8 x 8 tiles; each tile takes
//   the darkest and brightest grey level of its 3 x 3 tile neighbourhood, and where they
//   differ by at least LocalThreshold::minContrast its pixels are dark at or below the
//   level half-way between. A tile with less contrast holds no edge; it is dark or light
//   as a whole: beside an edge by its level against that edge's threshold, further off
//   as the flat tiles between it and the nearest edge are. So a lamp on one side, a dim
//   room or a faded print move the level with the light, the inside of a thick black
//   border stays dark, and a flat, noisy wall does not break up into specks.
#pragma once

#include <cstdint>
#include <vector>

constexpr int kMaxProvisionalLabels = 32768;

// The threshold argument that asks for local thresholding instead of one level.
constexpr int kLocalThreshold = -1;

struct LocalThreshold {
    // Grey levels (0..255) between the darkest and brightest pixel of a 24 x 24 pixel
    // neighbourhood below which it is taken to hold no edge. Above the spread of sensor
    // noise (sigma 3 spans about 15 over the neighbourhood's 576 pixels), below the
    // contrast of a black print on white paper in a dim corner (about 25).
    int minContrast = 24;
};

// The tables of one labelling, owned by the labeller and valid until its next call.
// Final labels are numbered 1..count; arrays indexed by final label L use index L - 1.
struct LabelTables {
    int count = 0;                    // number of final labels
    int provisionalCount = 0;         // number of provisional labels
    int skipped = 0;                  // dark runs left unlabelled: the table was full
    const int* equivalence = nullptr; // provisional label k (index k - 1) -> final label
    const int* area = nullptr;        // pixels per final label
    const double* centroid = nullptr; // x, y per final label
    const int* box = nullptr;         // x min, x max, y min, y max per final label
};

// Labels frames; its scratch follows the frame size and is kept between frames, so a
// steady frame size never allocates.
class Labeller {
public:
    Labeller();

    // Labels a width x height frame (4 bytes per pixel) with a threshold 0..255 or
    // kLocalThreshold. Returns the label image (width x height provisional labels; the
    // outermost rows and columns are 0; a pixel belongs to final label L when its value
    // v > 0 and equivalence[v - 1] == L), or null only when memory runs out. A frame
    // with more regions than the table holds (kMaxProvisionalLabels) is labelled as far
    // as the table goes; the dark pixels that would need a further label stay 0 and
    // tables->skipped counts them in runs. When binarized is not null, the thresholded
    // frame is written there too (width x height x 4; dark = 255, 255, 255, light = 0;
    // byte 3 and the outermost rows and columns never written).
    const uint16_t* label(const uint8_t* frame, int width, int height, int threshold, LabelTables* tables,
                          uint8_t* binarized = nullptr);

    // The first frame whose regions overflowed the table, for the owner to report once
    // and not every frame: true a single time, with that frame's size; false before and
    // ever after.
    bool takeOverflow(int* width, int* height);

    LocalThreshold local;

private:
    struct Run {
        int start, end;  // columns [start, end)
        int label;       // provisional label, 0: skipped
    };
    // Per provisional label: pixel count, x min, x max, y min, y max.
    enum { kCount, kMinX, kMaxX, kMinY, kMaxY, kStatFields };

    bool resize(int width, int height);
    void thresholdFixed(const uint8_t* frame, int threshold);
    void thresholdLocal(const uint8_t* frame);
    void greyRow(const uint8_t* pixels, uint8_t* grey) const;
    void tileThresholds();
    void labelRuns(LabelTables* tables);
    void resolve(LabelTables* tables);

    int width_ = 0, height_ = 0;
    int tilesX_ = 0, tilesY_ = 0;
    std::vector<uint8_t> grey_;          // (sum of the three bytes) / 3, local thresholding only
    std::vector<uint8_t> dark_;          // 1: dark; the outermost rows and columns 0
    std::vector<uint16_t> labels_;
    std::vector<uint8_t> tileMin_, tileMax_, areaMin_, areaMax_;  // tile and 3 x 3 neighbourhood
    std::vector<int16_t> tileLevel_;     // -1: no pixel of the tile dark, 255: all
    std::vector<int> tileDistance_;      // steps to the nearest tile with an edge
    std::vector<uint8_t> tileDark_;      // class of a flat tile
    std::vector<Run> runs_;              // runs of the previous and the current row
    std::vector<uint8_t> rowScratch_;    // two rows: tile minima and maxima, or levels
    std::vector<int> equivalence_;
    std::vector<int> stats_;             // kStatFields per provisional label
    std::vector<long long> sums_;        // x and y sums per provisional label
    std::vector<long long> finalSums_;
    std::vector<int> area_;
    std::vector<double> centroid_;
    std::vector<int> box_;
    bool overflowSeen_ = false;     // a frame has overflowed the table
    bool overflowPending_ = false;  // ... and takeOverflow has not handed it out yet
    int overflowWidth_ = 0, overflowHeight_ = 0;
};

// Labels with the labeller of the tools and tests that label frames themselves (marker
// detectors own theirs); see Labeller::label.
const uint16_t* labelImage(const uint8_t* frame, int width, int height, int threshold, LabelTables* tables);

// The same, also writing the thresholded frame into binarizedImage (dark = 255, 255, 255;
// byte 3 never written), which is allocated on first use and when the frame size changes.
const uint16_t* labelImageDebug(const uint8_t* frame, int width, int height, int threshold,
                                LabelTables* tables);
// The same with a labeller of the caller's.
const uint16_t* labelImageDebug(Labeller& labeller, const uint8_t* frame, int width, int height, int threshold,
                                LabelTables* tables);

// True when pixel value v of a label image belongs to final label `label`.
inline bool belongsToLabel(uint16_t v, const int* equivalence, int label) {
    return v > 0 && equivalence[v - 1] == label;
}
