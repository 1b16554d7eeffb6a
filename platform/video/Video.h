// The camera video library. Frames are 4 bytes per pixel in the order B, G, R, A, rows
// top first. arVideoGetImage never blocks: it returns null when no new frame is ready.
// The library may capture on its own thread; callers stay on one thread.
//
// The source comes from the configuration file handed to arVideoOpen (a small XML file,
// see README and VideoConfig.cpp), overridden by arVideoSetSourceOverride (the command
// line) or else by the PAVONIX_VIDEO environment variable: "camera", "camera:/dev/video0",
// "file:PATH", "virtual" or "auto" (camera when one opens, else virtual). The override
// replaces only the source, device and file; with an override a missing configuration
// file means defaults (640x480, 30 fps), while a broken one is still refused.
//
// Frames: cameras deliver their own size (the configured one is a request); files their
// own; the virtual camera the configured size, rendering Data/marker.png with
// Data/camera_para.dat (taken from the configuration file's folder). The buffer returned
// by arVideoGetImage belongs to the library and stays valid until the next
// arVideoGetImage, arVideoCapStop or arVideoClose.
#pragma once

#include <functional>
#include <string>

// Where the library's reports go: one line each, without a line feed ("using camera
// /dev/video0", "file clip.avi: no frames are arriving"), handed over as they arise, on
// the caller's thread or on a capture thread. None is installed at first: the reports
// are then dropped. The program prints them on standard error after "video: ".
using VideoReportSink = std::function<void(const std::string&)>;
void arVideoSetReportSink(VideoReportSink sink);

// Returns 0 on success, negative on failure (a message naming the file or source has
// then been reported and is kept in arVideoLastError):
// kVideoFileError when a file is missing or broken (the configuration, or the marker
// picture or calibration the virtual camera draws with), -1 when no source could be
// opened. A camera that was asked for by name but cannot be used (busy, gone,
// silent) is replaced by the virtual camera, with the reason in arVideoStatus.
constexpr int kVideoFileError = -2;
int arVideoOpen(const char* configFile);
int arVideoInqSize(int* width, int* height);
int arVideoCapStart();
unsigned char* arVideoGetImage();
int arVideoCapNext();
int arVideoCapStop();
int arVideoClose();

// --- Additions for the Linux program ---

// Overrides the configured source (same syntax as PAVONIX_VIDEO); null or "" clears it.
// Takes effect at the next arVideoOpen.
void arVideoSetSourceOverride(const char* request);

// Offline mode: every frame of a file source is delivered exactly once, in order, as
// fast as the caller asks, with no looping and no pacing; arVideoGetImage then decodes
// (or, for the virtual camera, renders frame n at time n / 30 s) on the caller's thread.
// A camera is live and ignores it. Set before arVideoOpen.
void arVideoSetOffline(bool offline);

// Nominal frames per second of the open source (30 for the virtual camera).
double arVideoInqFrameRate();

// Number of frames of a file source (-1 when unknown or not a file source).
long arVideoInqFrameCount();

// Offline mode: true once the last frame has been delivered (the library reads one frame
// ahead, so this is already true right after the last frame is handed out). Always false
// for live sources and for the virtual camera.
bool arVideoEndOfStream();

// The video's own time of the frame arVideoGetImage last returned, in seconds from the
// first frame: frame number / frame rate for files and the virtual camera (the same live
// and offline, so what depends on it renders the same), the capture time for a camera.
// 0 before the first frame.
double arVideoFrameTime();

// Short description of the open source for messages ("virtual camera", "file clip.avi").
const char* arVideoSourceName();

// The message of the last failed arVideoOpen ("" after a success).
const char* arVideoLastError();

// Short lines (separated by '\n') for the screen when the picture is not what was
// asked for ("camera /dev/video0 unplugged\nshowing the last frame until it is back"),
// or "" when all is well. Safe to call
// every frame; the text stays valid until the next call.
const char* arVideoStatus();
