#include "tracking/TrackerTables.h"

#include "tracking/EdgeRefine.h"

TrackerTables g_trackerTables;

int setTrackerCameraParam(const CameraParam* param) {
    g_trackerTables.workingParam = *param;
    return 0;
}

const CameraParam& trackerCameraParam() {
    return g_trackerTables.workingParam;
}

PatternTable& patternTable() {
    return g_trackerTables.patterns;
}
int loadPatternFile(const char* fileName) {
    return loadPatternFile(g_trackerTables.patterns, fileName);
}
int freePatternSlot(int slot) {
    return freePatternSlot(g_trackerTables.patterns, slot);
}
int activatePatternSlot(int slot) {
    return activatePatternSlot(g_trackerTables.patterns, slot);
}
int deactivatePatternSlot(int slot) {
    return deactivatePatternSlot(g_trackerTables.patterns, slot);
}

void setSubpixelEdges(bool on) {
    g_trackerTables.subpixelEdges = on;
}
bool subpixelEdges() {
    return g_trackerTables.subpixelEdges;
}
