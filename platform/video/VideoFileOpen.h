// Opening a video file or a numbered image sequence with OpenCV's file readers only.
#pragma once

#include <string>

#include <opencv2/videoio.hpp>

// Opens path into capture; sequence: path is a printf pattern such as frames/%04d.png.
// False when no file reader takes it (the capture is then closed). Never throws.
bool openVideoFile(cv::VideoCapture& capture, const std::string& path, bool sequence);
