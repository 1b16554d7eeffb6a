// Clips of the marker for tests that run the program on a video file: lossless, so the
// program sees exactly the pictures drawn.
#pragma once

#include <string>

// Writes `frames` frames at 640x480, 30 fps, of the virtual camera's marker under its
// moving path, or held at the path's first pose for every frame when `still` (only the
// character then changes from picture to picture). False when it cannot be written.
bool writeMarkerClip(const std::string& path, int frames, bool still = false);
