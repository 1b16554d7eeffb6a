#include "common/MarkerClip.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "scene/MarkerScene.h"
#include "tracking/CameraParam.h"

bool writeMarkerClip(const std::string& path, int frames, bool still) {
    const std::string source = PAVONIX_SOURCE_DIR;
    CameraParam loaded{}, camera{};
    if (!loadCameraParam((source + "/Data/camera_para.dat").c_str(), 1, &loaded)) return false;
    resizeCameraParam(&loaded, 640, 480, &camera);
    MarkerImage marker;
    if (!loadMarkerImage((source + "/Data/marker.png").c_str(), marker, nullptr)) return false;
    SceneOptions options;
    options.supersample = 1;
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('F', 'F', 'V', '1'), 30.0,
                           cv::Size(640, 480), true);
    if (!writer.isOpened()) return false;
    cv::Mat bgra(480, 640, CV_8UC4), bgr;
    for (int n = 0; n < frames; ++n) {
        if (n == 0 || !still) {
            double pose[3][4];
            virtualCameraPose(still ? 0.0 : n / 30.0, pose);
            renderMarkerScene(camera, pose, kVirtualMarkerWidth, marker, options, bgra.data);
            cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
        }
        writer.write(bgr);
    }
    return true;
}
