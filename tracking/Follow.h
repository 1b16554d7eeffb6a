// Following a marker from one frame to the next. When a marker seen in the previous frame
// is not found afresh (a finger as dark as the ink joins its frame to the hand, or splits
// it), its edges are looked for across the sides where it was: the black-to-white step of
// each side, wherever the side still shows it. The square they make is believed only when
// it carries the same pattern, matched well.
#pragma once

#include <cstdint>

#include "tracking/Marker.h"
#include "tracking/Pattern.h"

// The marker of the previous frame (corners and edge lines in ideal coordinates, a
// pattern) looked for in this frame (4 bytes per pixel). On success fills now with the
// marker as followed (corners, lines, picture fields, centre; tracked = 1) and returns
// true. The picture is matched against table's patterns. minConfidence: the least
// correlation with the same pattern believed.
bool followMarker(const PatternTable& table, const uint8_t* frame, int width, int height,
                  const double distortion[4], const DetectedMarker& past, double minConfidence,
                  DetectedMarker& now);
