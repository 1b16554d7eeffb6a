// The virtual camera's film: the marker picture on a table, drawn with a camera
// calibration along a smooth, repeating path (virtualCameraPose), with mild sensor
// noise and a slowly changing light, as a webcam would see it.
#pragma once

#include <memory>
#include <string>

#include "platform/video/VirtualScene.h"

// The scene for a request: null, with the reason in *error, when the marker picture or
// the calibration cannot be used.
std::unique_ptr<VirtualScene> makeVirtualCameraScene(const VirtualSceneRequest& request, std::string* error);

// Hands makeVirtualCameraScene to the video library; safe to repeat.
void installVirtualCamera();
