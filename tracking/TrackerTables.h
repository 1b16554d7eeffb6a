// What every stage of the tracker reads and the program sets: the working calibration,
// the loaded patterns and whether edges are placed below the pixel. One object, so the
// tracker's settings live in one place; the functions of CameraParam.h, Pattern.h and
// EdgeRefine.h are its interface.
#pragma once

#include "tracking/CameraParam.h"
#include "tracking/Pattern.h"

struct TrackerTables {
    CameraParam workingParam = {};
    PatternTable patterns;
    bool subpixelEdges = true;
};

extern TrackerTables g_trackerTables;
