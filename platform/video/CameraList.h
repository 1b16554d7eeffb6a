// What the V4L2 camera nodes of this machine are and what they offer, read with the
// V4L2 ioctls, so the user can see which device to ask for and why one cannot be used.
#pragma once

#include <string>
#include <vector>

struct CameraFormat {
    std::string fourcc;       // "MJPG", "YUYV", ...
    std::string description;  // the driver's words
    std::vector<std::string> sizes;  // "1280x720", or "640x480-1920x1080" for stepwise ranges
};

struct CameraInfo {
    std::string path;
    std::string name;    // the card name the driver reports
    std::string driver;
    std::vector<CameraFormat> formats;
};

// The video* nodes of devDir (normally /dev), in numeric order.
std::vector<std::string> videoDeviceNodes(const std::string& devDir);

// Opens path and asks it what it is. False with a reason naming the device in *error:
// missing, not permitted, busy, not a V4L2 device, not a capture device.
bool queryCamera(const std::string& path, CameraInfo& info, std::string* error);

// Whether the camera offers MJPEG at width x height (or offers MJPEG with sizes it does
// not list, as some drivers do).
bool offersMJPEG(const CameraInfo& info, int width, int height);

// The text of --list-cameras for the nodes of devDir: one block per camera, one line per
// node that is not a usable camera, or a plain sentence when there is none.
std::string listCamerasText(const std::string& devDir);
