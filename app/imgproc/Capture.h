// PNG screenshots and recordings of the window, named by the local time and written
// into the executable's folder.
#pragma once

#include <string>

#include "app/record/RecordFormat.h"
#include "platform/Clock.h"

class cvImgProc;

// Requests a screenshot of capture's next composed frame (see cvImgProc::frameComposed,
// which writes it and reports failures). Returns true: the request is always taken.
bool SaveImage(cvImgProc& capture);

// "<folder>/img20150305-090703-042.png" and "<folder>/cap...avi" (or .mp4, .mkv) from a
// local time.
std::string screenshotFileName(const std::string& folder, const LocalTime& time);
std::string captureFileName(const std::string& folder, const LocalTime& time,
                            RecordFormat format = RecordFormat::Avi);

// Milliseconds until the next capture frame is due, given the period and the time the
// last frame took to write; 0 when writing took the whole period or longer.
int captureTimerDelay(int periodMs, int lastWriteMs);

// Writes width x height RGBA pixels to a PNG file. `rows` starts at the image's bottom
// row (OpenGL's order); the file starts at the top. On failure returns false with the
// reason in *error (the short texts the screenshot messages use) and removes a partly
// written file.
bool writePNGBottomUp(const char* path, const unsigned char* rows, int width, int height, std::string* error);
