// The marker pattern table: up to 50 loaded patterns, each as four zero-mean 16x16
// templates (one per quarter turn) in colour and in grey.
#pragma once

constexpr int kPatternSlots = 50;
constexpr int kPatternSize = 16;

struct PatternTable {
    int count = -1;  // -1 until the first load clears the table
    int state[kPatternSlots];  // 0 free, 1 loaded and matched, 2 loaded but skipped
    int colour[kPatternSlots][4][kPatternSize][kPatternSize][3];
    int bw[kPatternSlots][4][kPatternSize][kPatternSize];
    int darkMean[kPatternSlots][4];  // the darkness (255 - value) taken off to make each template zero-mean
    double colourPower[kPatternSlots][4];
    double bwPower[kPatternSlots][4];
};

// Loads a pattern file (3072 whitespace-separated integers) into the table's lowest free
// slot. Returns the slot or -1.
int loadPatternFile(PatternTable& table, const char* fileName);
// A slot freed, matched again or skipped by matching: 1, or -1 for a slot not loaded.
int freePatternSlot(PatternTable& table, int slot);
int activatePatternSlot(PatternTable& table, int slot);
int deactivatePatternSlot(PatternTable& table, int slot);

// The same on the patterns of g_trackerTables (tracking/TrackerTables.h), the tables of
// the tools and tests that detect through detectMarkers.
PatternTable& patternTable();
int loadPatternFile(const char* fileName);
int freePatternSlot(int slot);
int activatePatternSlot(int slot);
int deactivatePatternSlot(int slot);

// --- Making pattern files (the writer side, used by the marker tool and its tests) ---

#include <cstdint>
#include <string>

// One pattern as the file stores it: value[direction][plane][row][column], an intensity
// 0 (black) .. 255. Planes are bytes 0, 1, 2 of a camera pixel (blue, green, red).
// Direction d is the picture turned d quarter turns counterclockwise as seen on screen:
// that is the template the matcher reports as orientation d for a marker whose
// pattern's first (top-left) corner is detected corner (4 - d) % 4.
struct PatternImage {
    uint8_t value[4][3][kPatternSize][kPatternSize];
};

// Samples the picture (B, G, R, A bytes per pixel, rows top first; alpha ignored) into
// the 16 x 16 grid by area averaging and fills all four directions. The picture may
// have any size of at least 1 x 1; stride is the number of bytes per row.
void makePatternImage(const uint8_t* bgra, int width, int height, int stride, PatternImage& pattern);

// The file text: "%4d" per value, a line feed after each row of 16 and one more after
// each direction.
std::string formatPatternText(const PatternImage& pattern);

// Writes formatPatternText to a file. 0 on success, -1 on failure (nothing is reported).
int savePatternFile(const char* fileName, const PatternImage& pattern);
