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
    double colourPower[kPatternSlots][4];
    double bwPower[kPatternSlots][4];
};

// The process's one table, read by pattern matching.
PatternTable& patternTable();

// Loads a pattern file (3072 whitespace-separated integers) into the lowest free slot.
// Returns the slot or -1.
int loadPatternFile(const char* fileName);
int freePatternSlot(int slot);
int activatePatternSlot(int slot);
int deactivatePatternSlot(int slot);
