// What every stage of the tracker reads and the program sets: the working calibration,
// the loaded patterns and whether edges are placed below the pixel. One object, so the
// tracker's settings live in one place; its owner hands it to the detector (and the
// stages receive it, or the part they read, as a parameter).
#pragma once

#include "tracking/CameraParam.h"
#include "tracking/Pattern.h"

struct TrackerTables {
    CameraParam workingParam = {};
    PatternTable patterns;
    bool subpixelEdges = true;
};

// The tables of the viewer's tracker and of the tools and tests that detect through
// detectMarkers; setTrackerCameraParam, loadPatternFile(fileName), setSubpixelEdges and
// their kin (CameraParam.h, Pattern.h, EdgeRefine.h) set it.
extern TrackerTables g_trackerTables;
