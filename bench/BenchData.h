// What the tracking benchmarks load from the project's data folder: the committed
// calibration, marker picture and pattern, each loaded once per process and kept (a
// cache). Without them there is nothing to measure: the bench ends with a message naming
// the file.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "scene/MarkerScene.h"
#include "tracking/CameraParam.h"
#include "tracking/Pattern.h"

inline std::string dataPath(const char* name) { return std::string(PAVONIX_SOURCE_DIR) + "/Data/" + name; }

[[noreturn]] inline void fail(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, message.c_str());
    std::exit(1);
}

inline const CameraParam& baseCamera() {
    static CameraParam camera;
    static const bool loaded = loadCameraParam(dataPath("camera_para.dat").c_str(), 1, &camera).ok();
    if (!loaded) fail("cannot load " + dataPath("camera_para.dat"));
    return camera;
}

inline const MarkerImage& committedMarker() {
    static MarkerImage marker;
    static std::string error;
    static const bool loaded = loadMarkerImage(dataPath("marker.png").c_str(), marker, &error);
    if (!loaded) fail(dataPath("marker.png") + ": " + error);
    return marker;
}

inline int patternSlot() {
    static const int slot = loadPatternFile(dataPath("patt.00").c_str());
    if (slot < 0) fail("cannot load " + dataPath("patt.00"));
    return slot;
}
